// The postponed start-up list: its file form, the safe save, damaged files,
// the restore and the delayed shortcuts.

#include "EngineTest.h"
#include "KorvTest.h"
#include "StartupGolden.h"
#include "StartupTestSupport.h"

#include "engine/qvStartup.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace {

using etest::ReadBytes;
using etest::WriteBytes;
using stest::Exists;
using stest::kRunKey;
using stest::ValueExists;

// Scratch data and delayed-shortcut folders in place of the program's.
class StartupListTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        stest::UseScratchStartupFolders(dirAnsi_);
        CreateDirectoryA(CommonDataDir().c_str(), nullptr);
        CreateDirectoryA(UserDataDir().c_str(), nullptr);
    }
    void TearDown() override
    {
        SetRunValueWriteForTests(nullptr);
        SetStartupFileWriteForTests(nullptr);
        ResetProgramFoldersForTests();
        ScratchDirTest::TearDown();
    }

    static std::string ListFile(bool PerUser) { return TqvAllRunItems(PerUser).GetFileName(); }

    static TqvFoundStartup RunEntry(bool PerUser, const std::string& Name,
                                    const std::string& Command, bool Is64 = false,
                                    bool Expand = false, int32_t Priority = 1)
    {
        TqvFoundStartup e;
        e.PerUser = PerUser;
        e.Root = PerUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        e.Key = kRunKey;
        e.ValueName = Name;
        e.Command = Command;
        e.Is64 = Is64;
        e.Expand = Expand;
        e.App = "App " + Name;
        e.Priority = Priority;
        return e;
    }
};

// ---------------------------------------------------------------------------
// File form

TEST_F(StartupListTest, WritesTheGoldenTextAndReadsEveryFieldBack)
{
    TqvAllRunItems list(true);
    for (const golden::RunItem& g : golden::kRunItems) {
        auto item = std::make_unique<TqvRegRunItem>();
        item->PerUser = true;
        item->App = g.app;
        item->Name = g.name;
        item->Value = g.value;
        item->Priority = g.priority;
        item->Is64 = g.is64;
        item->Expand = g.expand;
        list.Items.push_back(std::move(item));
    }
    ASSERT_TRUE(list.WriteListFile());
    EXPECT_EQ(golden::kStartupXml, ReadBytes(list.GetFileName()));
    EXPECT_FALSE(Exists(list.GetFileName() + ".new"));

    TqvAllRunItems back(true);
    EXPECT_EQ(TStartupListState::Loaded, back.Load());
    ASSERT_EQ(static_cast<size_t>(golden::kItemsWithLines), back.Items.size());
    for (int i = 0; i < golden::kItemsWithLines; ++i) {
        const golden::RunItem& g = golden::kRunItems[i];
        const TqvRegRunItem& r = *back.Items[i];
        SCOPED_TRACE(g.name);
        EXPECT_TRUE(r.PerUser);
        EXPECT_EQ(g.app, r.App);
        EXPECT_EQ(g.name, r.Name);
        EXPECT_EQ(g.value, r.Value);
        EXPECT_EQ(g.priority, r.Priority);
        EXPECT_EQ(g.is64, r.Is64);
        EXPECT_EQ(g.expand, r.Expand);
    }
    EXPECT_EQ(10, back.HighestPriority);
}

