#include "ChildCases.h"
#include "FirefoxFixture.h"
#include "KorvTest.h"

#include "platform/FirefoxU.h"
#include "platform/SQLiteTable3.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Helpers of the child cases

// The test library, loaded the way the product loads it: from a Program Files
// folder given by the parent.
void LoadTestLibrary(const std::vector<std::wstring>& args)
{
    ASSERT_EQ(1u, args.size());
    std::string name;
    LoadFirefoxSQLite(AnsiFromWide(args[0]), name);
    ASSERT_EQ("sqlite3.dll", name);
}

// Direct calls into the loaded library, for expected texts built at run time.
template <typename F> F Direct(const char* name)
{
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(SQLiteLibraryHandle(), name)));
}

std::string ErrStr(int code)
{
    auto fn = Direct<const char*(__cdecl*)(int)>("sqlite3_errstr");
    return fn ? fn(code) : "";
}

// The library's own message for a statement that fails to prepare.
std::string PrepareMessage(const std::string& path, const std::string& sql)
{
    using Open = int(__cdecl*)(const char*, void**, int, const char*);
    using Prepare = int(__cdecl*)(void*, const char*, int, void**, const char**);
    using Close = int(__cdecl*)(void*);
    using ErrMsg = const char*(__cdecl*)(void*);
    void* db = nullptr;
    std::string message;
    if (Direct<Open>("sqlite3_open_v2")(Utf8FromWide(WideFromAnsi(path)).c_str(), &db, 2,
                                        nullptr) == 0) {
        void* stmt = nullptr;
        Direct<Prepare>("sqlite3_prepare_v2")(db, sql.c_str(), -1, &stmt, nullptr);
        message = Direct<ErrMsg>("sqlite3_errmsg")(db);
    }
    Direct<Close>("sqlite3_close")(db);
    return message;
}

// A scratch folder of the child, removed with its contents at the end.
class ChildScratch {
public:
    ChildScratch()
    {
        static std::atomic<int> counter{0};
        CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
        dir_ = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L".sqlite." +
               std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(dir_.c_str(), nullptr);
    }
    ~ChildScratch() { EXPECT_TRUE(ktest::RemoveTree(dir_)) << "scratch folder left behind"; }
    // An empty file, which SQLite takes as an empty database; its ANSI path.
    std::string EmptyDatabase(const std::wstring& name)
    {
        std::wstring path = dir_ + name;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
        return AnsiFromWide(path);
    }
    std::wstring dir_;
};

std::string Raised(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const ESQLiteException& e) {
        return e.what();
    }
    return "(nothing raised)";
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The add-on table of Firefox's database, as the add-on scanner reads it.
void MakeAddonTable(TSQLiteDatabase& db)
{
    db.ExecSQL("CREATE TABLE addon (internal_id INTEGER PRIMARY KEY, id TEXT, active INTEGER, "
               "userDisabled INTEGER, location TEXT, descriptor TEXT)");
    db.ExecSQL("INSERT INTO addon (id, active, userDisabled, location, descriptor) VALUES "
               "('a''b', 1, 0, 'app-profile', 'C:\\x'), ('other@x', 1, 0, 'app-global', NULL)");
}

// ---------------------------------------------------------------------------
// The wrapper against the test library

KTEST_CHILD_CASE(SQLiteWrapper, ColumnTypesFromDeclaredTypes)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    TSQLiteDatabase db(scratch.EmptyDatabase(L"types.sqlite"));
    db.ExecSQL("CREATE TABLE t (a INTEGER, b boolean, c NUMERIC, d FLOAT, e DOUBLE, f REAL, "
               "g BLOB, h TEXT, i INT, j VARCHAR(20))");
    db.ExecSQL("INSERT INTO t VALUES (1, 1, 1.5, 1.5, 1.5, 1.5, x'00', 'x', 5, 'v')");
    auto table = db.GetTable("SELECT a, b, c, d, e, f, g, h, i, j, a + 1 AS k, 'x' || h AS l, "
                             "a * 0.5 AS m, x'01' AS n FROM t");
    const int expected[] = {1, 1, 2, 2, 2, 2, 4, 3, 3, 3, 1, 3, 2, 4};
    ASSERT_EQ(static_cast<int>(std::size(expected)), table->ColumnCount());
    for (int i = 0; i < table->ColumnCount(); ++i)
        EXPECT_EQ(expected[i], static_cast<int>(table->ColumnType(i))) << table->ColumnName(i);
    EXPECT_EQ("A", table->ColumnName(0));
    EXPECT_EQ("J", table->ColumnName(9));
    // "INT" is not "INTEGER": its column is text.
    EXPECT_EQ("5", table->FieldAsString(table->FieldIndex("i")));
    EXPECT_EQ("Not an integer or numeric field",
              Raised([&] { table->FieldAsInteger(table->FieldIndex("i")); }));
    EXPECT_EQ(2, table->FieldAsInteger(table->FieldIndex("k")));
}

