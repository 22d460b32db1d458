// The add-on scanner against stand-ins of an installed Firefox. Firefox's
// version, folder and SQLite library are kept per process, so each set-up
// runs in a child process of its own: the parent installs Firefox (program,
// library, registry keys) and removes it once the child has ended; the child
// makes the profiles, databases and the stand-in service.
#include "AddOnTestSupport.h"
#include "ChildCases.h"
#include "EngineTest.h"
#include "FakeService.h"
#include "FirefoxFixture.h"
#include "KorvTest.h"
#include "engine/qvAddOns.h"
#include "platform/FileUtilsU.h"
#include "platform/FirefoxU.h"
#include "platform/RegistryU.h"
#include "platform/SQLiteTable3.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>

namespace {

using atest::AddOnScanner;
using atest::kView32;
using atest::RecordOf;

constexpr DWORD kThreadWaitMs = 20000;
constexpr DWORD kChildTimeoutMs = 180000;

// ---------------------------------------------------------------------------
// Child side

std::vector<const TqvItem*> FoundById(const TqvItems& Scanner, const std::string& Id)
{
    std::vector<const TqvItem*> found;
    for (const auto& item : Scanner.Items)
        if (RecordOf(*item) && RecordOf(*item)->Id == Id)
            found.push_back(item.get());
    return found;
}

const TqvAddOnItem* RecordById(const TqvItemsAddOns& Scanner, const std::string& Id)
{
    for (const auto& record : Scanner.Verdicts->AllRecords)
        if (record->Id == Id)
            return record.get();
    return nullptr;
}

std::string Quoted(const std::string& Text)
{
    return "'" + QuotedLiteral(Text) + "'";
}

struct Row {
    std::string Id;
    std::string Location;
    int Active;
    int UserDisabled;
    std::string Descriptor;
};

// A Firefox 4 add-on database made through the loaded library.
void MakeDatabase(const std::string& File, const std::vector<Row>& Rows)
{
    ASSERT_TRUE(etest::WriteBytes(File, ""));
    TSQLiteDatabase db(File);
    db.ExecSQL("CREATE TABLE addon (id TEXT, location TEXT, active INTEGER, userDisabled INTEGER, "
               "descriptor TEXT)");
    for (const Row& r : Rows)
        db.ExecSQL("INSERT INTO addon VALUES (" + Quoted(r.Id) + ", " + Quoted(r.Location) + ", " +
                   std::to_string(r.Active) + ", " + std::to_string(r.UserDisabled) + ", " +
                   Quoted(r.Descriptor) + ")");
}

// id -> "userDisabled,active".
std::map<std::string, std::string> States(const std::string& File)
{
    std::map<std::string, std::string> states;
    TSQLiteDatabase db(File);
    auto table = db.GetTable("SELECT id, userDisabled, active FROM addon");
    for (int row = 0; row < table->GetCount(); ++row) {
        table->MoveTo(row);
        states[table->FieldAsString(0)] = table->FieldAsString(1) + "," + table->FieldAsString(2);
    }
    return states;
}

// The child's own data folder, cache file and service.
class ChildScene {
public:
    ChildScene()
    {
        dir_ = "C:\\ktest-scratch\\addons." + std::to_string(GetCurrentProcessId()) + "\\";
        SHCreateDirectoryExA(nullptr, (dir_ + "common").c_str(), nullptr);
        TProgramFolders folders = ComputeProgramFolders();
        folders.CommonDataDir = dir_ + "common\\";
        SetProgramFoldersForTests(folders);
        EXPECT_TRUE(service.Start());
        ChangeSettings([this](TSettings& s) { s.ADDON_URL = service.URL("/client.asmx"); });
    }
    ~ChildScene()
    {
        EXPECT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
        service.Stop();
        ResetProgramFoldersForTests();
        etest::RemoveFolder(dir_);
    }
    const std::string& Dir() const { return dir_; }
    void Cache(const std::string& Lines)
    {
        ASSERT_TRUE(etest::WriteBytes(dir_ + "common\\addons.xml",
                                      "<addons>\r\n" + Lines + "</addons>\r\n"));
    }