TEST(StartupRunItem, PriorityIsANumberClampedToTheRange)
{
    struct Case {
        const char* attribute;
        int32_t expected;
    } const cases[] = {
        {" priority=\"15\"", 10}, {" priority=\"-3\"", 0}, {"", 0},
        {" priority=\"x\"", 0},   {" priority=\"7\"", 7},  {" priority=\"10\"", 10},
        {" priority=\"0x9\"", 0}, {" priority=\"$9\"", 0}, {" priority=\"+4\"", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        TXML xml;
        xml.LoadFromString(std::string("<run name=\"n\" value=\"v\"") + c.attribute +
                           " is64=\"yes\" expand=\"1\" />");
        TqvRegRunItem item;
        item.LoadFromXML(xml.Root()->GetChild(0));
        EXPECT_EQ(c.expected, item.Priority);
        EXPECT_FALSE(item.Is64); // only "1" is on
        EXPECT_TRUE(item.Expand);
    }
}

TEST_F(StartupListTest, FoundEntriesOfOtherCaseUpdateOneItemPerViewAndKind)
{
    TqvAllRunItems list(true);
    list.AddFound(RunEntry(true, "Skype", "\"C:\\a\\Skype.exe\" /old"));
    list.AddFound(RunEntry(true, "skype", "\"C:\\a\\Skype.exe\" /new", false, false, 4));
    list.AddFound(RunEntry(true, "SKYPE", "c64", true));       // other view
    list.AddFound(RunEntry(true, "Skype", "cx", false, true)); // other kind
    list.AddFound(RunEntry(false, "Skype", "common"));         // other scope: not this list
    list.AddFound(RunEntry(true, "", "no name"));              // nothing to restore
    list.AddFound(RunEntry(true, "NoCommand", ""));
    TqvFoundStartup shortcut = RunEntry(true, "Link", "\"C:\\a\\x.exe\" ");
    shortcut.Shortcut = true;
    list.AddFound(shortcut);

    ASSERT_EQ(3u, list.Items.size());
    EXPECT_EQ("skype", list.Items[0]->Name); // the newest spelling
    EXPECT_EQ("\"C:\\a\\Skype.exe\" /new", list.Items[0]->Value);
    EXPECT_EQ(4, list.Items[0]->Priority);
    EXPECT_EQ("App skype", list.Items[0]->App);
    EXPECT_TRUE(list.Items[1]->Is64);
    EXPECT_TRUE(list.Items[2]->Expand);
}

TEST_F(StartupListTest, SavingAnEmptyListDeletesTheFileAndTouchesNoValue)
{
    const std::string name = stest::UniqueName("KvEmpty");
    stest::ValueScope value(HKEY_CURRENT_USER, kRunKey, name, "C:\\kv\\app.exe");
    ASSERT_TRUE(WriteBytes(ListFile(true), "<startup>\r\n    <run app=\"a\" name=\"" + name +
                                               "\" value=\"C:\\kv\\app.exe\" priority=\"1\" "
                                               "/>\r\n</startup>\r\n"));
    TqvAllRunItems list(true);
    EXPECT_TRUE(list.Save());
    EXPECT_FALSE(Exists(ListFile(true)));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, name, false));
}

// ---------------------------------------------------------------------------
// The safe save

// Writes the first kCutAt bytes and reports success, as a full disk can.
constexpr size_t kCutAt = 40;
bool TruncatingWrite(TStreamWriter& Writer, std::string_view Text)
{
    Writer.WriteRaw(Text.substr(0, kCutAt));
    return true;
}

TEST_F(StartupListTest, SaveRecordsFirstThenDeletesEachValueInItsView)
{
    const bool win64 = IsWin64();
    const std::string a = stest::UniqueName("KvSaveA");
    const std::string b = stest::UniqueName("KvSaveB");
    const std::string c = stest::UniqueName("KvSaveC");
    stest::ValueScope va(HKEY_LOCAL_MACHINE, kRunKey, a, "\"C:\\kv\\a.exe\" /x");
    stest::ValueScope vb(HKEY_LOCAL_MACHINE, kRunKey, b, "%WINDIR%\\b.exe", false, REG_EXPAND_SZ);
    stest::ValueScope vc(HKEY_LOCAL_MACHINE, kRunKey, c, "C:\\kv\\c64.exe", win64);
    // The same name in the other view is another value and stays.
    std::unique_ptr<stest::ValueScope> twin;
    if (win64)
        twin = std::make_unique<stest::ValueScope>(HKEY_LOCAL_MACHINE, kRunKey, c, "twin", false);

    TqvAllRunItems list(false);
    EXPECT_EQ(TStartupListState::Missing, list.Load());
    list.AddFound(RunEntry(false, a, "\"C:\\kv\\a.exe\" /x"));
    list.AddFound(RunEntry(false, b, "%WINDIR%\\b.exe", false, true));
    list.AddFound(RunEntry(false, c, "C:\\kv\\c64.exe", win64));
    ASSERT_TRUE(list.Save());

    TqvAllRunItems back(false);
    EXPECT_EQ(TStartupListState::Loaded, back.Load());
    EXPECT_EQ(3u, back.Items.size());
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, a, false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, b, false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, c, win64));
    if (win64) {
        EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, c, false));
    }
}

