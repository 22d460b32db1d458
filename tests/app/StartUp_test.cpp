// The application body in real processes: roles of the test program run
// RunApplication with the seams recording into a log. One running instance,
// the hidden check run, "/STOP", the restart with administrator rights, what
// the tray is told, the pending update; and closing, destruction and the
// stop event while the real worker scans or repairs.

#include "AppTest.h"

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "controls/AeroGlassU.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "engine/qvBackup.h"
#include "engine/qvThreads.h"
#include "platform/FileUtilsU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SyncObjsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

using namespace apptest;

namespace {

// ---------------------------------------------------------------------------
// The role

std::mutex gLogLock;
std::string gLogPath;

void RoleLog(const std::string& Line)
{
    std::lock_guard lock(gLogLock);
    HANDLE file = CreateFileA(gLogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = std::to_string(GetTickCount()) + " " + Line + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

HINSTANCE WINAPI LoggingShell(HWND, LPCSTR Verb, LPCSTR File, LPCSTR Params, LPCSTR, INT)
{
    RoleLog(std::string("shell ") + (Verb ? Verb : "") + " " + (File ? File : "") + " " +
            (Params ? Params : ""));
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

class TLoggingRestorePoints : public TqvRestorePoints {
public:
    bool Begin(const std::string&, int, int) override
    {
        RoleLog("rp begin");
        return true;
    }
    bool End(int, int) override
    {
        RoleLog("rp end");
        return true;
    }
    bool Cancel(int) override
    {
        RoleLog("rp cancel");
        return true;
    }
};

// The daily check's stand-in: it lasts the given milliseconds.
DWORD WINAPI DailyCheck(LPVOID Ms)
{
    Sleep(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(Ms)));
    RoleLog("check ends");
    return 0;
}

std::atomic<HANDLE> gWorkerHandle{nullptr};
std::function<void()> gOnFirstProgress;

// What the role does at the worker's first report.
void Trigger(const std::string& Action)
{
    TMainForm* main = MainForm();
    if (!main)
        return;
    RoleLog("trigger " + Action);
    if (Action == "close")
        PostMessageW(main->HandleIfAllocated(), WM_CLOSE, 0, 0);
    else if (Action == "quit")
        PostQuitMessage(0);
    else if (Action == "stop")
        TGlobalEvent(kStopMainEventName).SetEvent();
    else if (Action == "compose")
        PostMessageW(main->HandleIfAllocated(), WM_DWMCOMPOSITIONCHANGED, 0, 0);
}

// Desktop composition on, for glass=1: Wine always reports it off.
HRESULT WINAPI CompositionOn(BOOL* On)
{
    *On = TRUE;
    return S_OK;
}

HRESULT WINAPI ExtendNothing(HWND, const MARGINS*)
{
    return S_OK;
}

const TDwmCalls kCompositionOn{.isCompositionEnabled = &CompositionOn,
                               .extendFrameIntoClientArea = &ExtendNothing,
                               .libraryLoaded = true};

// The fixture's findings selected alone, after a scan of the class
// registrations; then the repair.
void StartFixtureRepair(TMainForm& Main, const std::string& Fixture)
{
    const int selected = ScanAndSelectKeys(
        Main, [&](const std::string& Key) { return Key.find(Fixture) != std::string::npos; });
    RoleLog("selected " + std::to_string(selected));
    Main.SetStep(kStepScanResults);
    Main.NextStep();
}

// --role=wizard key=<program key> dir=<scratch folder> log=<file> cmd=<parameters>
//   [elevated=0] [answer=yes|no] [check=<ms>] [pending=1] [rp=1]
//   [trigger=close|quit|stop|compose] [repair=<fixture key text>] [glass=1] [compose=1]
// Runs the application body with the seams logging: prompts (answered),
// shell calls, stay-on-top changes, the worker's reports, restore points;
// "forms" once the main window exists, "visible" once it is shown, "exit <n>".
// glass=1: desktop composition is on; compose=1: the window is told once that
// composition changed ("composed"), as soon as it exists; trigger=compose
// does so at the worker's first report.
KTEST_ROLE(wizard)
{
    auto opt = RoleOptions(args, [](const std::wstring& Arg) { return WideToUtf8(Arg); });
    gLogPath = opt["log"];
    RoleLog("start " + opt["cmd"]);
    SetProgramKeyForTests(opt["key"]);
    SetProgramFoldersForTests(ScratchFolders(opt["dir"]));
    InitMainProgramUnits();
    SetShellExecuteCall(&LoggingShell);

    static TLoggingRestorePoints points;
    TAppSeams seams;
    const std::wstring line = L"app_tests.exe " + Utf8ToWide(opt["cmd"]);
    seams.CommandLine = [line] { return line; };
    const bool elevated = opt["elevated"] != "0";
    seams.Elevated = [elevated] { return elevated; };
    const int answer = opt["answer"] == "no" ? IDNO : IDYES;
    seams.Prompt = [answer](HWND, const std::wstring& Text, const std::wstring&, UINT) {
        RoleLog("prompt " + WideToUtf8(Text.substr(0, Text.find(L'\r'))));
        return answer;
    };
    seams.StayOnTop = [](HWND, bool On) { RoleLog(On ? "ontop 1" : "ontop 0"); };
    seams.Flash = [](HWND, UINT) { RoleLog("flash"); };
    if (opt["rp"] == "1")
        seams.RestorePoints = &points;
    // Called once the forms exist, before the loop: "forms", and the daily
    // check of check=<ms> when one is asked for.
    const DWORD check = static_cast<DWORD>(std::atoi(opt["check"].c_str()));
    seams.StartDailyCheck = [check]() -> HANDLE {
        RoleLog("forms");
        if (check == 0)
            return nullptr;
        RoleLog("check begins");
        return CreateThread(nullptr, 0, &DailyCheck,
                            reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(check)), 0, nullptr);
    };
    const std::string trigger = opt["trigger"];
    seams.CreateWorker = [trigger](TWorkRequest Request) -> TThread* {
        auto progress = Request.OnProgress;
        auto done = Request.OnDone;
        auto first = std::make_shared<bool>(true);
        auto* worker = new TqvExecThread(
            Request.Main, Request.RestorePoint,
            [done](TqvExecThread& Sender) {
                RoleLog("done");
                done(Sender.RestorePointFailed);
            },
            [progress, first, trigger](const TqvUIStatus& Status) {
                if (*first) {
                    *first = false;
                    RoleLog("progress");
                    if (!trigger.empty())
                        Trigger(trigger);
                }
                return progress(Status);
            },
            Request.Mask, Request.Mode, AppSeams().RestorePoints);
        gWorkerHandle = worker->OpenWaitHandle();
        return worker;
    };
    SetAppSeams(seams);
    if (opt["pending"] == "1")
        AppFlags().UpdatePending = true;
    if (opt["glass"] == "1")
        SetDwmCallsForTests(&kCompositionOn);

    // Watches the window from the loop: made, shown; drives a repair.
    TTimer watch;
    bool visibleSeen = false, repairStarted = false, composed = opt["compose"] != "1";
    const std::string repair = opt["repair"];
    watch.SetInterval(50);
    watch.OnTimer = [&](TComponent&) {
        TMainForm* main = MainForm();
        if (!main)
            return;
        HWND wnd = main->HandleIfAllocated();
        if (!visibleSeen && wnd && IsWindowVisible(wnd)) {
            visibleSeen = true;
            RoleLog("visible");
        }
        if (!composed && wnd && FormSteps()) {
            composed = true;
            RoleLog(std::string("composed") + (main->GlassMode() ? " glass" : " classic"));
            PostMessageW(wnd, WM_DWMCOMPOSITIONCHANGED, 0, 0);
        }
        if (!repair.empty() && !repairStarted && FormSteps()) {
            repairStarted = true;
            StartFixtureRepair(*main, repair);
        }
    };
    watch.SetEnabled(true);

    const int code = RunApplication();
    watch.SetEnabled(false);
    if (HANDLE worker = gWorkerHandle.load())
        RoleLog(WaitForSingleObject(worker, 0) == WAIT_OBJECT_0 ? "worker ended" : "worker runs");
    RoleLog("exit " + std::to_string(code));
    return code;
}

// ---------------------------------------------------------------------------
// The tests

BOOL CALLBACK CountOwnMainWindow(HWND Wnd, LPARAM Param)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(Wnd, &pid);
    wchar_t cls[32] = {}, caption[64] = {};
    GetClassNameW(Wnd, cls, 32);
    GetWindowTextW(Wnd, caption, 64);
    if (pid == GetCurrentProcessId() && std::wstring(cls) == L"KvForm" &&
        std::wstring(caption) == kProductNameW)
        ++*reinterpret_cast<int*>(Param);
    return TRUE;
}

// Main windows of this test process, shown or not.
int OwnMainWindows()
{
    int count = 0;
    EnumWindows(&CountOwnMainWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

class StartUp : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        KTEST_NEEDS_DISPLAY();
        // The roles' programs meet through the prefix's global events: a main
        // window of an earlier test still alive here would take them first.
        EXPECT_EQ(0, OwnMainWindows()) << "a main window outlived its test";
        ASSERT_TRUE(WriteText(folders_.MainExePath, "program"));
    }
    void TearDown() override
    {
        tray_.reset();
        AppFixture::TearDown();
    }
    std::string Log(const std::string& Name) const { return dir_ + Name + ".log"; }
    std::unique_ptr<TRole> Wizard(const std::string& Name, const std::string& Cmd,
                                  std::vector<std::string> More = {})
    {
        std::vector<std::wstring> args = {L"key=" + Widen(Key()), L"dir=" + Widen(dir_),
                                          L"log=" + Widen(Log(Name)), L"cmd=" + Widen(Cmd)};
        for (const std::string& m : More)
            args.push_back(Widen(m));
        auto role = std::make_unique<TRole>(L"wizard", args);
        EXPECT_TRUE(role->Started());
        return role;
    }
    // The log's lines without their time.
    std::vector<std::string> Lines(const std::string& Name) const
    {
        std::vector<std::string> lines;
        for (const std::string& line : ReadLines(Log(Name)))
            lines.push_back(line.substr(line.find(' ') + 1));
        return lines;
    }
    DWORD TimeOf(const std::string& Name, const std::string& Text) const
    {
        for (const std::string& line : ReadLines(Log(Name)))
            if (line.substr(line.find(' ') + 1).rfind(Text, 0) == 0)
                return static_cast<DWORD>(std::stoul(line.substr(0, line.find(' '))));
        return 0;
    }
    bool Has(const std::string& Name, const std::string& Text) const
    {
        for (const std::string& line : Lines(Name))
            if (line.rfind(Text, 0) == 0)
                return true;
        return false;
    }
    int Count(const std::string& Name, const std::string& Text) const
    {
        int n = 0;
        for (const std::string& line : Lines(Name))
            n += line.rfind(Text, 0) == 0 ? 1 : 0;
        return n;
    }
    bool WaitFor(const std::string& Name, const std::string& Text, DWORD Ms = 20000) const
    {
        return PumpUntil([&] { return Has(Name, Text); }, Ms);
    }
    HWND WaitForWindow(TRole& Role)
    {
        HWND wnd = nullptr;
        PumpUntil([&] { return (wnd = FindWizardWindow(Role.Pid())) != nullptr; }, 20000);
        return wnd;
    }
    void StartTray()
    {
        ASSERT_TRUE(CopyFileA((TestDir() + "ktest_faketray.exe").c_str(),
                              folders_.TrayExePath.c_str(), FALSE));
        tray_ = std::make_unique<TProgram>(folders_.TrayExePath, "");
        ASSERT_TRUE(tray_->Started());
        ASSERT_TRUE(
            PumpUntil([] { return FindWindowA(kTrayWindowClassName, nullptr) != nullptr; }, 10000));
    }
    std::vector<std::string> TrayLog() const { return ReadLines(folders_.ProgramDir + "faketray.log"); }
    int TrayLines(const std::string& Text) const
    {
        int n = 0;
        for (const std::string& line : TrayLog())
            n += line == Text ? 1 : 0;
        return n;
    }
    // Closes a shown wizard as the user would (the role answers Yes).
    void CloseWizard(TRole& Role, HWND Wnd)
    {
        PostMessageW(Wnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(Role.Wait(40000));
        EXPECT_EQ(0u, Role.ExitCode());
    }
    std::unique_ptr<TProgram> tray_;
};

TEST_F(StartUp, SecondStartWakesTheFirstAndEnds)
{
    auto first = Wizard("first", "");
    HWND wnd = WaitForWindow(*first);
    ASSERT_NE(nullptr, wnd);
    ASSERT_TRUE(WaitFor("first", "ontop 0"));
    ShowWindow(wnd, SW_MINIMIZE);
    ASSERT_TRUE(PumpUntil([&] { return IsIconic(wnd) != FALSE; }, 5000));

    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "Global\\KorvelleShowMain");
    ASSERT_NE(nullptr, event);
    const int roundsBefore = Count("first", "ontop 1");
    auto second = Wizard("second", "");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 20000));
    const DWORD set = GetTickCount();
    EXPECT_TRUE(PumpUntil([&] { return !IsIconic(wnd) && GetForegroundWindow() == wnd; }, 5000));
    // At once, not at a later round of the wizard's timers; a loaded machine
    // only delays the switch.
    EXPECT_LE(GetTickCount() - set, 3000u);
    CloseHandle(event);

    ASSERT_TRUE(second->Wait(20000));
    EXPECT_EQ(0u, second->ExitCode());
    const DWORD lasted = TimeOf("second", "exit") - TimeOf("second", "start");
    EXPECT_GE(lasted, 1100u);
    EXPECT_LE(lasted, 1600u);
    EXPECT_FALSE(Has("second", "forms"));
    EXPECT_TRUE(PumpUntil([&] { return Count("first", "ontop 1") > roundsBefore; }, 2000));
    CloseWizard(*first, wnd);
}