    fakeservice::TFakeService service;

private:
    std::string dir_;
};

std::string CacheLine(const std::string& Id, const char* Type)
{
    return "  <addon id=\"" + Id + "\" name=\"cached\" type=\"" + Type + "\" />\r\n";
}

int ExpectedMaximumFirefox4()
{
    return IsWin64() ? 3 : 2;
}

KTEST_CHILD_CASE(AddOnFF4, RowsAreJudgedAndSwitchedOffInEveryProfile)
{
    ASSERT_EQ(4, AddOnFirefoxMajorVersion());
    ASSERT_TRUE(EnsureFirefoxSQLite());
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(AnsiFromWide(args[0]), SQLiteLibraryName());
    ChildScene scene;
    atest::ProfilesFixture profiles;
    const std::string p1 = profiles.Profile("p1.default");
    const std::string p2 = profiles.Profile("p2.other");
    const std::string profExt = p1 + "extensions\\profblk@kv.test\\";
    SHCreateDirectoryExA(nullptr, profExt.c_str(), nullptr);
    ASSERT_TRUE(etest::WriteBytes(profExt + "install.rdf", atest::InstallRdf("Prof \xC3\x9C")));
    const std::string okFolder = p1 + "extensions\\o'k@kv.test";
    MakeDatabase(p1 + "extensions.sqlite",
                 {{"globalblk@kv.test", "app-global", 1, 0, "C:\\gone\\globalblk@kv.test"},
                  {"profblk@kv.test", "app-profile", 1, 0, profExt},
                  {"o'k@kv.test", "app-system-user", 1, 0, okFolder},
                  {"inactive@kv.test", "app-profile", 0, 1, "C:\\gone\\inactive"},
                  {"sleepy@kv.test", "app-profile", 0, 1, "C:\\gone\\sleepy"},
                  {"ok@kv.test", "app-profile", 1, 0, "C:\\gone\\ok"}});
    MakeDatabase(p2 + "extensions.sqlite",
                 {{"o'k@kv.test", "app-profile", 1, 0, "C:\\gone\\o'k"},
                  {"white@kv.test", "app-profile", 1, 0, "C:\\gone\\white"}});
    ASSERT_TRUE(etest::WriteBytes(p1 + "extensions.ini", "[ExtensionDirs]\r\n"));
    ASSERT_TRUE(etest::WriteBytes(p2 + "extensions.ini", "[ExtensionDirs]\r\n"));
    scene.Cache(CacheLine("inactive@kv.test", "B") + CacheLine("white@kv.test", "W") +
                CacheLine("ok@kv.test", "W"));
    for (const char* id : {"globalblk@kv.test", "profblk@kv.test", "o'k@kv.test"})
        scene.service.SetBlack(id, "");

    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_TRUE(scanner->SQLiteFound);
    EXPECT_EQ(ExpectedMaximumFirefox4(), scanner->Maximum);
    ASSERT_EQ(4u, scanner->Items.size());
    const auto global = FoundById(*scanner, "globalblk@kv.test");
    const auto prof = FoundById(*scanner, "profblk@kv.test");
    const auto ok = FoundById(*scanner, "o'k@kv.test");
    ASSERT_EQ(1u, global.size());
    ASSERT_EQ(1u, prof.size());
    ASSERT_EQ(2u, ok.size()) << "one per profile";
    EXPECT_EQ("app-global", RecordOf(*global[0])->Path);
    EXPECT_EQ("FFS", RecordOf(*global[0])->Source);
    EXPECT_EQ(11, GetAddOnSourceCode(RecordOf(*global[0])->Source));
    EXPECT_EQ("app-profile", RecordOf(*prof[0])->Path);
    EXPECT_EQ(L"Prof \u00dc", prof[0]->Caption) << "named by install.rdf";
    std::string macro;
    CollapsePathMacros(okFolder, false, macro);
    EXPECT_EQ(0u, macro.rfind("%APPDATA%\\", 0)) << macro;
    EXPECT_EQ(macro, RecordOf(*ok[0])->Path) << "a profile path in macro form";
    EXPECT_EQ("app-profile", RecordOf(*ok[1])->Path);
    EXPECT_TRUE(FoundById(*scanner, "inactive@kv.test").empty()) << "black but already off";
    ASSERT_NE(nullptr, RecordById(*scanner, "sleepy@kv.test"));
    EXPECT_EQ(1, RecordById(*scanner, "sleepy@kv.test")->Disabled) << "disabled = not active";
    EXPECT_EQ(0, RecordById(*scanner, "globalblk@kv.test")->Disabled);

    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    main->Clean(kCategoryBoost);
    EXPECT_EQ((std::map<std::string, std::string>{{"globalblk@kv.test", "1,0"},
                                                  {"profblk@kv.test", "1,0"},
                                                  {"o'k@kv.test", "1,0"},
                                                  {"inactive@kv.test", "1,0"},
                                                  {"sleepy@kv.test", "1,0"},
                                                  {"ok@kv.test", "0,1"}}),
              States(p1 + "extensions.sqlite"));
    EXPECT_EQ(
        (std::map<std::string, std::string>{{"o'k@kv.test", "1,0"}, {"white@kv.test", "0,1"}}),
        States(p2 + "extensions.sqlite"));
    EXPECT_FALSE(FileExistsEx(p1 + "extensions.ini"));
    EXPECT_FALSE(FileExistsEx(p2 + "extensions.ini"));
}

KTEST_CHILD_CASE(AddOnFF4Held, HeldDatabasesAreReadFromCopiesThatTheScannerDeletes)
{
    ASSERT_TRUE(EnsureFirefoxSQLite());
    ChildScene scene;
    atest::ProfilesFixture profiles;
    const std::string p1 = profiles.Profile("h1.default");
    const std::string p2 = profiles.Profile("h2.other");
    MakeDatabase(p1 + "extensions.sqlite", {{"held1@kv.test", "app-profile", 1, 0, "C:\\x"}});
    MakeDatabase(p2 + "extensions.sqlite", {{"held2@kv.test", "app-profile", 1, 0, "C:\\y"}});
    scene.Cache(CacheLine("held1@kv.test", "B") + CacheLine("held2@kv.test", "B"));

    // The first name the copy would take exists already.
    SetAddOnTempTickForTests([]() -> DWORD { return 0xABCDE; });
    const std::string taken = TempDir() + "KorvelleABCDE.tmp";
    ASSERT_TRUE(etest::WriteBytes(taken, "someone else's"));

    const std::wstring event = L"ktest-addon-held-" + std::to_wstring(GetCurrentProcessId());
    std::wstring command = L"\"" + ktest::ProgramDir() + L"ktest_sqliteholder.exe\" " + event +
                           L" \"" + WideFromAnsi(p1 + "extensions.sqlite") + L"\" \"" +
                           WideFromAnsi(p2 + "extensions.sqlite") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION holder{};
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (event + L".ready").c_str());
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &holder));
    HANDLE waits[] = {ready, holder.hProcess};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 30000)) << "holder not ready";
    {
        // What Firefox's lock does to a reader.
        TSQLiteDatabase probe(p1 + "extensions.sqlite");
        EXPECT_THROW(probe.TableExists("addon"), ESQLiteException);
    }

    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(1u, FoundById(*scanner, "held1@kv.test").size());
    EXPECT_EQ(1u, FoundById(*scanner, "held2@kv.test").size());
    ASSERT_EQ(2u, scanner->TempCopies.size());
    EXPECT_TRUE(SameText(TempDir() + "KorvelleABCDF.tmp", scanner->TempCopies[0]));
    EXPECT_TRUE(SameText(TempDir() + "KorvelleABCE0.tmp", scanner->TempCopies[1]));
    const std::vector<std::string> copies = scanner->TempCopies;
    for (const std::string& copy : copies)
        EXPECT_TRUE(FileExistsEx(copy)) << copy;
    main.reset();
    for (const std::string& copy : copies)
        EXPECT_FALSE(FileExistsEx(copy)) << "left behind: " << copy;
    EXPECT_EQ("someone else's", etest::ReadBytes(taken));

    SetEvent(done);
    WaitForSingleObject(holder.hProcess, 30000);
    CloseHandle(holder.hProcess);
    CloseHandle(holder.hThread);
    CloseHandle(ready);
    CloseHandle(done);
    DeleteFileA(taken.c_str());
    SetAddOnTempTickForTests(nullptr);
}

