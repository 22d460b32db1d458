#include "TrayTest.h"

#include "platform/qvCommon.h"
#include "tray/TranslatorU.h"
#include "tray/WinLibU.h"

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace traytest;

namespace {

// ---------------------------------------------------------------------------
// Recording the library's Win32 calls

struct TCreateCall {
    std::string className;
    DWORD style = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND parent = nullptr;
};
struct TRecorded {
    std::vector<std::string> registered;
    std::vector<TCreateCall> created;
    std::vector<UINT> popupFlags;
    std::vector<HWND> popupOwners;
    int popupAnswer = 0;
};
TRecorded gRecorded;

ATOM WINAPI RecordRegister(const WNDCLASSA* Class)
{
    gRecorded.registered.push_back(Class->lpszClassName);
    return RegisterClassA(Class);
}

HWND WINAPI RecordCreate(DWORD ExStyle, LPCSTR ClassName, LPCSTR Caption, DWORD Style, int X, int Y,
                         int Width, int Height, HWND Parent, HMENU Menu, HINSTANCE Instance,
                         LPVOID Param)
{
    gRecorded.created.push_back({ClassName, Style, X, Y, Width, Height, Parent});
    return CreateWindowExA(ExStyle, ClassName, Caption, Style, X, Y, Width, Height, Parent, Menu,
                           Instance, Param);
}

BOOL WINAPI RecordPopup(HMENU, UINT Flags, int, int, int, HWND Owner, const RECT*)
{
    gRecorded.popupFlags.push_back(Flags);
    gRecorded.popupOwners.push_back(Owner);
    return gRecorded.popupAnswer;
}

class WinLibDesktop : public TrayFixture {
protected:
    void SetUp() override
    {
        TrayFixture::SetUp();
        KTEST_NEEDS_DISPLAY();
        gRecorded = {};
        TWinLibCalls calls;
        calls.registerClass = &RecordRegister;
        calls.createWindowEx = &RecordCreate;
        SetWinLibCalls(&calls);
    }
    void TearDown() override
    {
        SetWinLibCalls(nullptr);
        TrayFixture::TearDown();
    }

