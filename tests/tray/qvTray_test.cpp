#include "TrayTest.h"

#include "platform/RegistryU.h"
#include "platform/SyncObjsU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"
#include "tray/qvTray.h"

#include <thread>

using namespace traytest;

namespace {

constexpr double kMinute = 1.0 / (24 * 60);
constexpr double kStart = 45000.25; // the fake clock's start

struct TNotifyRecord {
    DWORD message;
    NOTIFYICONDATAW data;
};

// The tray application with every seam recording; the clock is a variable.
class TrayAppDesktop : public TrayFixture {
protected:
    void SetUp() override
    {
        TrayFixture::SetUp();
        KTEST_NEEDS_DISPLAY();
        saved_ = *Settings();
        ChangeSettings([](TSettings& s) {
            s.SHOW_TRAY = true;
            s.TRACK_USER = false;
            s.LANGUAGE.clear();
        });
        CreateUserTrack(HKEY_LOCAL_MACHINE, Key(), "TRACK");
        CloseTranslationFileForTests();
        now_ = kStart;
    }
    void TearDown() override
    {
        app_.reset();
        CloseTranslationFileForTests();
        SetSettings(saved_);
        TrayFixture::TearDown();
    }

    TTraySeams Seams()
    {
        TTraySeams s;
        s.Clock = [this] { return now_; };
        s.TimerIntervalMs = 3600000; // ticks come from the tests
        s.Sleep = [](DWORD) {};
        s.StartMain = [this](const std::string& Params) {
            started_.push_back(Params);
            return true;
        };
        s.Popup = [this](TMenu& Menu, int, int) {
            ++popups_;
            return popup_ ? popup_(Menu) : 0;
        };
        s.MessageBox = [this](HWND Owner, const std::wstring& Text, const std::wstring& Caption,
                              UINT Flags) {
            boxes_.push_back({Owner, Text, Caption, Flags});
            return boxAnswer_;
        };
        s.Notify = [this](DWORD Message, NOTIFYICONDATAW& Data) {
            notified_.push_back({Message, Data});
            return TRUE;
        };
        return s;
    }
    TAppClass& MakeApp()
    {
        app_ = std::make_unique<TAppClass>(Seams());
        return *app_;
    }
    LRESULT Send(UINT Msg, WPARAM WParam = 0, LPARAM LParam = 0)
    {
        return SendMessageA(app_->Window(), Msg, WParam, LParam);
    }
    void Click(LPARAM Mouse) { Send(app_->NotifyMessage(), 0, Mouse); }
    std::vector<DWORD> NotifyMessages() const
    {
        std::vector<DWORD> out;
        for (const auto& n : notified_)
            out.push_back(n.message);
        return out;
    }
    void Tick(double MinutesAfterStart)
    {
        now_ = kStart + MinutesAfterStart * kMinute;
        app_->OnTimer();
    }
    void SetLastCheck(double Value)
    {
        TRegViewScope view(true, false);
        ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, Key(), "LAST_CHECK", Value));
    }

    struct TBox {
        HWND owner;
        std::wstring text, caption;
        UINT flags;
    };
    TSettings saved_;
    std::unique_ptr<TAppClass> app_;
    double now_ = 0;
    std::vector<std::string> started_;
    int popups_ = 0;
    std::function<int(TMenu&)> popup_;
    std::vector<TBox> boxes_;
    int boxAnswer_ = IDNO;
    std::vector<TNotifyRecord> notified_;
};

// ---------------------------------------------------------------------------
// Creation

TEST_F(TrayAppDesktop, CreateMakesAHiddenWindowAMenuAndAHiddenIcon)
{
    TAppClass& app = MakeApp();
    const HWND wnd = app.Window();
    ASSERT_NE(nullptr, wnd);
    EXPECT_EQ(wnd, FindWindowA(kTrayWindowClassName, nullptr));
    EXPECT_EQ(GetDesktopWindow(), GetAncestor(wnd, GA_PARENT));
    EXPECT_FALSE(IsWindowVisible(wnd));
    EXPECT_TRUE(notified_.empty()) << "the icon waits for the loop";
    EXPECT_EQ(L"Korvelle System Optimizer", app.Tooltip());
    EXPECT_STREQ(L"Korvelle System Optimizer", app.TrayIcon()->Data().szTip);
    EXPECT_EQ(app.NotifyMessage(), app.TrayIcon()->Data().uCallbackMessage);
    EXPECT_NE(nullptr, app.TrayIcon()->Data().hIcon);
    EXPECT_EQ(RegisterWindowMessageA(kNotifyTrayMessageName), app.NotifyMessage());
    EXPECT_EQ(RegisterWindowMessageA(kRefreshTrayMessageName), app.RefreshMessage());
    EXPECT_EQ(RegisterWindowMessageA(kExitToTrayMessageName), app.ExitToTrayMessage());
    ASSERT_NE(nullptr, app.Timer());
    EXPECT_TRUE(app.Timer()->Enabled());

    HMENU menu = app.Menu()->Handle();
    ASSERT_EQ(4, GetMenuItemCount(menu));
    const struct {
        UINT id;
        const wchar_t* text;
    } items[] = {{100, L"Open Korvelle wizard"}, {101, L"Scan now"}, {102, L"Exit"}};
    for (const auto& item : items) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, item.id, text, 64, MF_BYCOMMAND);
        EXPECT_STREQ(item.text, text);
    }
    EXPECT_EQ(wnd, app.Menu()->OwnerWindow());
}

