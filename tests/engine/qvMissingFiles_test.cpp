// The missing-files scanner against the prefix's whole HKCU and HKLM
// SOFTWARE trees: findings are compared as "after the fixtures minus the
// untouched prefix"; and the fix category's repair and restore through the
// driver.

#include "EngineTest.h"
#include "KorvTest.h"
#include "StartupTestSupport.h"

#include "engine/qvCleanRep.h"
#include "engine/qvMissingFiles.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using stest::Describe;
using stest::Findings;
using stest::KeyTreeScope;
using stest::kRunKey;
using stest::Minus;
using stest::ValueExists;
using stest::ValueScope;

std::string Catalogue()
{
    return stest::OneGroupCatalogue("fix", "reg-missing-files", stest::MissingFilesItems());
}

void SetTyped(HKEY Root, const std::string& Key, const std::string& Name, DWORD Type,
              const std::string& Bytes, bool Is64 = false)
{
    HKEY key = nullptr;
    const REGSAM view = IsWin64() ? (Is64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY) : 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(Root, Key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, Name.c_str(), 0, Type,
                                            reinterpret_cast<const BYTE*>(Bytes.data()),
                                            static_cast<DWORD>(Bytes.size())));
    RegCloseKey(key);
}

void SetText(HKEY Root, const std::string& Key, const std::string& Name, const std::string& Text,
             bool Is64 = false)
{
    SetTyped(Root, Key, Name, REG_SZ, Text + std::string(1, '\0'), Is64);
}

bool KeyExists(HKEY Root, const std::string& Key, bool Is64)
{
    TRegViewScope view(IsWin64() && !Is64, IsWin64() && Is64);
    return RegKeyExists(Root, Key);
}

class MissingFilesTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        tag_ = stest::UniqueName("KvTest");
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        ResetCleanReportForTests();
        ScratchDirTest::TearDown();
    }
    std::string tag_;
};

TEST_F(MissingFilesTest, ReportsDeadPathsOnceAndOnlyWhereItMayLook)
{
    const bool win64 = IsWin64();
    auto before = stest::LoadedRoot(Catalogue());
    before->ScanAll();
    const auto baseline = Findings(*stest::FirstScanner(*before));

    const std::string user = "SOFTWARE\\" + tag_;
    const std::string machine = "SOFTWARE\\" + tag_;
    const std::string office = "SOFTWARE\\Microsoft\\Office\\" + tag_;
    const std::string uninstall =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + tag_;
    const std::string crash = "SOFTWARE\\" + tag_ + "T\\Control\\CrashControl";
    KeyTreeScope cleanUser(HKEY_CURRENT_USER, user);
    KeyTreeScope cleanMachine(HKEY_LOCAL_MACHINE, machine);
    KeyTreeScope cleanOffice(HKEY_LOCAL_MACHINE, office);
    KeyTreeScope cleanUninstall(HKEY_LOCAL_MACHINE, uninstall);
    KeyTreeScope cleanCrash(HKEY_LOCAL_MACHINE, "SOFTWARE\\" + tag_ + "T");

    SetText(HKEY_CURRENT_USER, user, "dead", "C:\\KvGone\\app.exe");
    SetText(HKEY_CURRENT_USER, user, "semicolon", "C:\\KvGone\\app.exe;C:\\x");
    SetTyped(HKEY_CURRENT_USER, user, "live", REG_EXPAND_SZ,
             std::string("\"%WINDIR%\\notepad.exe\" /x") + '\0');
    SetTyped(HKEY_CURRENT_USER, user, "multi", REG_MULTI_SZ,
             std::string("C:\\KvGone\\m.exe") + '\0' + '\0');
    SetTyped(HKEY_CURRENT_USER, user, "binary", REG_BINARY, "C:\\KvGone\\b.exe");
    SetText(HKEY_CURRENT_USER, user, "nodrive", "Q:\\gone.exe");
    SetText(HKEY_CURRENT_USER, user, "unc", "\\\\kvserver\\share\\gone.exe");
    SetText(HKEY_CURRENT_USER, user, "blank", "C:\\KvGone\\a\\ b.exe");
    // An existing program in a folder whose name the code page cannot hold:
    // through the 8-bit functions its path reads as "?" and looks missing.
    const std::wstring cyrillicDir = WideFromAnsi(dirAnsi_) + L"Kv\u041f\u0430\u043f\u043a\u0430";
    ASSERT_TRUE(CreateDirectoryW(cyrillicDir.c_str(), nullptr));
    const std::wstring cyrillic = cyrillicDir + L"\\app.exe";
    HANDLE h = CreateFileW(cyrillic.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    ASSERT_TRUE(stest::WriteWideValue(HKEY_CURRENT_USER, user, L"cyrillic", cyrillic, false));
    // Depth 25 below the scan root is walked, 26 is not.
    std::string deep = user;
    for (int depth = 2; depth <= 25; ++depth)
        deep += "\\L" + std::to_string(depth);
    SetText(HKEY_CURRENT_USER, deep, "deep25", "C:\\KvGone\\deep.exe");
    SetText(HKEY_CURRENT_USER, deep + "\\L26", "deep26", "C:\\KvGone\\deep.exe");

    SetText(HKEY_LOCAL_MACHINE, office, "dead", "C:\\KvGone\\office.exe");
    SetText(HKEY_LOCAL_MACHINE, uninstall, "dead", "C:\\KvGone\\uninstall.exe");
    SetText(HKEY_LOCAL_MACHINE, crash, "DumpFile", "C:\\KvGone\\memory.dmp");
    SetText(HKEY_LOCAL_MACHINE, crash, "Other", "C:\\KvGone\\memory.dmp");
    SetText(HKEY_LOCAL_MACHINE, machine, "dead", "C:\\KvGone\\machine.exe");
    if (win64)
        SetText(HKEY_LOCAL_MACHINE, machine, "dead", "C:\\KvGone\\machine64.exe", true);
    // A dead default value beside a named value and a sub-key.
    SetText(HKEY_LOCAL_MACHINE, machine + "\\App", "", "C:\\KvGone\\app");
    SetText(HKEY_LOCAL_MACHINE, machine + "\\App", "Lang", "en");
    SetText(HKEY_LOCAL_MACHINE, machine + "\\App\\Settings\\X", "v", "1");

    auto main = stest::LoadedRoot(Catalogue());
    main->ScanAll();
    auto& scanner = *stest::FirstScanner(*main);
    std::multiset<std::string> expected = {
        "HKCU\\" + user + "\\#dead",      "HKCU\\" + deep + "\\#deep25",
        "HKLM\\" + uninstall + "\\#dead", "HKLM\\" + crash + "\\#Other",
        "HKLM\\" + machine + "\\#dead",   "HKLM\\" + machine + "\\App\\#",
    };
    if (win64)
        expected.insert("HKLM\\" + machine + "\\#dead 64");
    EXPECT_EQ(expected, Minus(Findings(scanner), baseline));
    EXPECT_EQ(win64 ? 4 : 2, scanner.Maximum);

    // The repair of the 32-bit finding leaves the 64-bit value; the dead
    // default value goes alone.
    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    main->MakeBackup = true;
    const std::set<std::string> repaired = {"HKLM\\" + machine + "\\#dead",
                                            "HKLM\\" + machine + "\\App\\#"};
    for (auto& item : scanner.Items)
        item->Selected = repaired.count(Describe(*item)) > 0;
    main->Clean(kCategoryFix);
    std::set<std::string> recorded;
    for (const std::string& call : writer.calls)
        if (call.rfind("value ", 0) == 0 || call.rfind("key ", 0) == 0)
            recorded.insert(call);
    EXPECT_EQ(
        (std::set<std::string>{"value " + machine + "\\#dead", "value " + machine + "\\App\\#"}),
        recorded);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, machine, "dead", false));
    if (win64) {
        EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, machine, "dead", true));
    }
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, machine + "\\App", "", false));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, machine + "\\App", "Lang", false));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, machine + "\\App\\Settings\\X", false));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, user, "dead", false));
    DeleteFileW(cyrillic.c_str());
    RemoveDirectoryW(cyrillicDir.c_str());
}

