// Drives a running program of the form library from outside, through its
// inspection window (the program started with KV_INSPECT=1):
//
//   formdrive [--pid <process id>] <command> ...
//     list                                 every component: path TAB class
//     find <path>                          the control's state, name=value fields
//     get <path> <property>                one property as text
//     click <path>                         a user's click (it happens after the answer)
//     nodes <form> <control>               a tree view's nodes, one line each:
//                                          text, level, state, uniform, rect
//                                          (the row in screen coordinates)
//     clickat <form> <control> <x> <y>     a left press and release at that point
//                                          of the control
//     wait <form> <control> <property>=<value> <ms>
//                                          waits until the property has the value
//     box <ms>                             waits for a message box of the program:
//                                          its text, then "buttons:" and the buttons
//     answer yes|no|cancel|ok              clicks that button of the program's box
//     shot <file.png> [<path>]             a picture of the window (the form's,
//                                          or the control's) as it is on the screen
//
// A path is "Form.Control", "Control" or "Form"; for wait, a control equal to
// the form (or "-") is the form itself. Without --pid the one inspection
// window there is is used. Output is UTF-8, one line per item.
// Exit status 0; 1 when the program answers an error, the wait runs out or
// no box comes; 2 for a usage error or no program to drive.
#include "controls/KvGraphics.h"
#include "controls/KvInspect.h"
#include "controls/KvPng.h"
#include "platform/UnicodeU.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

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
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

void Print(const std::wstring& text)
{
    const std::string utf8 = WideToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
}

void Fail(const std::wstring& text)
{
    const std::string utf8 = WideToUtf8(text);
    std::fprintf(stderr, "formdrive: %s\n", utf8.c_str());
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
    explicit TDriver(DWORD pid) : pid_(pid)
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

    // The program's answer ("ok\t..." or "error\t..."); "" when nobody answers.
    std::wstring Ask(const std::wstring& request)
    {
        HWND inspector = FindInspector(pid_);
        if (!inspector || !self_)
            return L"";
        if (!pid_)
            GetWindowThreadProcessId(inspector, &pid_);
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
        if (!pid_)
            if (HWND inspector = FindInspector(0))
                GetWindowThreadProcessId(inspector, &pid_);
        return pid_;
    }

private:
    DWORD pid_;
    HWND self_ = nullptr;
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

bool SaveShot(HWND wnd, const std::wstring& file)
{
    RECT r{};
    if (!GetWindowRect(wnd, &r) || r.right <= r.left || r.bottom <= r.top)
        return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    TBitmap bitmap(w, h);
    HDC screen = GetDC(nullptr);
    BitBlt(bitmap.Canvas().Handle(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    GdiFlush();
    TPNGPicture png;
    // The screen has no alpha: every pixel opaque.
    png.SetSize(w, h, false);
    uint8_t* out = png.MutablePixels();
    if (!out)
        return false;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = row + x * bitmap.BytesPerPixel();
            uint8_t* q = out + (static_cast<size_t>(y) * w + x) * 4;
            q[0] = p[0];
            q[1] = p[1];
            q[2] = p[2];
            q[3] = 255;
        }
    }
    png.Modified();
    return png.SaveToFile(WideToAnsi(file));
}

int Usage()
{
    std::fprintf(stderr, "usage: formdrive [--pid <pid>] list|find|get|click|nodes|clickat|wait|box|answer|shot ...\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::wstring> args(argv + 1, argv + argc);
    DWORD pid = 0;
    if (args.size() >= 2 && args[0] == L"--pid") {
        pid = static_cast<DWORD>(std::wcstoul(args[1].c_str(), nullptr, 10));
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage();
    TDriver driver(pid);
    const std::wstring& command = args[0];
    std::wstring value;

    // nodes and clickat name the form and the control apart.
    if ((command == L"nodes" && args.size() == 3) || (command == L"clickat" && args.size() == 5)) {
        args[1] += L"." + args[2];
        args.erase(args.begin() + 2);
    }
    if (command == L"list" || command == L"find" || command == L"get" || command == L"click" ||
        command == L"nodes" || command == L"clickat") {
        std::wstring request = command;
        for (size_t i = 1; i < args.size(); ++i)
            request += L"\t" + args[i];
        const std::wstring answer = driver.Ask(request);
        if (answer.empty()) {
            Fail(L"no program answers (started with KV_INSPECT=1?)");
            return 2;
        }
        const bool ok = IsOk(answer, value);
        if (!ok) {
            Fail(value);
            return 1;
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
        } else if (command == L"nodes") {
            if (!value.empty() && value.back() == L'\n')
                value.pop_back();
            if (!value.empty())
                Print(value);
        } else if (command != L"click" && command != L"clickat") {
            Print(value);
        }
        return 0;
    }
    if (command == L"wait" && args.size() == 5) {
        const std::wstring path = args[2] == args[1] || args[2] == L"-" ? args[1] : args[1] + L"." + args[2];
        const size_t eq = args[3].find(L'=');
        if (eq == std::wstring::npos)
            return Usage();
        const std::wstring property = args[3].substr(0, eq), wanted = args[3].substr(eq + 1);
        const DWORD ms = static_cast<DWORD>(std::wcstoul(args[4].c_str(), nullptr, 10));
        const DWORD start = GetTickCount();
        std::wstring last;
        do {
            const std::wstring answer = driver.Ask(L"get\t" + path + L"\t" + property);
            if (!answer.empty() && IsOk(answer, value)) {
                last = value;
                if (value == wanted)
                    return 0;
            }
            Sleep(50);
        } while (GetTickCount() - start < ms);
        Fail(path + L" " + property + L" is '" + last + L"', not '" + wanted + L"'");
        return 1;
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
                return 0;
            }
            Sleep(50);
        } while (GetTickCount() - start < ms);
        Fail(L"no message box");
        return 1;
    }
    if (command == L"answer" && args.size() == 2) {
        const int id = AnswerId(args[1]);
        if (!id)
            return Usage();
        HWND box = FindBox(driver.Pid());
        if (!box) {
            Fail(L"no message box");
            return 1;
        }
        HWND button = GetDlgItem(box, id);
        if (!button) {
            Fail(L"the box has no " + args[1] + L" button");
            return 1;
        }
        SendMessageW(button, BM_CLICK, 0, 0);
        return 0;
    }
    if (command == L"shot" && (args.size() == 2 || args.size() == 3)) {
        const std::wstring path = args.size() == 3 ? args[2] : L"MainForm";
        const std::wstring answer = driver.Ask(L"get\t" + path + L"\tHandle");
        if (answer.empty() || !IsOk(answer, value)) {
            Fail(L"no window for " + path);
            return answer.empty() ? 2 : 1;
        }
        HWND wnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::wcstoull(value.c_str(), nullptr, 10)));
        if (!IsWindow(wnd) || !SaveShot(wnd, args[1])) {
            Fail(L"no picture of " + path);
            return 1;
        }
        return 0;
    }
    return Usage();
}
