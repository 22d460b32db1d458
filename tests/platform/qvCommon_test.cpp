#include "ChildCases.h"
#include "FileTestSupport.h"
#include "SettingsTestSupport.h"

#include "platform/FileResourceU.h"
#include "platform/LanguageU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SyncObjsU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace settingstest;

namespace {

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---------------------------------------------------------------------------
// The shell seam

struct ShellCall {
    std::string verb;
    std::string file;
    std::string params;
    std::string dir;
};
std::mutex gShellLock;
std::vector<ShellCall> gShellCalls;
INT_PTR gShellAnswer = 42;

HINSTANCE WINAPI RecordShell(HWND, LPCSTR verb, LPCSTR file, LPCSTR params, LPCSTR dir, INT)
{
    std::lock_guard lock(gShellLock);
    gShellCalls.push_back(
        {verb ? verb : "", file ? file : "", params ? params : "", dir ? dir : ""});
    return reinterpret_cast<HINSTANCE>(gShellAnswer);
}

class ShellRecorder {
public:
    explicit ShellRecorder(INT_PTR answer)
    {
        gShellCalls.clear();
        gShellAnswer = answer;
        previous_ = SetShellExecuteCall(&RecordShell);
    }
    ~ShellRecorder() { SetShellExecuteCall(previous_); }

private:
    TShellExecuteCall previous_;
};

// ---------------------------------------------------------------------------
// Globals and program control

TEST(qvCommonGlobals, FoldersFollowTheProgramAndTheSpecialFoldersAndNothingIsCreated)
{
    const std::string program = Narrow(ktest::ProgramDir());
    const std::string common = AllUsersAppDataDir() + "Korvelle\\";
    const std::string user = AppDataDir() + "Korvelle\\";
    const struct {
        const char* name;
        const std::string& value;
        std::string expected;
    } folders[] = {
        {"ProgramDir", ProgramDir(), program},
        {"UpdateDir", UpdateDir(), program + "Update\\"},
        {"MainExePath", MainExePath(), program + "Korvelle.exe"},
        {"TrayExePath", TrayExePath(), program + "Lindova.exe"},
        {"CommonDataDir", CommonDataDir(), common},
        {"BackupDir", BackupDir(), common + "Backup\\"},
        {"CommonStartupDir", CommonStartupDir(), common + "Startup\\"},
        {"TranslateDir", TranslateDir(), common + "Translate\\"},
        {"TranslateFileName", TranslateFileName(), "lng.ini"},
        {"UserDataDir", UserDataDir(), user},
        {"UserStartupDir", UserStartupDir(), user + "Startup\\"},
        {"NewsDir", NewsDir(), user + "News\\"},
    };
    std::vector<bool> existedBefore;
    for (const auto& f : folders) {
        EXPECT_TRUE(SameText(f.expected, f.value)) << f.name << ": " << f.value;
        existedBefore.push_back(Exists(f.value));
    }
    ASSERT_FALSE(AllUsersAppDataDir().empty());
    ASSERT_FALSE(AppDataDir().empty());
    EXPECT_FALSE(Exists(UpdateDir()));
    EXPECT_EQ(IsWin64(), RunsOnWin64());

    ComputeProgramFolders();
    for (size_t i = 0; i < std::size(folders); ++i)
        EXPECT_EQ(existedBefore[i], Exists(folders[i].value)) << folders[i].name << " was created";
    EXPECT_EQ(std::string(kProgramKeyName), ProgramKey());
}

TEST(qvCommonGlobals, AutostartValueIsTheQuotedTrayPathInTheThirtyTwoBitRunKey)
{
    auto readRun = [](std::wstring& value) -> DWORD {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
            return REG_NONE;
        wchar_t data[1024] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = REG_NONE;
        if (RegQueryValueExW(key, L"Korvelle", nullptr, &type, reinterpret_cast<BYTE*>(data),
                             &size) != ERROR_SUCCESS)
            type = REG_NONE;
        RegCloseKey(key);
        value = data;
        return type;
    };
    SetAutostart(true);
    std::wstring value;
    EXPECT_EQ(REG_SZ, readRun(value));
    EXPECT_EQ(L"\"" + ktest::ProgramDir() + L"Lindova.exe\" /startup", value);
    SetAutostart(false);
    EXPECT_EQ(REG_NONE, readRun(value));
}

KTEST_ROLE(wait_show_main)
{
    TGlobalEvent event(kShowMainEventName);
    if (!event.Handle())
        return 2;
    event.ResetEvent();
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str());
    if (!ready)
        return 3;
    SetEvent(ready);
    CloseHandle(ready);
    // Bounded only so that a broken signal cannot hang the run.
    return event.WaitFor(120000) ? 0 : 1;
}

