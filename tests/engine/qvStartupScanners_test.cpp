// The invalid start-up and postponed start-up scanners against the prefix's
// own Run keys and Startup folders: findings are compared as "after the
// fixtures minus the untouched prefix".

#include "EngineTest.h"
#include "KorvTest.h"
#include "StartupTestSupport.h"

#include "engine/qvCleanRep.h"
#include "engine/qvStartup.h"
#include "engine/qvStartupScanners.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/ShortcutU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>
#include <objidl.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using etest::WriteBytes;
using stest::Describe;
using stest::Exists;
using stest::Findings;
using stest::kRunKey;
using stest::Minus;
using stest::ValueExists;
using stest::ValueScope;

std::string StartupCatalogue()
{
    return stest::OneGroupCatalogue("fix", "reg-startup", "<items type=\"startup\"/>");
}

std::string RunLocation(const char* Root, const std::string& Name, bool Is64 = false)
{
    return std::string(Root) + "\\" + kRunKey + "\\#" + Name + (Is64 ? " 64" : "");
}

// A link whose target is a shell folder (no file-system path).
bool MakeShellFolderShortcut(const std::string& LinkPath)
{
    PIDLIST_ABSOLUTE pidl = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_CONTROLS, &pidl)))
        return false;
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    bool saved = false;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        link->SetIDList(pidl);
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            saved = SUCCEEDED(file->Save(WideFromAnsi(LinkPath).c_str(), TRUE));
            file->Release();
        }
        link->Release();
    }
    CoTaskMemFree(pidl);
    return saved;
}

// A program only in the native 64-bit system folder, put there with
// redirection off; removed when the scope ends.
class NativeOnlyProgram {
public:
    explicit NativeOnlyProgram(const std::string& Name)
    {
        TRedirectionOffScope off;
        path_ = WindowsDir() + "system32\\" + Name;
        written_ = WriteBytes(path_, "MZ");
    }
    ~NativeOnlyProgram()
    {
        TRedirectionOffScope off;
        DeleteFileA(path_.c_str());
    }
    bool Written() const { return written_; }

private:
    std::string path_;
    bool written_ = false;
};

DWORD gTick = 0;

class InvalidStartupTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        // A clean report of its own, in a scratch backup folder.
        TProgramFolders folders = ComputeProgramFolders();
        folders.BackupDir = dirAnsi_ + "Backup\\";
        SetProgramFoldersForTests(folders);
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        ResetCleanReportForTests();
        ResetProgramFoldersForTests();
        for (const std::string& link : links_)
            DeleteFileA(link.c_str());
        ScratchDirTest::TearDown();
    }
    std::string Link(const std::string& Folder, const std::string& Name)
    {
        links_.push_back(IncludeTrailingBackslash(Folder) + Name);
        return links_.back();
    }
    std::vector<std::string> links_;
    stest::ComScope com_;
};

