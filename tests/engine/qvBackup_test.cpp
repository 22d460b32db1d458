// The backup writer, its file form, the backup list and the restore.

#include "DriverTest.h"
#include "EngineTest.h"
#include "KorvTest.h"
#include "engine/qvBackup.h"
#include "engine/qvCleanRep.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"

#include <aclapi.h>
#include <sddl.h>

using namespace dtest;

namespace {

const std::wstring kCaption = L"Z\x00FCrich \x2713 caption";

TDateTime FixedClock()
{
    SYSTEMTIME st{};
    st.wYear = 2024;
    st.wMonth = 1;
    st.wDay = 31;
    st.wHour = 23;
    st.wMinute = 59;
    st.wSecond = 58;
    return SystemTimeToDateTime(st);
}

// The program's folders with CommonDataDir and BackupDir in Folder.
void UseFolders(const std::string& Folder)
{
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = Folder;
    folders.BackupDir = Folder + "Backup\\";
    SetProgramFoldersForTests(folders);
}

// The DACLs the create calls of a backup pass.
std::vector<std::string> gCreateCalls;
void RecordCreate(const TSecurityCall& Call)
{
    gCreateCalls.push_back(std::string(Call.Api) + " " + etest::DaclSddl(Call.Descriptor));
}

std::string Expected(const std::string& Key)
{
    auto line = [&Key](const std::string& SubKey, const std::string& Rest) {
        return "    <reg root=\"HKLM\" key=\"" + Key + SubKey + "\" " + Rest + " />\r\n";
    };
    return "<backup type=\"fix\" name=\"Z\xC3\xBCrich \xE2\x9C\x93 caption\" "
           "date=\"2024-01-31 23:59:58\">\r\n" +
           line("", "name=\"\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"key\"") +
           line("", "name=\"\" value=\"Default text\" type=\"str\" scan=\"backup\" fix=\"value\"") +
           line("", "name=\"bin\" value=\"01ABFF\" type=\"bin\" scan=\"backup\" fix=\"value\"") +
           line("", "name=\"exp\" value=\"%TEMP%\\x\" type=\"exstr\" scan=\"backup\" "
                    "fix=\"value\"") +
           line("", "name=\"multi\" value=\"one#00two\" type=\"mulstr\" scan=\"backup\" "
                    "fix=\"value\"") +
           line("", "name=\"num\" value=\"$0000FA00\" type=\"num\" scan=\"backup\" fix=\"value\"") +
           line("", "name=\"q\" value=\"0102030405060708\" type=\"bin\" rtype=\"11\" "
                    "scan=\"backup\" fix=\"value\"") +
           line("", "name=\"str\" value=\"a#22b#3Cc#3E#26d\" type=\"str\" scan=\"backup\" "
                    "fix=\"value\"") +
           line("\\Empty", "name=\"\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"key\"") +
           line("\\Sub", "name=\"\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"key\"") +
           line("\\Sub", "name=\"v\" value=\"1\" type=\"str\" scan=\"backup\" fix=\"value\"") +
           line("", "name=\"missing\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"del\"") +
           line("\\Gone", "name=\"\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"del\"") +
           "</backup>\r\n";
}

// Sets an international value of the user for its lifetime.
class InternationalValue {
public:
    InternationalValue(const wchar_t* Name, const std::wstring& Value) : name_(Name)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\International", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        wchar_t old[256] = {};
        DWORD size = sizeof(old);
        had_ = RegQueryValueExW(key_, Name, nullptr, nullptr, reinterpret_cast<BYTE*>(old),
                                &size) == ERROR_SUCCESS;
        old_ = old;
        Set(Value);
    }
    ~InternationalValue()
    {
        if (had_)
            Set(old_);
        else
            RegDeleteValueW(key_, name_);
        RegCloseKey(key_);
    }

private:
    void Set(const std::wstring& Value)
    {
        RegSetValueExW(key_, name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(Value.c_str()),
                       static_cast<DWORD>((Value.size() + 1) * sizeof(wchar_t)));
    }
    const wchar_t* name_;
    HKEY key_ = nullptr;
    bool had_ = false;
    std::wstring old_;
};

} // namespace

