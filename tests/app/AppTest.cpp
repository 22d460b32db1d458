#include "AppTest.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "app/frmQVFAQ.h"
#include "controls/KvForms.h"
#include "controls/KvPng.h"
#include "engine/qvClasses.h"
#include "engine/qvThreads.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <atomic>

namespace apptest {

int ScanAndSelectKeys(TMainForm& Main, const std::function<bool(const std::string& Key)>& Wanted)
{
    Main.SetStep(kStepScanSettings);
    TqvMain& engine = *Main.Engine();
    for (uint8_t c : {kCategoryFix, kCategoryBoost, kCategoryClean})
        for (const auto& group : engine.Category(c)->Groups)
            group->Enabled = group->Id == "reg-clsid";
    engine.ScanAll();
    TqvCategory* fix = engine.FixCategory.get();
    SelectSectionItems(fix, false);
    bool keySelected = false;
    for (const auto& group : fix->Groups)
        for (const auto& item : group->Scanner->Items) {
            auto* reg = dynamic_cast<TqvRegItem*>(item.get());
            if (!item->Locked)
                keySelected = reg && Wanted(reg->Key);
            if (item->Found && keySelected) {
                item->Selected = true;
                group->Checked = true;
            }
        }
    Main.RegistryErrors = SectionSelectedCount(fix);
    return Main.RegistryErrors;
}

void Pump(DWORD Ms)
{
    const DWORD start = GetTickCount();
    do {
        Application().ProcessMessages();
        Sleep(5);
    } while (GetTickCount() - start < Ms);
}

bool PumpUntil(const std::function<bool()>& Done, DWORD TimeoutMs)
{
    const DWORD start = GetTickCount();
    while (!Done()) {
        if (GetTickCount() - start > TimeoutMs)
            return false;
        Application().ProcessMessages();
        Sleep(5);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Prompts

namespace {

struct TPromptState {
    std::deque<int> answers;
    int fallback = IDYES;
    std::vector<TPrompt> seen;
    std::function<void(const TPrompt&)> hook;
};

TPromptState& Prompts()
{
    static TPromptState state;
    return state;
}

int ScriptedPrompt(HWND, const std::wstring& Text, const std::wstring& Caption, UINT Flags)
{
    TPromptState& state = Prompts();
    EXPECT_EQ(std::wstring(kProductNameW), Caption);
    const TPrompt prompt{Text, Flags};
    state.seen.push_back(prompt);
    if (state.hook)
        state.hook(prompt);
    if (state.answers.empty())
        return state.fallback;
    const int answer = state.answers.front();
    state.answers.pop_front();
    return answer;
}

} // namespace

void TPromptScript::Install()
{
    Clear();
}

void TPromptScript::Answer(std::initializer_list<int> Answers)
{
    Prompts().answers.assign(Answers.begin(), Answers.end());
}

void TPromptScript::SetDefault(int Answer)
{
    Prompts().fallback = Answer;
}

std::vector<TPrompt> TPromptScript::Seen()
{
    return Prompts().seen;
}

void TPromptScript::Clear()
{
    Prompts() = TPromptState{};
}

void TPromptScript::OnPrompt(std::function<void(const TPrompt&)> Hook)
{
    Prompts().hook = std::move(Hook);
}

// ---------------------------------------------------------------------------
// Shell calls

namespace {

std::mutex gShellLock;
std::vector<TShellCall> gShellCalls;

HINSTANCE WINAPI RecordingShell(HWND, LPCSTR Verb, LPCSTR File, LPCSTR Params, LPCSTR, INT)
{
    std::lock_guard lock(gShellLock);
    gShellCalls.push_back({Verb ? Verb : "", File ? File : "", Params ? Params : ""});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

} // namespace

void RecordShellCalls(bool On)
{
    std::lock_guard lock(gShellLock);
    gShellCalls.clear();
    SetShellExecuteCall(On ? &RecordingShell : nullptr);
}

std::vector<TShellCall> ShellCalls()
{
    std::lock_guard lock(gShellLock);
    return gShellCalls;
}

// ---------------------------------------------------------------------------
// Usage counters

namespace {

std::string TrackKey()
{
    return "Software\\Korvelle.Test.track." + Narrow(ktest::InstanceName());
}

class TTrackEnvironment : public ::testing::Environment {
public:
    void SetUp() override { CreateUserTrack(HKEY_CURRENT_USER, TrackKey(), "TRACK"); }
    void TearDown() override
    {
        TRegViewScope view(true, false);
        RegRemoveKeyTree(HKEY_CURRENT_USER, TrackKey(), true);
    }
};

[[maybe_unused]] ::testing::Environment* const gTrackEnvironment =
    ::testing::AddGlobalTestEnvironment(new TTrackEnvironment);

} // namespace

std::map<std::string, int> Counters()
{
    std::map<std::string, int> counters;
    std::string text;
    if (!UserTrack() || !UserTrack()->ReadStore(text))
        return counters;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            counters[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
        start = end + 2;
    }
    return counters;
}

void ClearCounters()
{
    if (UserTrack())
        UserTrack()->WriteStore("");
}

// ---------------------------------------------------------------------------
// The scripted worker

namespace {

struct TWorkerState {
    std::mutex lock;
    std::vector<TWorkerScript> scripts;
    size_t next = 0;
    std::atomic<int> made{0};
    std::atomic<int> answered{0};
    std::vector<bool> answers;
};

TWorkerState& Workers()
{
    static TWorkerState state;
    return state;
}

class TScriptedWorker : public TThread {
public:
    TScriptedWorker(TWorkRequest Request, TWorkerScript Script)
        : TThread(true), request_(std::move(Request)), script_(std::move(Script))
    {
    }

protected:
    void Execute() override
    {
        for (const TqvUIStatus& record : script_.records) {
            if (Terminated() && !script_.holdFinish)
                break;
            bool goOn = false;
            Synchronize([&] { goOn = !Terminated() && request_.OnProgress(record); });
            {
                std::lock_guard lock(Workers().lock);
                Workers().answers.push_back(goOn);
            }
            ++Workers().answered;
            if (!goOn)
                break;
            if (script_.gapMs)
                Sleep(script_.gapMs);
        }
        if (script_.holdFinish)
            WaitForSingleObject(script_.holdFinish, 60000);
        Synchronize([this] { request_.OnDone(script_.restorePointFailed); });
    }

private:
    TWorkRequest request_;
    TWorkerScript script_;
};

} // namespace

void UseScriptedWorkers(std::vector<TWorkerScript> Scripts)
{
    TWorkerState& state = Workers();
    {
        std::lock_guard lock(state.lock);
        state.scripts = std::move(Scripts);
        state.next = 0;
        state.answers.clear();
    }
    state.made = 0;
    state.answered = 0;
    TAppSeams seams = AppSeams();
    seams.CreateWorker = [](TWorkRequest Request) -> TThread* {
        TWorkerState& s = Workers();
        TWorkerScript script;
        {
            std::lock_guard lock(s.lock);
            if (!s.scripts.empty()) {
                script = s.scripts[std::min(s.next, s.scripts.size() - 1)];
                ++s.next;
            }
        }
        ++s.made;
        return new TScriptedWorker(std::move(Request), std::move(script));
    };
    SetAppSeams(std::move(seams));
}

int WorkersMade()
{
    return Workers().made;
}

int RecordsAnswered()
{
    return Workers().answered;
}

std::vector<bool> Answers()
{
    std::lock_guard lock(Workers().lock);
    return Workers().answers;
}

TqvUIStatus Record(uint8_t Phase, uint8_t Category, int32_t Position, int32_t Maximum,
                   const std::wstring& Caption)
{
    TqvUIStatus status;
    ResetUIStatus(status);
    status.Phase = Phase;
    status.Category = Category;
    status.Position = Position;
    status.Maximum = Maximum;
    status.Caption = Caption;
    return status;
}

TWorkerScript CountingScanScript(int Records, DWORD GapMs)
{
    TWorkerScript script;
    for (int i = 1; i <= Records; ++i) {
        TqvUIStatus r = Record(kPhaseScan, kCategoryFix, i, Records);
        r.FixErrors = i;
        script.records.push_back(r);
    }
    script.gapMs = GapMs;
    return script;
}

// ---------------------------------------------------------------------------
// Fixtures

TProgramFolders ScratchFolders(const std::string& Dir)
{
    TProgramFolders folders = ComputeProgramFolders();
    folders.ProgramDir = Dir + "prog\\";
    folders.UpdateDir = folders.ProgramDir + "Update\\";
    folders.MainExePath = folders.ProgramDir + "Korvelle.exe";
    folders.TrayExePath = folders.ProgramDir + "Lindova.exe";
    folders.CommonDataDir = Dir + "common\\Korvelle\\";
    folders.BackupDir = folders.CommonDataDir + "Backup\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.TranslateDir = folders.CommonDataDir + "Translate\\";
    folders.UserDataDir = Dir + "user\\Korvelle\\";
    folders.UserStartupDir = folders.UserDataDir + "Startup\\";
    folders.NewsDir = folders.UserDataDir + "News\\";
    for (const std::string& root : {folders.ProgramDir, Dir + "common", Dir + "user"})
        CreateDirectoryA(root.c_str(), nullptr);
    return folders;
}

void AppFixture::SetUp()
{
    ktest::ScratchKeyTest::SetUp();
    HklmTwin(KEY_WOW64_32KEY);
    SetProgramKeyForTests(Key());

    static int counter = 0;
    dir_ = TestDir() + "appscratch." + std::to_string(GetCurrentProcessId()) + "." +
           std::to_string(++counter) + "\\";
    ktest::RemoveTree(Widen(dir_));
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    folders_ = ScratchFolders(dir_);
    SetProgramFoldersForTests(folders_);
    // Nothing of a test leaves the machine: the web service's addresses point
    // at a closed loopback port until a test gives its stand-in's.
    {
        TProgramKeyView view;
        for (const char* name : {"LI_URL", "PHONE_URL", "FAQ_URL"})
            ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), name, kNowhereURL));
    }
    // Registry-only settings that the scratch key lacks keep no value of an
    // earlier test.
    SetSettings(TSettings{});
    LoadSettings();
    ChangeSettings([](TSettings& s) { s.TRACK_USER = true; });
    ClearCounters();

    TPromptScript::Install();
    RecordShellCalls(true);
    AppFlags() = TAppFlags{};
    seams_ = TAppSeams{};
    seams_.Prompt = &ScriptedPrompt;
    seams_.Sleep = [](DWORD) {};
    seams_.Elevated = [] { return true; };
    seams_.StayOnTop = [this](HWND Wnd, bool On) { stayOnTop_.emplace_back(Wnd, On); };
    seams_.Flash = [this](HWND Wnd, UINT) { flashes_.push_back(Wnd); };
    ApplySeams();
}

void AppFixture::ApplySeams()
{
    SetAppSeams(seams_);
}

void AppFixture::TearDown()
{
    // The wizard pages start a FAQ download; it ends before the program key
    // and folders it uses are put back.
    EXPECT_TRUE(WaitForFaqDownload(30000)) << "a FAQ download still runs";
    SetAppSeams({});
    RecordShellCalls(false);
    TPromptScript::Clear();
    AppFlags() = TAppFlags{};
    ResetProgramFoldersForTests();
    SetProgramKeyForTests("");
    SetSettings(TSettings{});
    LoadSettings();
    EXPECT_TRUE(ktest::RemoveTree(Widen(dir_))) << "scratch folder left behind";
    ktest::ScratchKeyTest::TearDown();
}

std::string AppFixture::Key() const
{
    return Narrow(ScratchPath());
}

void WizardFixture::SetUp()
{
    AppFixture::SetUp();
    if (HasFatalFailure())
        return;
    KTEST_NEEDS_DISPLAY();
    Application().Initialize();
    MakeForms();
}

void WizardFixture::MakeForms()
{
    // A test that makes the forms again (after changing the settings they
    // read at creation) replaces those of SetUp: a main window left alive
    // would go on answering the program's global events from its timer.
    FreeForms();
    images_ = new TImageData();
    main_ = new TMainForm();
    steps_ = new TFormSteps();
}

void WizardFixture::FreeForms()
{
    delete steps_;
    steps_ = nullptr;
    delete main_;
    main_ = nullptr;
    delete images_;
    images_ = nullptr;
    TComponent::FreeReleased();
}

void WizardFixture::TearDown()
{
    FreeForms();
    AppFixture::TearDown();
}

void SaveShot(TWinControl& Control, const std::wstring& Name)
{
    TBitmap bitmap(std::max(Control.ClientWidth(), 1), std::max(Control.ClientHeight(), 1));
    Control.PaintTo(bitmap.Canvas().Handle(), 0, 0);
    GdiFlush();
    TPNGPicture png;
    ASSERT_TRUE(png.Assign(bitmap));
    png.SetHasAlpha(false);
    EXPECT_TRUE(png.SaveToFile(Narrow(ktest::EvidenceDir() + Name + L".png"))) << png.LastError();
}

// ---------------------------------------------------------------------------
// Processes

namespace {

std::wstring Quote(const std::wstring& Arg)
{
    if (!Arg.empty() && Arg.find_first_of(L" \t\"") == std::wstring::npos)
        return Arg;
    std::wstring out = L"\"";
    for (wchar_t c : Arg) {
        if (c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

bool StartProcess(const std::wstring& Exe, const std::wstring& CommandLine, HANDLE& Process,
                  DWORD& Pid)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = CommandLine;
    if (!CreateProcessW(Exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    Process = pi.hProcess;
    Pid = pi.dwProcessId;
    return true;
}

void EndProcess(HANDLE& Process)
{
    if (!Process)
        return;
    if (WaitForSingleObject(Process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(Process, 255);
        WaitForSingleObject(Process, 5000);
    }
    CloseHandle(Process);
    Process = nullptr;
}

} // namespace

TRole::TRole(const std::wstring& Role, const std::vector<std::wstring>& Args)
{
    const std::wstring exe = ktest::ProgramPath();
    std::wstring cmd = Quote(exe) + L" --role=" + Role;
    for (const std::wstring& arg : Args)
        cmd += L" " + Quote(arg);
    StartProcess(exe, cmd, process_, pid_);
}

TRole::~TRole()
{
    EndProcess(process_);
}

bool TRole::Wait(DWORD Ms)
{
    return process_ && WaitForSingleObject(process_, Ms) == WAIT_OBJECT_0;
}

DWORD TRole::ExitCode() const
{
    DWORD code = 0xFFFFFFFF;
    if (process_)
        GetExitCodeProcess(process_, &code);
    return code;
}

bool TRole::Running() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

TProgram::TProgram(const std::string& Exe, const std::string& Args)
{
    const std::wstring exe = Widen(Exe);
    StartProcess(exe, Quote(exe) + (Args.empty() ? L"" : L" " + Widen(Args)), process_, pid_);
}

TProgram::~TProgram()
{
    EndProcess(process_);
}

bool TProgram::Wait(DWORD Ms)
{
    return process_ && WaitForSingleObject(process_, Ms) == WAIT_OBJECT_0;
}

bool TProgram::Running() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

namespace {

struct TWizardSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindWizard(HWND Wnd, LPARAM Param)
{
    auto* search = reinterpret_cast<TWizardSearch*>(Param);
    DWORD pid = 0;
    GetWindowThreadProcessId(Wnd, &pid);
    wchar_t cls[32] = {}, caption[64] = {};
    GetClassNameW(Wnd, cls, 32);
    GetWindowTextW(Wnd, caption, 64);
    if (pid == search->pid && std::wstring(cls) == L"KvForm" &&
        std::wstring(caption) == kProductNameW && IsWindowVisible(Wnd)) {
        search->found = Wnd;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindWizardWindow(DWORD Pid)
{
    TWizardSearch search{Pid, nullptr};
    EnumWindows(&FindWizard, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace apptest