TEST_F(InvalidStartupTest, ReportsOnlyProgramsReallyMissingFromAFixedDrive)
{
    const bool win64 = IsWin64();
    auto before = stest::LoadedRoot(StartupCatalogue());
    before->ScanAll();
    const auto baseline = Findings(*stest::FirstScanner(*before));

    // Fixtures.
    const std::string tag = stest::UniqueName("Kv");
    const std::string deadQuoted = tag + "DeadQuoted";
    const std::string dead64 = tag + "Dead64";
    const std::string reported = tag + "Reported";
    std::vector<std::unique_ptr<ValueScope>> values;
    auto run = [&](HKEY Root, const std::string& Name, const std::string& Text, bool Is64 = false) {
        values.push_back(std::make_unique<ValueScope>(Root, kRunKey, Name, Text, Is64));
    };
    run(HKEY_CURRENT_USER, deadQuoted, "\"C:\\KvGone\\x.exe\" /arg");
    if (win64)
        run(HKEY_LOCAL_MACHINE, dead64, "C:\\KvGone\\y64.exe -q", true);
    run(HKEY_LOCAL_MACHINE, tag + "Rundll", "rundll32.exe shell32.dll,Control_RunDLL");
    std::unique_ptr<NativeOnlyProgram> native;
    if (win64) {
        native = std::make_unique<NativeOnlyProgram>("kvonly64.exe");
        ASSERT_TRUE(native->Written());
        run(HKEY_LOCAL_MACHINE, tag + "Only64", "kvonly64.exe");
        run(HKEY_LOCAL_MACHINE, tag + "Only64", "kvonly64.exe", true);
    }
    run(HKEY_CURRENT_USER, tag + "Unc", "\\\\kvserver\\share\\x.exe");
    run(HKEY_CURRENT_USER, tag + "NoDrive", "Q:\\x.exe");
    run(HKEY_CURRENT_USER, tag + "Blank", "   ");
    run(HKEY_CURRENT_USER, reported, "C:\\KvGone\\reported.exe");
    // An existing program in a folder whose name the code page cannot hold.
    const std::wstring cyrillicDir = WideFromAnsi(dirAnsi_) + L"Kv\u041f\u0443\u0442\u044c";
    ASSERT_TRUE(CreateDirectoryW(cyrillicDir.c_str(), nullptr));
    const std::wstring cyrillic = cyrillicDir + L"\\run.exe";
    {
        HANDLE h =
            CreateFileW(cyrillic.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
    }
    const std::string cyrillicName = tag + "Cyrillic";
    values.push_back(std::make_unique<ValueScope>(HKEY_CURRENT_USER, kRunKey, cyrillicName, "x"));
    ASSERT_TRUE(stest::WriteWideValue(HKEY_CURRENT_USER, kRunKey, WideFromAnsi(cyrillicName),
                                      L"\"" + cyrillic + L"\" /start", false));

    // A clean-report entry of this week hides its value.
    const int today = static_cast<int>(Now());
    ASSERT_TRUE(WriteBytes(BackupDir() + "cleanrep.xml",
                           "<cleanrep>\r\n    <reg root=\"HKCU\" key=\"" + std::string(kRunKey) +
                               "\" name=\"" + reported +
                               "\" value=\"\" type=\"\" scan=\"exists\" fix=\"\" date=\"" +
                               std::to_string(today - 3) + "\" />\r\n</cleanrep>\r\n"));
    EnsureCleanReportLoaded();

    const std::string userStartup = GetUserStartupFolder();
    ASSERT_FALSE(userStartup.empty());
    const std::string deadLink = Link(userStartup, tag + "dead.lnk");
    ASSERT_TRUE(stest::MakeShortcut(deadLink, "C:\\KvGone\\x.exe", "/min"));
    ASSERT_TRUE(MakeShellFolderShortcut(Link(userStartup, tag + "folder.lnk")));
    ASSERT_TRUE(
        stest::MakeShortcut(Link(userStartup, tag + "live.lnk"), WindowsDir() + "notepad.exe"));
    ASSERT_TRUE(stest::MakeShortcut(Link(userStartup, tag + "away.lnk"), "Q:\\away\\x.exe"));
    ASSERT_TRUE(WriteBytes(Link(userStartup, "desktop.ini"), "[.ShellClassInfo]\r\n"));

    auto main = stest::LoadedRoot(StartupCatalogue());
    main->ScanAll();
    TqvItems& scanner = *stest::FirstScanner(*main);
    std::multiset<std::string> expected = {RunLocation("HKCU", deadQuoted),
                                           "file " + LowerCase(deadLink)};
    if (win64)
        expected.insert(RunLocation("HKLM", dead64, true));
    EXPECT_EQ(expected, Minus(Findings(scanner), baseline));
    EXPECT_EQ(win64 ? 4 : 2, scanner.Maximum);

    // The shortcut finding knows its file.
    for (const auto& item : scanner.Items)
        if (auto* file = dynamic_cast<TqvFileItem*>(item.get());
            file && SameText(file->Path, deadLink)) {
            EXPECT_EQ(etest::ReadBytes(deadLink).size(), static_cast<size_t>(file->Size));
            EXPECT_EQ(kFileFixClean, file->FixKind);
        }

    // The repair: what the backup records, then what goes.
    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    main->MakeBackup = true;
    for (auto& item : scanner.Items)
        if (expected.count(Describe(*item)) == 0)
            item->Selected = false; // leave the prefix's own findings alone
    main->Clean(kCategoryFix);
    std::vector<std::string> recorded;
    for (const std::string& call : writer.calls)
        if (call.rfind("value ", 0) == 0 || call.rfind("key ", 0) == 0)
            recorded.push_back(call);
    std::vector<std::string> wanted = {"value " + std::string(kRunKey) + "\\#" + deadQuoted};
    if (win64)
        wanted.push_back("value " + std::string(kRunKey) + "\\#" + dead64 + " 64");
    std::sort(recorded.begin(), recorded.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(wanted, recorded);
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, deadQuoted, false));
    if (win64) {
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, dead64, true));
    }
    EXPECT_FALSE(Exists(deadLink));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, reported, false));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, tag + "NoDrive", false));
    EXPECT_TRUE(Exists(userStartup + tag + "away.lnk"));
    DeleteFileW(cyrillic.c_str());
    RemoveDirectoryW(cyrillicDir.c_str());
}

