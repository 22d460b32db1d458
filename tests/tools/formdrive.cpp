// formdrive: drives a running program of the form library from outside,
// through its inspection window (the program started with KV_INSPECT=1), as
// the screenshot, inspection and end-to-end tests need it:
//
//   formdrive [--pid <process id>] [--timeout <ms>] <command> ...
//     list                                 every component: path TAB class
//     find <path>                          the control's state, name=value fields
//     get <path> <property>                one property as text
//     click <path>                         a user's click (it happens after the answer)
//     select <form> <control> <index>      a user's choice in a drop-down list:
//                                          CB_SETCURSEL on its window, then
//                                          WM_COMMAND(CBN_SELCHANGE) to its parent
//     wait <path> <property> <value>       waits (up to --timeout, else 10 s) until
//                                          the property has the value
//     wait <form> <control> <property>=<value> <ms>
//                                          the same with its own limit; a control
//                                          equal to the form (or "-") is the form
//     box <ms>                             waits for a message box of the program:
//                                          its caption, text, then "buttons:" and
//                                          the buttons
//     answer yes|no|cancel|ok              clicks that button of the program's box
//     shot <file.png>                      a picture of the whole screen
//     shot <file.png> <left> <top> <width> <height>
//                                          a picture of a part of the screen
//     shot <file.png> <path>               a picture of the window (the form's,
//                                          or the control's) as it is on the screen
//
// A path is "Form.Control", "Control" or "Form". Without --pid the first
// inspection window found is used; --timeout is also how long formdrive
// looks for one (by default it looks once). Output is UTF-8, one line per
// item. Exit status 0 done; 1 the program answered with an error, the wait
// ran out or no box came; 2 no program answered; 3 usage; 4 the shot failed.
#include "controls/KvGraphics.h"
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
constexpr DWORD kDefaultWaitMs = 10000;

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

std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                      0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                            nullptr, nullptr);
    return bytes;
}

