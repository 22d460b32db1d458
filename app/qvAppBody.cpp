#include "app/qvAppBody.h"
#include "app/frmQVFAQ.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "app/qvDailyCheck.h"
#include "app/qvNetThreads.h"
#include "app/qvUpdate.h"
#include "controls/KvForms.h"
#include "controls/SkinControls.h"
#include "engine/qvAddOnCheck.h"
#include "engine/qvStartup.h"
#include "platform/FileResourceU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HashU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SyncObjsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <objbase.h>

#include <atomic>
#include <memory>

namespace {

constexpr char kSwitchInstall[] = "/INSTALL";
constexpr char kSwitchUninstall[] = "/UNINSTALL";
constexpr char kSwitchStop[] = "/STOP";
constexpr char kSwitchCompleteUpdate[] = "/COMPLETEUPDATE";
constexpr char kSwitchScan[] = "/SCAN";
constexpr char kSwitchCheck[] = "/CHECK";
constexpr char kSwitchWait[] = "/WAIT";
// Compared exactly: the elevated copy's own mark.
constexpr char kSwitchUac[] = "/UAC";
constexpr char kCompleteUpdateParam[] = "/completeupdate";

constexpr char kMainNewName[] = "Korvelle.new";
constexpr char kMainOldName[] = "Korvelle.old";
constexpr char kTrayNewName[] = "Lindova.new";
constexpr char kTrayOldName[] = "Lindova.old";

constexpr DWORD kWaitSleepMs = 500;
constexpr DWORD kMutexWaitMs = 100;
constexpr DWORD kStopEventSetMs = 100;
constexpr DWORD kStopProgramsEndMs = 2000;
constexpr DWORD kCompleteUpdateWaitMs = 3000;
constexpr int kCompleteUpdateTries = 10;
constexpr DWORD kCompleteUpdateRetryMs = 500;
constexpr DWORD kUninstallStopWaitMs = 500;
constexpr DWORD kUninstallSettleMs = 2500;
// How long the end of the program waits for an update run that installs.
constexpr DWORD kUpdateEndWaitMs = 60000;
constexpr DWORD kDailyCheckLookMs = 50;
constexpr DWORD kAddOnCheckWaitMs = 15000;
constexpr DWORD kReportWaitMs = 15000;
constexpr char kInstallAction[] = "INMOSTREL";
constexpr char kUninstallAction[] = "UNMOSTREL";
// LAST_UPDATE of a new installation: the first update check waits a day more.
constexpr double kLastUpdateBackDays = 2.0;

TAppSeams& Seams()
{
    static TAppSeams* seams = new TAppSeams;
    return *seams;
}

std::wstring CommandLineText()
{
    if (Seams().CommandLine)
        return Seams().CommandLine();
    const wchar_t* line = GetCommandLineW();
    return line ? line : L"";
}

// The protected descriptor put on an existing file or folder (its DACL, cut
// off from the parent's grants). Failures are logged and passed over.
void ProtectPath(const std::string& Path)
{
    if (!IsWinNT())
        return;
    SECURITY_ATTRIBUTES* attributes = GetProtectedSecurityAttributes();
    if (!attributes)
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted) ||
        !present)
        return;
    const SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    RecordSecurityCall("SetNamedSecurityInfoA", Path, info, attributes->lpSecurityDescriptor);
    std::string name = Path;
    const DWORD result = SetNamedSecurityInfoA(name.data(), SE_FILE_OBJECT, info, nullptr, nullptr,
                                               dacl, nullptr);
    if (result != ERROR_SUCCESS)
        Log("Install: security of " + Path + " not set (" + std::to_string(result) + ")", 1, 4);
}

// The program key under Root, created when missing, with Attributes as its
// security; an existing key gets the attributes' DACL.
void CreateProgramKey(HKEY Root, SECURITY_ATTRIBUTES* Attributes)
{
    TRegKey key;
    DWORD disposition = 0;
    const LONG created =
        RegCreateKeyExA(Root, ProgramKey().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE | WRITE_DAC | RegViewAccessBit(), Attributes,
                        key.put(), &disposition);
    if (created != ERROR_SUCCESS || !Attributes || disposition != REG_OPENED_EXISTING_KEY)
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(Attributes->lpSecurityDescriptor, &present, &dacl, &defaulted) ||
        !present)
        return;
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(Attributes->lpSecurityDescriptor, &control, &revision) &&
        (control & SE_DACL_PROTECTED))
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