// Writes the golden backup with the pinned clock into args[0], from the key
// args[1]; 0 when the file reads back as written.
KTEST_ROLE(golden_backup)
{
    if (args.size() != 2)
        return 100;
    const std::string folder = WideToAnsi(args[0]);
    const std::string key = WideToAnsi(args[1]);
    UseFolders(folder);
    SetClock(&FixedClock);
    BeginBackup(kBackupFix, kCaption);
    BeginBackup(kBackupBoost, L"ignored while one is open");
    if (!BackupRegKey(HKEY_LOCAL_MACHINE, key, false) ||
        !BackupRegValue(HKEY_LOCAL_MACHINE, key, "missing", false) ||
        !BackupRegKey(HKEY_LOCAL_MACHINE, key + "\\Gone", false))
        return 101;
    if (!EndBackup() || IsBackupOpen())
        return 102;
    const TqvBackup backup(folder + "Backup\\fix_20240131_235958.xml");
    if (backup.Type != kBackupFix)
        return 103;
    if (backup.Caption != kCaption)
        return 104;
    if (backup.Date != L"2024-01-31 23:59:58")
        return 105;
    return 0;
}

class BackupFile : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        ResetCleanReportForTests();
        ResetProgramFoldersForTests();
        SetClock(nullptr);
        ktest::ScratchDirTest::TearDown();
    }
    RegFixture reg;
    const std::wstring key = L"Software\\Korvelle.Test." + ktest::InstanceName() + L".Backup";
};

TEST_F(BackupFile, LinesEqualTheGoldenFileByteForByte)
{
    const REGSAM view = Views().front();
    reg.String(HKEY_LOCAL_MACHINE, key, L"", L"Default text", view);
    reg.Raw(HKEY_LOCAL_MACHINE, key, L"bin", REG_BINARY, "\x01\xAB\xFF", view);
    reg.String(HKEY_LOCAL_MACHINE, key, L"exp", L"%TEMP%\\x", view, REG_EXPAND_SZ);
    reg.Raw(HKEY_LOCAL_MACHINE, key, L"multi", REG_MULTI_SZ,
            std::string(reinterpret_cast<const char*>(L"one\0two\0"), 18), view);
    reg.Dword(HKEY_LOCAL_MACHINE, key, L"num", 64000, view);
    reg.Raw(HKEY_LOCAL_MACHINE, key, L"q", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08", view);
    reg.String(HKEY_LOCAL_MACHINE, key, L"str", L"a\"b<c>&d", view);
    reg.Key(HKEY_LOCAL_MACHINE, key + L"\\Empty", view);
    reg.String(HKEY_LOCAL_MACHINE, key + L"\\Sub", L"v", L"1", view);

    InternationalValue date(L"sShortDate", L"yyyy-MM-dd");
    InternationalValue time(L"sTimeFormat", L"HH:mm:ss");
    const ktest::ChildResult child = ktest::RunSelf(L"golden_backup", {dir_, key});
    ASSERT_TRUE(child.started);
    EXPECT_EQ(0u, child.exitCode);
    EXPECT_EQ(Expected(WideToAnsi(key)),
              ktest::ReadFileBytes(dir_ + L"Backup\\fix_20240131_235958.xml"));
}

TEST_F(BackupFile, AnItemWhoseNamesOrTextsTheCodePageLosesIsRefusedWhole)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "the names below are outside code page 1252 only";
    UseFolders(dirAnsi_);
    const REGSAM view = Views().front();
    const std::wstring valueName = key + L"\\ValueName", data = key + L"\\Data",
                       subKey = key + L"\\SubKey", sound = key + L"\\Sound";
    reg.String(HKEY_LOCAL_MACHINE, valueName, L"\x0418\x043C\x044F", L"x", view);
    reg.String(HKEY_LOCAL_MACHINE, data, L"v", L"C:\\\x041F\x0440\x0438\\x.dll", view);
    reg.String(HKEY_LOCAL_MACHINE, subKey + L"\\\x041A\x043B\x044E\x0447", L"v", L"x", view);
    reg.String(HKEY_LOCAL_MACHINE, subKey, L"before", L"x", view);
    reg.String(HKEY_LOCAL_MACHINE, sound, L"v", L"x", view);

    BeginBackup(kBackupFix, L"");
    EXPECT_FALSE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(valueName), false));
    EXPECT_FALSE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(data), false));
    EXPECT_FALSE(BackupRegValue(HKEY_LOCAL_MACHINE, WideToAnsi(data), "v", false));
    EXPECT_FALSE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(subKey), false));
    // Nothing recorded: nothing written.
    EXPECT_TRUE(EndBackup());
    EXPECT_FALSE(DirectoryExistsEx(dirAnsi_ + "Backup\\"));

    SetClock(&FixedClock);
    BeginBackup(kBackupFix, L"");
    EXPECT_FALSE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(subKey), false));
    EXPECT_TRUE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(sound), false));
    gCreateCalls.clear();
    const TSecurityRecorder old = SetSecurityRecorder(&RecordCreate);
    EXPECT_TRUE(EndBackup());
    SetSecurityRecorder(old);
    const std::string file = dirAnsi_ + "Backup\\fix_20240131_235958.xml";
    const std::string text = ktest::ReadFileBytes(AnsiToWide(file));
    EXPECT_EQ(std::string::npos, text.find("SubKey")) << "the refused item left no line";
    EXPECT_NE(std::string::npos, text.find("Sound\" name=\"v\" value=\"x\"")) << text;
    // The elevated restore trusts these files: the folder and the file are
    // made with the protected descriptor, and nobody else may write them.
    const std::string protectedDacl =
        etest::DaclSddl(GetProtectedSecurityAttributes()->lpSecurityDescriptor);
    ASSERT_NE("none", protectedDacl);
    // CommonDataDir existed: it gets its protection again.
    EXPECT_EQ((std::vector<std::string>{"SetNamedSecurityInfoA " + protectedDacl,
                                        "CreateDirectoryA " + protectedDacl,
                                        "CreateFileA " + protectedDacl}),
              gCreateCalls);
    for (const std::string& path : {dirAnsi_ + "Backup", file})
        EXPECT_EQ(std::vector<std::string>{}, etest::WritersOf(path, etest::TestUserSid())) << path;
}

