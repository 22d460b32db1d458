// The clean report: its file, its 35 days on a clock the test moves, and the
// entries that a repair adds.

#include "EngineTest.h"

#include "engine/qvClasses.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/SecurityU.h"
#include "platform/qvCommon.h"

#include "KorvTest.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <cmath>

namespace {

TDateTime gNow = 45000.25;
TDateTime FakeNow()
{
    return gNow;
}

void Spit(const std::string& Path, const std::string& Bytes)
{
    ASSERT_TRUE(etest::WriteBytes(Path, Bytes)) << Path;
}

std::string Entry(const char* Root, const char* Key, const char* Name, int Day)
{
    return std::string("    <reg root=\"") + Root + "\" key=\"" + Key + "\" name=\"" + Name +
           "\" value=\"\" type=\"\" scan=\"exists\" fix=\"\" date=\"" + std::to_string(Day) +
           "\" />\r\n";
}

// The program's folders point into a scratch folder, the clock at gNow.
class CleanRepTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        ResetCleanReportForTests();
        ResetExceptionsForTests();
        gNow = 45000.25;
        oldClock_ = SetClock(&FakeNow);
        TProgramFolders folders = ProgramFolders();
        folders.CommonDataDir = dirAnsi_ + "Data\\";
        folders.BackupDir = dirAnsi_ + "Data\\Backup\\";
        SetProgramFoldersForTests(folders);
        file_ = folders.BackupDir + "cleanrep.xml";
    }
    void TearDown() override
    {
        ResetCleanReportForTests();
        ResetProgramFoldersForTests();
        SetClock(oldClock_);
        ktest::ScratchDirTest::TearDown();
    }
    void WriteReport(const std::string& Entries)
    {
        CreateDirectoryPath(BackupDir(), TFileSecurity::Inherit, true);
        Spit(file_, "<cleanrep>\r\n" + Entries + "</cleanrep>\r\n");
    }
    static TqvRegItem Item(HKEY Root, const std::string& Key, const std::string& Name)
    {
        TqvRegItem item(nullptr);
        item.Root = Root;
        item.Key = Key;
        item.Name = Name;
        return item;
    }

    TClock oldClock_ = nullptr;
    std::string file_;
};

TEST_F(CleanRepTest, FileFormAndLookups)
{
    TqvCleanRep report;
    EXPECT_EQ(file_, report.FileName);
    report.Add(HKEY_CURRENT_USER, "Software\\U", false, "");
    report.Add(HKEY_CLASSES_ROOT, "CLSID\\{X}", true, "");
    report.Add(HKEY_LOCAL_MACHINE, "SOFTWARE\\A&B;c", false, "x&#65;y");
    report.Add(HKEY_USERS, "S-1\\Key\"<#>", false, "n");
    // Already present (key and name compared in lower case, is64 ignored).
    report.Add(HKEY_LOCAL_MACHINE, "software\\a&b;C", true, "X&#65;Y");
    EXPECT_EQ(4, report.Count());
    EXPECT_TRUE(report.Changed());
    ASSERT_TRUE(report.Save());
    EXPECT_FALSE(report.Changed());
    EXPECT_EQ("<cleanrep>\r\n" + Entry("HKLM", "SOFTWARE\\A#26B;c", "x#26#2365;y", 45000) +
                  "    <reg root=\"HKCR\" key=\"CLSID\\{X}\" name=\"\" value=\"\" type=\"\" "
                  "is64=\"1\" scan=\"exists\" fix=\"\" date=\"45000\" />\r\n" +
                  Entry("HKCU", "Software\\U", "", 45000) +
                  Entry("HKU", "S-1\\Key#22#3C#23#3E", "n", 45000) + "</cleanrep>\r\n",
              etest::ReadBytes(file_));

    TqvCleanRep back;
    back.Load();
    EXPECT_EQ(4, back.Count());
    EXPECT_FALSE(back.Changed());
    const struct {
        HKEY root;
        const char* key;
        const char* name;
        bool contained;
    } cases[] = {
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\A&B;c", "x&#65;y", true},
        {HKEY_LOCAL_MACHINE, "software\\a&b;c", "X&#65;Y", true},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\A&B;c", "", false},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\A&B", "x&#65;y", false},
        {HKEY_CURRENT_USER, "SOFTWARE\\A&B;c", "x&#65;y", false},
        {HKEY_CLASSES_ROOT, "clsid\\{x}", "", true},
        {HKEY_CURRENT_USER, "SOFTWARE\\U", "", true},
        {HKEY_USERS, "S-1\\Key\"<#>", "n", true},
        // HKCU and HKU entries share one list.
        {HKEY_USERS, "Software\\U", "", true},
        {HKEY_LOCAL_MACHINE, "Software\\U", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.contained, back.Contains(Item(c.root, c.key, c.name))) << c.key;
}