TEST_F(StartupListTest, AFileCutShortByAFullDiskChangesNothing)
{
    const std::string a = stest::UniqueName("KvCutA");
    const std::string b = stest::UniqueName("KvCutB");
    stest::ValueScope va(HKEY_CURRENT_USER, kRunKey, a, "C:\\kv\\a.exe");
    stest::ValueScope vb(HKEY_CURRENT_USER, kRunKey, b, "C:\\kv\\b.exe");
    const std::string old = "<startup>\r\n    <run app=\"x\" name=\"Old\" value=\"C:\\old.exe\" "
                            "priority=\"2\" />\r\n</startup>\r\n";
    ASSERT_TRUE(WriteBytes(ListFile(true), old));

    TqvAllRunItems list(true);
    ASSERT_EQ(TStartupListState::Loaded, list.Load());
    list.AddFound(RunEntry(true, a, "C:\\kv\\a.exe"));
    list.AddFound(RunEntry(true, b, "C:\\kv\\b.exe"));
    SetStartupFileWriteForTests(&TruncatingWrite);
    EXPECT_FALSE(list.Save());

    EXPECT_EQ(old, ReadBytes(ListFile(true)));
    EXPECT_FALSE(Exists(ListFile(true) + ".new"));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, a, false));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, b, false));
}

// ---------------------------------------------------------------------------
// Damaged files

TEST_F(StartupListTest, ADamagedListIsNeverOverwrittenAndIsKeptAsBad)
{
    const std::string name = stest::UniqueName("KvDamaged");
    const std::string whole =
        "<startup>\r\n    <run app=\"Old\" name=\"Old\" value=\"C:\\old.exe\" "
        "priority=\"1\" />\r\n</startup>\r\n";
    struct Case {
        const char* what;
        std::string bytes;
    } const cases[] = {
        {"garbage", "\x01\x02 this is no list <<<"},
        {"cut after the first line", "<startup>\r\n"},
        {"cut before the root's end", whole.substr(0, whole.size() - 12)},
        {"other root", "<other>\r\n</other>\r\n"},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stest::ValueScope value(HKEY_CURRENT_USER, kRunKey, name, "C:\\kv\\app.exe");
        const std::string file = ListFile(true);
        ASSERT_TRUE(WriteBytes(file, c.bytes));

        TqvAllRunItems list(true);
        EXPECT_EQ(TStartupListState::Damaged, list.Load());
        list.AddFound(RunEntry(true, name, "C:\\kv\\app.exe"));
        EXPECT_FALSE(list.Save());
        EXPECT_EQ(c.bytes, ReadBytes(file));
        EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, kRunKey, name, false));

        const TDelayedRestoreReport report = RestoreDelayedStartupItems();
        EXPECT_EQ(1, report.UserList.Failed);
        EXPECT_EQ(0, report.UserList.Restored);
        EXPECT_FALSE(Exists(file));
        EXPECT_EQ(c.bytes, ReadBytes(file + ".bad"));
        EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, "Old", false));
        DeleteFileA((file + ".bad").c_str());
    }
}

