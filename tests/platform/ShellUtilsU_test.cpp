#include "FakeShellWindows.h"

#include "platform/ShellUtilsU.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The shell seam: records every call, starts nothing.

struct ShellCall {
    HWND wnd;
    std::string verb;
    std::string file;
    bool hasParams;
    std::string params;
    bool hasDir;
    std::string dir;
    INT show;
};
std::vector<ShellCall> gCalls;
INT_PTR gAnswer = 42;

HINSTANCE WINAPI Record(HWND wnd, LPCSTR verb, LPCSTR file, LPCSTR params, LPCSTR dir, INT show)
{
    gCalls.push_back({wnd, verb ? verb : "", file ? file : "", params != nullptr,
                      params ? params : "", dir != nullptr, dir ? dir : "", show});
    return reinterpret_cast<HINSTANCE>(gAnswer);
}

class ShellUtilsU : public ::testing::Test {
protected:
    void SetUp() override
    {
        gCalls.clear();
        gAnswer = 42;
        previous_ = SetShellExecuteCall(&Record);
    }
    void TearDown() override { SetShellExecuteCall(previous_); }

private:
    TShellExecuteCall previous_ = nullptr;
};

TEST_F(ShellUtilsU, OpenUrlTrimsAndHandsOnlyWebAddressesToTheShell)
{
    const struct {
        const char* url;
        const char* passed; // nullptr: no shell call, False
    } cases[] = {
        {"", nullptr},
        {"  ", nullptr},
        {" https://h/p ", "https://h/p"},
        {"\t\r\nhttp://h/p?a=1&b=2\x01", "http://h/p?a=1&b=2"},
        {"HTTP://H", "HTTP://H"},
        {"HtTpS://h", "HtTpS://h"},
        {"C:\\x.exe", nullptr},
        {"file:///C:/x", nullptr},
        {"\\\\h\\s\\x.exe", nullptr},
        {"ftp://h", nullptr},
        {"javascript:x", nullptr},
        {"mailto:a@b", nullptr},
        {"http:/h", nullptr},
        {"httpx://h", nullptr},
        {" x https://h", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        gCalls.clear();
        EXPECT_EQ(c.passed != nullptr, OpenUrl(c.url));
        if (!c.passed) {
            EXPECT_TRUE(gCalls.empty());
            continue;
        }
        ASSERT_EQ(1u, gCalls.size());
        const ShellCall& call = gCalls[0];
        EXPECT_EQ(nullptr, call.wnd);
        EXPECT_EQ("open", call.verb);
        EXPECT_EQ(c.passed, call.file);
        EXPECT_FALSE(call.hasParams);
        EXPECT_FALSE(call.hasDir);
        EXPECT_EQ(SW_SHOWNORMAL, call.show);
    }
}

TEST_F(ShellUtilsU, OnlyResultsAboveThirtyTwoCountAsSuccess)
{
    for (INT_PTR answer : {0, 2, 31, 32}) {
        gAnswer = answer;
        EXPECT_FALSE(OpenUrl("https://h")) << answer;
        EXPECT_FALSE(ShellOpen("C:\\a.exe", "", nullptr, "")) << answer;
        EXPECT_FALSE(ShellRunAs("C:\\a.exe", "", nullptr, "")) << answer;
    }
    gAnswer = 33;
    EXPECT_TRUE(OpenUrl("https://h"));
    EXPECT_TRUE(ShellOpen("C:\\a.exe", "", nullptr, ""));
    EXPECT_TRUE(ShellRunAs("C:\\a.exe", "", nullptr, ""));
}

TEST_F(ShellUtilsU, ShellOpenAndRunAsPassTheirArguments)
{
    HWND owner = reinterpret_cast<HWND>(0x1234);
    ASSERT_TRUE(ShellOpen("C:\\p\\a.exe", "/x y", owner, "C:\\p\\"));
    ASSERT_TRUE(ShellRunAs("C:\\p\\b.exe", "", nullptr, ""));
    ASSERT_EQ(2u, gCalls.size());
    EXPECT_EQ(owner, gCalls[0].wnd);
    EXPECT_EQ("open", gCalls[0].verb);
    EXPECT_EQ("C:\\p\\a.exe", gCalls[0].file);
    EXPECT_EQ("/x y", gCalls[0].params);
    EXPECT_EQ("C:\\p\\", gCalls[0].dir);
    EXPECT_EQ(SW_SHOW, gCalls[0].show);
    EXPECT_EQ("runas", gCalls[1].verb);
    EXPECT_FALSE(gCalls[1].hasParams) << "an empty text passes none";
    EXPECT_FALSE(gCalls[1].hasDir);
    EXPECT_EQ(SW_SHOW, gCalls[1].show);
}

TEST(ShellUtilsUUrl, UrlFileNameKeepsTheLastPathPieceWithoutItsQuery)
{
    const struct {
        const char* url;
        const char* name;
    } cases[] = {
        {"dir/sub/b.exe?x=1", "b.exe"},
        {"https://h/updates/Korvelle.cab", "Korvelle.cab"},
        {"https://h/dir/", ""},
        {"file.zip", "file.zip"},
        {"a.exe?x=1", "a.exe"},
        {"https://h/a?b/c.exe", "c.exe"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.name, UrlFileName(c.url)) << c.url;
}

// ---------------------------------------------------------------------------
// Internet Explorer windows

// A message-only window of a given class: its class name is real, it needs
// no desktop, and posted messages land in this thread's queue.
class ClassWindow {
public:
    explicit ClassWindow(const wchar_t* className)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = className;
        RegisterClassW(&wc);
        wnd_ = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    }
    ~ClassWindow()
    {
        if (wnd_)
            DestroyWindow(wnd_);
    }
    HWND get() const { return wnd_; }

private:
    HWND wnd_ = nullptr;
};

std::vector<HWND> TakeQuitMessages()
{
    std::vector<HWND> targets;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        targets.push_back(msg.hwnd);
    return targets;
}

TEST(ShellUtilsUWindows, OnlyInternetExplorerWindowsAreClosedLastFirst)
{
    ClassWindow ieFirst(L"IEFrame");
    ClassWindow ieSecond(L"IEFrame");
    ClassWindow folder(L"CabinetWClass");
    ASSERT_TRUE(ieFirst.get() && ieSecond.get() && folder.get());
    TakeQuitMessages();
    fakeshell::Log().clear();
    using fakeshell::ItemKind;
    IShellWindows* list = fakeshell::MakeList({
        {ItemKind::Browser, ieFirst.get()},   // 0
        {ItemKind::NotABrowser, nullptr},     // 1
        {ItemKind::Browser, folder.get()},    // 2: an Explorer folder window
        {ItemKind::FailingItem, nullptr},     // 3
        {ItemKind::FailingHwnd, nullptr},     // 4
        {ItemKind::Browser, ieSecond.get()},  // 5
    });
    CloseIEWindowsIn(list, L"{BAR-CLSID}");
    fakeshell::ReleaseList(list);

    const std::vector<std::string> expected = {
        "bar 5 {BAR-CLSID} false", "quit 5", "bar 0 {BAR-CLSID} false", "quit 0"};
    EXPECT_EQ(expected, fakeshell::Log());
    EXPECT_EQ((std::vector<HWND>{ieSecond.get(), ieFirst.get()}), TakeQuitMessages());
    EXPECT_EQ(0, fakeshell::LiveObjects()) << "every item and browser must be released";

    // Without a bar, none is closed.
    fakeshell::Log().clear();
    list = fakeshell::MakeList({{ItemKind::Browser, ieFirst.get()}});
    CloseIEWindowsIn(list, L"");
    fakeshell::ReleaseList(list);
    EXPECT_EQ((std::vector<std::string>{"quit 0"}), fakeshell::Log());
    EXPECT_EQ((std::vector<HWND>{ieFirst.get()}), TakeQuitMessages());
    CloseIEWindowsIn(nullptr, L"");
}

std::string gDebugOutput;

LONG CALLBACK CatchDebugOutput(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
        record->ExceptionInformation[1])
        gDebugOutput += reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(ShellUtilsUWindows, AFailedCreationWritesItsResultToTheDebugger)
{
    gDebugOutput.clear();
    void* handler = AddVectoredExceptionHandler(1, CatchDebugOutput);
    bool created = true;
    // A thread without COM: CoCreateInstance fails with CO_E_NOTINITIALIZED.
    std::thread worker([&] { created = static_cast<bool>(CreateShellWindows()); });
    worker.join();
    RemoveVectoredExceptionHandler(handler);
    EXPECT_FALSE(created);
    EXPECT_NE(std::string::npos, gDebugOutput.find("800401F0")) << gDebugOutput;
}

TEST(ShellUtilsUWindows, TheSystemsShellWindowListHoldsNoBrowserHere)
{
    // The 32-bit Wine registers no ShellWindows class (80040154 goes to the
    // debugger); the 64-bit one hands out a list whose Count fails. Either way
    // nothing is closed and nothing breaks.
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    gDebugOutput.clear();
    void* handler = AddVectoredExceptionHandler(1, CatchDebugOutput);
    TComOwner<IShellWindows> windows = CreateShellWindows();
    CloseIEWindows(L"{00000000-0000-0000-0000-000000000000}");
    RemoveVectoredExceptionHandler(handler);
    if (windows) {
        long count = 0;
        if (SUCCEEDED(windows->get_Count(&count))) {
            EXPECT_GE(count, 0);
        }
    } else {
        EXPECT_NE(std::string::npos, gDebugOutput.find("80040154")) << gDebugOutput;
    }
    windows.reset();
    CoUninitialize();
}

TEST(ShellUtilsUDesktop, IsIEWindowOpenSeesATopLevelIEFrame)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X display for a top-level window (./test.sh runs "
                        "the tests under Xvfb)";
    EXPECT_FALSE(IsIEWindowOpen());
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"IEFrame";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowExW(0, L"IEFrame", L"ie", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr,
                               nullptr, wc.hInstance, nullptr);
    ASSERT_NE(nullptr, wnd);
    EXPECT_TRUE(IsIEWindowOpen());
    DestroyWindow(wnd);
    EXPECT_FALSE(IsIEWindowOpen());
}

} // namespace