TEST(qvCommonGlobals, SignalShowMainWakesAWaiterInAnotherProcess)
{
    filetest::TChild child;
    ASSERT_TRUE(child.Start(L"wait_show_main", {}));
    SignalShowMain();
    EXPECT_EQ(0u, child.Wait(INFINITE));
}

TEST(qvCommonGlobals, StartMainProgramNeedsTheFileAndASucceedingShell)
{
    const std::wstring main = Widen(MainExePath());
    DeleteFileW(main.c_str());
    {
        ShellRecorder shell(42);
        EXPECT_FALSE(StartMainProgram("/SCAN"));
        EXPECT_TRUE(gShellCalls.empty()) << "no shell call for a missing file";
    }
    ASSERT_TRUE(
        CopyFileW((ktest::ProgramDir() + L"korv_stub_v1.exe").c_str(), main.c_str(), FALSE));
    {
        ShellRecorder shell(42);
        EXPECT_TRUE(StartMainProgram("/CHECK /WAIT"));
        ASSERT_EQ(1u, gShellCalls.size());
        EXPECT_EQ("open", gShellCalls[0].verb);
        EXPECT_EQ(MainExePath(), gShellCalls[0].file);
        EXPECT_EQ("/CHECK /WAIT", gShellCalls[0].params);
    }
    {
        ShellRecorder shell(2); // ERROR_FILE_NOT_FOUND from the shell
        EXPECT_FALSE(StartMainProgram(""));
        EXPECT_EQ(1u, gShellCalls.size());
    }
    DeleteFileW(main.c_str());
}

TEST(qvCommonGlobals, StartTrayProgramDoesNothingWithoutTheFile)
{
    DeleteFileW(Widen(TrayExePath()).c_str());
    EXPECT_FALSE(StartTrayProgram());
}

TEST(qvCommonDesktop, StartTrayProgramStartsTheTray)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X display (explorer.exe): ./test.sh runs the tests under Xvfb";
    const std::wstring tray = Widen(TrayExePath());
    const std::wstring marker = tray + L".ran";
    DeleteFileW(marker.c_str());
    ASSERT_TRUE(
        CopyFileW((ktest::ProgramDir() + L"korv_stub_tray.exe").c_str(), tray.c_str(), FALSE));
    // Wine starts explorer.exe with the first window of the desktop. The
    // waits end as soon as their condition holds; their limits only keep a
    // broken start from hanging the run.
    HWND probe = CreateWindowExW(0, L"STATIC", L"probe", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, nullptr, nullptr);
    const DWORD explorerWait = GetTickCount();
    while (FindProcessInSession("explorer.exe", kConsoleSession) == kNoProcess &&
           GetTickCount() - explorerWait < 120000)
        Sleep(100);
    EXPECT_TRUE(StartTrayProgram());
    // The stand-in holds its marker open, shared with no one, until its line
    // is written: the marker is there once it can be read.
    bool ran = false;
    std::string line;
    const DWORD markerWait = GetTickCount();
    while (!ran && GetTickCount() - markerWait < 120000) {
        line = ktest::ReadFileBytes(marker);
        ran = !line.empty();
        if (!ran)
            Sleep(100);
    }
    EXPECT_TRUE(ran) << "the stand-in tray left no marker";
    if (probe)
        DestroyWindow(probe);
    Sleep(200);
    DeleteFileW(marker.c_str());
    DeleteFileW(tray.c_str());
    // Its command line is the quoted path alone.
    const std::wstring expected = L"\"" + tray + L"\"";
    EXPECT_EQ(expected, std::wstring(reinterpret_cast<const wchar_t*>(line.data()),
                                     line.size() / sizeof(wchar_t)));
}