    static bool ClassExists(const std::string& Name)
    {
        WNDCLASSA wc{};
        return GetClassInfoA(GetModuleHandleA(nullptr), Name.c_str(), &wc) != FALSE;
    }
    // Takes every waiting message; true when WM_QUIT was among them.
    static bool Drain(TControl* Control = nullptr)
    {
        bool quit = false;
        while (ProcessOneMessage(Control, &quit)) {
        }
        return quit;
    }
};

std::unique_ptr<TControl> MakeTrayWindow()
{
    auto window = CreateAppWindow(kTrayWindowClassName);
    window->SetStyle(0);
    window->SetClassName(kTrayWindowClassName);
    return window;
}

// ---------------------------------------------------------------------------
// Windows

TEST_F(WinLibDesktop, TheTrayWindowIsAHiddenTopLevelWindowOfItsOwnClass)
{
    const bool registeredBefore = ClassExists(kTrayWindowClassName);
    auto window = MakeTrayWindow();
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    EXPECT_EQ(registeredBefore ? 0u : 1u, gRecorded.registered.size());
    ASSERT_EQ(1u, gRecorded.created.size());
    const TCreateCall& call = gRecorded.created[0];
    EXPECT_EQ(kTrayWindowClassName, call.className);
    EXPECT_EQ(0u, call.style);
    for (int value : {call.x, call.y, call.width, call.height})
        EXPECT_EQ(CW_USEDEFAULT, value);
    EXPECT_EQ(nullptr, call.parent);

    // Top-level, so that FindWindowA, WM_ENDSESSION and broadcasts reach it
    // (Wine's FindWindowA would find a message-only window too).
    EXPECT_EQ(GetDesktopWindow(), GetAncestor(wnd, GA_PARENT));
    EXPECT_EQ(wnd, FindWindowA(kTrayWindowClassName, "KorvelleTray"));
    EXPECT_FALSE(IsWindowVisible(wnd));
    EXPECT_FALSE(window->Visible());
    // The stored style is 0; the system adds caption bits of its own.
    EXPECT_EQ(0u, window->Style());
    EXPECT_EQ(0u, GetClassLongA(wnd, GCL_STYLE));
    EXPECT_NE(reinterpret_cast<LONG_PTR>(&DefWindowProcA), GetClassLongPtrA(wnd, GCLP_WNDPROC));
    EXPECT_EQ(window.get(), GetPropA(wnd, kSelfProperty));
    EXPECT_EQ(&DefWindowProcA, window->DefaultProc());
    // Not marked as a control: it carries the program's icon.
    EXPECT_NE(nullptr, window->BigIcon());
    EXPECT_EQ(reinterpret_cast<LRESULT>(window->BigIcon()),
              SendMessageA(wnd, WM_GETICON, ICON_BIG, 0));

    // Made again: the class is registered once per process.
    window.reset();
    EXPECT_FALSE(IsWindow(wnd));
    gRecorded = {};
    window = MakeTrayWindow();
    ASSERT_NE(nullptr, window->GetHandle());
    EXPECT_TRUE(gRecorded.registered.empty());
}

TEST_F(WinLibDesktop, TheHookSeesTheFirstMessageBeforeCreationEnds)
{
    struct TSeen {
        UINT msg;
        HWND known;
    };
    std::vector<TSeen> seen;
    auto window = CreateAppWindow("hook order");
    TControl* raw = window.get();
    window->SetClassName("KvTestHookOrder");
    window->SetStyle(0);
    window->SetMessageHook([&](TMsg& Msg) {
        seen.push_back({Msg.Msg, raw->Handle()});
        return false;
    });
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(static_cast<UINT>(WM_GETMINMAXINFO), seen[0].msg);
    EXPECT_EQ(wnd, seen[0].known) << "the object knows its window from the first message on";
    const auto nccreate =
        std::find_if(seen.begin(), seen.end(), [](const TSeen& s) { return s.msg == WM_NCCREATE; });
    EXPECT_NE(seen.end(), nccreate);
}

TEST_F(WinLibDesktop, HookOrderAndAThrowingHookKeepTheWindowBound)
{
    constexpr UINT kProbe = WM_APP + 7;
    std::vector<std::string> order;
    bool fail = true;
    auto window = CreateAppWindow("hooks");
    window->SetClassName("KvTestHooks");
    window->SetStyle(0);
    window->SetMessageHook([&](TMsg& Msg) {
        if (Msg.Msg != kProbe)
            return false;
        order.push_back("hook");
        if (fail)
            throw std::runtime_error("hook failed");
        return false;
    });
    window->AddHook([&](TMsg& Msg) {
        if (Msg.Msg == kProbe)
            order.push_back("first added");
        return false;
    });
    window->AddHook([&](TMsg& Msg) {
        if (Msg.Msg != kProbe)
            return false;
        order.push_back("last added");
        Msg.Result = 42;
        return Msg.LParam == 1;
    });
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);

    // The failing handler gets the default answer, and the process and the
    // binding survive.
    EXPECT_EQ(0, SendMessageA(wnd, kProbe, 0, 1));
    EXPECT_EQ(window.get(), GetPropA(wnd, kSelfProperty));
    fail = false;
    order.clear();
    EXPECT_EQ(42, SendMessageA(wnd, kProbe, 0, 1));
    EXPECT_EQ((std::vector<std::string>{"hook", "last added"}), order);
    order.clear();
    EXPECT_EQ(0, SendMessageA(wnd, kProbe, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"hook", "last added", "first added"}), order);
}