// ---------------------------------------------------------------------------
// Messages

TEST_F(TrayAppDesktop, IconClicksAndMenuChoicesStartTheMainProgram)
{
    TAppClass& app = MakeApp();
    int choice = 0;
    popup_ = [&](TMenu& Menu) {
        EXPECT_EQ(app.Menu(), &Menu);
        return choice;
    };
    const struct {
        LPARAM mouse;
        int choice;
        std::vector<std::string> started;
        int popups;
    } cases[] = {
        {WM_LBUTTONDOWN, 100, {""}, 1}, {WM_RBUTTONDOWN, 101, {"/SCAN"}, 1},
        {WM_RBUTTONDOWN, 0, {}, 1},     {WM_LBUTTONDBLCLK, 0, {""}, 0},
        {WM_MOUSEMOVE, 0, {}, 0},       {WM_RBUTTONUP, 0, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mouse);
        started_.clear();
        popups_ = 0;
        choice = c.choice;
        Click(c.mouse);
        EXPECT_EQ(c.started, started_);
        EXPECT_EQ(c.popups, popups_);
    }
    EXPECT_FALSE(app.QuitRequested());
}

TEST_F(TrayAppDesktop, ExitAsksFirstAndCountsTheAnswer)
{
    ChangeSettings([](TSettings& s) { s.TRACK_USER = true; });
    TAppClass& app = MakeApp();
    app.TrayIcon()->Show();
    popup_ = [](TMenu&) { return 102; };

    boxAnswer_ = IDNO;
    Click(WM_RBUTTONDOWN);
    ASSERT_EQ(1u, boxes_.size());
    EXPECT_EQ(app.Window(), boxes_[0].owner);
    EXPECT_EQ(L"Closing Korvelle", boxes_[0].caption);
    EXPECT_EQ(L"Do you want to close Korvelle?\r\n\r\nKorvelle will automatically launch after "
              L"restart of your computer.",
              boxes_[0].text);
    EXPECT_EQ(0x124u, boxes_[0].flags);
    EXPECT_FALSE(app.QuitRequested());
    EXPECT_TRUE(app.TrayIcon()->Shown());
    {
        TRegViewScope view(true, false);
        std::string track;
        ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "TRACK", track));
        EXPECT_EQ("T=1\r\nT.XC=1\r\n", track);
    }

    boxAnswer_ = IDYES;
    Click(WM_LBUTTONDOWN);
    EXPECT_TRUE(app.QuitRequested());
    EXPECT_FALSE(app.TrayIcon()->Shown());
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), NotifyMessages().back());
    TRegViewScope view(true, false);
    std::string track;
    ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "TRACK", track));
    EXPECT_EQ("T=2\r\nT.XC=1\r\nT.X=1\r\n", track);
}

TEST_F(TrayAppDesktop, NothingIsCountedWithTheCountersOff)
{
    MakeApp();
    popup_ = [](TMenu&) { return 102; };
    Click(WM_RBUTTONDOWN);
    ASSERT_EQ(1u, boxes_.size());
    TRegViewScope view(true, false);
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "TRACK"));
}

TEST_F(TrayAppDesktop, TheMainProgramsClosingShowsABalloon)
{
    TAppClass& app = MakeApp();
    Send(app.ExitToTrayMessage());
    EXPECT_TRUE(notified_.empty()) << "no balloon on a hidden icon";
    app.TrayIcon()->Show();
    Send(app.ExitToTrayMessage());
    ASSERT_EQ(2u, notified_.size());
    const NOTIFYICONDATAW& balloon = notified_[1].data;
    EXPECT_EQ(static_cast<DWORD>(NIM_MODIFY), notified_[1].message);
    EXPECT_EQ(16u, balloon.uFlags);
    EXPECT_STREQ(L"Korvelle System Optimizer", balloon.szInfo);
    EXPECT_STREQ(L"", balloon.szInfoTitle);
    EXPECT_EQ(10000u, balloon.uTimeout);
    EXPECT_EQ(0u, balloon.dwInfoFlags);
}

