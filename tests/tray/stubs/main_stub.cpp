// Stand-in for Korvelle.exe beside the tray. It appends its command line and
// tick count to Korvelle.log beside itself. "/STOP" does what the main
// program's stop does to the tray: sets the global event KorvelleStopTray,
// waits 100 ms and closes it. "/HOLD <ms>" holds the global mutex
// Korvelle.App that long, as a running main program does.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void AppendLine(const std::wstring& File, const std::string& Line)
{
    // Several stand-ins may start at once: retry while another one writes.
    for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateFileW(File.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(h, Line.data(), static_cast<DWORD>(Line.size()), &written, nullptr);
            CloseHandle(h);
            return;
        }
        Sleep(10);
    }
}

// The arguments after the program name, as the process received them.
std::string Arguments()
{
    const char* line = GetCommandLineA();
    bool quoted = false;
    while (*line && (quoted || (*line != ' ' && *line != '\t'))) {
        if (*line == '"')
            quoted = !quoted;
        ++line;
    }
    while (*line == ' ' || *line == '\t')
        ++line;
    return line;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const std::string args = Arguments();
    AppendLine(OwnFolder() + L"Korvelle.log",
               args + "\t" + std::to_string(GetTickCount()) + "\r\n");
    if (args.rfind("/STOP", 0) == 0) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Global\\KorvelleStopTray");
        if (event) {
            SetEvent(event);
            Sleep(100);
            CloseHandle(event);
        }
    } else if (args.rfind("/HOLD ", 0) == 0) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "Global\\Korvelle.App");
        if (mutex && WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0) {
            Sleep(static_cast<DWORD>(std::atoi(args.c_str() + 6)));
            ReleaseMutex(mutex);
        }
        if (mutex)
            CloseHandle(mutex);
    }
    return 0;
}
