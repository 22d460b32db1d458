// formdrive: drives a running program of the form library from outside, as
// the screenshot and inspection tests need it.
//
//   formdrive [--pid N] [--timeout MS] get <path> <property>   prints the value
//   formdrive [--pid N] [--timeout MS] click <path>
//   formdrive [--pid N] [--timeout MS] wait <path> <property> <value>
//   formdrive [--pid N] wait <form> <control> <property>=<value> <ms>
//   formdrive [--pid N] list
//   formdrive [--pid N] find <path>      the control's state, one name=value a line
//   formdrive [--pid N] nodes <form> <control>   a tree view's nodes, one a line:
//                                        text, level, state, uniform, rect (the
//                                        row on the screen), split by tabs
//   formdrive [--pid N] clickat <form> <control> <x> <y>   a left press and
//                                        release at that point of the control
//   formdrive [--pid N] select <form> <control> <index>   chooses the entry of a
//                                        drop-down list as a user does: the
//                                        list's selection, then CBN_SELCHANGE
//                                        to its parent
//   formdrive [--pid N] box <ms>         waits for a message box of the program:
//                                        "caption=...", its text, "buttons: ..."
//   formdrive [--pid N] answer yes|no|cancel|ok   clicks that button of the box
//   formdrive shot <file.png> [left top width height]
//   formdrive [--pid N] shot <file.png> <path>    the window of a control
//
// get, click, wait, list, find, nodes, clickat and select talk to the program's
// inspection window (there only when it runs with KV_INSPECT=1; --pid picks the
// program, else the first one found); box and answer find the program's
// "#32770" window. shot captures the screen (a part of it, or a control's
// window) into a PNG. In the second form of wait, a control equal to the form
// (or "-") is the form itself. Exit codes: 0 done, 1 the program answered with
// an error (or wait timed out, or no box came), 2 no program answered, 3 usage,
// 4 the shot failed.

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