TEST_F(StartUp, CheckWithWaitRunsHiddenOnceTheWizardCloses)
{
    StartTray();
    auto wizard = Wizard("wizard", "");
    HWND wnd = WaitForWindow(*wizard);
    ASSERT_NE(nullptr, wnd);
    auto check = Wizard("check", "/CHECK /WAIT");
    Pump(2500);
    EXPECT_TRUE(check->Running());
    EXPECT_FALSE(Has("check", "forms"));
    CloseWizard(*wizard, wnd);
    ASSERT_TRUE(check->Wait(20000));
    EXPECT_EQ(0u, check->ExitCode());
    EXPECT_TRUE(Has("check", "forms"));
    EXPECT_FALSE(Has("check", "visible"));
    EXPECT_FALSE(Has("check", "ontop"));
    // The wizard's end is told to the tray, the check run's is not.
    EXPECT_EQ(1, TrayLines("message WM_KorvelleExitToTray"));
}

TEST_F(StartUp, CheckRunAnswersAUsersStartWithOneWaitingStart)
{
    auto check = Wizard("check", "/CHECK", {"check=4000"});
    ASSERT_TRUE(WaitFor("check", "forms"));
    for (int i = 0; i < 2; ++i) {
        TGlobalEvent(kShowMainEventName).SetEvent();
        Pump(600);
    }
    ASSERT_TRUE(check->Wait(20000));
    EXPECT_EQ(0u, check->ExitCode());
    EXPECT_EQ(1, Count("check", "shell open " + folders_.MainExePath + " /WAIT"));
    EXPECT_EQ(1, Count("check", "shell "));
    EXPECT_FALSE(Has("check", "visible"));
    EXPECT_TRUE(Has("check", "check ends"));
}