namespace {

// Links and the wide targets that a Windows link of that name would hold.
std::map<std::wstring, std::wstring> gWideTargets;

std::wstring WideTargetOf(const std::wstring& FileName, bool)
{
    for (const auto& [link, target] : gWideTargets)
        if (_wcsicmp(link.c_str(), FileName.c_str()) == 0)
            return target;
    return GetShortcutTargetW(FileName, false);
}

} // namespace

TEST_F(InvalidStartupTest, AShortcutTargetTheCodePageCannotHoldIsJudgedAsItIs)
{
    const std::string userStartup = GetUserStartupFolder();
    ASSERT_FALSE(userStartup.empty());
    const std::string tag = stest::UniqueName("Kv");
    // "\u0141\u00f3d\u017a" reads as "L\u00f3dz" through code page 1252: another
    // path, which does not exist.
    const std::wstring folder = WideFromAnsi(dirAnsi_) + L"Kv\u0141\u00f3d\u017a";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\run.exe";
    CloseHandle(CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(program.c_str()));
    const std::string present = Link(userStartup, tag + "present.lnk");
    const std::string gone = Link(userStartup, tag + "gone.lnk");
    // The links themselves hold what Wine keeps: the code page's form.
    ASSERT_TRUE(stest::MakeShortcut(present, WideToAnsi(program)));
    ASSERT_TRUE(stest::MakeShortcut(gone, WideToAnsi(folder + L"\\gone.exe")));
    gWideTargets = {{WideFromAnsi(present), program}, {WideFromAnsi(gone), folder + L"\\gone.exe"}};
    const TShortcutTargetReader previous = SetShortcutTargetReaderForTests(&WideTargetOf);

    auto main = stest::LoadedRoot(StartupCatalogue());
    main->ScanAll();
    SetShortcutTargetReaderForTests(previous);
    std::set<std::string> reported;
    for (const std::string& finding : Findings(*stest::FirstScanner(*main)))
        if (finding.find(LowerCase(tag)) != std::string::npos)
            reported.insert(finding);
    EXPECT_EQ(std::set<std::string>{"file " + LowerCase(gone)}, reported)
        << "the present target is sound; the missing one is missing as it is";
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(InvalidStartupTest, AStopEndsTheWholeScan)
{
    ValueScope dead(HKEY_CURRENT_USER, kRunKey, stest::UniqueName("KvStop"), "C:\\KvGone\\s.exe");
    const std::string link = Link(GetUserStartupFolder(), stest::UniqueName("KvStop") + ".lnk");
    ASSERT_TRUE(stest::MakeShortcut(link, "C:\\KvGone\\s.exe"));
    auto main = stest::LoadedRoot(StartupCatalogue());
    // Every report reaches the handler; the group's opening one goes through
    // and the scanner's first stops the scan.
    main->TickSource = [] { return gTick += 1000; };
    int reports = 0;
    main->OnProgress = [&](const TqvUIStatus&) { return ++reports < 2; };
    main->ScanAll();
    EXPECT_EQ(0, stest::FirstScanner(*main)->FoundCount());
}

// ---------------------------------------------------------------------------
// Postponed start-up: the model

// Programs in a scratch folder, patterns naming them, Run values and
// shortcuts starting them; lists in scratch data folders.
class DelayStartupTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        stest::UseScratchStartupFolders(dirAnsi_);
        programs_ = dirAnsi_ + "Program Files\\";
        for (const char* app : {"Alpha", "Beta", "Gamma", "Idle"}) {
            CreateDirectoryA((programs_ + app).c_str(), nullptr);
            ASSERT_TRUE(WriteBytes(programs_ + app + "\\" + app + ".exe", "MZ"));
        }
        tag_ = stest::UniqueName("Kv");
    }
    void TearDown() override
    {
        ChangeSettings([](TSettings& s) { s.DELAY_STARTUP = true; });
        for (const std::string& link : links_)
            DeleteFileA(link.c_str());
        ResetProgramFoldersForTests();
        ScratchDirTest::TearDown();
    }
    std::string Catalogue() const
    {
        std::string items = "<items type=\"delay-startup\">";
        const char* const apps[][2] = {
            {"Alpha", "2"}, {"Beta", "1"}, {"Gamma", "3"}, {"Idle", "1"}};
        for (const auto& app : apps)
            items += std::string("<startup name=\"") + app[0] + "\" priority=\"" + app[1] + "\">" +
                     programs_ + app[0] + "\\" + app[0] + ".exe</startup>";
        items += "<startup name=\"none\">   </startup></items>";
        return stest::OneGroupCatalogue("boost", "delay-startup", items);
    }
    std::string Program(const char* App) const { return programs_ + App + "\\" + App + ".exe"; }
    std::string Name(const char* Stem) const { return tag_ + Stem; }
    std::string Link(const std::string& Folder, const std::string& Name)
    {
        links_.push_back(IncludeTrailingBackslash(Folder) + Name);
        return links_.back();
    }

    std::string programs_;
    std::string tag_;
    std::vector<std::string> links_;
    stest::ComScope com_;
};