// extensions.rdf of one profile: one extension off, one waiting to be enabled.
const std::string kProfileRdf =
    "<?xml version=\"1.0\"?>\r\n"
    "<RDF:RDF xmlns:NS1=\"http://www.mozilla.org/2004/em-rdf#\"\r\n"
    "         xmlns:RDF=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\r\n"
    "  <RDF:Description RDF:about=\"urn:mozilla:item:p2off@kv.test\"\r\n"
    "                   NS1:name=\"Aus \xC3\xA4\"\r\n"
    "                   NS1:userDisabled=\"true\"/>\r\n"
    "  <RDF:Description RDF:about=\"urn:mozilla:item:p2ext@kv.test\"\r\n"
    "                   NS1:userDisabled=\"needs-enable\">\r\n"
    "    <NS1:name>Ext</NS1:name>\r\n"
    "  </RDF:Description>\r\n"
    "</RDF:RDF>\r\n";

KTEST_CHILD_CASE(AddOnFF36, RegisteredAndInstalledExtensionsAreFoundAndSwitchedOff)
{
    ASSERT_EQ(3, AddOnFirefoxMajorVersion());
    ChildScene scene;
    atest::ProfilesFixture profiles;
    atest::RegEntries reg;
    std::string firefox;
    GetFirefoxFolderOrDefault(firefox);
    ASSERT_FALSE(firefox.empty());

    auto extension = [](const std::string& Folder, const std::string& Name) {
        SHCreateDirectoryExA(nullptr, Folder.c_str(), nullptr);
        if (!Name.empty())
            ASSERT_TRUE(etest::WriteBytes(Folder + "\\install.rdf", atest::InstallRdf(Name)));
    };
    const std::string userExt = scene.Dir() + "reguser";
    extension(userExt, "Reg User");
    extension(scene.Dir() + "regmach", "");
    reg.String(HKEY_CURRENT_USER, kFirefoxExtensionsKey, "RegUser@KV.test", userExt, kView32);
    reg.String(HKEY_LOCAL_MACHINE, kFirefoxExtensionsKey, " regmach@kv.test ",
               scene.Dir() + "regmach", kView32);
    extension(firefox + "extensions\\progext@kv.test", "Prog Ext");
    const std::string p1 = profiles.Profile("p1.fresh");
    const std::string p2 = profiles.Profile("p2.used");
    const std::string p3 = profiles.Profile("p3.other");
    extension(p1 + "extensions\\p1ext@kv.test", "");
    extension(p2 + "extensions\\p2ext@kv.test", "P2 Ext");
    extension(p2 + "extensions\\p2off@kv.test", "P2 Off");
    ASSERT_TRUE(etest::WriteBytes(p2 + "extensions.rdf", kProfileRdf));
    ASSERT_TRUE(etest::WriteBytes(p2 + "extensions.cache", "cache"));
    const std::string otherRdf = "<RDF:RDF>\r\n  <RDF:Description RDF:about=\"urn:mozilla:item:"
                                 "else@kv.test\" NS1:userDisabled=\"false\"/>\r\n</RDF:RDF>\r\n";
    ASSERT_TRUE(etest::WriteBytes(p3 + "extensions.rdf", otherRdf));
    ASSERT_TRUE(etest::WriteBytes(profiles.Folder() + "profiles.ini", "[General]\r\n"));
    for (const char* id : {"reguser@kv.test", "regmach@kv.test", "progext@kv.test", "p2ext@kv.test",
                           "p2off@kv.test"})
        scene.service.SetBlack(id, "");

    const int scanLoads = RDFLoadCount();
    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(3, RDFLoadCount() - scanLoads) << "each profile's RDF once per scan";
    EXPECT_EQ(1u, scene.service.RequestCount()) << "the check ran";
    EXPECT_EQ(IsWin64() ? 4 : 3, scanner->Maximum);

    struct Expect {
        const char* Id;
        const char* Source;
        int Code;
        std::wstring Name;
        std::string Path;
    };
    std::string userMacro;
    CollapsePathMacros(userExt, false, userMacro);
    const Expect expected[] = {
        {"reguser@kv.test", "FFRC", 13, L"Reg User", userMacro},
        {"regmach@kv.test", "FFRH", 14, L"regmach@kv.test", ""},
        {"progext@kv.test", "FFF", 12, L"Prog Ext", "%FF_PROGRAMFILES%\\progext@kv.test"},
        {"p2ext@kv.test", "FFF", 12, L"P2 Ext", "%FF_PROFILES%\\p2ext@kv.test"},
        {"p2off@kv.test", "FFF", 12, L"P2 Off", "%FF_PROFILES%\\p2off@kv.test"},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.Id);
        const auto items = FoundById(*scanner, e.Id);
        ASSERT_EQ(1u, items.size());
        const TqvAddOnItem* record = RecordOf(*items[0]);
        EXPECT_EQ(e.Source, record->Source);
        EXPECT_EQ(e.Code, GetAddOnSourceCode(record->Source));
        EXPECT_EQ(e.Name, record->Name);
        if (!e.Path.empty())
            EXPECT_EQ(e.Path, record->Path);
        EXPECT_NE(nullptr, dynamic_cast<const TqvFirefoxAddOn*>(items[0]));
    }
    EXPECT_EQ(1, RecordById(*scanner, "p2off@kv.test")->Disabled)
        << "found off in the used profile, past the one without extensions.rdf";
    EXPECT_EQ(0, RecordById(*scanner, "p2ext@kv.test")->Disabled);
    EXPECT_TRUE(FoundById(*scanner, "p1ext@kv.test").empty()) << "named by nobody: white";
    EXPECT_EQ(5u, scanner->Items.size());

    FILETIME before{};
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(
            GetFileAttributesExA((p3 + "extensions.rdf").c_str(), GetFileExInfoStandard, &data));
        before = data.ftLastWriteTime;
    }
    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    const int repairLoads = RDFLoadCount();
    main->Clean(kCategoryBoost);
    EXPECT_EQ(3, RDFLoadCount() - repairLoads) << "each profile's RDF once per repair";
    const std::string after = etest::ReadBytes(p2 + "extensions.rdf");
    TXML xml;
    xml.LoadFromString(after);
    EXPECT_TRUE(xml.Complete()) << after;
    TRDFPartialParser parser(after);
    for (const char* id : {"p2off@kv.test", "p2ext@kv.test"}) {
        const std::string block = parser.FindItem(id);
        size_t n = 0;
        for (size_t at = block.find("NS1:userDisabled=\"true\""); at != std::string::npos;
             at = block.find("NS1:userDisabled=\"true\"", at + 1))
            ++n;
        EXPECT_EQ(1u, n) << block;
        EXPECT_EQ(std::string::npos, block.find("needs-enable")) << block;
    }
    EXPECT_FALSE(FileExistsEx(p2 + "extensions.cache"));
    EXPECT_FALSE(FileExistsEx(p1 + "extensions.rdf")) << "no file made where none was";
    EXPECT_EQ(otherRdf, etest::ReadBytes(p3 + "extensions.rdf"));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(
        GetFileAttributesExA((p3 + "extensions.rdf").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(0, CompareFileTime(&before, &data.ftLastWriteTime))
        << "an unedited RDF is not written";
    etest::RemoveFolder(firefox + "extensions");
}

KTEST_CHILD_CASE(AddOnFF4Untrusted, NoLibraryFromAFolderUsersCanWrite)
{
    ASSERT_EQ(4, AddOnFirefoxMajorVersion());
    ChildScene scene;
    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_FALSE(scanner->SQLiteFound);
    EXPECT_EQ(nullptr, SQLiteLibraryHandle());
    EXPECT_EQ(ExpectedMaximumFirefox4(), scanner->Maximum);
    ASSERT_FALSE(args.empty());
    const std::string planted = AnsiFromWide(args[0]);
    EXPECT_EQ(nullptr, GetModuleHandleA(planted.c_str())) << "loaded: " << planted;
    EXPECT_EQ("", GetFirefoxFolder());
}

// ---------------------------------------------------------------------------
// Parent side: Firefox installed under the 32-bit Program Files folder.

class AddOnFirefox : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(ktest::MozillaKeyExists(KEY_WOW64_32KEY));
        folder_ = folders_.Make(ProgramFiles32Dir() + "Mozilla Firefox");
        ASSERT_FALSE(folder_.empty());
        ASSERT_TRUE(ktest::CopyBesideProgram(L"ktest_firefox.exe", folder_ + "firefox.exe"));
    }
    void TearDown() override
    {
        ktest::DeleteMozillaKey(KEY_WOW64_32KEY);
        if (IsWin64())
            ktest::DeleteMozillaKey(KEY_WOW64_64KEY);
        folders_.RemoveAll();
    }
    void Library(const std::string& Name)
    {
        ASSERT_TRUE(ktest::CopyBesideProgram(L"sqlite3.dll", folder_ + Name));
    }
    void Keys(const std::string& Current, const std::string& KeyVersion, const std::string& Exe)
    {
        ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, Current, KeyVersion, Exe));
    }

    ktest::FixtureFolders folders_;
    std::string folder_;
};