void Print(const std::wstring& text)
{
    const std::string utf8 = Utf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Fail(const std::wstring& text)
{
    std::fprintf(stderr, "formdrive: %s\n", Utf8(text).c_str());
}

struct TFindInspector {
    DWORD pid = 0;
    HWND found = nullptr;
};

BOOL CALLBACK FindInspectorProc(HWND wnd, LPARAM param)
{
    auto* find = reinterpret_cast<TFindInspector*>(param);
    wchar_t name[64] = {};
    GetClassNameW(wnd, name, 64);
    if (std::wstring(name) != kInspectClass)
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (find->pid == 0 || pid == find->pid) {
        find->found = wnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindInspector(DWORD pid)
{
    TFindInspector find{pid, nullptr};
    EnumWindows(FindInspectorProc, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

class TDriver {
public:
    TDriver(DWORD pid, DWORD lookMs) : pid_(pid), lookMs_(lookMs)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ReplyProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvFormDrive";
        RegisterClassW(&wc);
        self_ = CreateWindowExW(0, L"KvFormDrive", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                wc.hInstance, nullptr);
    }
    ~TDriver()
    {
        if (self_)
            DestroyWindow(self_);
    }
    TDriver(const TDriver&) = delete;
    TDriver& operator=(const TDriver&) = delete;

    // The program's answer ("ok\t..." or "error\t..."); "" when nobody answers.
    std::wstring Ask(const std::wstring& request)
    {
        HWND inspector = Inspector();
        if (!inspector || !self_)
            return L"";
        gReplied = false;
        gReply.clear();
        COPYDATASTRUCT data{};
        data.dwData = kInspectRequest;
        data.cbData = static_cast<DWORD>(request.size() * sizeof(wchar_t));
        data.lpData = const_cast<wchar_t*>(request.data());
        DWORD_PTR result = 0;
        SendMessageTimeoutW(inspector, WM_COPYDATA, reinterpret_cast<WPARAM>(self_),
                            reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 10000, &result);
        return gReplied ? gReply : L"";
    }
    DWORD Pid()
    {
        Inspector();
        return pid_;
    }

private:
    // Looked for until found or lookMs_ ran out; found once, kept.
    HWND Inspector()
    {
        if (inspector_ && IsWindow(inspector_))
            return inspector_;
        const DWORD start = GetTickCount();
        while (!(inspector_ = FindInspector(pid_)) && GetTickCount() - start < lookMs_)
            Sleep(50);
        if (inspector_ && !pid_)
            GetWindowThreadProcessId(inspector_, &pid_);
        return inspector_;
    }

    DWORD pid_;
    DWORD lookMs_;
    HWND self_ = nullptr;
    HWND inspector_ = nullptr;
};

bool IsOk(const std::wstring& answer, std::wstring& value)
{
    const size_t tab = answer.find(L'\t');
    const std::wstring status = answer.substr(0, tab);
    value = tab == std::wstring::npos ? L"" : answer.substr(tab + 1);
    return status == L"ok";
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

struct TBoxParts {
    std::wstring text;
    std::vector<std::pair<int, std::wstring>> buttons; // id, caption
};

TBoxParts ReadBox(HWND box)
{
    TBoxParts parts;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        const std::wstring cls = name;
        const int id = GetDlgCtrlID(child);
        if (_wcsicmp(cls.c_str(), L"Button") == 0)
            parts.buttons.emplace_back(id, WindowText(child));
        else if (_wcsicmp(cls.c_str(), L"Static") == 0 && !WindowText(child).empty())
            parts.text += (parts.text.empty() ? L"" : L"\n") + WindowText(child);
    }
    return parts;
}

int AnswerId(const std::wstring& word)
{
    static constexpr struct {
        const wchar_t* word;
        int id;
    } kAnswers[] = {{L"yes", IDYES}, {L"no", IDNO}, {L"cancel", IDCANCEL}, {L"ok", IDOK}};
    for (const auto& a : kAnswers)
        if (word == a.word)
            return a.id;
    return 0;
}

// The screen's pixels in a rectangle, every pixel opaque (the screen has no alpha).
bool SaveScreen(int left, int top, int width, int height, const std::wstring& file)
{
    if (width <= 0 || height <= 0)
        return false;
    TBitmap bitmap(width, height, TPixelFormat::pf24bit);
    HDC screen = GetDC(nullptr);
    const bool copied = !bitmap.Empty() &&
                        BitBlt(bitmap.Canvas().Handle(), 0, 0, width, height, screen, left, top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    if (!copied)
        return false;
    GdiFlush();
    TPNGPicture png;
    if (!png.Assign(bitmap) || !png.SaveToFile(file)) {
        Fail(L"the shot was not written");
        return false;
    }
    return true;
}

HWND HandleOf(TDriver& driver, const std::wstring& path, int& failure)
{
    std::wstring value;
    const std::wstring answer = driver.Ask(L"get\t" + path + L"\tHandle");
    if (answer.empty() || !IsOk(answer, value)) {
        Fail(L"no window for " + path);
        failure = answer.empty() ? kNoAnswer : kRefused;
        return nullptr;
    }
    HWND wnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::wcstoull(value.c_str(), nullptr, 10)));
    if (!IsWindow(wnd)) {
        Fail(L"no window for " + path);
        failure = kRefused;
        return nullptr;
    }
    return wnd;
}

int Shot(TDriver& driver, const std::vector<std::wstring>& args)
{
    if (args.size() == 2) {
        HDC screen = GetDC(nullptr);
        const int width = GetDeviceCaps(screen, HORZRES), height = GetDeviceCaps(screen, VERTRES);
        ReleaseDC(nullptr, screen);
        return SaveScreen(0, 0, width, height, args[1]) ? kDone : kShotFailed;
    }
    if (args.size() == 6)
        return SaveScreen(_wtoi(args[2].c_str()), _wtoi(args[3].c_str()), _wtoi(args[4].c_str()),
                          _wtoi(args[5].c_str()), args[1])
                   ? kDone
                   : kShotFailed;
    int failure = kDone;
    HWND wnd = HandleOf(driver, args[2], failure);
    if (!wnd)
        return failure;
    RECT r{};
    if (!GetWindowRect(wnd, &r))
        return kShotFailed;
    return SaveScreen(r.left, r.top, r.right - r.left, r.bottom - r.top, args[1]) ? kDone : kShotFailed;
}

int Wait(TDriver& driver, const std::wstring& path, const std::wstring& property, const std::wstring& wanted,
         DWORD ms)
{
    const DWORD start = GetTickCount();
    std::wstring last, value;
    bool answered = false;
    do {
        const std::wstring answer = driver.Ask(L"get\t" + path + L"\t" + property);
        answered = answered || !answer.empty();
        if (!answer.empty() && IsOk(answer, value)) {
            last = value;
            if (value == wanted)
                return kDone;
        }
        Sleep(50);
    } while (GetTickCount() - start < ms);
    Fail(path + L" " + property + L" is '" + last + L"', not '" + wanted + L"'");
    return answered ? kRefused : kNoAnswer;
}

int Select(TDriver& driver, const std::vector<std::wstring>& args)
{
    int failure = kDone;
    HWND combo = HandleOf(driver, args[1] + L"." + args[2], failure);
    if (!combo)
        return failure;
    const WPARAM index = static_cast<WPARAM>(_wtoi(args[3].c_str()));
    if (SendMessageW(combo, CB_SETCURSEL, index, 0) == CB_ERR) {
        Fail(L"no entry " + args[3] + L" in " + args[2]);
        return kRefused;
    }
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    return kDone;
}

int Usage()
{
    std::fprintf(stderr, "usage: formdrive [--pid <pid>] [--timeout <ms>] "
                         "list|find|get|click|select|wait|box|answer|shot ...\n");
    return kUsage;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD pid = 0;
    DWORD timeoutMs = 0;
    bool timeoutGiven = false;
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        if (!wcscmp(argv[i], L"--pid") && i + 1 < argc) {
            pid = wcstoul(argv[++i], nullptr, 10);
        } else if (!wcscmp(argv[i], L"--timeout") && i + 1 < argc) {
            timeoutMs = wcstoul(argv[++i], nullptr, 10);
            timeoutGiven = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    if (args.empty())
        return Usage();
    TDriver driver(pid, timeoutMs);
    const std::wstring& command = args[0];
    std::wstring value;

    if (command == L"list" || command == L"find" || command == L"get" || command == L"click") {
        std::wstring request = command;
        for (size_t i = 1; i < args.size(); ++i)
            request += L"\t" + args[i];
        const std::wstring answer = driver.Ask(request);
        if (answer.empty()) {
            Fail(L"no program answers (started with KV_INSPECT=1?)");
            return kNoAnswer;
        }
        if (!IsOk(answer, value)) {
            Fail(value);
            return kRefused;
        }
        if (command == L"find") {
            size_t start = 0;
            while (start <= value.size()) {
                const size_t tab = value.find(L'\t', start);
                Print(value.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
                if (tab == std::wstring::npos)
                    break;
                start = tab + 1;
            }
        } else if (command != L"click") {
            Print(value);
        }
        return kDone;
    }
    if (command == L"select" && args.size() == 4)
        return Select(driver, args);
    if (command == L"wait" && args.size() == 4)
        return Wait(driver, args[1], args[2], args[3], timeoutGiven ? timeoutMs : kDefaultWaitMs);
    if (command == L"wait" && args.size() == 5) {
        const std::wstring path = args[2] == args[1] || args[2] == L"-" ? args[1] : args[1] + L"." + args[2];
        const size_t eq = args[3].find(L'=');
        if (eq == std::wstring::npos)
            return Usage();
        return Wait(driver, path, args[3].substr(0, eq), args[3].substr(eq + 1),
                    static_cast<DWORD>(std::wcstoul(args[4].c_str(), nullptr, 10)));
    }
    if (command == L"box" && args.size() == 2) {
        const DWORD ms = static_cast<DWORD>(std::wcstoul(args[1].c_str(), nullptr, 10));
        const DWORD start = GetTickCount();
        do {
            if (HWND box = FindBox(driver.Pid())) {
                Sleep(100); // its controls are made with it; give it a moment to draw
                const TBoxParts parts = ReadBox(box);
                Print(L"caption=" + WindowText(box));
                Print(parts.text);
                std::wstring buttons = L"buttons:";
                for (const auto& [id, caption] : parts.buttons)
                    buttons += L" " + caption;
                Print(buttons);
                return kDone;
            }
            Sleep(50);
        } while (GetTickCount() - start < ms);
        Fail(L"no message box");
        return kRefused;
    }
    if (command == L"answer" && args.size() == 2) {
        const int id = AnswerId(args[1]);
        if (!id)
            return Usage();
        HWND box = FindBox(driver.Pid());
        if (!box) {
            Fail(L"no message box");
            return kRefused;
        }
        HWND button = GetDlgItem(box, id);
        if (!button) {
            Fail(L"the box has no " + args[1] + L" button");
            return kRefused;
        }
        SendMessageW(button, BM_CLICK, 0, 0);
        return kDone;
    }
    if (command == L"shot" && (args.size() == 2 || args.size() == 3 || args.size() == 6))
        return Shot(driver, args);
    return Usage();
}