TEST_F(StartUp, ACompositionChangeRestartsTheWizardButNotACheckRun)
{
    const std::string restart = "shell open " + folders_.MainExePath + " /WAIT";
    auto wizard = Wizard("wizard", "", {"glass=1", "compose=1"});
    ASSERT_TRUE(wizard->Wait(20000)) << "the wizard did not end";
    EXPECT_EQ(0u, wizard->ExitCode());
    EXPECT_TRUE(Has("wizard", "composed glass"));
    EXPECT_EQ(1, Count("wizard", restart));
    EXPECT_EQ(1, Count("wizard", "shell "));
    EXPECT_FALSE(Has("wizard", "prompt")) << "the restart asks nothing";

    // A check run never shows its window: it goes on to its own end.
    auto check = Wizard("check", "/CHECK", {"glass=1", "compose=1", "check=2000"});
    ASSERT_TRUE(check->Wait(20000));
    EXPECT_EQ(0u, check->ExitCode());
    EXPECT_TRUE(Has("check", "composed glass"));
    EXPECT_TRUE(Has("check", "check ends"));
    EXPECT_EQ(0, Count("check", "shell "));
}

TEST_F(StartUp, StopEndsTheTrayAndTheWizard)
{
    StartTray();
    auto wizard = Wizard("wizard", "");
    ASSERT_NE(nullptr, WaitForWindow(*wizard));
    auto stop = Wizard("stop", "/stop");
    ASSERT_TRUE(stop->Wait(20000));
    EXPECT_TRUE(wizard->Wait(20000));
    EXPECT_EQ(0u, wizard->ExitCode());
    EXPECT_FALSE(Has("wizard", "prompt")) << "the stop event asks nothing";
    EXPECT_TRUE(tray_->Wait(10000));
    EXPECT_EQ(1, TrayLines("stop"));
    EXPECT_FALSE(Has("stop", "forms"));
}