// A shot of the screen, of a part of it (six arguments), or of a
// control's window (three: the window handle's rectangle).
int Shot(const std::vector<std::wstring>& args, HWND window)
{
    if (args.size() != 2 && args.size() != 6 && !(args.size() == 3 && window))
        return kUsage;
    HDC screen = GetDC(nullptr);
    int left = 0, top = 0;
    int width = GetDeviceCaps(screen, HORZRES), height = GetDeviceCaps(screen, VERTRES);
    RECT r{};
    if (window && GetWindowRect(window, &r)) {
        left = r.left;
        top = r.top;
        width = r.right - r.left;
        height = r.bottom - r.top;
    } else if (args.size() == 6) {
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

struct TBoxSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindBoxProc(HWND wnd, LPARAM param)
{
    auto* search = reinterpret_cast<TBoxSearch*>(param);
    wchar_t name[16] = {};
    GetClassNameW(wnd, name, 16);
    DWORD owner = 0;
    GetWindowThreadProcessId(wnd, &owner);
    if (std::wstring(name) == L"#32770" && owner == search->pid && IsWindowVisible(wnd)) {
        search->found = wnd;
        return FALSE;
    }
    return TRUE;
}

// A visible message box ("#32770") of the process.
HWND FindBox(DWORD pid)
{
    TBoxSearch search{pid, nullptr};
    EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND wnd)
{
    const int length = static_cast<int>(SendMessageW(wnd, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

// The box's caption, its text and its buttons, as lines.
std::wstring DescribeBox(HWND box)
{
    std::wstring text, buttons = L"buttons:";
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        const std::wstring caption = WindowText(child);
        if (_wcsicmp(name, L"Button") == 0)
            buttons += L" " + caption;
        else if (_wcsicmp(name, L"Static") == 0 && !caption.empty())
            text += caption + L"\n";
    }
    return L"caption=" + WindowText(box) + L"\n" + text + buttons + L"\n";
}

int AnswerId(const std::wstring& word)
{
    if (word == L"yes")
        return IDYES;
    if (word == L"no")
        return IDNO;
    if (word == L"cancel")
        return IDCANCEL;
    if (word == L"ok")
        return IDOK;
    return 0;
}

DWORD TargetPid(HWND target)
{
    DWORD pid = 0;
    if (target)
        GetWindowThreadProcessId(target, &pid);
    return pid;
}

int Box(HWND target, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    const DWORD pid = TargetPid(target);
    while (true) {
        if (HWND box = FindBox(pid)) {
            Sleep(100); // its controls come with it; let it finish drawing
            PrintUtf8(DescribeBox(box), stdout);
            return kDone;
        }
        if (GetTickCount() - start >= timeoutMs) {
            fprintf(stderr, "formdrive: no message box\n");
            return kRefused;
        }
        Sleep(50);
    }
}

int Answer(HWND target, const std::wstring& word)
{
    const int id = AnswerId(word);
    if (!id)
        return kUsage;
    HWND box = FindBox(TargetPid(target));
    HWND button = box ? GetDlgItem(box, id) : nullptr;
    if (!button) {
        PrintUtf8(L"formdrive: no box with a " + word + L" button\n", stderr);
        return kRefused;
    }
    SendMessageW(button, BM_CLICK, 0, 0);
    return kDone;
}

// The entry Index of the drop-down list chosen as a user's choice arrives:
// the selection moves, then the list tells its parent (WM_COMMAND with
// CBN_SELCHANGE), which runs the program's change handler before this returns.
int Select(HWND list, const std::wstring& indexText, DWORD timeoutMs)
{
    wchar_t* end = nullptr;
    const long index = wcstol(indexText.c_str(), &end, 10);
    if (indexText.empty() || *end || index < 0)
        return kUsage;
    wchar_t name[32] = {};
    GetClassNameW(list, name, 32);
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &count) ||
        static_cast<LRESULT>(count) == CB_ERR) {
        PrintUtf8(L"formdrive: not a drop-down list (" + std::wstring(name) + L")\n", stderr);
        return kRefused;
    }
    if (static_cast<DWORD_PTR>(index) >= count) {
        fprintf(stderr, "formdrive: the list has %u entries\n", static_cast<unsigned>(count));
        return kRefused;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0, SMTO_ABORTIFHUNG,
                             timeoutMs, &result) ||
        static_cast<LRESULT>(result) != index) {
        fprintf(stderr, "formdrive: the list refused entry %ld\n", index);
        return kRefused;
    }
    HWND parent = GetParent(list);
    const WPARAM command = MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(list)), CBN_SELCHANGE);
    if (!parent || !SendMessageTimeoutW(parent, WM_COMMAND, command, reinterpret_cast<LPARAM>(list),
                                        SMTO_ABORTIFHUNG, timeoutMs, &result)) {
        fprintf(stderr, "formdrive: the list's parent did not take the change\n");
        return kRefused;
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
        fprintf(stderr, "usage: formdrive [--pid N] [--timeout MS] get|click|wait|list|find|nodes|clickat|select|box|answer|shot ...\n");
        return kUsage;
    }
    const std::wstring& command = args[0];
    if (command == L"shot" && args.size() != 3)
        return Shot(args, nullptr);

    // wait <form> <control> <property>=<value> <ms> is wait <path> <property> <value>.
    if (command == L"wait" && args.size() == 5 && args[3].find(L'=') != std::wstring::npos) {
        const std::wstring path = args[2] == args[1] || args[2] == L"-" ? args[1] : args[1] + L"." + args[2];
        const size_t eq = args[3].find(L'=');
        timeoutMs = wcstoul(args[4].c_str(), nullptr, 10);
        args = {L"wait", path, args[3].substr(0, eq), args[3].substr(eq + 1)};
    }
    std::wstring request;
    if (command == L"get" && args.size() == 3)
        request = L"get\t" + args[1] + L"\t" + args[2];
    else if (command == L"wait" && args.size() == 4)
        request = L"get\t" + args[1] + L"\t" + args[2];
    else if (command == L"click" && args.size() == 2)
        request = L"click\t" + args[1];
    else if (command == L"list" && args.size() == 1)
        request = L"list";
    else if (command == L"find" && args.size() == 2)
        request = L"find\t" + args[1];
    else if (command == L"nodes" && args.size() == 3)
        request = L"nodes\t" + args[1] + L"." + args[2];
    else if (command == L"clickat" && args.size() == 5)
        request = L"clickat\t" + args[1] + L"." + args[2] + L"\t" + args[3] + L"\t" + args[4];
    else if (command == L"shot")
        request = L"get\t" + args[2] + L"\tHandle";
    else if (command == L"select" && args.size() == 4)
        request = L"get\t" + args[1] + L"." + args[2] + L"\tHandle";
    else if ((command == L"box" && args.size() == 2) || (command == L"answer" && args.size() == 2))
        request.clear();
    else
        return kUsage;

    WNDCLASSW wc{};
    wc.lpfnWndProc = ReplyProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvFormDriveReply";
    RegisterClassW(&wc);
    HWND replyTo = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                   wc.hInstance, nullptr);
    HWND target = FindTarget(pid, command == L"box" ? 0 : timeoutMs);
    if (!target || !replyTo) {
        fprintf(stderr, "formdrive: no program answers (started with KV_INSPECT=1?)\n");
        return kNoAnswer;
    }
    if (command == L"box")
        return Box(target, wcstoul(args[1].c_str(), nullptr, 10));
    if (command == L"answer")
        return Answer(target, args[1]);
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
        if (command == L"select") {
            HWND list = ok ? reinterpret_cast<HWND>(static_cast<uintptr_t>(wcstoull(value.c_str(), nullptr, 10)))
                           : nullptr;
            if (!list || !IsWindow(list)) {
                PrintUtf8(L"formdrive: no window for " + args[1] + L"." + args[2] + L"\n", stderr);
                return kRefused;
            }
            return Select(list, args[3], timeoutMs);
        }
        if (command == L"shot") {
            HWND window = ok ? reinterpret_cast<HWND>(static_cast<uintptr_t>(wcstoull(value.c_str(), nullptr, 10)))
                             : nullptr;
            if (!window || !IsWindow(window)) {
                PrintUtf8(L"formdrive: no window for " + args[2] + L"\n", stderr);
                return kRefused;
            }
            return Shot(args, window);
        }
        if (command == L"find" && ok) {
            std::wstring lines = value;
            for (wchar_t& c : lines)
                if (c == L'\t')
                    c = L'\n';
            PrintUtf8(lines + L"\n", stdout);
            return kDone;
        }
        PrintUtf8(value + (command == L"list" || command == L"nodes" ? L"" : L"\n"), ok ? stdout : stderr);
        return ok ? kDone : kRefused;
    }
}