// A value whose name holds a NUL is recorded with its own data and comes
// back exactly; a key whose name holds one cannot be recorded, so its
// parent's backup is refused whole rather than record another key.
TEST_F(BackupFile, NamesThatHoldANulAreRecordedExactlyOrRefused)
{
    UseFolders(dirAnsi_);
    SetClock(&FixedClock);
    const REGSAM view = Views().front();
    const std::wstring values = key + L"\\Values", keys = key + L"\\Keys";
    reg.String(HKEY_LOCAL_MACHINE, values, L"abc", L"first part", view);
    reg.String(HKEY_LOCAL_MACHINE, keys, L"v", L"x", view);
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, values.c_str(), 0,
                                           KEY_ALL_ACCESS | view, &handle));
    const std::wstring nulName(L"abc\0def", 7);
    ASSERT_TRUE(ktest::SetValueCounted(handle, nulName, REG_SZ,
                                       std::string(reinterpret_cast<const char*>(L"whole"), 12)));
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys.c_str(), 0,
                                           KEY_ALL_ACCESS | view, &parent));
    const std::wstring hiddenName(L"\0hidden", 7);
    HKEY hidden = ktest::CreateKeyCounted(parent, hiddenName);
    ASSERT_NE(nullptr, hidden);
    RegCloseKey(hidden);

    const std::string valuesKey = WideToAnsi(values);
    const std::string name("abc\0def", 7);
    BeginBackup(kBackupFix, L"");
    EXPECT_TRUE(BackupRegValue(HKEY_LOCAL_MACHINE, valuesKey, name, false));
    EXPECT_FALSE(BackupRegKey(HKEY_LOCAL_MACHINE, WideToAnsi(keys), false));
    ASSERT_TRUE(EndBackup());
    const std::string file = dirAnsi_ + "Backup\\fix_20240131_235958.xml";
    const std::string text = ktest::ReadFileBytes(AnsiToWide(file));
    EXPECT_NE(std::string::npos, text.find("name=\"abc#00def\" value=\"whole\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("Keys")) << text;

    // The repair deletes the value; the restore gives it back, and only it.
    ASSERT_TRUE(RegRemoveValue(HKEY_LOCAL_MACHINE, valuesKey, name));
    TqvBackup backup(file);
    const TqvBackup::TResult result = backup.Restore();
    EXPECT_EQ(1, result.Applied);
    EXPECT_EQ(0, result.Failed);
    std::string data;
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, valuesKey, name, data));
    EXPECT_EQ("whole", data);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, valuesKey, "abc", data));
    EXPECT_EQ("first part", data);

    // A restore line whose key holds a NUL fails alone; the lines after it apply.
    WriteFile(L"nulkey.xml",
              "<backup type=\"fix\" name=\"\" date=\"d\">\r\n"
              "    <reg root=\"HKLM\" key=\"" + WideToAnsi(keys) + "\\#00hidden\" name=\"\" value=\"\" "
              "type=\"backup\" scan=\"backup\" fix=\"del\" />\r\n"
              "    <reg root=\"HKLM\" key=\"" + valuesKey + "\" name=\"after\" value=\"1\" "
              "type=\"str\" scan=\"backup\" fix=\"value\" />\r\n</backup>\r\n");
    TqvBackup nulKey(dirAnsi_ + "nulkey.xml");
    const TqvBackup::TResult second = nulKey.Restore();
    EXPECT_EQ(1, second.Applied);
    EXPECT_EQ(1, second.Failed);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, valuesKey, "after", data));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, WideToAnsi(keys)));
    EXPECT_TRUE(ktest::DeleteKeyCounted(parent, hiddenName));
    RegCloseKey(parent);
    RegCloseKey(handle);
}