TEST_F(StartUp, WithoutAdministratorRightsTheProgramRestartsElevated)
{
    struct TCase {
        const char* cmd;
        int runas;
        const char* params;
    };
    const TCase cases[] = {
        {"A B", 1, "A /UAC"},
        {"", 1, " /UAC"},
        {"/uac", 1, "/uac /UAC"}, // "/UAC" counts only as it is written
        {"x /UAC", 0, ""},
        {"/CHECK", 0, ""},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.cmd);
        const std::string name = "user" + std::to_string(++n);
        auto role = Wizard(name, c.cmd, {"elevated=0"});
        if (c.runas == 0 && std::string(c.cmd) != "/CHECK") {
            // It runs as the wizard: closed after its window came.
            HWND wnd = WaitForWindow(*role);
            ASSERT_NE(nullptr, wnd);
            CloseWizard(*role, wnd);
        }
        ASSERT_TRUE(role->Wait(20000));
        EXPECT_EQ(0u, role->ExitCode());
        EXPECT_EQ(c.runas, Count(name, "shell runas "));
        if (c.runas) {
            const std::string program = Narrow(ktest::ProgramPath());
            EXPECT_TRUE(Has(name, "shell runas " + program + " " + c.params));
            EXPECT_FALSE(Has(name, "forms"));
        } else {
            EXPECT_TRUE(Has(name, "forms"));
        }
    }
}