TEST(qvCommonGlobals, ResetUIStatusClearsEverythingButMarksNoMemoryFigure)
{
    TqvUIStatus status;
    status.Phase = 2;
    status.Category = 3;
    status.Caption = L"x";
    status.Position = 5;
    status.Maximum = 9;
    status.FixErrors = 1;
    status.BoostItems = 2;
    status.CleanBytes = 1LL << 40;
    status.MemoryFigure = 50;
    status.AddonsFound = 4;
    ResetUIStatus(status);
    EXPECT_EQ(0, status.Phase);
    EXPECT_EQ(0, status.Category);
    EXPECT_TRUE(status.Caption.empty());
    EXPECT_EQ(0, status.Position);
    EXPECT_EQ(0, status.Maximum);
    EXPECT_EQ(0, status.FixErrors);
    EXPECT_EQ(0, status.BoostItems);
    EXPECT_EQ(0, status.CleanBytes);
    EXPECT_EQ(-1, status.MemoryFigure);
    EXPECT_EQ(0, status.AddonsFound);
}

// ---------------------------------------------------------------------------
// Translation. The stand-ins: korv_stub_v1.exe (1.0.0.1, the shipped table)
// and korv_stub_v2.exe (1.0.0.2, other texts), copied in as Korvelle.exe.

const wchar_t kFixEn[] = L"Korvelle Registry Fix";
const wchar_t kFixDe[] = L"Korvelle Registrierungsreparatur";
const wchar_t kFixEn2[] = L"Korvelle Registry Fix 2";

class TranslationTest : public ProgramKeyTest {
protected:
    void SetUp() override
    {
        ProgramKeyTest::SetUp();
        scratch_ = MakeScratchFolder(L"lng");
        TProgramFolders folders = ProgramFolders();
        folders.TranslateDir = Narrow(scratch_) + "Translate\\";
        SetProgramFoldersForTests(folders);
        DeleteFileW(Widen(MainExePath()).c_str());
        CloseTranslationFileForTests();
        ChangeSettings([](TSettings& s) { s.LANGUAGE = L"en"; });
    }
    void TearDown() override
    {
        CloseTranslationFileForTests();
        DeleteFileW(Widen(MainExePath()).c_str());
        ResetProgramFoldersForTests();
        ktest::RemoveTree(scratch_);
        ProgramKeyTest::TearDown();
    }
    void InstallMain(const wchar_t* stub)
    {
        ASSERT_TRUE(
            CopyFileW((ktest::ProgramDir() + stub).c_str(), Widen(MainExePath()).c_str(), FALSE));
    }
    std::wstring LngPath() const { return Widen(TranslateDir() + TranslateFileName()); }
    std::string LngVer()
    {
        std::string value;
        return GetSz(lm32_, "LngVer", value) ? value : "<none>";
    }
    // The shipped table as embedded in the test program.
    static std::string ShippedText()
    {
        std::string text;
        EXPECT_TRUE(ReadResourceText(GetModuleHandleW(nullptr), "TRANSLATE", text));
        return text;
    }
    std::wstring Fix() { return TranslateText(L"RestorePointNameFix", L"<default>"); }
    void SetLanguage(const wchar_t* code)
    {
        ChangeSettings([code](TSettings& s) { s.LANGUAGE = code; });
    }

    std::wstring scratch_;
};

class TextTranslationFile : public TranslationTest {};