TEST_F(StartupListTest, AnEarlierBadFileIsNotReplaced)
{
    const std::string file = ListFile(false);
    ASSERT_TRUE(WriteBytes(file + ".bad", "first"));
    ASSERT_TRUE(WriteBytes(file, "second"));
    RestoreDelayedStartupItems();
    EXPECT_EQ("first", ReadBytes(file + ".bad"));
    EXPECT_EQ("second", ReadBytes(file + ".bad2"));
}

// ---------------------------------------------------------------------------
// Restore

std::string gFailingName;
std::vector<std::string> gWrites;
bool FailingOnOneName(HKEY Root, const std::string& Key, const std::string& Name, DWORD Type,
                      const std::string& Value)
{
    gWrites.push_back(Name);
    if (Name == gFailingName)
        return false;
    return RegWriteStringTyped(Root, Key, Name, Type, Value);
}

TEST_F(StartupListTest, RestoreKeepsOnlyTheItemsThatFailed)
{
    const std::string names[] = {stest::UniqueName("KvBackA"), stest::UniqueName("KvBackB"),
                                 stest::UniqueName("KvBackC")};
    TqvAllRunItems list(false);
    list.AddFound(RunEntry(false, names[0], "\"C:\\kv\\a.exe\" -a"));
    list.AddFound(RunEntry(false, names[1], "C:\\kv\\b.exe", false, false, 7));
    list.AddFound(RunEntry(false, names[2], "%SystemRoot%\\c.exe", IsWin64(), true));
    ASSERT_TRUE(list.WriteListFile());

    gFailingName = names[1];
    gWrites.clear();
    SetRunValueWriteForTests(&FailingOnOneName);
    const TDelayedRestoreReport report = RestoreDelayedStartupItems();
    SetRunValueWriteForTests(nullptr);

    EXPECT_EQ((std::vector<std::string>{names[0], names[1], names[2]}), gWrites); // list order
    EXPECT_EQ(2, report.CommonList.Restored);
    EXPECT_EQ(1, report.CommonList.Failed);
    EXPECT_TRUE(report.AnyFailed());
    std::string text;
    DWORD type = 0;
    EXPECT_TRUE(stest::ReadValue(HKEY_LOCAL_MACHINE, kRunKey, names[0], false, text, &type));
    EXPECT_EQ("\"C:\\kv\\a.exe\" -a", text);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_TRUE(stest::ReadValue(HKEY_LOCAL_MACHINE, kRunKey, names[2], IsWin64(), text, &type));
    EXPECT_EQ("%SystemRoot%\\c.exe", text);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, names[1], false));

    TqvAllRunItems rest(false);
    ASSERT_EQ(TStartupListState::Loaded, rest.Load());
    ASSERT_EQ(1u, rest.Items.size());
    EXPECT_EQ(names[1], rest.Items[0]->Name);
    EXPECT_EQ(7, rest.Items[0]->Priority);

    // Once the write goes through, the file goes too.
    const TDelayedRestoreReport again = RestoreDelayedStartupItems();
    EXPECT_EQ(1, again.CommonList.Restored);
    EXPECT_FALSE(again.AnyFailed());
    EXPECT_FALSE(Exists(ListFile(false)));
    for (const std::string& name : names) {
        TRegViewScope view(IsWin64() && name != names[2], IsWin64() && name == names[2]);
        RegRemoveValue(HKEY_LOCAL_MACHINE, kRunKey, name);
    }
}