TEST_F(StartUp, TrayToldOfTheEndAndOfChangedSettings)
{
    StartTray();
    auto wizard = Wizard("wizard", "");
    HWND wnd = WaitForWindow(*wizard);
    ASSERT_NE(nullptr, wnd);
    CloseWizard(*wizard, wnd);
    EXPECT_TRUE(PumpUntil([&] { return TrayLines("message WM_KorvelleExitToTray") == 1; }, 5000));
    auto check = Wizard("check", "/CHECK");
    ASSERT_TRUE(check->Wait(20000));
    Pump(500);
    EXPECT_EQ(1, TrayLines("message WM_KorvelleExitToTray"));
    RefreshTray();
    EXPECT_TRUE(PumpUntil([&] { return TrayLines("message WM_KorvelleRefreshTray") == 1; }, 5000));
}

TEST_F(StartUp, PendingUpdateStartsItsNewCopyAtTheEnd)
{
    auto plain = Wizard("plain", "/CHECK", {"pending=1"});
    ASSERT_TRUE(plain->Wait(20000));
    EXPECT_TRUE(Has("plain", "shell open " + folders_.MainExePath + " /completeupdate"));
    // The update puts its new copy in place while the program runs (a copy
    // there at the start is a left-over and goes).
    auto fresh = Wizard("fresh", "/CHECK", {"pending=1", "check=3000"});
    ASSERT_TRUE(WaitFor("fresh", "forms"));
    // The new copy is a program (a stand-in whose window class is its first
    // argument), started as one rather than through the shell.
    ASSERT_TRUE(CopyFileA((TestDir() + "ktest_browser.exe").c_str(),
                          (folders_.ProgramDir + "Korvelle.new").c_str(), FALSE));
    ASSERT_TRUE(fresh->Wait(20000));
    EXPECT_EQ(0, Count("fresh", "shell open " + folders_.ProgramDir + "Korvelle.new"));
    HWND completion = nullptr;
    EXPECT_TRUE(PumpUntil(
        [&] { return (completion = FindWindowW(L"/completeupdate", nullptr)) != nullptr; }, 15000));
    if (completion) {
        DWORD pid = 0;
        GetWindowThreadProcessId(completion, &pid);
        PostMessageW(completion, WM_CLOSE, 0, 0);
        if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid)) {
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
    // Without the flag nothing starts.
    auto none = Wizard("none", "/CHECK");
    ASSERT_TRUE(none->Wait(20000));
    EXPECT_EQ(0, Count("none", "shell "));
}