TEST_F(TextTranslationFile, FirstLoadWritesTheTableAndItsVersion)
{
    // Every caption of the elevated program comes from the file: neither it
    // nor its folder is open to anybody but administrators (the tray only
    // reads).
    TProgramFolders folders = ProgramFolders();
    folders.TranslateDir = Narrow(scratch_) + "Data\\Translate\\";
    SetProgramFoldersForTests(folders);
    InstallMain(L"korv_stub_v1.exe");
    {
        filetest::TRecorderScope recorder;
        LoadTranslationFile();
        const struct {
            const char* api;
            std::string path;
            bool shared;
        } expected[] = {
            {"CreateDirectoryA", Narrow(scratch_) + "Data", false},
            {"CreateDirectoryA", Narrow(scratch_) + "Data\\Translate", false},
            // The temporary file of the save, of a name of its own.
            {"CreateFileA", TranslateDir() + "lng.ini.", false},
        };
        const auto calls = recorder.Calls();
        for (const auto& e : expected) {
            SCOPED_TRACE(e.path);
            auto call = std::find_if(calls.begin(), calls.end(), [&](const filetest::TRecorded& c) {
                return c.Api == e.api && (e.path.back() == '.' ? c.Path.rfind(e.path, 0) == 0
                                                               : SameText(c.Path, e.path));
            });
            ASSERT_NE(calls.end(), call) << "not made";
            EXPECT_TRUE(call->HasDescriptor);
            EXPECT_EQ(e.shared, filetest::HasWorldEntry(call->Sddl)) << call->Sddl;
        }
    }
    const std::string shipped = ShippedText();
    ASSERT_NE(std::string::npos, shipped.find("\r\n"));
    EXPECT_EQ(std::string::npos, shipped.find("\n\n")) << "the table has CR LF line ends";
    EXPECT_EQ(shipped, ktest::ReadFileBytes(LngPath()));
    EXPECT_EQ("1.0.0.1", LngVer());
    EXPECT_EQ(kFixEn, Fix());
}

TEST_F(TextTranslationFile, SameVersionKeepsAHandEditAndANewVersionReplacesIt)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    std::string edited = ShippedText();
    const std::string from = "%BRAND% Registry Fix";
    edited.replace(edited.find(from), from.size(), "Edited fix");
    HANDLE file =
        CreateFileW(LngPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, edited.data(), static_cast<DWORD>(edited.size()), &written, nullptr);
    CloseHandle(file);

    // A new start at the same version.
    CloseTranslationFileForTests();
    LoadTranslationFile();
    EXPECT_EQ(edited, ktest::ReadFileBytes(LngPath()));
    EXPECT_EQ(L"Edited fix", Fix());

    // An update of the main program.
    InstallMain(L"korv_stub_v2.exe");
    LoadTranslationFile();
    EXPECT_EQ("1.0.0.2", LngVer());
    EXPECT_EQ(kFixEn2, Fix()) << "the running program sees the new table at once";
    std::unique_ptr<TStringList> lines;
    ASSERT_TRUE(LoadModuleResourceStrings(MainExePath(), "TRANSLATE", lines));
    EXPECT_EQ(lines->GetText(), ktest::ReadFileBytes(LngPath()));
}

TEST_F(TextTranslationFile, ADeletedFileIsWrittenAgain)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    CloseTranslationFileForTests();
    ASSERT_TRUE(DeleteFileW(LngPath().c_str()));
    LoadTranslationFile();
    EXPECT_EQ(ShippedText(), ktest::ReadFileBytes(LngPath()));
    EXPECT_EQ(kFixEn, Fix());
}

// Holds args[1] open without sharing until the event args[2] is set: however
// long the save under test retries, the file stays held.
KTEST_ROLE(hold_file_exclusive)
{
    HANDLE file =
        CreateFileW(args.at(1).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str());
    if (!release)
        return 3;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str());
    SetEvent(ready);
    CloseHandle(ready);
    WaitForSingleObject(release, INFINITE);
    CloseHandle(release);
    CloseHandle(file);
    return 0;
}