TEST_F(AddOnFirefox, Firefox4WithMozSqlite)
{
    Library("mozsqlite3.dll");
    Keys("4.0 (x86 en-US)", "4.0", folder_ + "firefox.exe");
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF4", "*", {L"mozsqlite3.dll"}, kChildTimeoutMs));
}

TEST_F(AddOnFirefox, Firefox4WithPlainSqlite)
{
    Library("sqlite3.dll");
    Keys("4.0 (x86 en-US)", "4.0", folder_ + "firefox.exe");
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF4", "*", {L"sqlite3.dll"}, kChildTimeoutMs));
}

TEST_F(AddOnFirefox, Firefox4HoldingItsDatabases)
{
    Library("mozsqlite3.dll");
    Keys("4.0 (x86 en-US)", "4.0", folder_ + "firefox.exe");
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF4Held", "*", {}, kChildTimeoutMs));
}

TEST_F(AddOnFirefox, Firefox36)
{
    Keys("3.6.13 (en-US)", "3.6.13", folder_ + "firefox.exe");
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF36", "*", {}, kChildTimeoutMs));
}

TEST_F(AddOnFirefox, Firefox4InTheUsersProfileLoadsNothing)
{
    const std::string planted = folders_.Make(UserProfileDir() + "KvFirefox");
    ASSERT_FALSE(planted.empty());
    ASSERT_TRUE(ktest::CopyBesideProgram(L"ktest_firefox.exe", planted + "firefox.exe"));
    ASSERT_TRUE(ktest::CopyBesideProgram(L"sqlite3.dll", planted + "sqlite3.dll"));
    Keys("4.0 (x86 en-US)", "4.0", planted + "firefox.exe");
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF4Untrusted", "*",
                                     {WideFromAnsi(planted + "sqlite3.dll")}, kChildTimeoutMs));
}