TEST_F(WinLibDesktop, DestructionMessagesNoLongerReachTheObject)
{
    int destroys = 0;
    auto window = CreateAppWindow("destroy");
    window->SetClassName("KvTestDestroy");
    window->SetStyle(0);
    window->SetMessageHook([&](TMsg& Msg) {
        if (Msg.Msg == WM_DESTROY || Msg.Msg == WM_NCDESTROY)
            ++destroys;
        return false;
    });
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    window.reset();
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_EQ(0, destroys);
}

TEST_F(WinLibDesktop, ASecondWindowOfAnOwnClassEndsInTheDefaultProcedure)
{
    auto first = CreateAppWindow("first");
    first->SetClassName("KvTestOwnClass");
    first->SetStyle(0);
    ASSERT_NE(nullptr, first->GetHandle());
    auto second = CreateAppWindow("second");
    second->SetClassName("KvTestOwnClass");
    second->SetStyle(0);
    ASSERT_NE(nullptr, second->GetHandle());
    EXPECT_EQ(&DefWindowProcA, second->DefaultProc());
    // Would recurse without end if the library's procedure were its default.
    char text[32] = {};
    EXPECT_EQ(
        6, SendMessageA(second->Handle(), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)));
    EXPECT_STREQ("second", text);
    EXPECT_EQ(1u, gRecorded.registered.size());
}

TEST_F(WinLibDesktop, ChildStyleWithoutParentMakesNothing)
{
    auto window = CreateAppWindow("child");
    window->SetClassName("KvTestChildNoParent");
    window->SetStyle(WS_CHILD);
    EXPECT_FALSE(window->CreateWindowHandle());
    EXPECT_EQ(nullptr, window->GetHandle());
    EXPECT_TRUE(gRecorded.registered.empty());
    EXPECT_TRUE(gRecorded.created.empty());
    EXPECT_FALSE(ClassExists("KvTestChildNoParent"));
}

TEST_F(WinLibDesktop, AFailedCreationLeavesNoWindowAndAnEmptySlot)
{
    auto window = CreateAppWindow("refused");
    window->SetClassName("KvTestRefused");
    window->SetStyle(0);
    window->SetMessageHook([](TMsg& Msg) {
        if (Msg.Msg != WM_NCCREATE)
            return false;
        Msg.Result = FALSE; // refuses creation
        return true;
    });
    EXPECT_FALSE(window->CreateWindowHandle());
    EXPECT_EQ(nullptr, window->Handle());
    // A window of that class made outside the library is bound to nothing.
    HWND other = CreateWindowExA(0, "KvTestRefused", "other", 0, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(nullptr, GetPropA(other, kSelfProperty));
    DestroyWindow(other);
}

TEST_F(WinLibDesktop, SettingChangeShowsTheCaptionAgain)
{
    struct TRestore {
        ~TRestore() { TTranslator2::Instance().SetShowHash(false); }
    } restore;
    auto window = MakeTrayWindow();
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    char text[64] = {};
    SendMessageA(wnd, WM_SETTINGCHANGE, 0, 0);
    SendMessageA(wnd, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("OTHER"));
    SendMessageA(wnd, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("SHOW_HAS"));
    GetWindowTextA(wnd, text, sizeof text);
    EXPECT_STREQ("KorvelleTray", text);
    SendMessageA(wnd, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("SHOW_HASH"));
    GetWindowTextA(wnd, text, sizeof text);
    EXPECT_STREQ("KorvelleTray~KorvelleTray", text);
    EXPECT_TRUE(TTranslator2::Instance().ShowHash());
}

TEST_F(WinLibDesktop, ClosingTheApplicationWindowEndsTheLoopNotTheWindow)
{
    auto window = MakeTrayWindow();
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    Drain();
    PostMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Drain(window.get()));
    EXPECT_TRUE(IsWindow(wnd));
}