KTEST_CHILD_CASE(SQLiteWrapper, ValuesByColumnType)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    TSQLiteDatabase db(scratch.EmptyDatabase(L"values.sqlite"));
    db.ExecSQL("CREATE TABLE v (i INTEGER, f REAL, t TEXT, b BLOB, n INTEGER)");
    db.ExecSQL("INSERT INTO v VALUES (9223372036854775807, 2.75, 'text', x'41004200', NULL)");
    db.ExecSQL("INSERT INTO v VALUES (-9223372036854775808, -2.75, '', x'', NULL)");
    db.ExecSQL("INSERT INTO v VALUES (NULL, 0.1, NULL, NULL, 1)");
    auto table = db.GetTable("SELECT i, f, t, b, n FROM v ORDER BY rowid");
    ASSERT_EQ(3, table->GetCount());

    EXPECT_EQ(INT64_MAX, table->FieldAsInteger(0));
    EXPECT_EQ("9223372036854775807", table->FieldAsString(0));
    EXPECT_EQ(2, table->FieldAsInteger(1));
    EXPECT_EQ("2.75", table->FieldAsString(1));
    EXPECT_EQ("text", table->FieldAsString(2));
    EXPECT_EQ("Not an integer or numeric field", Raised([&] { table->FieldAsInteger(2); }));
    EXPECT_EQ("A", table->FieldAsString(3)) << "a blob reads up to its first NUL";
    EXPECT_EQ("Not an integer or numeric field", Raised([&] { table->FieldAsInteger(3); }));
    EXPECT_EQ(0, table->FieldAsInteger(4));
    EXPECT_EQ("", table->FieldAsString(4));

    ASSERT_TRUE(table->MoveTo(1));
    EXPECT_EQ(INT64_MIN, table->FieldAsInteger(0));
    EXPECT_EQ(-2, table->FieldAsInteger(1));
    EXPECT_EQ("-2.75", table->FieldAsString(1));
    EXPECT_EQ("", table->FieldAsString(2));
    // An empty text is a value, not NULL: it is no number.
    EXPECT_EQ("Not an integer or numeric field", Raised([&] { table->FieldAsInteger(2); }));
    EXPECT_EQ("", table->FieldAsString(3));

    ASSERT_TRUE(table->MoveTo(2));
    EXPECT_EQ(0, table->FieldAsInteger(0));
    EXPECT_EQ("", table->FieldAsString(0));
    EXPECT_EQ("0.1", table->FieldAsString(1)) << "the shortest exact text";
    // NULL in a text column is an absent cell: 0, where '' raised.
    EXPECT_EQ(0, table->FieldAsInteger(2));
    EXPECT_EQ("", table->FieldAsString(3));

    // The decimal point does not follow the C library's locale.
    ASSERT_TRUE(table->MoveTo(0));
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_ALL, "German_Germany.1252") && !std::setlocale(LC_ALL, "de-DE"))
        GTEST_SKIP() << "no German locale in the C library";
    char probe[16];
    std::snprintf(probe, sizeof(probe), "%.2f", 2.75);
    EXPECT_STREQ("2,75", probe) << "the locale is in force";
    EXPECT_EQ("2.75", table->FieldAsString(1));
    std::setlocale(LC_ALL, saved.c_str());
}