TEST_F(BackupFile, ListsHoldTheBackupsNewestFirstAndNothingElse)
{
    const std::string head = "<backup type=\"fix\" name=\"\" date=\"d\">\r\n";
    const std::string boostHead = "<backup type=\"boost\" name=\"\" date=\"d\">\r\n";
    const std::string tail = "</backup>\r\n";
    // Made out of order; the folder search gives names sorted.
    WriteFile(L"fix_20240102_000000.xml", head + tail);
    WriteFile(L"boost_20240101_000000.xml", boostHead + tail);
    WriteFile(L"fix_20240301_120000.xml", head + tail);
    WriteFile(L"boost_20240215_080000.xml", boostHead + tail);
    // No stamp: its last write time (2024-02-01) places it.
    const std::wstring unstamped = WriteFile(L"rescued.xml", head + tail);
    {
        SYSTEMTIME st{};
        st.wYear = 2024;
        st.wMonth = 2;
        st.wDay = 1;
        st.wHour = 12;
        FILETIME local{}, utc{};
        SystemTimeToFileTime(&st, &local);
        LocalFileTimeToFileTime(&local, &utc);
        HANDLE file = CreateFileW(unstamped.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        SetFileTime(file, nullptr, nullptr, &utc);
        CloseHandle(file);
    }
    WriteFile(L"cleanrep.xml", "<cleanrep>\r\n</cleanrep>\r\n");
    WriteFile(L"other.xml", "<other type=\"fix\" />\r\n");
    WriteFile(L"fix_20240401_000000.xml",
              head + "    <reg root=\"HKLM\" key=\"Software\\X\" name=\"v\" value=\"1\" ");
    CreateDirectoryW((dir_ + L"fix_20240501_000000.xml").c_str(), nullptr);

    TqvBackups backups;
    backups.LoadFrom(dirAnsi_);
    auto names = [this](const std::vector<std::unique_ptr<TqvBackup>>& List) {
        std::vector<std::string> out;
        for (const auto& b : List)
            out.push_back(b->FileName.substr(dirAnsi_.size()));
        return out;
    };
    EXPECT_EQ((std::vector<std::string>{"fix_20240301_120000.xml", "rescued.xml",
                                        "fix_20240102_000000.xml"}),
              names(backups.FixBackups));
    EXPECT_EQ((std::vector<std::string>{"boost_20240215_080000.xml", "boost_20240101_000000.xml"}),
              names(backups.BoostBackups));
}

TEST_F(BackupFile, RestoreCountsWhatFailedAndAppliesTheRest)
{
    const REGSAM view = Views().front();
    const std::wstring denied = key + L"\\Denied";
    const std::wstring allowed = key + L"\\Allowed";
    reg.Key(HKEY_LOCAL_MACHINE, denied, view);
    reg.Key(HKEY_LOCAL_MACHINE, allowed, view);
    // Nobody may write the denied key, administrators included.
    PSECURITY_DESCRIPTOR deny = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(D;;KW;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &deny, nullptr));
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, denied.c_str(), 0, WRITE_DAC | view, &handle));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, deny));
    RegCloseKey(handle);
    LocalFree(deny);

    const std::string k = WideToAnsi(key);
    const std::string file = dirAnsi_ + "restore.xml";
    WriteFile(
        L"restore.xml",
        "<backup type=\"fix\" name=\"\" date=\"d\">\r\n"
        "    <reg root=\"HKLM\" key=\"" +
            k +
            "\\Allowed\" name=\"a\" value=\"1\" type=\"str\" scan=\"backup\" fix=\"value\" />\r\n"
            "    <reg root=\"HKLM\" key=\"" +
            k +
            "\\Denied\" name=\"d\" value=\"1\" type=\"str\" scan=\"backup\" fix=\"value\" />\r\n"
            "    <reg root=\"HKLM\" key=\"" +
            k +
            "\\Allowed\" name=\"n\" value=\"nine\" type=\"num\" scan=\"backup\" fix=\"value\" "
            "/>\r\n"
            "    <reg root=\"HKLM\" key=\"" +
            k +
            "\\Allowed\" name=\"b\" value=\"$0000FA00\" type=\"num\" scan=\"backup\" fix=\"value\" "
            "/>\r\n"
            "</backup>\r\n");
    const DriverResult restore = RunDriver({L"restore", AnsiToWide(file)});

    // The denied key's DACL goes back before anything else can fail.
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, denied.c_str(), 0, WRITE_DAC | view, &handle));
    PSECURITY_DESCRIPTOR open = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &open,
                                                         nullptr);
    RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, open);
    RegCloseKey(handle);
    LocalFree(open);

    EXPECT_EQ("restore\tapplied=2\tfailed=2\n", restore.out);
    EXPECT_EQ(4u, restore.exitCode);
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, allowed, L"a", view));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, allowed, L"b", view));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, denied, L"d", view));

    WriteFile(L"plain.xml", "<cleanrep>\r\n</cleanrep>\r\n");
    EXPECT_EQ(2u, RunDriver({L"restore", AnsiToWide(dirAnsi_ + "plain.xml")}).exitCode);
}