TEST_F(TextTranslationFile, AFileHeldOpenKeepsTheOldFileVersionAndTexts)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    const std::string before = ktest::ReadFileBytes(LngPath());
    InstallMain(L"korv_stub_v2.exe");
    {
        // Held until the load is over, however long its retries take.
        const std::wstring release = L"ktest.lng.release." + std::to_wstring(GetCurrentProcessId());
        HANDLE releaseEvent = CreateEventW(nullptr, TRUE, FALSE, release.c_str());
        ASSERT_NE(nullptr, releaseEvent);
        filetest::TChild holder;
        ASSERT_TRUE(holder.Start(L"hold_file_exclusive", {LngPath(), release}));
        LoadTranslationFile();
        SetEvent(releaseEvent);
        EXPECT_EQ("1.0.0.1", LngVer()) << "the version must not move when the file did not";
        EXPECT_EQ(kFixEn, Fix());
        EXPECT_EQ(0u, holder.Wait(INFINITE));
        CloseHandle(releaseEvent);
    }
    EXPECT_EQ(before, ktest::ReadFileBytes(LngPath()));
    WIN32_FIND_DATAW found{};
    HANDLE leftover = FindFirstFileW((LngPath() + L".*.tmp").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, leftover) << "the failed save left its temporary file";
    if (leftover != INVALID_HANDLE_VALUE)
        FindClose(leftover);
    // Once the file is free, the next load catches up.
    LoadTranslationFile();
    EXPECT_EQ("1.0.0.2", LngVer());
    EXPECT_EQ(kFixEn2, Fix());
}

namespace {

bool NotPlanted(const std::string& Path)
{
    return LowerCase(Path).find("planted") == std::string::npos;
}

bool WriteFileBytes(const std::wstring& Path, const std::string& Bytes)
{
    HANDLE file = CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == Bytes.size();
}

} // namespace

TEST_F(TextTranslationFile, APlantedFileIsNeverReadAndTheMainProgramWritesItAnew)
{
    // A lng.ini of the current version that someone other than an
    // administrator may have written (Wine gives every file one account, so
    // the trust test's stand-in says which).
    TProgramFolders folders = ProgramFolders();
    folders.TranslateDir = Narrow(scratch_) + "Planted\\";
    SetProgramFoldersForTests(folders);
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    CloseTranslationFileForTests();
    const std::string planted = "[en]\r\nRestorePointNameFix=<a href=\"http://x/\">planted</a>\r\n";
    ASSERT_TRUE(WriteFileBytes(LngPath(), planted));
    const TTrustQuery old = SetTrustQueryForTests(&NotPlanted);
    LoadTranslationFile();
    SetTrustQueryForTests(old);
    EXPECT_EQ(kFixEn, Fix()) << "the planted caption is not shown";
    EXPECT_EQ(ShippedText(), ktest::ReadFileBytes(LngPath())) << "written anew";
    EXPECT_EQ("1.0.0.1", LngVer());
}

TEST_F(TextTranslationFile, WithoutMainProgramOrFileTheDefaultsAnswer)
{
    LoadTranslationFile();
    EXPECT_EQ(L"<default>", Fix());
    EXPECT_EQ(L"en", NormalizeLanguage(L"de"));
    EXPECT_EQ(L"", GetLanguageNames(L"|"));
    EXPECT_EQ(-1, IndexOfLanguage("en"));
    EXPECT_EQ("<none>", LngVer());
}

TEST_F(TextTranslationFile, TheTableComesFromTheMainProgramNotFromTheRunningModule)
{
    // The test program embeds the shipped table too; with the 1.0.0.2 main
    // program in place its table, not the running module's, is written.
    InstallMain(L"korv_stub_v2.exe");
    LoadTranslationFile();
    EXPECT_EQ(kFixEn2, Fix());
}

// ---------------------------------------------------------------------------
// TranslateText

class TextTranslate : public TranslationTest {};