TEST(StartupDriver, DelayedRestorePrintsEachPartAndFailsOnAFailedWrite)
{
    if (!stest::EnginectlPresent())
        GTEST_SKIP() << "enginectl.exe is not beside the test program";
    // The driver uses the prefix's own folders.
    const TProgramFolders folders = ComputeProgramFolders();
    ASSERT_FALSE(folders.CommonDataDir.empty());
    stest::NewFoldersScope newFolders({folders.CommonDataDir, folders.UserDataDir});
    const std::string commonFile = folders.CommonDataDir + kStartupFileName;
    const std::string userFile = folders.UserDataDir + kStartupFileName;
    stest::FileKeeper keepCommon(commonFile);
    stest::FileKeeper keepUser(userFile);
    DeleteFileA(userFile.c_str());

    const std::string names[] = {stest::UniqueName("KvCtlA"), stest::UniqueName("KvCtlB"),
                                 stest::UniqueName("KvCtlC")};
    std::string text = "<startup>\r\n";
    for (const std::string& name : names)
        text += "    <run app=\"a\" name=\"" + name + "\" value=\"C:\\kv\\" + name +
                ".exe\" priority=\"1\" />\r\n";
    text += "</startup>\r\n";
    ASSERT_TRUE(WriteBytes(commonFile, text));

    const stest::CtlResult run = stest::RunEnginectl(
        {L"delayed-restore"}, {{L"KV_TEST_RUNWRITE_FAIL", WideFromAnsi(names[1])}});
    EXPECT_EQ(4u, run.exitCode) << run.out;
    const std::vector<std::string> expected = {
        "delayed\tcommon-list\trestored=2\tfailed=1",
        "delayed\tuser-list\trestored=0\tfailed=0",
        "delayed\tuser-shortcuts\trestored=0\tfailed=0",
        "delayed\tcommon-shortcuts\trestored=0\tfailed=0",
    };
    EXPECT_EQ(expected, run.Lines());
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, names[0], false));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, names[1], false));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, names[2], false));
    const std::string rest = ReadBytes(commonFile);
    EXPECT_NE(std::string::npos, rest.find(names[1]));
    EXPECT_EQ(std::string::npos, rest.find(names[0]));

    // Without the failure everything goes back and the list goes.
    const stest::CtlResult second = stest::RunEnginectl({L"delayed-restore"});
    EXPECT_EQ(0u, second.exitCode) << second.out;
    EXPECT_FALSE(Exists(commonFile));
    for (const std::string& name : names) {
        TRegViewScope view(IsWin64(), false);
        EXPECT_TRUE(RegRemoveValue(HKEY_LOCAL_MACHINE, kRunKey, name)) << name;
    }
}

// ---------------------------------------------------------------------------
// Delayed shortcuts

TEST_F(StartupListTest, ShortcutsGoBackOnlyWhenTheirCopyIsThere)
{
    const std::string delayed = dirAnsi_ + "delayed\\";
    const std::string startup = dirAnsi_ + "startup\\";
    CreateDirectoryA(delayed.c_str(), nullptr);
    CreateDirectoryA(startup.c_str(), nullptr);
    ASSERT_TRUE(WriteBytes(delayed + "same.lnk", "delayed copy"));
    ASSERT_TRUE(WriteBytes(startup + "same.lnk", "the user's own"));
    ASSERT_TRUE(WriteBytes(delayed + "back.lnk", "back"));
    ASSERT_TRUE(WriteBytes(delayed + "notalink.txt", "stays"));

    TDelayedCount count = MoveDelayedShortcutsBack(delayed, startup);
    EXPECT_EQ(2, count.Restored);
    EXPECT_EQ(0, count.Failed);
    EXPECT_EQ("the user's own", ReadBytes(startup + "same.lnk"));
    EXPECT_EQ("back", ReadBytes(startup + "back.lnk"));
    EXPECT_FALSE(Exists(delayed + "same.lnk"));
    EXPECT_FALSE(Exists(delayed + "back.lnk"));
    EXPECT_TRUE(Exists(delayed + "notalink.txt"));

    // The Startup folder replaced by a plain file: the copy fails and the
    // delayed shortcut stays.
    const std::string blocked = dirAnsi_ + "blocked";
    ASSERT_TRUE(WriteBytes(blocked, "a file, no folder"));
    ASSERT_TRUE(WriteBytes(delayed + "kept.lnk", "kept"));
    count = MoveDelayedShortcutsBack(delayed, blocked);
    EXPECT_EQ(0, count.Restored);
    EXPECT_EQ(1, count.Failed);
    EXPECT_EQ("kept", ReadBytes(delayed + "kept.lnk"));
    EXPECT_EQ("a file, no folder", ReadBytes(blocked));
}