void DeleteIfPresent(const std::string& FileName)
{
    if (FileExistsEx(FileName))
        DeleteFileA(FileName.c_str());
}

void PostToTray(const char* MessageName)
{
    const HWND tray = FindWindowA(kTrayWindowClassName, nullptr);
    if (tray)
        PostMessageA(tray, RegisterWindowMessageA(MessageName), 0, 0);
}

} // namespace

// ---------------------------------------------------------------------------
// Flags and seams

TAppFlags& AppFlags()
{
    static TAppFlags flags;
    return flags;
}

void SetAppSeams(TAppSeams Value)
{
    Seams() = std::move(Value);
}

const TAppSeams& AppSeams()
{
    return Seams();
}

void AppSleep(DWORD Ms)
{
    if (Seams().Sleep)
        Seams().Sleep(Ms);
    else
        SleepMs(Ms);
}

int AppPrompt(HWND Owner, const std::wstring& Text, UINT Flags)
{
    if (Seams().Prompt)
        return Seams().Prompt(Owner, Text, kProductNameW, Flags);
    return MessageBoxW(Owner, Text.c_str(), kProductNameW, Flags);
}

bool AppProcessElevated()
{
    return Seams().Elevated ? Seams().Elevated() : IsProcessElevated();
}

bool AppHasAdminRights()
{
    bool administrator = false;
    try {
        administrator = Seams().Administrator ? Seams().Administrator() : IsAdministrator();
    } catch (...) {
        administrator = false;
    }
    return AppProcessElevated() && (IsVistaOrLater() || administrator);
}

// ---------------------------------------------------------------------------
// The command line

std::vector<std::wstring> SplitParams(std::wstring_view CommandLine)
{
    std::vector<std::wstring> params;
    auto blank = [](wchar_t c) { return c >= 1 && c <= L' '; };
    size_t i = 0;
    const size_t n = CommandLine.size();
    while (true) {
        while (i < n && blank(CommandLine[i]))
            ++i;
        if (i >= n || CommandLine[i] == L'\0')
            break;
        std::wstring param;
        bool quoted = false;
        while (i < n && CommandLine[i] != L'\0' && (quoted || !blank(CommandLine[i]))) {
            if (CommandLine[i] == L'"')
                quoted = !quoted;
            else
                param += CommandLine[i];
            ++i;
        }
        params.push_back(std::move(param));
    }
    return params;
}

std::string ParamStr(int Index)
{
    if (Index < 0)
        return {};
    if (Index == 0)
        return Seams().ProgramFile ? Seams().ProgramFile() : GetApplicationFileName();
    const std::vector<std::wstring> params = SplitParams(CommandLineText());
    if (static_cast<size_t>(Index) >= params.size())
        return {};
    return WideToAnsi(params[static_cast<size_t>(Index)]);
}

int ParamCount()
{
    const size_t count = SplitParams(CommandLineText()).size();
    return count > 0 ? static_cast<int>(count - 1) : 0;
}

bool SameSwitch(std::string_view Param, std::string_view Switch)
{
    return SameTextAscii(Param, Switch);
}

// ---------------------------------------------------------------------------
// Start-up of the units

void InitMainProgramUnits()
{
    LoadSettings();
    CreateUserTrack(HKEY_LOCAL_MACHINE, ProgramKey(), "TRACK");
    RegisterWindowMessageA(kRefreshTrayMessageName);
    RegisterWindowMessageA(kExitToTrayMessageName);
    SkinControlsInit();
}

// ---------------------------------------------------------------------------
// User id