TEST_F(TextTranslate, MacrosAreExpandedIgnoringCase)
{
    ChangeSettings([](TSettings& s) {
        s.SUPPORT_PHONE = "+1 555 0100";
        s.SUPPORT_MAIL = "help@example.com";
    });
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::wstring year = std::to_wstring(now.wYear);
    const struct {
        const wchar_t* text;
        std::wstring expected;
    } cases[] = {
        {L"%BRAND%", L"Korvelle"},
        {L"%brand% and %Brand%", L"Korvelle and Korvelle"},
        {L"%BRAND_DOMAIN%", kProductDomainW},
        {L"%SUPPORT_PHONE%", L"+1 555 0100"},
        {L"%support_mail%", L"help@example.com"},
        // The settings go into HTML captions as text, never as markup.
        {L"<b>%SUPPORT_PHONE%</b> <a href=\"mailto:%SUPPORT_MAIL%\">",
         L"<b>+1 555 0100</b> <a href=\"mailto:help@example.com\">"},
        {L"%#% item", L"\u2022 item"},
        {L"%C% %year% %BRAND%", L"\u00A9 " + year + L" Korvelle"},
        {L"first|second", L"first\r\nsecond"},
        {L"%%BRAND%%", L"%Korvelle%"},
        {L"100% sure", L"100% sure"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        EXPECT_EQ(c.expected, TranslateText(L"NoSuchKey", c.text));
    }
}

TEST_F(TextTranslate, SupportValuesAreInsertedAsText)
{
    ChangeSettings([](TSettings& s) {
        s.SUPPORT_PHONE = "<a href=\"http://x/\">call</a>";
        s.SUPPORT_MAIL = "a&b's@example.com";
    });
    EXPECT_EQ(L"<b>&lt;a href=&quot;http://x/&quot;&gt;call&lt;/a&gt;</b>",
              TranslateText(L"NoSuchKey", L"<b>%SUPPORT_PHONE%</b>"));
    EXPECT_EQ(L"mail a&amp;b&#39;s@example.com",
              TranslateText(L"NoSuchKey", L"mail %SUPPORT_MAIL%"));
}

TEST_F(TextTranslate, EmptyLanguageGivesTheDefaultExpanded)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    SetLanguage(L"");
    EXPECT_EQ(L"Korvelle default", TranslateText(L"RestorePointNameFix", L"%BRAND% default"));
    EXPECT_EQ(L"Korvelle\r\nx", TranslateText(L"RestorePointNameFix", L"%BRAND%|x"));
}

TEST_F(TextTranslate, TranslatedTextsAreExactInEveryLanguage)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    const struct {
        const wchar_t* language;
        const wchar_t* key;
        const wchar_t* expected;
    } cases[] = {
        {L"en", L"RestorePointNameFix", L"Korvelle Registry Fix"},
        {L"en", L"RestorePointNameClean", L"Korvelle Speed Up and Clean Up"},
        {L"en", L"RestorePointCreating", L"Creating System Restore Point..."},
        {L"de", L"RestorePointNameFix", L"Korvelle Registrierungsreparatur"},
        {L"de", L"RestorePointCreating", L"Systemwiederherstellungspunkt wird erstellt..."},
        {L"fr", L"RestorePointNameFix", L"R\u00E9paration du registre Korvelle"},
        {L"fr", L"RestorePointNameClean", L"Acc\u00E9l\u00E9ration et nettoyage Korvelle"},
        {L"fr", L"RestorePointCreating",
         L"Cr\u00E9ation d'un point de restauration syst\u00E8me..."},
        {L"ja", L"RestorePointNameFix", L"Korvelle \u30EC\u30B8\u30B9\u30C8\u30EA\u4FEE\u5FA9"},
        {L"ja", L"RestorePointNameClean",
         L"Korvelle \u9AD8\u901F\u5316\u3068\u30AF\u30EA\u30FC\u30F3\u30A2\u30C3\u30D7"},
        {L"ja", L"RestorePointCreating",
         L"\u30B7\u30B9\u30C6\u30E0\u306E\u5FA9\u5143\u30DD\u30A4\u30F3\u30C8\u3092\u4F5C\u6210"
         L"\u3057\u3066\u3044\u307E\u3059..."},
        {L"pt", L"RestorePointNameClean", L"Acelera\u00E7\u00E3o e limpeza do Korvelle"},
        {L"xx", L"RestorePointNameFix", L"<default>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(std::wstring(c.language) + L"." + c.key));
        SetLanguage(c.language);
        EXPECT_EQ(std::wstring(c.expected), TranslateText(c.key, L"<default>"));
    }
}