TEST_F(TrayAppDesktop, OnlyAConfirmedEndOfTheSessionEndsTheTray)
{
    TAppClass& app = MakeApp();
    app.TrayIcon()->Show();
    Send(WM_ENDSESSION, FALSE, 0);
    EXPECT_FALSE(app.QuitRequested()) << "a cancelled logoff";
    EXPECT_TRUE(app.TrayIcon()->Shown());
    Send(WM_ENDSESSION, TRUE, 0);
    EXPECT_TRUE(app.QuitRequested());
    EXPECT_TRUE(app.Ending());
    // Removed inside the handler: the process may end when it returns.
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), NotifyMessages().back());
}

TEST_F(TrayAppDesktop, ARefreshReloadsTheSettingsAndRebuildsTheMenu)
{
    TAppClass& app = MakeApp();
    TRegViewScope view(true, false);
    const HMENU before = app.Menu()->Handle();
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", "1"));
    Send(app.RefreshMessage());
    EXPECT_FALSE(app.QuitRequested());
    EXPECT_NE(before, app.Menu()->Handle());
    EXPECT_EQ(4, GetMenuItemCount(app.Menu()->Handle()));

    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", "0"));
    Send(app.RefreshMessage());
    EXPECT_TRUE(app.QuitRequested());
    EXPECT_FALSE(app.Ending()) << "the start-up programs would still run to their end";
}

TEST_F(TrayAppDesktop, MessagesDuringTheMenuNeitherFreeItNorNestAnotherOne)
{
    TAppClass& app = MakeApp();
    TRegViewScope view(true, false);
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", "1"));
    const HMENU before = app.Menu()->Handle();
    popup_ = [&](TMenu& Menu) {
        // What the menu's modal loop may dispatch meanwhile.
        Send(app.RefreshMessage());
        Click(WM_RBUTTONDOWN);
        Click(WM_LBUTTONDBLCLK);
        EXPECT_EQ(before, Menu.Handle());
        EXPECT_EQ(4, GetMenuItemCount(Menu.Handle())) << "the shown menu is still alive";
        return 102;
    };
    boxAnswer_ = IDNO;
    Click(WM_RBUTTONDOWN);
    EXPECT_EQ(1, popups_);
    EXPECT_TRUE(started_.empty());
    ASSERT_EQ(1u, boxes_.size());
    EXPECT_NE(before, app.Menu()->Handle()) << "rebuilt after the menu closed";

    // The same while the question is open.
    popups_ = 0;
    boxes_.clear();
    popup_ = [](TMenu&) { return 102; };
    TTraySeams seams = Seams();
    app_.reset();
    seams.MessageBox = [&](HWND, const std::wstring&, const std::wstring&, UINT) {
        boxes_.push_back({});
        Click(WM_LBUTTONDOWN);
        Send(app_->RefreshMessage());
        return IDNO;
    };
    app_ = std::make_unique<TAppClass>(seams);
    Click(WM_LBUTTONDOWN);
    EXPECT_EQ(1, popups_);
    EXPECT_EQ(1u, boxes_.size());
    EXPECT_EQ(4, GetMenuItemCount(app_->Menu()->Handle()));
}

TEST_F(TrayAppDesktop, TheRealMenuStartsAScan)
{
    ASSERT_TRUE(PlaceMainProgram("tray_stub_main_v1.exe"));
    ClearMainProgramLog();
    TTraySeams seams = Seams();
    seams.Popup = nullptr;
    seams.StartMain = nullptr;
    app_ = std::make_unique<TAppClass>(seams);
    std::thread keys(PressMenuKeys, app_->Menu()->Handle(),
                     std::vector<WPARAM>{VK_DOWN, VK_RETURN});
    PostMessageA(app_->Window(), app_->NotifyMessage(), 0, WM_RBUTTONDOWN);
    const bool started = WaitUntil([] { return !MainProgramLog().empty(); }, 20000);
    keys.join();
    ASSERT_TRUE(started);
    const auto log = MainProgramLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("/SCAN", log[0].substr(0, log[0].find('\t')));
    ClearMainProgramLog();
    PlaceMainProgram("");
}