std::string MakeUserId()
{
    GUID guid{};
    std::string text;
    if (SUCCEEDED(CoCreateGuid(&guid))) {
        wchar_t buffer[64] = {};
        const int length = StringFromGUID2(guid, buffer, 64);
        std::wstring form(buffer, length > 0 ? static_cast<size_t>(length - 1) : 0);
        if (form.size() >= 2)
            form = form.substr(1, form.size() - 2);
        for (wchar_t c : form)
            if (c != L'-')
                text += static_cast<char>(c);
    }
    text += std::to_string(static_cast<uint32_t>(GetTickCount()));
    uint64_t hash = Seams().UserIdHash ? Seams().UserIdHash(text) : StrHash64(text, false);
    // Negated as an unsigned number: the most negative value has no positive
    // twin among the signed ones and stays 2^63.
    if (static_cast<int64_t>(hash) < 0)
        hash = 0 - hash;
    return std::to_string(hash);
}

// ---------------------------------------------------------------------------
// Install and uninstall

namespace {

std::atomic<bool> gReportLeftRunning{false};

// The report is freed only once it ended; one that outlives the wait runs on
// (with what it owns) until the process ends.
void EndReport(std::unique_ptr<TInstallHitThread> Report)
{
    if (WaitThreadFor(Report.get(), kReportWaitMs))
        return;
    gReportLeftRunning = true;
    (void)Report.release();
}

} // namespace

void InstallProgram()
{
    TProgramKeyView view;
    // Every user may change the per-user settings; the machine-wide key is
    // trusted by the elevated program and stays the administrators'.
    CreateProgramKey(HKEY_CURRENT_USER, GetSharedKeySecurityAttributes());
    CreateProgramKey(HKEY_LOCAL_MACHINE, GetProtectedSecurityAttributes());

    if (Settings()->UID.empty()) {
        const std::string id = MakeUserId();
        ChangeSettings([&id](TSettings& s) { s.UID = id; });
        RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "UID", id);
    }
    SelectLanguage();
    auto report = std::make_unique<TInstallHitThread>(ReportURL(kInstallAction), false);
    SaveRegistrySettings();

    const TDateTime now = Now();
    RegWriteDateTime(HKEY_LOCAL_MACHINE, ProgramKey(), "INSTALL", now);
    if (!RegValueExists(HKEY_CURRENT_USER, ProgramKey(), "LAST_UPDATE"))
        RegWriteDateTime(HKEY_CURRENT_USER, ProgramKey(), "LAST_UPDATE", now - kLastUpdateBackDays);

    TStringList config;
    if (LoadResourceStrings("CONFIG", &config)) {
        const std::string track = GetConfigListValue(&config, "TRACK_USER", "");
        if (!track.empty())
            RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "TRACK_USER", track);
    }
    GlobalAddAtomA(kProductName);
    SetAutostart(true);

    // The folders and their rights come before the tray starts: the tray
    // would otherwise create the data folder as its own user.
    struct TFolder {
        const std::string& dir;
        TFileSecurity security;
    };
    const TFolder folders[] = {
        {CommonDataDir(), TFileSecurity::Protected},  {UserDataDir(), TFileSecurity::Shared},
        {BackupDir(), TFileSecurity::Protected},      {CommonStartupDir(), TFileSecurity::Protected},
        {UserStartupDir(), TFileSecurity::Shared},    {UpdateDir(), TFileSecurity::Protected},
    };
    for (const TFolder& folder : folders)
        if (!folder.dir.empty())
            CreateDirectoryPath(folder.dir, folder.security, true);
    for (const std::string* path : {&ProgramDir(), &MainExePath(), &TrayExePath()}) {
        const std::string target = ExcludeTrailingBackslash(*path);
        if (!target.empty() && (DirectoryExistsEx(target) || FileExistsEx(target)))
            ProtectPath(target);
    }
    StartTrayProgram();
    EndReport(std::move(report));
}

void UninstallProgram()
{
    auto report = std::make_unique<TInstallHitThread>(ReportURL(kUninstallAction), false);
    AppSleep(kUninstallStopWaitMs);
    StopPrograms();
    Guard([] { RestoreDelayedStartupItems(); });
    SetAutostart(false);
    AppSleep(kUninstallSettleMs);
    {
        TProgramKeyView view;
        RegRemoveKeyTree(HKEY_CURRENT_USER, ProgramKey(), true);
        RegRemoveKeyTree(HKEY_LOCAL_MACHINE, ProgramKey(), true);
    }
    for (const std::string* dir : {&CommonDataDir(), &UserDataDir(), &UpdateDir()})
        if (!dir->empty() && DirectoryExistsEx(*dir))
            DeleteDirectoryEx(ExcludeTrailingBackslash(*dir), true, true, true);
    DeleteUpdateLeftovers(true);
    EndReport(std::move(report));
}