TEST_F(CleanRepTest, EntriesLastThirtyFiveDays)
{
    {
        TqvCleanRep report;
        report.Add(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", false, "v");
        // A second repair in the day adds nothing.
        gNow += 1.0 / 24;
        report.Add(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", false, "v");
        EXPECT_EQ(1, report.Count());
        ASSERT_TRUE(report.Save());
    }
    const std::string saved = etest::ReadBytes(file_);

    gNow = 45000.25 + 34;
    TqvCleanRep kept;
    kept.Load();
    EXPECT_EQ(1, kept.Count());
    EXPECT_EQ(saved, etest::ReadBytes(file_)) << "nothing dropped, nothing rewritten";

    gNow = 45000.25 + 35 + 1.0 / 24;
    TqvCleanRep dropped;
    dropped.Load();
    EXPECT_EQ(0, dropped.Count());
    EXPECT_EQ("<cleanrep>\r\n</cleanrep>\r\n", etest::ReadBytes(file_));

    // Read by hand: one entry of each age; the dropped one is gone from the file.
    WriteReport(Entry("HKLM", "A", "", 45000 - 34) + Entry("HKLM", "B", "", 45000 - 36));
    gNow = 45000.25;
    TqvCleanRep mixed;
    mixed.Load();
    EXPECT_EQ(1, mixed.Count());
    EXPECT_TRUE(mixed.Contains(Item(HKEY_LOCAL_MACHINE, "a", "")));
    EXPECT_EQ("<cleanrep>\r\n" + Entry("HKLM", "A", "", 45000 - 34) + "</cleanrep>\r\n",
              etest::ReadBytes(file_));
}

TEST_F(CleanRepTest, OnlyADroppedEntryOrAStrangeChildRewritesTheFile)
{
    // Written in a form the program would not write: left alone when nothing
    // was dropped.
    const std::string handMade = "<cleanrep>\r\n  <reg key=\"K\" root=\"HKLM\" name=\"n\" "
                                 "scan=\"exists\" date=\"45000\"/>\r\n"
                                 "</cleanrep>\r\n";
    CreateDirectoryPath(BackupDir(), TFileSecurity::Inherit, true);
    Spit(file_, handMade);
    TqvCleanRep same;
    same.Load();
    EXPECT_EQ(1, same.Count());
    EXPECT_EQ(handMade, etest::ReadBytes(file_));

    WriteReport(Entry("HKLM", "K", "n", 45000) + "    <file path=\"C:\\x\" />\r\n");
    TqvCleanRep strange;
    strange.Load();
    EXPECT_EQ(1, strange.Count());
    EXPECT_EQ("<cleanrep>\r\n" + Entry("HKLM", "K", "n", 45000) + "</cleanrep>\r\n",
              etest::ReadBytes(file_));
}

TEST_F(CleanRepTest, MissingCorruptOrTruncatedFilesGiveAnEmptyReport)
{
    const std::string good = "<cleanrep>\r\n" + Entry("HKLM", "K", "n", 45000) +
                             Entry("HKCU", "L", "m", 45000) + "</cleanrep>\r\n";
    const std::pair<const char*, std::string> cases[] = {
        {"truncated in an entry", good.substr(0, good.size() / 2)},
        {"truncated after an entry", good.substr(0, good.find("    <reg root=\"HKCU\""))},
        {"corrupt", "\x01\xFF<<cleanrep>>\r\n<reg"},
        {"another root", "<backup>\r\n" + Entry("HKLM", "K", "n", 45000) + "</backup>\r\n"},
        {"empty", ""},
    };
    {
        TqvCleanRep missing;
        missing.Load();
        EXPECT_EQ(0, missing.Count());
        EXPECT_FALSE(FileExistsEx(file_));
    }
    CreateDirectoryPath(BackupDir(), TFileSecurity::Inherit, true);
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        Spit(file_, bytes);
        TqvCleanRep report;
        report.Load();
        EXPECT_EQ(0, report.Count());
    }
    // Through the worker's entry point too.
    Spit(file_, "garbage");
    EXPECT_EQ(0, EnsureCleanReportLoaded().Count());
}

std::vector<std::string> gSecurityCalls;
void RecordCall(const TSecurityCall& Call)
{
    gSecurityCalls.push_back(std::string(Call.Api) + " " + LowerCase(Call.Path) + " " +
                             etest::DaclSddl(Call.Descriptor));
}

TEST_F(CleanRepTest, SaveCreatesTheFoldersAndReplacesTheFileWhole)
{
    ASSERT_FALSE(DirectoryExistsEx(CommonDataDir()));
    TqvCleanRep report;
    report.Add(HKEY_LOCAL_MACHINE, "SOFTWARE\\K", false, "v");
    gSecurityCalls.clear();
    const TSecurityRecorder old = SetSecurityRecorder(&RecordCall);
    const bool saved = report.Save();
    SetSecurityRecorder(old);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(DirectoryExistsEx(BackupDir()));
    EXPECT_NE(std::string::npos, etest::ReadBytes(file_).find("key=\"SOFTWARE\\K\""));

    // Each folder and the file were made with the protected descriptor.
    const std::string protectedDacl =
        etest::DaclSddl(GetProtectedSecurityAttributes()->lpSecurityDescriptor);
    ASSERT_NE("none", protectedDacl);
    const std::string dataDir = LowerCase(ExcludeTrailingBackslash(CommonDataDir()));
    ASSERT_EQ(3u, gSecurityCalls.size());
    EXPECT_EQ("CreateDirectoryA " + dataDir + " " + protectedDacl, gSecurityCalls[0]);
    EXPECT_EQ("CreateDirectoryA " + dataDir + "\\backup " + protectedDacl, gSecurityCalls[1]);
    // The save's temporary file, of a name of its own.
    EXPECT_EQ(0u, gSecurityCalls[2].rfind("CreateFileA " + LowerCase(file_) + ".", 0));
    EXPECT_NE(std::string::npos, gSecurityCalls[2].find(".tmp " + protectedDacl));
    // Read back, nobody but Administrators and SYSTEM may write. (Wine gives
    // every new file its own default DACL, SYSTEM and the creating user, who
    // is an administrator there.)
    for (const std::string& path : {file_, ExcludeTrailingBackslash(BackupDir())})
        EXPECT_EQ(std::vector<std::string>{}, etest::WritersOf(path, etest::TestUserSid())) << path;

    // A second save replaces the file; no temporary file stays behind.
    report.Add(HKEY_LOCAL_MACHINE, "SOFTWARE\\L", false, "");
    ASSERT_TRUE(report.Save());
    EXPECT_NE(std::string::npos, etest::ReadBytes(file_).find("key=\"SOFTWARE\\L\""));
    std::vector<std::string> names;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((BackupDir() + "*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        if (data.cFileName[0] != '.')
            names.push_back(LowerCase(data.cFileName));
    } while (FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(std::vector<std::string>{"cleanrep.xml"}, names);
}

// ---------------------------------------------------------------------------
// Entries added by a repair

// Two speed-up items in HKCU scratch keys; the one key's DACL lets no one
// write, so its repair fails.
class CleanRepRepairTest : public CleanRepTest {
protected:
    void SetUp() override
    {
        CleanRepTest::SetUp();
        key_ = "Software\\Korvelle.Test." + WideToAnsi(ktest::InstanceName()) + ".cleanrep";
        RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
        for (const char* sub : {"\\ok", "\\locked"}) {
            HKEY k = nullptr;
            ASSERT_EQ(ERROR_SUCCESS,
                      RegCreateKeyExA(HKEY_CURRENT_USER, (key_ + sub).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &k, nullptr));
            const DWORD one = 1;
            RegSetValueExA(k, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
            RegCloseKey(k);
        }
        const std::string items = "<reg root=\"HKCU\" key=\"" + key_ +
                                  "\\ok\" name=\"v\" value=\"2\" type=\"num\" "
                                  "scan=\"value\" fix=\"value\"/>"
                                  "<reg root=\"HKCU\" key=\"" +
                                  key_ +
                                  "\\locked\" name=\"v\" value=\"2\" type=\"num\" "
                                  "scan=\"value\" fix=\"value\"/>";
        main_.LoadDataFromText("<Quorvex ver=\"1\"><boost><group id=\"g\"><items type=\"list\">" +
                               items + "</items></group></boost></Quorvex>");
        main_.BackupWriter = &writer_;
        EnsureCleanReportLoaded();
        main_.ScanAll();
        ASSERT_EQ(2, main_.BoostCategory->FoundCount());

        // Keeps WRITE_DAC on its own handle to give the rights back.
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, (key_ + "\\locked").c_str(), 0,
                                               READ_CONTROL | WRITE_DAC, &locked_));
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;KR;;;WD)", SDDL_REVISION_1, &sd, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(locked_, DACL_SECURITY_INFORMATION, sd));
        LocalFree(sd);
    }
    void TearDown() override
    {
        if (locked_) {
            PSECURITY_DESCRIPTOR sd = nullptr;
            ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                 &sd, nullptr);
            RegSetKeySecurity(locked_, DACL_SECURITY_INFORMATION, sd);
            LocalFree(sd);
            RegCloseKey(locked_);
        }
        RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
        CleanRepTest::TearDown();
    }
    DWORD Stored(const char* Sub)
    {
        DWORD value = 0, size = 4;
        RegGetValueA(HKEY_CURRENT_USER, (key_ + Sub).c_str(), "v", RRF_RT_REG_DWORD, nullptr,
                     &value, &size);
        return value;
    }

    std::string key_;
    HKEY locked_ = nullptr;
    TqvMain main_;
    etest::FakeBackupWriter writer_;
};