TEST_F(TrayAppDesktop, AnIconTheShellRefusedOrLostComesBack)
{
    MakeApp();
    Send(RegisterWindowMessageA("TaskbarCreated"));
    EXPECT_TRUE(notified_.empty()) << "no icon before the loop";

    // The loop's first add is refused (no taskbar yet at logon); the timer
    // adds it later; a restarted shell gets it again. Each turn of the loop
    // waits through the Sleep seam, where the steps are taken.
    TTraySeams seams = Seams();
    int refusals = 1;
    seams.Notify = [&](DWORD Message, NOTIFYICONDATAW& Data) {
        notified_.push_back({Message, Data});
        return refusals-- > 0 ? FALSE : TRUE;
    };
    int turn = 0;
    seams.Sleep = [&](DWORD) {
        switch (turn++) {
        case 0:
            EXPECT_FALSE(app_->TrayIcon()->Shown());
            app_->OnTimer();
            EXPECT_TRUE(app_->TrayIcon()->Shown());
            break;
        case 1:
            PostMessageA(app_->Window(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
            break;
        default:
            PostQuitMessage(0);
        }
    };
    notified_.clear();
    app_ = std::make_unique<TAppClass>(seams);
    app_->RunMessageLoop();
    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_ADD, NIM_ADD, NIM_DELETE}), NotifyMessages());
}

// ---------------------------------------------------------------------------
// The update check

class TAppMutexHolder {
public:
    TAppMutexHolder()
    {
        thread_ = std::thread([this] {
            TGlobalMutex mutex(kMainMutexName);
            held_ = mutex.WaitFor(5000);
            ready_.store(true);
            while (!release_.load())
                Sleep(5);
        });
        while (!ready_.load())
            Sleep(5);
    }
    ~TAppMutexHolder()
    {
        release_ = true;
        thread_.join();
    }
    bool Held() const { return held_; }

private:
    std::thread thread_;
    std::atomic<bool> ready_{false}, release_{false};
    bool held_ = false;
};

TEST_F(TrayAppDesktop, TheUpdateCheckWaitsAFifteenMinuteStartAndADayOld)
{
    TAppClass& app = MakeApp();
    {
        TAppMutexHolder main;
        ASSERT_TRUE(main.Held());
        Tick(20);
        EXPECT_TRUE(started_.empty()) << "the main program runs";
    }
    Tick(14.98);
    EXPECT_TRUE(started_.empty());
    Tick(15.02);
    EXPECT_EQ((std::vector<std::string>{"/CHECK /WAIT"}), started_);
    EXPECT_TRUE(app.CheckLaunched());
    Tick(15.5);
    EXPECT_EQ(1u, started_.size());

    // The check ran and wrote LAST_CHECK.
    SetLastCheck(now_);
    Tick(60);
    EXPECT_EQ(1u, started_.size());
    // A LAST_CHECK two days ahead is as far from now as one two days ago.
    SetLastCheck(now_ + 2);
    Tick(61);
    EXPECT_EQ(2u, started_.size());
    // Exactly one day is not more than a day.
    now_ = 45000.5;
    SetLastCheck(44999.5);
    app.OnTimer();
    EXPECT_EQ(2u, started_.size());
    SetLastCheck(44999.49);
    app.OnTimer();
    EXPECT_EQ(3u, started_.size());
}

TEST_F(TrayAppDesktop, TheStartTimeCountsInEitherDirection)
{
    MakeApp();
    Tick(-20);
    EXPECT_EQ((std::vector<std::string>{"/CHECK /WAIT"}), started_);
}

TEST_F(TrayAppDesktop, AChecklessRunIsRetriedWithABackOff)
{
    MakeApp();
    // The started check never writes LAST_CHECK.
    const struct {
        double minutes;
        size_t starts;
    } ticks[] = {
        {16, 1},      {16.5, 1},     {16 + 30, 1},  {16 + 59, 1},  {16 + 61, 2},
        {16 + 90, 2}, {16 + 120, 2}, {16 + 180, 2}, {16 + 182, 3}, {16 + 300, 3},
    };
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.minutes);
        Tick(t.minutes);
        EXPECT_EQ(t.starts, started_.size());
    }
    // A changed LAST_CHECK (still more than a day away): at once.
    SetLastCheck(kStart - 3);
    Tick(16 + 301);
    EXPECT_EQ(4u, started_.size());
}