TEST_F(AddOnFirefox, Firefox4RunningFromAScratchFolderLoadsNothing)
{
    const std::string planted = folders_.Make("C:\\ktest-addon-ffrun");
    ASSERT_FALSE(planted.empty());
    ASSERT_TRUE(ktest::CopyBesideProgram(L"ktest_firefox.exe", planted + "firefox.exe"));
    ASSERT_TRUE(ktest::CopyBesideProgram(L"sqlite3.dll", planted + "sqlite3.dll"));
    // The version alone, no program path: only the running process names a folder.
    Keys("4.0 (x86 en-US)", "4.0", "");
    std::wstring command = L"\"" + WideFromAnsi(planted) + L"firefox.exe\" 30";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION firefox{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &firefox));
    EXPECT_NE(kNoProcess, FindProcessInSession("firefox.exe", kConsoleSession))
        << "the dummy shows in the process list";
    EXPECT_TRUE(ktest::RunChildCases("AddOnFF4Untrusted", "*",
                                     {WideFromAnsi(planted + "sqlite3.dll")}, kChildTimeoutMs));
    TerminateProcess(firefox.hProcess, 0);
    WaitForSingleObject(firefox.hProcess, 10000);
    CloseHandle(firefox.hProcess);
    CloseHandle(firefox.hThread);
}

} // namespace