KTEST_CHILD_CASE(SQLiteWrapper, FieldIndexAndRows)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    TSQLiteDatabase db(scratch.EmptyDatabase(L"rows.sqlite"));
    MakeAddonTable(db);

    auto table = db.GetTable("SELECT id, active FROM addon ORDER BY internal_id");
    EXPECT_EQ(0, table->FieldIndex("id"));
    EXPECT_EQ(0, table->FieldIndex("ID"));
    EXPECT_EQ(1, table->FieldIndex("Active"));
    EXPECT_EQ("Field not found in dataset: nope", Raised([&] { table->FieldIndex("nope"); }));
    ASSERT_EQ(2, table->GetCount());
    EXPECT_EQ(0, table->Row());
    EXPECT_EQ("a'b", table->FieldAsString(0));
    EXPECT_TRUE(table->MoveTo(1));
    EXPECT_EQ("other@x", table->FieldAsString(0));
    EXPECT_FALSE(table->MoveTo(2));
    EXPECT_FALSE(table->MoveTo(-1));
    EXPECT_EQ(1, table->Row()) << "a refused move keeps the row";
    EXPECT_TRUE(table->MoveTo(0));
    // Column indexes outside the table raise rather than read elsewhere.
    for (int bad : {-1, 2, 1000}) {
        EXPECT_TRUE(StartsWith(Raised([&] { table->FieldAsString(bad); }), "Field index")) << bad;
        EXPECT_TRUE(StartsWith(Raised([&] { table->FieldAsInteger(bad); }), "Field index")) << bad;
    }

    auto none = db.GetTable("SELECT id FROM addon WHERE 0");
    EXPECT_EQ(0, none->GetCount());
    EXPECT_EQ(1, none->ColumnCount());
    EXPECT_EQ("Table is at End of File", Raised([&] { none->FieldAsString(0); }));
    EXPECT_EQ("Table is at End of File", Raised([&] { none->FieldAsInteger(0); }));
    EXPECT_FALSE(none->MoveTo(-1));
    EXPECT_FALSE(none->MoveTo(0));
    EXPECT_EQ(0, none->Row());

    auto noColumns = db.GetTable("CREATE TABLE later (x)");
    EXPECT_EQ(0, noColumns->ColumnCount());
    EXPECT_EQ("Field x Not found. Empty dataset", Raised([&] { noColumns->FieldIndex("x"); }));
}

KTEST_CHILD_CASE(SQLiteWrapper, TableExistsAndLifetime)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    std::string path = scratch.EmptyDatabase(L"addons.sqlite");
    std::unique_ptr<TSQLiteTable> kept;
    {
        TSQLiteDatabase db(path);
        MakeAddonTable(db);
        EXPECT_TRUE(db.TableExists("ADDON"));
        EXPECT_TRUE(db.TableExists("addon"));
        EXPECT_FALSE(db.TableExists("nosuch"));
        EXPECT_FALSE(db.TableExists("a'b")) << "a quote in the name is no SQL error";
        EXPECT_EQ(0, db.Params().Count());
        kept = db.GetTable("SELECT id, descriptor FROM addon ORDER BY internal_id");

        db.ExecSQL("UPDATE addon SET userDisabled = 1, active = 0  WHERE id = 'a''b'");
        auto row = db.GetTable("SELECT userDisabled, active FROM addon WHERE id = 'a''b'");
        ASSERT_EQ(1, row->GetCount());
        EXPECT_EQ(1, row->FieldAsInteger(0));
        EXPECT_EQ(0, row->FieldAsInteger(1));
        // A failing statement is finalized too, or the close below would fail.
        EXPECT_TRUE(
            StartsWith(Raised([&] { db.ExecSQL("SELECT 1"); }), "Error executing SQL statement"));
    }
    // The table is a copy; the database is closed and its file free.
    ASSERT_EQ(2, kept->GetCount());
    EXPECT_EQ("a'b", kept->FieldAsString(0));
    EXPECT_EQ("C:\\x", kept->FieldAsString(1));
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "the database file is still open";
}

KTEST_CHILD_CASE(SQLiteWrapper, ErrorTexts)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    std::string path = scratch.EmptyDatabase(L"errors.sqlite");
    TSQLiteDatabase db(path);

    EXPECT_EQ("Could not prepare SQL statement", Raised([&] { db.ExecSQL(""); }));
    std::string expected = "Error executing SQL.\rError [1]: " + ErrStr(1) +
                           ".\r\"SELEC 1\": " + PrepareMessage(path, "SELEC 1");
    EXPECT_EQ(expected, Raised([&] { db.ExecSQL("SELEC 1"); }));
    EXPECT_TRUE(
        StartsWith(Raised([&] { db.ExecSQL("SELECT 1"); }), "Error executing SQL statement"));
    std::string prepare = Raised([&] { db.GetTable("SELECT * FROM nosuch"); });
    EXPECT_TRUE(StartsWith(prepare, "Could not prepare SQL statement.\rError [1]: ")) << prepare;
    EXPECT_NE(std::string::npos, prepare.find("\r\"SELECT * FROM nosuch\": ")) << prepare;

    // A second connection holds the database after the first read its schema.
    MakeAddonTable(db);
    ASSERT_TRUE(db.TableExists("addon"));
    {
        TSQLiteDatabase other(path);
        other.ExecSQL("BEGIN EXCLUSIVE");
        std::string busy = Raised([&] { db.GetTable("SELECT id FROM addon"); });
        EXPECT_TRUE(StartsWith(busy, "SQLite is Busy")) << busy;
        other.ExecSQL("COMMIT");
    }
    EXPECT_EQ(2, db.GetTable("SELECT id FROM addon")->GetCount());
}