TEST_F(WinLibDesktop, ProcessOneMessageTakesTheThreadsQueueAndReportsQuit)
{
    constexpr UINT kProbe = WM_APP + 9;
    std::vector<UINT> seen;
    auto window = MakeTrayWindow();
    window->SetMessageHook([&](TMsg& Msg) {
        if (Msg.Msg == kProbe || Msg.Msg == WM_QUIT)
            seen.push_back(Msg.Msg);
        return false;
    });
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    Drain();
    EXPECT_FALSE(ProcessOneMessage(window.get()));

    PostMessageA(wnd, kProbe, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), kProbe + 1, 0, 0);
    PostQuitMessage(0);
    bool quit = false;
    int taken = 0;
    while (ProcessOneMessage(window.get(), &quit))
        ++taken;
    EXPECT_EQ(3, taken);
    EXPECT_TRUE(quit);
    EXPECT_EQ((std::vector<UINT>{kProbe}), seen) << "WM_QUIT reaches no window";
}

TEST_F(WinLibDesktop, TwoPhaseCreationRunsTheOverridingInitialisation)
{
    class TStyled : public TControl {
        friend class TObj;

    protected:
        void InitDefaults() override
        {
            TControl::InitDefaults();
            SetStyle(WS_POPUP);
        }
    };
    auto styled = TObj::Make<TStyled>();
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP), styled->Style());
    EXPECT_EQ(WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
              TObj::Make<TControl>()->Style());
}