// Found by the reader fuzzer: cut at its NUL, the key of the first line is the
// scratch key, whose tree removal recursed on that cut key until the stack
// overflowed; the second line wrote the value "x".
TEST_F(BackupFile, RestoreLeavesLinesWithANulInTheirKeyAloneAndKeepsSuchNamesWhole)
{
    const REGSAM view = Views().front();
    reg.Key(HKEY_LOCAL_MACHINE, key + L"\\Keep\\Child", view);
    const std::string k = WideToAnsi(key);
    WriteFile(L"cut.xml", "<backup type=\"fix\" name=\"\" date=\"d\">\r\n"
                          "    <reg root=\"HKLM\" key=\"" +
                              k +
                              "#00\\Gone\" name=\"\" value=\"\" type=\"backup\" scan=\"backup\" "
                              "fix=\"del\" />\r\n"
                              "    <reg root=\"HKLM\" key=\"" +
                              k +
                              "\" name=\"x#00y\" value=\"1\" type=\"str\" scan=\"backup\" "
                              "fix=\"value\" />\r\n"
                              "    <reg root=\"HKLM\" key=\"" +
                              k +
                              "\" name=\"z\" value=\"1\" type=\"str\" scan=\"backup\" "
                              "fix=\"value\" />\r\n"
                              "</backup>\r\n");
    const DriverResult restore = RunDriver({L"restore", AnsiToWide(dirAnsi_ + "cut.xml")});
    EXPECT_EQ("restore\tapplied=2\tfailed=1\n", restore.out) << restore.err;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key + L"\\Keep\\Child", view));
    // The name with a NUL is written whole, never as the name cut at the NUL.
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, key, L"x", view));
    std::string data;
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, k, std::string("x\0y", 3), data));
    EXPECT_EQ("1", data);
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, key, L"z", view));
}