KTEST_CHILD_CASE(SQLiteWrapper, OpeningFiles)
{
    LoadTestLibrary(args);
    ChildScratch scratch;
    std::string missing = AnsiFromWide(scratch.dir_) + "missing.sqlite";
    EXPECT_EQ("Failed to open database \"" + missing + "\" : " + ErrStr(14),
              Raised([&] { TSQLiteDatabase db(missing); }));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(missing.c_str())) << "no file made";

    // A folder name outside ASCII, given in the system code page.
    std::wstring folder = scratch.dir_ + L"\u00dcbung";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::string path = scratch.EmptyDatabase(L"\u00dcbung\\profile.sqlite");
    TSQLiteDatabase db(path);
    MakeAddonTable(db);
    EXPECT_TRUE(db.TableExists("addon"));
}

KTEST_CHILD_CASE(SQLiteWrapper, FallbackCodeTextsMatchTheLibrary)
{
    LoadTestLibrary(args);
    for (int code = 0; code <= 28; ++code)
        EXPECT_EQ(ErrStr(code), SQLiteResultCodeText(code)) << code;
    for (int code : {100, 101, 0x10A, 1000})
        EXPECT_EQ(ErrStr(code), SQLiteResultCodeText(code)) << code;
}

class SQLiteLibraryTest : public ::testing::Test {
protected:
    void TearDown() override { folders_.RemoveAll(); }
    std::string LibraryFolder(const wchar_t* besideName, const char* asName)
    {
        std::string dir = folders_.Make(ProgramFiles32Dir() + "Korvelle.Test.SQLite." +
                                        std::to_string(GetCurrentProcessId()) + "\\");
        EXPECT_FALSE(dir.empty());
        EXPECT_TRUE(ktest::CopyBesideProgram(besideName, dir + asName));
        return dir;
    }
    ktest::FixtureFolders folders_;
};

TEST_F(SQLiteLibraryTest, WrapperAgainstTheTestLibrary)
{
    std::string dir = LibraryFolder(L"sqlite3.dll", "sqlite3.dll");
    EXPECT_TRUE(ktest::RunChildCases("SQLiteWrapper", "*", {WideFromAnsi(dir)}, 300000));
}

// ---------------------------------------------------------------------------
// Binding

KTEST_CHILD_CASE(SQLiteBinding, NoLibraryLoaded)
{
    ASSERT_NE(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW((ktest::ProgramDir() + L"sqlite3.dll").c_str()))
        << "the test library lies beside the program";
    EXPECT_EQ("Library not found: sqlite3.dll",
              Raised([] { TSQLiteDatabase db("C:\\nowhere.sqlite"); }));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"sqlite3.dll")) << "no load by bare name";
}

KTEST_CHILD_CASE(SQLiteBinding, FunctionMissing)
{
    ASSERT_EQ(1u, args.size());
    std::string name;
    LoadFirefoxSQLite(AnsiFromWide(args[0]), name);
    ASSERT_EQ("mozsqlite3.dll", name);
    EXPECT_EQ("Function not found: sqlite3_open_v2",
              Raised([] { TSQLiteDatabase db("C:\\nowhere.sqlite"); }));
}

TEST_F(SQLiteLibraryTest, BindingErrors)
{
    EXPECT_TRUE(ktest::RunChildCases("SQLiteBinding", "NoLibraryLoaded", {}));
    std::string dir = LibraryFolder(L"ktest_mozutils.dll", "mozsqlite3.dll");
    EXPECT_TRUE(ktest::RunChildCases("SQLiteBinding", "FunctionMissing", {WideFromAnsi(dir)}));
}

} // namespace