TEST_F(MissingFilesTest, WalkedKeysReportOnlyWhenDueAndAStopEndsTheWalkAtTheNextKey)
{
    const std::string user = "SOFTWARE\\" + tag_;
    KeyTreeScope clean(HKEY_CURRENT_USER, user);
    SetText(HKEY_CURRENT_USER, user + "\\A", "dead", "C:\\KvGone\\a.exe");
    SetText(HKEY_CURRENT_USER, user + "\\B", "dead", "C:\\KvGone\\b.exe");
    // Only the fixture's tree is walked.
    const std::string items = "<items type=\"missing-files\"><scanlist><item root=\"HKCU\" key=\"" +
                              user + "\"/></scanlist></items>";
    auto main = stest::LoadedRoot(stest::OneGroupCatalogue("fix", "mf", items));
    int forced = 0;
    int checks = 0;
    main->TickSource = [] { return DWORD(1); }; // unforced reports are all throttled
    main->OnProgress = [&](const TqvUIStatus&) { return ++forced, true; };
    main->OnStopCheck = [&] { return ++checks, true; };
    main->ScanAll();
    TqvItems& scanner = *stest::FirstScanner(*main);
    EXPECT_EQ(2, scanner.FoundCount());
    // The group's opening and closing reports, ScanAll's last and the
    // category's; the keys' reports are throttled, yet each asked whether to
    // stop: the root and its two sub-keys per view, and more.
    const int passes = IsWin64() ? 2 : 1;
    EXPECT_EQ(4, forced);
    EXPECT_LE(3 * passes + 4, checks);

    // A stop asked for between two reports (the worker's latch) is honoured
    // at the next key: asked at the group's opening report, nothing is
    // found; asked once the first key's finding is in, the second key is
    // never walked.
    for (const int stopFound : {0, 1}) {
        auto stopped = stest::LoadedRoot(stest::OneGroupCatalogue("fix", "mf", items));
        TqvItems& walker = *stest::FirstScanner(*stopped);
        bool stop = false;
        stopped->OnProgress = [&](const TqvUIStatus&) {
            if (stopFound == 0)
                stop = true;
            return true;
        };
        stopped->OnStopCheck = [&] {
            if (stopFound > 0 && walker.FoundCount() >= stopFound)
                stop = true;
            return !stop;
        };
        stopped->ScanAll();
        EXPECT_EQ(stopFound, walker.FoundCount());
    }
}