TEST_F(DelayStartupTest, FindsPatternProgramsStartedAtLogonAndPostponesTheSelectedOnes)
{
    const bool win64 = IsWin64();
    ValueScope alphaUser(HKEY_CURRENT_USER, kRunKey, Name("Alpha"),
                         "\"" + Program("Alpha") + "\" /tray");
    ValueScope alphaCommon(HKEY_LOCAL_MACHINE, kRunKey, Name("AlphaAll"), Program("Alpha"), win64,
                           REG_EXPAND_SZ);
    ValueScope beta(HKEY_CURRENT_USER, kRunKey, Name("Beta"), Program("Beta") + " -x");
    const std::string gammaLink = Link(GetCommonStartupFolder(), Name("Gamma") + ".lnk");
    ASSERT_TRUE(stest::MakeShortcut(gammaLink, Program("Gamma"), "--quiet"));

    auto main = stest::LoadedRoot(Catalogue());
    main->ScanAll();
    auto& scanner = dynamic_cast<TqvItemsDelayStartup&>(*stest::FirstScanner(*main));
    ASSERT_EQ(4u, scanner.Items.size()); // the empty pattern was dropped
    EXPECT_EQ(3, scanner.FoundCount());  // Alpha, Beta, Gamma; Idle is installed but not started
    EXPECT_FALSE(scanner.Items[3]->Found);
    const auto& alpha = scanner.MatchesOf(scanner.Items[0].get());
    ASSERT_EQ(2u, alpha.size());
    for (const auto& e : alpha) {
        EXPECT_EQ("Alpha", e->App);
        EXPECT_EQ(2, e->Priority);
    }
    // HKCU Run is met in both views on 64-bit Windows: still one entry.
    EXPECT_EQ(1u, scanner.MatchesOf(scanner.Items[1].get()).size());

    // The user unticks Beta.
    scanner.Items[1]->Selected = false;
    main->Clean(kCategoryBoost);

    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, Name("Alpha"), false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, Name("AlphaAll"), win64));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, Name("Beta"), false));
    EXPECT_FALSE(Exists(gammaLink));
    EXPECT_TRUE(Exists(CommonStartupDir() + Name("Gamma") + ".lnk"));

    TqvAllRunItems user(true);
    ASSERT_EQ(TStartupListState::Loaded, user.Load());
    ASSERT_EQ(1u, user.Items.size());
    EXPECT_EQ(Name("Alpha"), user.Items[0]->Name);
    EXPECT_EQ("\"" + Program("Alpha") + "\" /tray", user.Items[0]->Value);
    EXPECT_EQ("Alpha", user.Items[0]->App);
    TqvAllRunItems common(false);
    ASSERT_EQ(TStartupListState::Loaded, common.Load());
    ASSERT_EQ(1u, common.Items.size());
    EXPECT_EQ(win64, common.Items[0]->Is64);
    EXPECT_TRUE(common.Items[0]->Expand);

    // And back.
    const TDelayedRestoreReport report = RestoreDelayedStartupItems();
    EXPECT_FALSE(report.AnyFailed());
    std::string text;
    EXPECT_TRUE(stest::ReadValue(HKEY_CURRENT_USER, kRunKey, Name("Alpha"), false, text));
    EXPECT_EQ("\"" + Program("Alpha") + "\" /tray", text);
    DWORD type = 0;
    EXPECT_TRUE(
        stest::ReadValue(HKEY_LOCAL_MACHINE, kRunKey, Name("AlphaAll"), win64, text, &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_TRUE(Exists(gammaLink));
    EXPECT_FALSE(Exists(user.GetFileName()));
    EXPECT_FALSE(Exists(common.GetFileName()));
}

TEST_F(DelayStartupTest, AStopAtTheFirstPatternSavesNothing)
{
    ValueScope alpha(HKEY_CURRENT_USER, kRunKey, Name("Alpha"), Program("Alpha"));
    auto main = stest::LoadedRoot(Catalogue());
    main->ScanAll();
    ASSERT_EQ(1, stest::FirstScanner(*main)->FoundCount());
    int reports = 0;
    main->OnProgress = [&](const TqvUIStatus& Status) {
        // The category's own reports go through; the group's first stops it.
        return Status.Phase != kPhaseClean || Status.Caption.empty() || ++reports < 2;
    };
    main->Clean(kCategoryBoost);
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, Name("Alpha"), false));
    EXPECT_FALSE(Exists(TqvAllRunItems(true).GetFileName()));
}