TEST_F(StartUp, RealTrayWithoutItsIconEndsOnRefresh)
{
    const bool hadKey = [] {
        TRegViewScope view(true, false);
        return RegKeyExists(HKEY_LOCAL_MACHINE, kProgramKeyName);
    }();
    {
        TRegViewScope view(true, false);
        RegWriteString(HKEY_LOCAL_MACHINE, kProgramKeyName, "SHOW_TRAY", "1");
    }
    TProgram tray(TestDir() + "Lindova.exe", "");
    ASSERT_TRUE(tray.Started());
    ASSERT_TRUE(PumpUntil([] { return FindWindowA(kTrayWindowClassName, nullptr) != nullptr; }, 20000));
    Pump(1000);
    EXPECT_TRUE(tray.Running());
    {
        TRegViewScope view(true, false);
        RegWriteString(HKEY_LOCAL_MACHINE, kProgramKeyName, "SHOW_TRAY", "0");
    }
    RefreshTray();
    EXPECT_TRUE(tray.Wait(10000));
    TRegViewScope view(true, false);
    if (hadKey)
        RegRemoveValue(HKEY_LOCAL_MACHINE, kProgramKeyName, "SHOW_TRAY");
    else
        RegRemoveKeyTree(HKEY_LOCAL_MACHINE, kProgramKeyName, true);
}

// ---------------------------------------------------------------------------
// Ending while the worker runs

class EndWhileWorking : public StartUp {
protected:
    // Dead class registrations of this run in each view.
    void SetUp() override
    {
        StartUp::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "{7E5A0C12-%04X-", static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF));
        fixture_ = prefix;
    }
    void MakeFixture()
    {
        for (bool is64 : Views())
            for (int i = 1; i <= 40; ++i) {
                TRegViewScope view(!is64, is64);
                char key[96];
                std::snprintf(key, sizeof key, "CLSID\\%s4000-8000-%012X}", fixture_.c_str(), i);
                RegWriteString(HKEY_CLASSES_ROOT, key, "", "Dead class");
                RegWriteString(HKEY_CLASSES_ROOT, std::string(key) + "\\InprocServer32", "",
                               "C:\\korvgone\\dead.dll");
            }
    }
    void RemoveFixture()
    {
        for (bool is64 : Views())
            for (int i = 1; i <= 40; ++i) {
                TRegViewScope view(!is64, is64);
                char key[96];
                std::snprintf(key, sizeof key, "CLSID\\%s4000-8000-%012X}", fixture_.c_str(), i);
                RegRemoveKeyTree(HKEY_CLASSES_ROOT, key, true);
            }
    }
    static std::vector<bool> Views()
    {
        return IsWin64() ? std::vector<bool>{false, true} : std::vector<bool>{false};
    }
    // Every backup file of the run is a whole document.
    void ExpectWholeBackups()
    {
        TqvBackups backups;
        backups.LoadFrom(folders_.BackupDir);
        WIN32_FIND_DATAA found{};
        int files = 0;
        HANDLE find = FindFirstFileA((folders_.BackupDir + "fix_*.xml").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do
                ++files;
            while (FindNextFileA(find, &found));
            FindClose(find);
        }
        EXPECT_EQ(files, static_cast<int>(backups.FixBackups.size())) << "a backup file is cut short";
    }
    std::string fixture_;
};