// ---------------------------------------------------------------------------
// Repair and restore through the driver

TEST(FixDriver, RepairDeletesOnlyTheDeadValuesAndTheRestoreBringsThemBack)
{
    if (!stest::EnginectlPresent())
        GTEST_SKIP() << "enginectl.exe is not beside the test program";
    if (stest::RunEnginectl({L"backups"}).exitCode != 0)
        GTEST_SKIP() << "this enginectl has no backups";
    const bool win64 = IsWin64();
    stest::ComScope com;
    const TProgramFolders folders = ComputeProgramFolders();
    stest::NewFoldersScope newFolders({folders.BackupDir, folders.CommonDataDir});
    stest::FileKeeper keepReport(folders.BackupDir + "cleanrep.xml");

    const std::string tag = stest::UniqueName("KvApp");
    const std::string app = "SOFTWARE\\" + tag;
    KeyTreeScope cleanApp(HKEY_LOCAL_MACHINE, app);
    SetText(HKEY_LOCAL_MACHINE, app, "", "C:\\KvGone\\app");
    SetText(HKEY_LOCAL_MACHINE, app, "Lang", "en");
    SetText(HKEY_LOCAL_MACHINE, app + "\\Settings\\X", "v", "1");
    SetText(HKEY_LOCAL_MACHINE, app + "\\Twin", "dead", "C:\\KvGone\\twin32.exe");
    if (win64)
        SetText(HKEY_LOCAL_MACHINE, app + "\\Twin", "dead", "C:\\KvGone\\twin64.exe", true);
    ValueScope runUser(HKEY_CURRENT_USER, kRunKey, tag + "Run", "\"C:\\KvGone\\run.exe\" /q");
    std::unique_ptr<ValueScope> run64;
    if (win64)
        run64 = std::make_unique<ValueScope>(HKEY_LOCAL_MACHINE, kRunKey, tag + "Run64",
                                             "C:\\KvGone\\run64.exe", true);
    const std::string link = GetUserStartupFolder() + tag + ".lnk";
    ASSERT_TRUE(stest::MakeShortcut(link, "C:\\KvGone\\linked.exe"));

    auto snapshot = [&] {
        std::vector<std::vector<std::string>> all = {
            stest::ValueSnapshot(HKEY_LOCAL_MACHINE, app, false),
            stest::ValueSnapshot(HKEY_LOCAL_MACHINE, app + "\\Settings\\X", false),
            stest::ValueSnapshot(HKEY_LOCAL_MACHINE, app + "\\Twin", false),
            stest::ValueSnapshot(HKEY_CURRENT_USER, kRunKey, false),
            stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, false),
        };
        if (win64) {
            all.push_back(stest::ValueSnapshot(HKEY_LOCAL_MACHINE, app + "\\Twin", true));
            all.push_back(stest::ValueSnapshot(HKEY_LOCAL_MACHINE, kRunKey, true));
        }
        return all;
    };
    const auto start = snapshot();
    std::set<std::string> backupsBefore;
    for (const std::string& line : stest::RunEnginectl({L"backups"}).Lines())
        backupsBefore.insert(line);

    const stest::CtlResult repair = stest::RunEnginectl({L"repair", L"2", L"-v"});
    ASSERT_EQ(0u, repair.exitCode) << repair.out;
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, app, "", false));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, app, "Lang", false));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, app + "\\Settings\\X", false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, app + "\\Twin", "dead", false));
    if (win64) {
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, app + "\\Twin", "dead", true));
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, tag + "Run64", true));
    }
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, tag + "Run", false));
    EXPECT_FALSE(stest::Exists(link));

    std::string fixFile;
    for (const std::string& line : stest::RunEnginectl({L"backups"}).Lines())
        if (line.rfind("fix\t", 0) == 0 && !backupsBefore.count(line) && fixFile.empty())
            fixFile = line.substr(4, line.find('\t', 4) - 4);
    ASSERT_FALSE(fixFile.empty()) << "no new fix backup";
    const std::string backup = folders.BackupDir + fixFile;
    const std::string recorded = etest::ReadBytes(backup);
    EXPECT_EQ(std::string::npos, LowerCase(recorded).find(".lnk")) << "shortcuts are not backed up";
    EXPECT_NE(std::string::npos, recorded.find(tag + "Run"));

    const stest::CtlResult restore = stest::RunEnginectl({L"restore", WideFromAnsi(backup)});
    EXPECT_EQ(0u, restore.exitCode) << restore.out;
    EXPECT_EQ(start, snapshot());
    EXPECT_FALSE(stest::Exists(link));
    DeleteFileA(backup.c_str());
}

} // namespace