// Two threads: the GUI side switches the language and reloads the table
// while a worker expands URLs and translates.
TEST_F(TextTranslate, ReadersRacingLanguageSwitchesAndReloadsSeeWholeSnapshots)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<int> reloads{0};
    // The worker goes on until the GUI side has reloaded a few times, so the
    // race is run however the two threads are scheduled.
    std::thread worker([&] {
        for (int i = 0; i < 100000 || reloads.load() < 4; ++i) {
            const std::string url = ExpandUrlMacros("%LNG%%LANGUAGE%");
            if (url != "en" && url != "de&lng=de")
                ++bad;
            const std::wstring text = TranslateText(L"RestorePointNameFix", L"?");
            if (text != kFixEn && text != kFixDe)
                ++bad;
        }
        done = true;
    });
    for (int i = 0; !done; ++i) {
        SetLanguage(i % 2 ? L"de" : L"en");
        if (i % 16 == 0) {
            // Forgetting the version forces a rewrite and a new snapshot.
            RegDeleteValueA(lm32_, "LngVer");
            LoadTranslationFile();
            ++reloads;
        }
    }
    worker.join();
    EXPECT_EQ(0, bad.load());
}

// ---------------------------------------------------------------------------
// Languages

// The language the user's locale gives in this run (LC_ALL of the host).
std::wstring LocaleLanguage()
{
    const char* lc = std::getenv("LC_ALL");
    const std::string locale = lc ? lc : "";
    if (locale.rfind("de", 0) == 0)
        return L"de";
    if (locale.rfind("ja", 0) == 0)
        return L"ja";
    return L"en";
}

class TextLanguage : public TranslationTest {};

TEST_F(TextLanguage, TheLanguageListIsReadInFileOrder)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    EXPECT_EQ(L"English|Deutsch|Espa\u00F1ol|Fran\u00E7ais|Italiano|\u65E5\u672C\u8A9E|"
              L"Portugu\u00EAs",
              GetLanguageNames(L"|"));
    const wchar_t* codes[] = {L"en", L"de", L"es", L"fr", L"it", L"ja", L"pt"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(codes[i], GetLanguageCode(i)) << i;
    EXPECT_EQ(L"", GetLanguageCode(-1));
    EXPECT_EQ(L"", GetLanguageCode(7));
    EXPECT_EQ(1, IndexOfLanguage("DE"));
    EXPECT_EQ(6, IndexOfLanguage("pt"));
    EXPECT_EQ(-1, IndexOfLanguage("xx"));
    EXPECT_EQ(L"en", NormalizeLanguage(L"xx"));
    EXPECT_EQ(L"fr", NormalizeLanguage(L"FR"));
    EXPECT_EQ(L"en", NormalizeLanguage(L""));
}

TEST_F(TextLanguage, SelectLanguageKeepsOnlyAStoredCodeThatIsAlreadyNormal)
{
    InstallMain(L"korv_stub_v1.exe");
    LoadTranslationFile();
    const struct {
        const char* stored; // nullptr: none
        std::wstring expected;
    } cases[] = {
        {"DE", LocaleLanguage()},
        {"fr", L"fr"},
        {"xx", LocaleLanguage()},
        {nullptr, LocaleLanguage()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        RegDeleteValueA(lm32_, "LANGUAGE");
        if (c.stored)
            SetSz(lm32_, "LANGUAGE", c.stored);
        SetLanguage(L"it");
        SelectLanguage();
        EXPECT_EQ(c.expected, Settings()->LANGUAGE);
    }
}

TEST_F(TextLanguage, LocalizedValuesFallBackToTheBaseLanguageThenEnglish)
{
    const std::vector<std::wstring> ptEn = {L"pt=Ol\u00E1", L"en=Hello"};
    const std::vector<std::wstring> ptOnly = {L"pt=Ol\u00E1"};
    const std::vector<std::wstring> emptyDe = {L"de=", L"EN=Hello"};
    const struct {
        const wchar_t* lang;
        const std::vector<std::wstring>* values;
        const wchar_t* expected;
    } cases[] = {
        {L"pt-br", &ptEn, L"Ol\u00E1"}, {L"PT-BR", &ptEn, L"Ol\u00E1"}, {L"xx", &ptEn, L"Hello"},
        {L"", &ptEn, L"Hello"},         {L"en", &ptOnly, L""},          {L"de", &emptyDe, L"Hello"},
        {L"pt", nullptr, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.lang));
        EXPECT_EQ(c.expected, GetLocalizedValue(c.lang, c.values));
    }
}

} // namespace