TEST_F(StartupListTest, APlantedAllUsersListOrShortcutIsNeitherRunNorRestored)
{
    const std::string name = stest::UniqueName("KvDelayed");
    TqvAllRunItems ours(false);
    ours.AddFound(RunEntry(false, name, "C:\\kv\\planted.exe"));
    ASSERT_TRUE(ours.WriteListFile());

    // The same list, now where someone other than an administrator may have
    // put it.
    TProgramFolders folders = ProgramFolders();
    const std::string plantedData = dirAnsi_ + "planted\\";
    ASSERT_TRUE(CreateDirectoryA(plantedData.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(ListFile(false).c_str(), (plantedData + "startup.xml").c_str(), FALSE));
    folders.CommonDataDir = plantedData;
    SetProgramFoldersForTests(folders);
    etest::PlantedPaths trust;
    TqvAllRunItems planted(false);
    EXPECT_EQ(TStartupListState::Damaged, planted.Load());
    EXPECT_TRUE(planted.Items.empty());
    const TDelayedRestoreReport report = RestoreDelayedStartupItems();
    EXPECT_EQ(0, report.CommonList.Restored);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, name, false)) << "no HKLM Run from it";

    // Delayed shortcuts of the all-users folder go where they run for
    // everybody: a planted one stays.
    const std::string startup = dirAnsi_ + "common startup\\";
    CreateDirectoryA(startup.c_str(), nullptr);
    const std::string shortcut = CommonStartupDir() + name + ".lnk";
    const std::string plantedShortcut = CommonStartupDir() + "planted.lnk";
    ASSERT_TRUE(WriteBytes(shortcut, "delayed"));
    ASSERT_TRUE(WriteBytes(plantedShortcut, "planted"));
    const TDelayedCount count = MoveDelayedShortcutsBack(CommonStartupDir(), startup, true);
    EXPECT_EQ(1, count.Restored) << "ours goes back";
    EXPECT_EQ(1, count.Failed) << "the planted one stays";
    EXPECT_TRUE(Exists(startup + name + ".lnk"));
    EXPECT_FALSE(Exists(startup + "planted.lnk"));
    EXPECT_TRUE(Exists(plantedShortcut));
}

// What the create, copy and set calls passed as security.
std::mutex gCallsLock;
std::vector<std::pair<std::string, std::string>> gCalls; // api, path
std::vector<PSECURITY_DESCRIPTOR> gDescriptors;
void RecordCall(const TSecurityCall& Call)
{
    std::lock_guard<std::mutex> lock(gCallsLock);
    gCalls.emplace_back(Call.Api, Call.Path);
    gDescriptors.push_back(Call.Descriptor);
}

class SecurityRecording {
public:
    SecurityRecording()
    {
        gCalls.clear();
        gDescriptors.clear();
        old_ = SetSecurityRecorder(&RecordCall);
    }
    ~SecurityRecording() { SetSecurityRecorder(old_); }
    // The descriptors of the calls of Api on a path that begins with Prefix.
    std::vector<PSECURITY_DESCRIPTOR> Of(const std::string& Api, const std::string& Prefix) const
    {
        std::vector<PSECURITY_DESCRIPTOR> found;
        std::lock_guard<std::mutex> lock(gCallsLock);
        for (size_t i = 0; i < gCalls.size(); ++i)
            if (gCalls[i].first == Api &&
                SameText(gCalls[i].second.substr(0, Prefix.size()), Prefix))
                found.push_back(gDescriptors[i]);
        return found;
    }
    size_t Count(const std::string& Api) const
    {
        std::lock_guard<std::mutex> lock(gCallsLock);
        return std::count_if(gCalls.begin(), gCalls.end(),
                             [&](const auto& c) { return c.first == Api; });
    }

private:
    TSecurityRecorder old_;
};