// ---------------------------------------------------------------------------
// The backup around a category's repair

namespace {

std::string BoostCatalogue(const std::wstring& Key)
{
    const std::string k = WideToAnsi(Key);
    return "<Quorvex ver=\"1\"><boost><group id=\"b\"><items type=\"list\">"
           "<reg root=\"HKLM\" key=\"" +
           k +
           "\" name=\"a\" value=\"1\" type=\"num\" "
           "scan=\"value\" fix=\"value\" />"
           "<reg root=\"HKLM\" key=\"" +
           k +
           "\" name=\"b\" value=\"x\" type=\"str\" "
           "scan=\"value\" fix=\"value\" />"
           "</items></group></boost></Quorvex>";
}

} // namespace

TEST_F(BackupFile, BoostBackupRecordsWhatDidNotExistAndAStoppedOrEmptyOneWritesNothing)
{
    UseFolders(dirAnsi_);
    SetClock(&FixedClock);
    const REGSAM view = Views().front();
    reg.Key(HKEY_LOCAL_MACHINE, key, view);
    const std::string file = dirAnsi_ + "Backup\\boost_20240131_235958.xml";

    auto repair = [&](int StopFrom) {
        TqvMain root;
        root.LoadDataFromText(BoostCatalogue(key));
        root.ScanAll();
        int backupReports = 0;
        root.OnProgress = [&](const TqvUIStatus& Status) {
            if (Status.Phase == kPhaseBackup)
                ++backupReports;
            return true;
        };
        // A stop asked for between two reports, as the worker latches it.
        root.OnStopCheck = [&] { return StopFrom == 0 || backupReports < StopFrom; };
        root.Clean(kCategoryBoost);
        return root.Category(kCategoryBoost)->FoundCount();
    };
    // Asked at the group's report, the second of the backup: the backup
    // stops before its first item.
    EXPECT_EQ(2, repair(2));
    EXPECT_FALSE(FileExistsEx(file)) << "a backup stopped before its first item";
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, key, L"a", view));

    EXPECT_EQ(2, repair(0));
    ASSERT_TRUE(FileExistsEx(file));
    const std::string text = ktest::ReadFileBytes(AnsiToWide(file));
    EXPECT_NE(std::string::npos,
              text.find("name=\"a\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"del\""))
        << text;
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, key, L"a", view));

    TqvBackup backup(file);
    const TqvBackup::TResult restored = backup.Restore();
    EXPECT_EQ(2, restored.Applied);
    EXPECT_EQ(0, restored.Failed);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, key, L"a", view));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, key, L"b", view));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key, view));
    EXPECT_EQ(2, backup.Restore().Applied) << "a second restore finds the state it records";

    // Nothing to repair: nothing recorded, no file.
    DeleteFileA(file.c_str());
    reg.Dword(HKEY_LOCAL_MACHINE, key, L"a", 1, view);
    reg.String(HKEY_LOCAL_MACHINE, key, L"b", L"x", view);
    EXPECT_EQ(0, repair(0));
    EXPECT_FALSE(FileExistsEx(file));
}

