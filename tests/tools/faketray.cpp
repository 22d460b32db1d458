// Stands in for the tray program Lindova in the main program's tests:
// copied as Lindova.exe, it keeps a hidden window of the tray's class
// "KorvelleTray", writes one line per start and per registered message it
// receives to faketray.log beside itself, and ends on the event
// "KorvelleStopTray" (or when a message window closes it).
//
//   faketray.log lines: "start <command line arguments>",
//   "message WM_KorvelleRefreshTray", "message WM_KorvelleExitToTray",
//   "stop" (the stop event), each CR LF.
#include "platform/qvCommon.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring LogPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L'\\') + 1) + L"faketray.log";
}

void LogLine(const std::string& line)
{
    HANDLE file = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

UINT gRefresh = 0;
UINT gExit = 0;

LRESULT CALLBACK TrayProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg != 0 && msg == gRefresh)
        LogLine(std::string("message ") + kRefreshTrayMessageName);
    else if (msg != 0 && msg == gExit)
        LogLine(std::string("message ") + kExitToTrayMessageName);
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    LogLine(std::string("start ") + (commandLine ? commandLine : ""));
    gRefresh = RegisterWindowMessageA(kRefreshTrayMessageName);
    gExit = RegisterWindowMessageA(kExitToTrayMessageName);
    WNDCLASSA wc{};
    wc.lpfnWndProc = TrayProc;
    wc.hInstance = instance;
    wc.lpszClassName = kTrayWindowClassName;
    RegisterClassA(&wc);
    HWND wnd = CreateWindowExA(0, kTrayWindowClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               instance, nullptr);
    if (!wnd)
        return 1;
    // The event in the global namespace, opened or made as the programs do.
    const std::string name = std::string("Global\\") + kStopTrayEventName;
    HANDLE stop = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!stop)
        stop = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(stop ? 1 : 0, &stop, FALSE, 60000, QS_ALLINPUT);
        if (stop && r == WAIT_OBJECT_0) {
            LogLine("stop");
            break;
        }
        MSG msg;
        bool quit = false;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                quit = true;
            DispatchMessageA(&msg);
        }
        if (quit)
            break;
    }
    DestroyWindow(wnd);
    if (stop)
        CloseHandle(stop);
    return 0;
}