TEST_F(EndWhileWorking, CloseDestructionAndStopWaitForTheWorker)
{
    struct TCase {
        const char* trigger;
        bool repair;
    };
    const TCase cases[] = {{"close", false}, {"quit", false}, {"stop", false},
                           {"close", true},  {"quit", true},  {"stop", true}};
    for (const TCase& c : cases) {
        for (int round = 0; round < 5; ++round) {
            const std::string name = std::string(c.trigger) + (c.repair ? "-repair-" : "-scan-") +
                                     std::to_string(round);
            SCOPED_TRACE(name);
            if (c.repair)
                MakeFixture();
            std::vector<std::string> more = {std::string("trigger=") + c.trigger, "rp=1"};
            if (c.repair) {
                more.push_back("repair=" + fixture_);
                ChangeSettings([](TSettings& s) { s.CREATE_SYSTEMRP = true; });
                TProgramKeyView view;
                RegWriteString(HKEY_LOCAL_MACHINE, Key(), "CREATE_SYSTEMRP", "1");
            }
            auto role = Wizard(name, c.repair ? "" : "/SCAN", more);
            ASSERT_TRUE(role->Wait(90000)) << "still running";
            EXPECT_EQ(0u, role->ExitCode());
            EXPECT_TRUE(Has(name, "progress"));
            EXPECT_TRUE(Has(name, "trigger"));
            EXPECT_TRUE(Has(name, "done"));
            EXPECT_TRUE(Has(name, "worker ended"));
            EXPECT_LE(TimeOf(name, "done"), TimeOf(name, "exit"));
            EXPECT_TRUE(Has(name, "exit 0"));
            if (c.repair) {
                EXPECT_TRUE(Has(name, "rp begin"));
                EXPECT_TRUE(Has(name, "rp cancel"));
                EXPECT_FALSE(Has(name, "rp end"));
                ExpectWholeBackups();
                RemoveFixture();
                TProgramKeyView view;
                RegRemoveValue(HKEY_LOCAL_MACHINE, Key(), "CREATE_SYSTEMRP");
            }
        }
    }
}

TEST_F(EndWhileWorking, ACompositionChangeRestartsOnlyOnceTheRepairIsDone)
{
    MakeFixture();
    ChangeSettings([](TSettings& s) { s.CREATE_SYSTEMRP = true; });
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, Key(), "CREATE_SYSTEMRP", "1");
    }
    auto role = Wizard("compose", "", {"trigger=compose", "rp=1", "glass=1", "repair=" + fixture_});
    ASSERT_TRUE(role->Wait(90000)) << "still running";
    EXPECT_EQ(0u, role->ExitCode());
    const std::vector<std::string> lines = Lines("compose");
    auto at = [&](const std::string& Text) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(Text, 0) == 0)
                return static_cast<int>(i);
        return -1;
    };
    const std::string restart = "shell open " + folders_.MainExePath + " /WAIT";
    ASSERT_GE(at("trigger compose"), 0);
    ASSERT_GE(at("done"), 0);
    ASSERT_GE(at(restart), 0);
    EXPECT_LT(at("trigger compose"), at("done"));
    EXPECT_LT(at("done"), at(restart)) << "the restart came before the worker finished";
    EXPECT_EQ(1, Count("compose", restart));
    // The repair ran to its end: its restore point was ended, not cancelled.
    EXPECT_TRUE(Has("compose", "rp end"));
    EXPECT_FALSE(Has("compose", "rp cancel"));
    EXPECT_TRUE(Has("compose", "worker ended"));
    ExpectWholeBackups();
    RemoveFixture();
    TProgramKeyView view;
    RegRemoveValue(HKEY_LOCAL_MACHINE, Key(), "CREATE_SYSTEMRP");
}

} // namespace
