// formdrive: drives a running program of the form library from outside, as
// the screenshot and inspection tests need it.
//
//   formdrive [--pid N] [--timeout MS] get <path> <property>   prints the value
//   formdrive [--pid N] [--timeout MS] click <path>
//   formdrive [--pid N] [--timeout MS] wait <path> <property> <value>
//   formdrive [--pid N] list
//   formdrive shot <file.png> [left top width height]
//
// get, click, wait and list talk to the program's inspection window (there
// only when it runs with KV_INSPECT=1; --pid picks the program, else the
// first one found). shot captures the screen (or a part of it) into a PNG.
// Exit codes: 0 done, 1 the program answered with an error (or wait timed
// out), 2 no program answered, 3 usage, 4 the shot failed.

#include "controls/KvInspect.h"
#include "controls/KvPng.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kNoAnswer = 2;
constexpr int kUsage = 3;
constexpr int kShotFailed = 4;

std::wstring gReply;
bool gReplied = false;

LRESULT CALLBACK ReplyProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data && data->dwData == kInspectReply) {
            gReply.assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
            gReplied = true;
            return TRUE;
        }
        return FALSE;
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

void PrintUtf8(const std::wstring& text, FILE* to)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                      0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), to);
    fflush(to);
}

HWND FindTarget(DWORD pid, DWORD timeoutMs)
{
    const std::wstring title = L"KvInspect " + std::to_wstring(pid);
    const DWORD start = GetTickCount();
    while (true) {
        HWND wnd = FindWindowW(kInspectClass, pid ? title.c_str() : nullptr);
        if (wnd || GetTickCount() - start >= timeoutMs)
            return wnd;
        Sleep(50);
    }
}

// One request; false when nobody answered.
bool Ask(HWND target, HWND replyTo, const std::wstring& request, std::wstring& answer)
{
    gReplied = false;
    COPYDATASTRUCT data{};
    data.dwData = kInspectRequest;
    data.cbData = static_cast<DWORD>(request.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(request.data());
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(replyTo),
                             reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 10000, &result) ||
        !result || !gReplied)
        return false;
    answer = gReply;
    return true;
}

int Shot(const std::vector<std::wstring>& args)
{
    if (args.size() != 2 && args.size() != 6)
        return kUsage;
    HDC screen = GetDC(nullptr);
    int left = 0, top = 0;
    int width = GetDeviceCaps(screen, HORZRES), height = GetDeviceCaps(screen, VERTRES);
    if (args.size() == 6) {
        left = _wtoi(args[2].c_str());
        top = _wtoi(args[3].c_str());
        width = _wtoi(args[4].c_str());
        height = _wtoi(args[5].c_str());
    }
    TBitmap bitmap(width, height, TPixelFormat::pf24bit);
    const bool copied = !bitmap.Empty() &&
                        BitBlt(bitmap.Canvas().Handle(), 0, 0, width, height, screen, left, top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    if (!copied)
        return kShotFailed;
    TPNGPicture png;
    if (!png.Assign(bitmap) || !png.SaveToFile(args[1])) {
        fprintf(stderr, "formdrive: the shot was not written: %s\n", png.LastError().c_str());
        return kShotFailed;
    }
    return kDone;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD pid = 0;
    DWORD timeoutMs = 10000;
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        if (!wcscmp(argv[i], L"--pid") && i + 1 < argc)
            pid = wcstoul(argv[++i], nullptr, 10);
        else if (!wcscmp(argv[i], L"--timeout") && i + 1 < argc)
            timeoutMs = wcstoul(argv[++i], nullptr, 10);
        else
            args.push_back(argv[i]);
    }
    if (args.empty()) {
        fprintf(stderr, "usage: formdrive [--pid N] [--timeout MS] get|click|wait|list|shot ...\n");
        return kUsage;
    }
    const std::wstring& command = args[0];
    if (command == L"shot")
        return Shot(args);

    std::wstring request;
    if (command == L"get" && args.size() == 3)
        request = L"get\t" + args[1] + L"\t" + args[2];
    else if (command == L"wait" && args.size() == 4)
        request = L"get\t" + args[1] + L"\t" + args[2];
    else if (command == L"click" && args.size() == 2)
        request = L"click\t" + args[1];
    else if (command == L"list" && args.size() == 1)
        request = L"list";
    else
        return kUsage;

    WNDCLASSW wc{};
    wc.lpfnWndProc = ReplyProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvFormDriveReply";
    RegisterClassW(&wc);
    HWND replyTo = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                   wc.hInstance, nullptr);
    HWND target = FindTarget(pid, timeoutMs);
    if (!target || !replyTo) {
        fprintf(stderr, "formdrive: no program answers (started with KV_INSPECT=1?)\n");
        return kNoAnswer;
    }
    const DWORD start = GetTickCount();
    while (true) {
        std::wstring answer;
        if (!Ask(target, replyTo, request, answer)) {
            fprintf(stderr, "formdrive: no answer\n");
            return kNoAnswer;
        }
        const bool ok = answer.rfind(L"ok\t", 0) == 0;
        const std::wstring value = answer.substr(answer.find(L'\t') == std::wstring::npos
                                                     ? answer.size()
                                                     : answer.find(L'\t') + 1);
        if (command == L"wait") {
            if (ok && value == args[3])
                return kDone;
            if (GetTickCount() - start >= timeoutMs) {
                PrintUtf8(L"formdrive: still " + value + L"\n", stderr);
                return kRefused;
            }
            Sleep(50);
            continue;
        }
        PrintUtf8(value + (command == L"list" ? L"" : L"\n"), ok ? stdout : stderr);
        return ok ? kDone : kRefused;
    }
}