bool ReportLeftRunning()
{
    return gReportLeftRunning;
}

void StopPrograms()
{
    for (const char* name : {kStopMainEventName, kStopTrayEventName}) {
        TGlobalEvent event(name);
        event.SetEvent();
        AppSleep(kStopEventSetMs);
    }
    AppSleep(kStopProgramsEndMs);
}

// ---------------------------------------------------------------------------
// Updates

void DeleteUpdateLeftovers(bool AlsoNew)
{
    const std::string& dir = ProgramDir();
    if (dir.empty())
        return;
    // An ".old" copy is the only whole program while its file is missing (a
    // swap cut off between its renames): it stays until the file is back.
    if (FileExistsEx(MainExePath()))
        DeleteIfPresent(dir + kMainOldName);
    if (FileExistsEx(TrayExePath()))
        DeleteIfPresent(dir + kTrayOldName);
    if (AlsoNew) {
        DeleteIfPresent(dir + kMainNewName);
        DeleteIfPresent(dir + kTrayNewName);
        // A swap cut off after staging its copy.
        DeleteIfPresent(MainExePath() + ".tmp");
        DeleteIfPresent(TrayExePath() + ".tmp");
    }
}

void StartPendingUpdate()
{
    const std::string fresh = ProgramDir() + kMainNewName;
    if (!FileExistsEx(fresh)) {
        ShellOpen(MainExePath(), kCompleteUpdateParam, nullptr, ProgramDir());
        return;
    }
    // Started as a program, not opened: the shell would look for what opens
    // ".new" files, and every update of the running program ends here.
    std::string command = "\"" + fresh + "\" " + kCompleteUpdateParam;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(fresh.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       ProgramDir().c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        Log("update: the new program copy did not start (" + std::to_string(GetLastError()) + ")", 1, 2);
    }
}

std::string ChangeFileExt(const std::string& Target, const std::string& NewExtension)
{
    const size_t dot = LastDelimiter(Target, ".\\:");
    if (dot != std::string::npos && Target[dot] == '.')
        return Target.substr(0, dot) + NewExtension;
    return Target + NewExtension;
}

void UpdateStepDone(TUpdateStep Step)
{
    if (Seams().UpdateStep)
        Seams().UpdateStep(Step);
}