TEST_F(WinLibDesktop, TheSystemMenuOfAnApplicationWindowIsTrimmed)
{
    auto window = CreateAppWindow("menu");
    window->SetClassName("KvTestSystemMenu");
    const HWND wnd = window->GetHandle();
    ASSERT_NE(nullptr, wnd);
    EXPECT_EQ("KvTestSystemMenu", gRecorded.created.at(0).className);
    HMENU menu = GetSystemMenu(wnd, FALSE);
    ASSERT_NE(nullptr, menu);
    for (UINT command : {SC_MAXIMIZE, SC_MOVE, SC_SIZE})
        EXPECT_EQ(static_cast<UINT>(-1), GetMenuState(menu, command, MF_BYCOMMAND)) << command;
    EXPECT_TRUE(GetMenuState(menu, SC_RESTORE, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_FALSE(IsWindowVisible(wnd));
    // Its class name text alone would give "obj_App".
    EXPECT_EQ("obj_App", CreateAppWindow("plain")->WindowClassName());
}

// ---------------------------------------------------------------------------
// Timers

TEST_F(WinLibDesktop, TheTimerWindowIsAHiddenControlWindowWhoseClassIsReused)
{
    ASSERT_EQ(nullptr, TTimer::TimerWindow());
    const bool registeredBefore = ClassExists("obj_");
    int ticks = 0;
    {
        auto timer = TObj::Make<TTimer>();
        timer->SetInterval(50);
        timer->SetOnTimer([&](TTimer&) { ++ticks; });
        timer->SetEnabled(true);
        const HWND wnd = TTimer::TimerWindow();
        ASSERT_NE(nullptr, wnd);
        EXPECT_EQ(reinterpret_cast<UINT_PTR>(timer.get()), timer->Id());
        EXPECT_EQ(registeredBefore ? 0u : 1u, gRecorded.registered.size());
        ASSERT_EQ(1u, gRecorded.created.size());
        const TCreateCall& call = gRecorded.created[0];
        EXPECT_EQ("obj_", call.className);
        EXPECT_EQ(0u, call.style);
        EXPECT_EQ(0, call.x);
        EXPECT_EQ(0, call.y);
        EXPECT_EQ(CW_USEDEFAULT, call.width);
        EXPECT_EQ(CW_USEDEFAULT, call.height);
        EXPECT_FALSE(IsWindowVisible(wnd));
        EXPECT_EQ(0, SendMessageA(wnd, WM_GETICON, ICON_BIG, 0));
        EXPECT_TRUE(WaitUntil([&] { return ticks >= 2; }, 5000));
    }
    EXPECT_EQ(nullptr, TTimer::TimerWindow()) << "the last timer frees the window";

    gRecorded = {};
    auto again = TObj::Make<TTimer>();
    again->SetEnabled(true);
    ASSERT_NE(nullptr, TTimer::TimerWindow());
    EXPECT_TRUE(gRecorded.registered.empty()) << "class obj_ is reused";
}

TEST_F(WinLibDesktop, TheSameIntervalDoesNotRestartTheTimer)
{
    const struct {
        const char* name;
        UINT second;
        DWORD earliest, latest; // first tick after the start, ms
    } cases[] = {
        {"same interval", 600, 450, 1000},
        {"another interval", 601, 1050, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD firstTick = 0;
        auto timer = TObj::Make<TTimer>();
        timer->SetInterval(600);
        const DWORD start = GetTickCount();
        timer->SetOnTimer([&](TTimer&) {
            if (!firstTick)
                firstTick = GetTickCount() - start;
        });
        timer->SetEnabled(true);
        WaitUntil([] { return false; }, 450);
        timer->SetInterval(c.second);
        ASSERT_TRUE(WaitUntil([&] { return firstTick != 0; }, 5000));
        EXPECT_GE(firstTick, c.earliest);
        EXPECT_LE(firstTick, c.latest);
    }
}

TEST_F(WinLibDesktop, TheTimerProcedureActsOnlyForRunningTimers)
{
    int calls = 0;
    auto timer = TObj::Make<TTimer>();
    timer->SetInterval(60000);
    timer->SetOnTimer([&](TTimer&) { ++calls; });
    timer->SetEnabled(true);
    const UINT_PTR id = timer->Id();
    ASSERT_NE(0u, id);
    TTimer::TimerProc(TTimer::TimerWindow(), WM_TIMER, id, 0);
    EXPECT_EQ(1, calls);
    timer->SetEnabled(false);
    EXPECT_EQ(0u, timer->Id());
    // Windows may still deliver a WM_TIMER of a killed timer.
    TTimer::TimerProc(TTimer::TimerWindow(), WM_TIMER, id, 0);
    TTimer::TimerProc(TTimer::TimerWindow(), WM_TIMER, 12345, 0);
    EXPECT_EQ(1, calls);
}

TEST_F(WinLibDesktop, AFailingTimerHandlerStopsItsTimer)
{
    int calls = 0;
    auto timer = TObj::Make<TTimer>();
    timer->SetInterval(60000);
    timer->SetOnTimer([&](TTimer&) {
        ++calls;
        throw std::runtime_error("tick failed");
    });
    timer->SetEnabled(true);
    const UINT_PTR id = timer->Id();
    TTimer::TimerProc(TTimer::TimerWindow(), WM_TIMER, id, 0);
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(0u, timer->Id());
    TTimer::TimerProc(TTimer::TimerWindow(), WM_TIMER, id, 0);
    EXPECT_EQ(1, calls);
    // Its owner frees it as usual, once.
    timer.reset();
    EXPECT_EQ(nullptr, TTimer::TimerWindow());
}

// ---------------------------------------------------------------------------
// Menus

TEST_F(WinLibDesktop, MenuIdsSkipTheSeparatorWhichIsNoColumnBreak)
{
    auto menu = NewPopupMenu(100);
    menu->AddItem(L"A", 0);
    menu->AddItem(L"", TMenu::kSeparator);
    menu->AddItem(L"B", 0);
    ASSERT_NE(nullptr, menu->Handle());
    ASSERT_EQ(3, GetMenuItemCount(menu->Handle()));
    const struct {
        UINT id;
        UINT type;
    } expected[] = {{100, MFT_STRING}, {0, MFT_SEPARATOR}, {101, MFT_STRING}};
    for (UINT i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        MENUITEMINFOW item{};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_ID;
        ASSERT_TRUE(GetMenuItemInfoW(menu->Handle(), i, TRUE, &item));
        EXPECT_EQ(expected[i].id, item.wID);
        EXPECT_EQ(expected[i].type, item.fType & (MFT_SEPARATOR | MFT_MENUBREAK));
    }
}

TEST_F(WinLibDesktop, PopupAlignsReturnsTheCommandAndWakesItsOwner)
{
    auto owner = MakeTrayWindow();
    const HWND wnd = owner->GetHandle();
    ASSERT_NE(nullptr, wnd);
    TWinLibCalls calls;
    calls.trackPopupMenu = &RecordPopup;
    SetWinLibCalls(&calls);
    auto menu = NewPopupMenu(100);
    menu->AddItem(L"A", 0);
    menu->SetOwnerWindow(wnd);
    const UINT expected[] = {0, TPM_RIGHTALIGN, TPM_CENTERALIGN};
    for (uint8_t alignment = 0; alignment < 3; ++alignment) {
        SCOPED_TRACE(alignment);
        gRecorded.popupAnswer = 100;
        menu->SetAlignment(alignment);
        EXPECT_EQ(100, menu->Popup(10, 10));
        EXPECT_EQ(expected[alignment] | TPM_RETURNCMD, gRecorded.popupFlags.back());
        EXPECT_EQ(wnd, gRecorded.popupOwners.back());
        MSG msg{};
        EXPECT_TRUE(PeekMessageA(&msg, wnd, WM_NULL, WM_NULL, PM_REMOVE))
            << "WM_NULL posted after the menu";
    }
}

TEST_F(WinLibDesktop, ARealPopupReturnsTheChosenCommand)
{
    auto owner = MakeTrayWindow();
    ASSERT_NE(nullptr, owner->GetHandle());
    auto menu = NewPopupMenu(100);
    menu->AddItem(L"Open", 0);
    menu->AddItem(L"Scan", 0);
    menu->AddItem(L"", TMenu::kSeparator);
    menu->AddItem(L"Exit", 0);
    menu->SetOwnerWindow(owner->Handle());
    const struct {
        std::vector<WPARAM> keys;
        int id;
    } cases[] = {
        {{VK_ESCAPE}, 0},
        {{VK_RETURN}, 100},
        {{VK_DOWN, VK_RETURN}, 101},
        {{VK_DOWN, VK_DOWN, VK_RETURN}, 102},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        SetForegroundWindow(owner->Handle());
        std::thread keys(PressMenuKeys, menu->Handle(), c.keys);
        const int id = menu->Popup(20, 20);
        keys.join();
        EXPECT_EQ(c.id, id);
        Drain();
    }
}

// ---------------------------------------------------------------------------
// The command line

TEST(WinLibParams, GetParamSplitsAsTheTrayReadsItsCommandLine)
{
    const struct {
        const char* line;
        int index;
        const char* param;
    } cases[] = {
        {"x.exe \"a b\" c", 1, "a b"},
        {"x.exe \"a b\" c", 2, "c"},
        {"x.exe \"a b\" c", 3, ""},
        {"x.exe \"\" a", 1, "a"},
        {"x.exe \"\" \"\" a \"\" b", 2, "b"},
        {"x.exe a\"b c\"d", 1, "a\"b c\"d"},
        {"x.exe a\"b c\"d e", 2, "e"},
        {"x.exe \"", 1, "\""},
        {"x.exe \"abc", 1, "\"abc"},
        {"x.exe\t/startup\t\tnext", 1, "/startup"},
        {"x.exe\t/startup\t\tnext", 2, "next"},
        {"\"C:\\Program Files\\x.exe\" /startup", 0, "C:\\Program Files\\x.exe"},
        {"\"C:\\Program Files\\x.exe\" /startup", 1, "/startup"},
        {"x.exe   ", 1, ""},
        {"x.exe a", 9, ""},
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " #" + std::to_string(c.index));
        EXPECT_EQ(c.param, GetParamFrom(c.line, c.index));
    }
    EXPECT_EQ(Narrow(ktest::ProgramPath()), GetParam(0));
}

} // namespace