// A fix repair of values under HKLM and HKCU, one of them named twice in
// different case: its backup file and the clean report it leaves, the
// scratch key's name replaced by "<KEY>", equal the golden file byte for byte.
TEST_F(BackupFile, ARepairWritesBackupAndCleanReportEqualToTheGoldenFile)
{
    UseFolders(dirAnsi_);
    SetClock(&FixedClock);
    const REGSAM view = Views().front();
    reg.Key(HKEY_LOCAL_MACHINE, key, view);
    reg.Key(HKEY_CURRENT_USER, key, view);
    reg.String(HKEY_LOCAL_MACHINE, key, L"b", L"old", view);
    reg.Dword(HKEY_CURRENT_USER, key, L"u", 7, view);
    const std::string k = WideToAnsi(key);
    auto line = [&k](const char* Root, const std::string& Rest) {
        return "<reg root=\"" + std::string(Root) + "\" key=\"" + k + "\" " + Rest + " />";
    };
    const std::string items =
        line("HKLM", "name=\"a\" value=\"1\" type=\"num\" scan=\"value\" fix=\"value\"") +
        line("HKCU", "name=\"u\" value=\"2\" type=\"num\" scan=\"value\" fix=\"value\"") +
        line("HKLM", "name=\"b\" value=\"new\" type=\"str\" scan=\"value\" fix=\"value\"") +
        line("HKLM", "name=\"A\" value=\"1\" type=\"num\" scan=\"value\" fix=\"value\"");
    TqvMain root;
    root.LoadDataFromText("<Quorvex ver=\"1\"><fix><group id=\"f\"><items type=\"list\">" +
                          items + "</items></group></fix></Quorvex>");
    EnsureCleanReportLoaded();
    root.ScanAll();
    ASSERT_EQ(4, root.Category(kCategoryFix)->FoundCount());
    root.Clean(kCategoryFix);

    const std::string backup =
        ktest::ReadFileBytes(AnsiToWide(dirAnsi_ + "Backup\\fix_20240131_235958.xml"));
    const std::string report = ktest::ReadFileBytes(AnsiToWide(dirAnsi_ + "Backup\\cleanrep.xml"));
    // The header's date is in the user's format: the lines below it are compared.
    std::string actual = backup.substr(backup.find("\r\n") + 2) + "--\r\n" + report;
    for (size_t at = actual.find(k); at != std::string::npos; at = actual.find(k, at))
        actual.replace(at, k.size(), "<KEY>");
    std::wstring golden = ktest::ProgramPath();
    golden = golden.substr(0, golden.find_last_of(L'\\') + 1) + L"fixtures\\repair_golden.txt";
    EXPECT_EQ(ktest::ReadFileBytes(golden), actual);
}

TEST_F(BackupFile, APlantedBackupIsNeitherListedNorRestored)
{
    UseFolders(dirAnsi_);
    const REGSAM view = Views().front();
    reg.String(HKEY_LOCAL_MACHINE, key, L"v", L"before", view);
    SetClock(&FixedClock);
    BeginBackup(kBackupFix, L"ours");
    ASSERT_TRUE(BackupRegValue(HKEY_LOCAL_MACHINE, WideToAnsi(key), "v", false));
    ASSERT_TRUE(EndBackup());
    const std::string folder = dirAnsi_ + "Backup\\";
    const std::string ours = folder + "fix_20240131_235958.xml";
    const std::string planted = folder + "planted_fix_20240130_000000.xml";
    ASSERT_TRUE(CopyFileA(ours.c_str(), planted.c_str(), FALSE));
    reg.String(HKEY_LOCAL_MACHINE, key, L"v", L"after", view);

    etest::PlantedPaths trust;
    TqvBackups backups;
    backups.LoadFrom(folder);
    ASSERT_EQ(1u, backups.FixBackups.size()) << "the planted file is not listed";
    EXPECT_EQ(ours, backups.FixBackups[0]->FileName);

    TqvBackup plantedBackup(planted);
    const TqvBackup::TResult refused = plantedBackup.Restore();
    EXPECT_EQ(0, refused.Applied);
    EXPECT_EQ(1, refused.Failed);
    std::string value;
    {
        TRegViewScope scope(Win64(), false);
        ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, WideToAnsi(key), "v", value));
    }
    EXPECT_EQ("after", value) << "nothing of the planted file was applied";

    // Planted in place of the folder: nothing in it is listed.
    const std::string plantedFolder = dirAnsi_ + "Planted\\";
    ASSERT_TRUE(CreateDirectoryA(plantedFolder.c_str(), nullptr));
    ASSERT_TRUE(
        CopyFileA(ours.c_str(), (plantedFolder + "fix_20240131_235958.xml").c_str(), FALSE));
    backups.LoadFrom(plantedFolder);
    EXPECT_TRUE(backups.FixBackups.empty());
}