TEST_F(StartupListTest, AllUsersFolderAndListAreProtectedAndUserOnesInherit)
{
    SECURITY_ATTRIBUTES* protectedAttributes = nullptr;
    ASSERT_TRUE(ResolveFileSecurity(TFileSecurity::Protected, protectedAttributes));
    ASSERT_NE(nullptr, protectedAttributes);
    const PSECURITY_DESCRIPTOR protectedDescriptor = protectedAttributes->lpSecurityDescriptor;

    const std::string startup = dirAnsi_ + "startup\\";
    CreateDirectoryA(startup.c_str(), nullptr);
    for (bool perUser : {false, true}) {
        SCOPED_TRACE(perUser ? "per-user" : "all users");
        const std::string delayedDir = perUser ? UserStartupDir() : CommonStartupDir();
        const std::string link = startup + (perUser ? "user.lnk" : "common.lnk");
        ASSERT_TRUE(WriteBytes(link, "link bytes"));
        // An older delayed copy of the same name is replaced.
        TqvFoundStartup entry;
        entry.Shortcut = true;
        entry.PerUser = perUser;
        entry.ShortcutPath = link;

        SecurityRecording recording;
        ASSERT_TRUE(MoveShortcutToDelayed(entry));
        ASSERT_TRUE(WriteBytes(link, "newer link bytes"));
        ASSERT_TRUE(MoveShortcutToDelayed(entry));
        EXPECT_FALSE(Exists(link));
        EXPECT_EQ("newer link bytes",
                  ReadBytes(delayedDir + (perUser ? "user.lnk" : "common.lnk")));

        const auto folders = recording.Of("CreateDirectoryA", ExcludeTrailingBackslash(delayedDir));
        ASSERT_EQ(1u, folders.size());
        EXPECT_EQ(perUser ? nullptr : protectedDescriptor, folders[0]);
        // Copies get no grant of their own: nothing is set on them.
        const auto copies = recording.Of("CopyFileA", delayedDir);
        ASSERT_EQ(2u, copies.size());
        EXPECT_EQ(nullptr, copies[0]);
        EXPECT_EQ(0u, recording.Count("SetFileSecurityA"));
        // The all-users folder, there since the first move, gets its
        // protection again; nothing else is set.
        const auto reprotected =
            recording.Of("SetNamedSecurityInfoA", ExcludeTrailingBackslash(delayedDir));
        EXPECT_EQ(perUser ? 0u : 1u, reprotected.size());
        EXPECT_EQ(reprotected.size(), recording.Count("SetNamedSecurityInfoA"));

        TqvAllRunItems list(perUser);
        list.AddFound(RunEntry(perUser, "KvSecurity", "C:\\kv\\x.exe"));
        ASSERT_TRUE(list.WriteListFile());
        const auto files = recording.Of("CreateFileA", list.GetFileName());
        ASSERT_FALSE(files.empty());
        for (PSECURITY_DESCRIPTOR d : files)
            EXPECT_EQ(perUser ? nullptr : protectedDescriptor, d);
    }
}

TEST_F(StartupListTest, AShortcutIsMovedOnlyWhenItsCopyExists)
{
    // A delayed folder that cannot be made (a file of its name) keeps the
    // shortcut where it was.
    ASSERT_TRUE(WriteBytes(ExcludeTrailingBackslash(UserStartupDir()), "not a folder"));
    const std::string link = dirAnsi_ + "stay.lnk";
    ASSERT_TRUE(WriteBytes(link, "stay"));
    TqvFoundStartup entry;
    entry.Shortcut = true;
    entry.PerUser = true;
    entry.ShortcutPath = link;
    EXPECT_FALSE(MoveShortcutToDelayed(entry));
    EXPECT_EQ("stay", ReadBytes(link));

    entry.Shortcut = false; // a Run entry is no shortcut
    EXPECT_FALSE(MoveShortcutToDelayed(entry));
    EXPECT_TRUE(Exists(link));
}

} // namespace