TEST_F(TrayAppDesktop, AMalformedLastCheckCountsAsNone)
{
    MakeApp();
    TRegViewScope view(true, false);
    const std::string cases[] = {"", "0102030405", "000000000000F87F" /* NaN */};
    for (const std::string& hex : cases) {
        SCOPED_TRACE(hex);
        now_ = kStart;
        app_.reset();
        app_ = std::make_unique<TAppClass>(Seams());
        started_.clear();
        ASSERT_TRUE(RegWriteBinaryHex(HKEY_CURRENT_USER, Key(), "LAST_CHECK", hex));
        Tick(16);
        EXPECT_EQ(1u, started_.size());
    }
}

TEST_F(TrayAppDesktop, ARealTimerWaitsForTheMainProgramToEnd)
{
    ASSERT_TRUE(PlaceMainProgram("tray_stub_main_v1.exe"));
    ClearMainProgramLog();
    // A main program that holds its mutex for 2 s.
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string command = "\"";
    command += TestDir();
    command += "Korvelle.exe\" /HOLD 2000";
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    ASSERT_TRUE(WaitUntil([] { return !MainProgramLog().empty(); }, 10000));
    Sleep(300);

    TTraySeams seams = Seams();
    seams.TimerIntervalMs = 200;
    seams.StartMain = nullptr; // the real start of Korvelle.exe
    now_ = kStart + 16 * kMinute;
    app_ = std::make_unique<TAppClass>(seams);
    now_ = kStart + 32 * kMinute; // 16 minutes after the tray started
    WaitUntil([] { return false; }, 1000);
    auto checks = [] {
        int n = 0;
        for (const std::string& line : MainProgramLog())
            n += line.rfind("/CHECK /WAIT\t", 0) == 0;
        return n;
    };
    EXPECT_EQ(0, checks()) << "nothing while Korvelle.App is held";
    EXPECT_TRUE(WaitUntil([&] { return checks() > 0; }, 15000));
    WaitUntil([] { return false; }, 1500);
    EXPECT_EQ(1, checks());

    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    app_.reset();
    WaitUntil([] { return false; }, 500);
    ClearMainProgramLog();
    PlaceMainProgram("");
}

// ---------------------------------------------------------------------------
// The loops

TEST_F(TrayAppDesktop, TheLoopEndsOnEveryWayOutAndTakesTheIconAlong)
{
    const struct {
        const char* name;
        std::function<void(TAppClass&)> end;
    } cases[] = {
        {"PostQuitMessage", [](TAppClass&) { PostQuitMessage(0); }},
        {"WM_QUIT posted to the thread",
         [](TAppClass&) { PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0); }},
        {"WM_CLOSE", [](TAppClass& App) { PostMessageA(App.Window(), WM_CLOSE, 0, 0); }},
        {"the stop event",
         [](TAppClass&) {
             TGlobalEvent stop(kStopTrayEventName);
             stop.SetEvent();
         }},
        {"WM_ENDSESSION", [](TAppClass& App) { PostMessageA(App.Window(), WM_ENDSESSION, 1, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        notified_.clear();
        TTraySeams seams = Seams();
        int turns = 0;
        seams.Sleep = [&turns](DWORD Ms) {
            ++turns;
            Sleep(Ms);
        };
        app_ = std::make_unique<TAppClass>(seams);
        c.end(*app_);
        app_->RunMessageLoop();
        // The way out was there before the loop began: it ends at its first
        // turns (counted, not timed).
        EXPECT_LE(turns, 2);
        EXPECT_TRUE(app_->QuitRequested());
        EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_DELETE}), NotifyMessages());
        app_.reset();
    }
}

TEST_F(TrayAppDesktop, AStopDuringTheStartUpProgramsIsNotLost)
{
    TTraySeams seams = Seams();
    app_ = std::make_unique<TAppClass>(seams);
    EXPECT_TRUE(app_->PumpMessages());
    {
        // The main program's stop: set, 100 ms, closed.
        TGlobalEvent stop(kStopTrayEventName);
        stop.SetEvent();
        Sleep(100);
    }
    EXPECT_FALSE(app_->PumpMessages()) << "the runner stops";
    EXPECT_TRUE(app_->QuitRequested());

    // A posted WM_QUIT ends the runner too; a refresh that turns the icon off
    // does not.
    app_ = std::make_unique<TAppClass>(seams);
    TRegViewScope view(true, false);
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", "0"));
    PostMessageA(app_->Window(), app_->RefreshMessage(), 0, 0);
    EXPECT_TRUE(app_->PumpMessages());
    EXPECT_TRUE(app_->QuitRequested());
    PostQuitMessage(0);
    EXPECT_FALSE(app_->PumpMessages());
}

} // namespace