TEST_F(CleanRepRepairTest, OnlyASuccessfulRepairOfABackedUpItemIsRecorded)
{
    main_.Clean(kCategoryBoost);
    EXPECT_EQ(2u, Stored("\\ok"));
    EXPECT_EQ(1u, Stored("\\locked")) << "the key's DACL refuses the write";
    EXPECT_EQ((std::vector<std::string>{"begin 2", "value " + key_ + "\\ok\\#v",
                                        "value " + key_ + "\\locked\\#v", "end", "end"}),
              writer_.calls);
    const TqvCleanRep& report = *CleanReport();
    EXPECT_EQ(1, report.Count());
    EXPECT_TRUE(report.Contains(Item(HKEY_CURRENT_USER, key_ + "\\ok", "v")));
    // The category's closing save wrote it.
    EXPECT_EQ("<cleanrep>\r\n" + Entry("HKCU", (key_ + "\\ok").c_str(), "v", 45000) +
                  "</cleanrep>\r\n",
              etest::ReadBytes(file_));
    // The next scan of the run passes over it.
    TqvRegItem again(nullptr);
    again.Root = HKEY_CURRENT_USER;
    again.Key = key_ + "\\ok";
    again.Name = "v";
    again.Type = REG_DWORD;
    again.Value = "3";
    again.ScanKind = kRegScanValue;
    again.FixKind = kRegFixValue;
    again.Check();
    EXPECT_FALSE(again.Found);
}