bool SwapUpdatedFile(const std::string& Target)
{
    const std::string fresh = ChangeFileExt(Target, ".new");
    if (!FileExistsEx(fresh))
        return false;
    const std::string staged = Target + ".tmp";
    const bool copied = Seams().SwapCopy ? Seams().SwapCopy(fresh, staged)
                                         : CopyFileTo(fresh, staged, true, true);
    if (!copied || !FileExistsEx(staged)) {
        DeleteIfPresent(staged);
        return false;
    }
    ProtectPath(staged);
    UpdateStepDone(kUpdateStepStaged);
    // One rename: Target is the old program or the new one, never neither.
    if (!MoveFileExA(staged.c_str(), Target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteIfPresent(staged);
        return false;
    }
    UpdateStepDone(kUpdateStepPlaced);
    DeleteIfPresent(fresh);
    UpdateStepDone(kUpdateStepNewDeleted);
    return true;
}

void CompleteUpdate()
{
    StopPrograms();
    AppSleep(kCompleteUpdateWaitMs);
    DeleteUpdateLeftovers(false);
    // The program that started this one may still be ending: a file in use
    // is tried again for a while before its new copy is left as it is.
    for (const std::string& target : {MainExePath(), TrayExePath()})
        for (int i = 0; i < kCompleteUpdateTries && !SwapUpdatedFile(target) &&
                        FileExistsEx(ChangeFileExt(target, ".new"));
             ++i)
            AppSleep(kCompleteUpdateRetryMs);
    StartTrayProgram();
}

// ---------------------------------------------------------------------------
// The tray

void NotifyTrayExit()
{
    PostToTray(kExitToTrayMessageName);
}

void RefreshTray()
{
    PostToTray(kRefreshTrayMessageName);
}

// ---------------------------------------------------------------------------
// The normal start

namespace {

// Step 6: the elevation prompt may take the foreground only from a process
// that owns the foreground window, so an empty form takes it first.
void RestartElevated(const std::string& FirstParam)
{
    auto blank = std::make_unique<TForm>();
    blank->SetBorderStyle(TBorderStyle::None);
    blank->SetBounds(0, 0, 0, 0);
    blank->Show();
    if (HWND wnd = blank->HandleIfAllocated())
        SetForegroundWindow(wnd);
    ShellRunAs(ParamStr(0), FirstParam + " /UAC", blank->HandleIfAllocated(), "");
}

// Step 14 of a check run: the check's end, looked for every 50 ms while the
// window messages are handled.
void WaitForDailyCheck(HANDLE Check)
{
    while (PumpedWait(Check, kDailyCheckLookMs) == WAIT_TIMEOUT) {
    }
}

// A report still running must not meet the static destructors of a normal
// exit: the process ends here, as Windows ends it, without them.
void EndOneShot()
{
    if (ReportLeftRunning())
        ExitProcess(0);
}

void RunForms(TGlobalMutex& Mutex)
{
    (void)Mutex;
    TAppFlags& flags = AppFlags();
    TApplication& app = Application();
    app.Initialize();
    new TImageData(&app);
    TMainForm* main = app.CreateForm<TMainForm>();
    new TPhoneNumberThread(main->Handle());
    app.CreateForm<TFormSteps>();
    app.CreateForm<TFormUpdate>();
    app.CreateForm<TFormFAQ>();
    if (flags.CheckRun)
        app.SetShowMainForm(false);
    else
        main->SetFormStayOnTop(true);

    HANDLE check = AppSeams().StartDailyCheck ? AppSeams().StartDailyCheck() : StartDailyCheck();
    if (flags.CheckRun) {
        if (check)
            WaitForDailyCheck(check);
        app.Terminate();
    }
    if (check)
        CloseHandle(check);
    app.Run();
    // A download may be cut short, an install never: half a set of program
    // files would be left.
    if (!EndUpdateRuns(kUpdateEndWaitMs))
        Log("update run still installing at the program's end", 1, 2);
}

} // namespace

int RunApplication()
{
    const std::string first = ParamStr(1);
    const std::string second = ParamStr(2);
    if (SameSwitch(first, kSwitchInstall)) {
        InstallProgram();
        EndOneShot();
        return 0;
    }
    if (SameSwitch(first, kSwitchUninstall)) {
        UninstallProgram();
        EndOneShot();
        return 0;
    }
    if (SameSwitch(first, kSwitchStop)) {
        StopPrograms();
        return 0;
    }
    if (SameSwitch(first, kSwitchCompleteUpdate)) {
        CompleteUpdate();
        return 0;
    }

    TAppFlags& flags = AppFlags();
    DeleteUpdateLeftovers(false);
    auto mutex = std::make_unique<TGlobalMutex>(kMainMutexName);
    flags.ScanNow = SameSwitch(first, kSwitchScan);
    flags.CheckRun = SameSwitch(first, kSwitchCheck);
    if (SameSwitch(first, kSwitchWait) || SameSwitch(second, kSwitchWait)) {
        AppSleep(kWaitSleepMs);
        if (!mutex->WaitFor(INFINITE))
            return 0;
    }
    if (!mutex->WaitFor(kMutexWaitMs)) {
        SignalShowMain();
        return 0;
    }
    if (!flags.CheckRun && !AppProcessElevated() && first != kSwitchUac && second != kSwitchUac) {
        RestartElevated(first);
        return 0;
    }
    DeleteUpdateLeftovers(true);
    LoadTranslationFile();

    Guard([&mutex] { RunForms(*mutex); });
    // Work that outlived the windows: a late add-on verdict is still saved.
    Guard([] { WaitForAddOnChecks(kAddOnCheckWaitMs); });
    TDispatcher::Uninstall();

    mutex->Release();
    if (!flags.CheckRun)
        NotifyTrayExit();
    if (flags.UpdatePending)
        StartPendingUpdate();
    mutex.reset();
    return 0;
}