TEST_F(DelayStartupTest, TheSettingOffFindsNothing)
{
    ValueScope alpha(HKEY_CURRENT_USER, kRunKey, Name("Alpha"), Program("Alpha"));
    ChangeSettings([](TSettings& s) { s.DELAY_STARTUP = false; });
    auto main = stest::LoadedRoot(Catalogue());
    main->ScanAll();
    EXPECT_EQ(0, stest::FirstScanner(*main)->FoundCount());
}

TEST_F(DelayStartupTest, RunValuesAreCollectedOncePerPhysicalValue)
{
    // Not matched by any pattern: the entries stay among the current ones.
    CreateDirectoryA((programs_ + "Other").c_str(), nullptr);
    ASSERT_TRUE(WriteBytes(programs_ + "Other\\other.exe", "MZ"));
    ValueScope user(HKEY_CURRENT_USER, kRunKey, Name("OtherUser"), programs_ + "Other\\other.exe");
    ValueScope common(HKEY_LOCAL_MACHINE, kRunKey, Name("OtherAll"),
                      programs_ + "Other\\other.exe");
    // Not collected: a text the code page cannot hold would come back damaged.
    const std::wstring cyrillic = WideFromAnsi(programs_) + L"Other\\\u0416.exe";
    HANDLE h = CreateFileW(cyrillic.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    ValueScope wide(HKEY_CURRENT_USER, kRunKey, Name("Wide"), "x");
    ASSERT_TRUE(stest::WriteWideValue(HKEY_CURRENT_USER, kRunKey, WideFromAnsi(Name("Wide")),
                                      cyrillic, false));

    auto main = stest::LoadedRoot(Catalogue());
    main->ScanAll();
    auto& scanner = dynamic_cast<TqvItemsDelayStartup&>(*stest::FirstScanner(*main));
    int users = 0, commons = 0, wides = 0;
    for (const auto& [key, entry] : scanner.Current) {
        if (entry->ValueName == Name("OtherUser")) {
            ++users;
            EXPECT_TRUE(entry->PerUser);
            EXPECT_FALSE(entry->Is64);
        }
        if (entry->ValueName == Name("OtherAll")) {
            ++commons;
            EXPECT_FALSE(entry->Is64);
        }
        wides += entry->ValueName == Name("Wide");
        EXPECT_EQ(LowerCase(key), key);
    }
    EXPECT_EQ(1, users);
    EXPECT_EQ(1, commons);
    EXPECT_EQ(0, wides);
    DeleteFileW(cyrillic.c_str());
}

// ---------------------------------------------------------------------------
// Postponed start-up with the built-in catalogue, and the driver's restore

TEST(DelayStartupRoundTrip, TheBuiltInPatternsPostponeAndTheDriverRestores)
{
    if (!stest::EnginectlPresent())
        GTEST_SKIP() << "enginectl.exe is not beside the test program";
    // On 32-bit Windows "Steam" lives in the one view there is.
    const bool win64 = IsWin64();
    stest::ComScope com;
    const std::string programFiles = ExpandPathMacros32("%PROGRAMFILES%");
    ASSERT_FALSE(programFiles.empty());
    const std::string base = IncludeTrailingBackslash(programFiles);
    for (const char* app : {"Skype", "steam", "uTorrent"})
        ASSERT_FALSE(Exists(base + app)) << "the prefix already has " << app;
    struct Cleanup {
        std::string base;
        std::vector<std::string> extra;
        ~Cleanup()
        {
            for (const char* app : {"Skype", "steam", "uTorrent"})
                etest::RemoveFolder(base + app);
            for (const std::string& f : extra)
                DeleteFileA(f.c_str());
        }
    } cleanup{base, {}};
    const std::string skype = base + "Skype\\Skype.exe";
    const std::string steam = base + "steam\\steam.exe";
    const std::string torrent = base + "uTorrent\\uTorrent.exe";
    for (const std::string& program : {skype, steam, torrent})
        ASSERT_TRUE(WriteBytes(program, "MZ"));

    const TProgramFolders folders = ComputeProgramFolders();
    stest::NewFoldersScope newFolders({folders.CommonStartupDir, folders.UserStartupDir,
                                       folders.CommonDataDir, folders.UserDataDir});
    stest::FileKeeper keepCommon(folders.CommonDataDir + kStartupFileName);
    stest::FileKeeper keepUser(folders.UserDataDir + kStartupFileName);
    DeleteFileA((folders.CommonDataDir + kStartupFileName).c_str());
    DeleteFileA((folders.UserDataDir + kStartupFileName).c_str());

    ValueScope skypeRun(HKEY_CURRENT_USER, kRunKey, "Skype", "\"" + skype + "\" /nosplash");
    const std::string steamText = win64 ? "\"%ProgramFiles(x86)%\\steam\\steam.exe\" -silent"
                                        : "\"%ProgramFiles%\\steam\\steam.exe\" -silent";
    ValueScope steamRun(HKEY_LOCAL_MACHINE, kRunKey, "Steam", steamText, win64, REG_EXPAND_SZ);
    ValueScope steam32Run(HKEY_LOCAL_MACHINE, kRunKey, "Steam32", "\"" + steam + "\"");
    const std::string link = GetCommonStartupFolder() + "uTorrent.lnk";
    const std::string delayedLink = folders.CommonStartupDir + "uTorrent.lnk";
    cleanup.extra = {link, delayedLink};
    ASSERT_TRUE(stest::MakeShortcut(link, torrent, "/minimized"));

    const stest::CtlResult scan = stest::RunEnginectl({L"scan"});
    EXPECT_EQ(0u, scan.exitCode);
    EXPECT_EQ(3, scan.Found("delay-startup")) << scan.out;

    const auto hkcu = stest::ValueSnapshot(HKEY_CURRENT_USER, kRunKey, false);
    const auto hklm32 = stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, false);
    const auto hklm64 = stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, true);

    // The boost repair of this group alone: the other speed-up groups would
    // change the prefix for good.
    TqvMain main;
    main.MakeBackup = false;
    main.BackupWriter = nullptr;
    main.LoadData();
    ASSERT_NE(nullptr, main.BoostCategory);
    for (const auto& group : main.BoostCategory->Groups)
        group->Enabled = group->Checked = group->Id == "delay-startup";
    main.FixCategory.reset();
    main.CleanCategory.reset();
    main.ScanAll();
    main.Clean(kCategoryBoost);

    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, "Skype", false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, "Steam", win64));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, "Steam32", false));
    EXPECT_FALSE(Exists(link));
    EXPECT_TRUE(Exists(delayedLink));
    const std::string userList = etest::ReadBytes(folders.UserDataDir + kStartupFileName);
    const std::string commonList = etest::ReadBytes(folders.CommonDataDir + kStartupFileName);
    EXPECT_EQ("<startup>\r\n    <run app=\"Skype\" name=\"Skype\" value=\"#22" + skype +
                  "#22 /nosplash\" priority=\"1\" />\r\n</startup>\r\n",
              userList);
    const std::string steamLine = "    <run app=\"Steam\" name=\"Steam\" value=\"#22" +
                                  steamText.substr(1, steamText.find('"', 1) - 1) +
                                  "#22 -silent\" priority=\"3\"" + (win64 ? " is64=\"1\"" : "") +
                                  " expand=\"1\" />\r\n";
    EXPECT_NE(std::string::npos, commonList.find(steamLine)) << commonList;
    EXPECT_NE(std::string::npos,
              commonList.find("    <run app=\"Steam\" name=\"Steam32\" value=\"#22" + steam +
                              "#22\" priority=\"3\" />\r\n"))
        << commonList;

    const stest::CtlResult restore = stest::RunEnginectl({L"delayed-restore"});
    EXPECT_EQ(0u, restore.exitCode) << restore.out;
    EXPECT_EQ("delayed\tcommon-list\trestored=2\tfailed=0", restore.Lines().at(0));
    EXPECT_EQ("delayed\tcommon-shortcuts\trestored=1\tfailed=0", restore.Lines().at(3));
    EXPECT_EQ(hkcu, stest::ValueSnapshot(HKEY_CURRENT_USER, kRunKey, false));
    EXPECT_EQ(hklm32, stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, false));
    EXPECT_EQ(hklm64, stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, true));
    EXPECT_TRUE(Exists(link));
    EXPECT_FALSE(Exists(delayedLink));
    EXPECT_FALSE(Exists(folders.UserDataDir + kStartupFileName));
    EXPECT_FALSE(Exists(folders.CommonDataDir + kStartupFileName));
}

TEST(DelayStartupDriver, TheSettingOffIsReadWhenTheDriverStarts)
{
    if (!stest::EnginectlPresent())
        GTEST_SKIP() << "enginectl.exe is not beside the test program";
    const std::string skypeDir =
        IncludeTrailingBackslash(ExpandPathMacros32("%PROGRAMFILES%")) + "Skype";
    ASSERT_FALSE(Exists(skypeDir)) << "the prefix already has Skype";
    ASSERT_TRUE(WriteBytes(skypeDir + "\\Skype.exe", "MZ"));
    ValueScope run(HKEY_CURRENT_USER, kRunKey, "Skype", "\"" + skypeDir + "\\Skype.exe\"");
    const stest::CtlResult on = stest::RunEnginectl({L"scan"});
    EXPECT_EQ(1, on.Found("delay-startup")) << on.out;
    {
        ValueScope off(HKEY_LOCAL_MACHINE, "Software\\Korvelle", "DELAY_STARTUP", "0", false);
        const stest::CtlResult offScan = stest::RunEnginectl({L"scan"});
        EXPECT_EQ(0, offScan.Found("delay-startup")) << offScan.out;
    }
    etest::RemoveFolder(skypeDir);
}

} // namespace