TEST_F(CleanRepRepairTest, ARepairWithoutBackupRecordsNothing)
{
    main_.MakeBackup = false;
    main_.Clean(kCategoryBoost);
    EXPECT_EQ(2u, Stored("\\ok"));
    EXPECT_TRUE(writer_.calls.empty());
    EXPECT_EQ(0, CleanReport()->Count());
    EXPECT_FALSE(FileExistsEx(file_));
}

} // namespace

TEST_F(CleanRepTest, APlantedReportHidesNothing)
{
    WriteReport(Entry("HKLM", "SOFTWARE\\Dead", "", 45000));
    {
        TqvCleanRep trusted;
        trusted.Load();
        EXPECT_EQ(1, trusted.Count());
    }
    // The same file, where someone other than an administrator may write.
    TProgramFolders folders = ProgramFolders();
    folders.BackupDir = dirAnsi_ + "Planted\\";
    SetProgramFoldersForTests(folders);
    CreateDirectoryPath(BackupDir(), TFileSecurity::Inherit, true);
    ASSERT_TRUE(CopyFileA(file_.c_str(), (BackupDir() + "cleanrep.xml").c_str(), FALSE));
    etest::PlantedPaths trust;
    TqvCleanRep planted;
    planted.Load();
    EXPECT_EQ(0, planted.Count());
    EXPECT_FALSE(planted.Contains(Item(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dead", "")));
}
