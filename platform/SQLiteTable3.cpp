#include "platform/SQLiteTable3.h"

#include "platform/FirefoxU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <windows.h>

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>

struct TSQLiteConnection;
struct TSQLiteStatement;

namespace {

// Result codes and flags of the SQLite C interface.
constexpr int kSQLiteOk = 0;
constexpr int kSQLiteBusy = 5;
constexpr int kSQLiteRow = 100;
constexpr int kSQLiteDone = 101;
constexpr int kSQLiteOpenReadWrite = 0x00000002;

constexpr int kStorageInteger = 1;
constexpr int kStorageFloat = 2;
constexpr int kStorageText = 3;
constexpr int kStorageBlob = 4;
constexpr int kStorageNull = 5;

// The library's functions; all use the C calling convention.
struct TSQLiteApi {
    int(__cdecl* open_v2)(const char*, TSQLiteConnection**, int, const char*) = nullptr;
    int(__cdecl* close)(TSQLiteConnection*) = nullptr;
    int(__cdecl* prepare_v2)(TSQLiteConnection*, const char*, int, TSQLiteStatement**,
                             const char**) = nullptr;
    int(__cdecl* step)(TSQLiteStatement*) = nullptr;
    int(__cdecl* finalize)(TSQLiteStatement*) = nullptr;
    int(__cdecl* column_count)(TSQLiteStatement*) = nullptr;
    const char*(__cdecl* column_name)(TSQLiteStatement*, int) = nullptr;
    const char*(__cdecl* column_decltype)(TSQLiteStatement*, int) = nullptr;
    int(__cdecl* column_type)(TSQLiteStatement*, int) = nullptr;
    long long(__cdecl* column_int64)(TSQLiteStatement*, int) = nullptr;
    double(__cdecl* column_double)(TSQLiteStatement*, int) = nullptr;
    const unsigned char*(__cdecl* column_text)(TSQLiteStatement*, int) = nullptr;
    const void*(__cdecl* column_blob)(TSQLiteStatement*, int) = nullptr;
    int(__cdecl* column_bytes)(TSQLiteStatement*, int) = nullptr;
    const char*(__cdecl* errmsg)(TSQLiteConnection*) = nullptr;
    int(__cdecl* errcode)(TSQLiteConnection*) = nullptr;
    // Optional: older Firefox builds lack it.
    const char*(__cdecl* errstr)(int) = nullptr;
};

template <typename F> void Bind(HMODULE Module, const char* Name, F& Slot, bool Required)
{
    Slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(Module, Name)));
    if (!Slot && Required)
        throw ESQLiteException(std::string("Function not found: ") + Name);
}

// Bound once from the module that LoadFirefoxSQLite loaded; that handle is set
// once per process and never freed, so the table stays valid.
const TSQLiteApi& Api()
{
    static std::mutex lock;
    static TSQLiteApi api;
    static HMODULE boundFor = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    HMODULE module = SQLiteLibraryHandle();
    if (!module) {
        std::string name = SQLiteLibraryName();
        throw ESQLiteException("Library not found: " + (name.empty() ? "sqlite3.dll" : name));
    }
    if (module == boundFor)
        return api;
    TSQLiteApi fresh;
    Bind(module, "sqlite3_open_v2", fresh.open_v2, true);
    Bind(module, "sqlite3_close", fresh.close, true);
    Bind(module, "sqlite3_prepare_v2", fresh.prepare_v2, true);
    Bind(module, "sqlite3_step", fresh.step, true);
    Bind(module, "sqlite3_finalize", fresh.finalize, true);
    Bind(module, "sqlite3_column_count", fresh.column_count, true);
    Bind(module, "sqlite3_column_name", fresh.column_name, true);
    Bind(module, "sqlite3_column_decltype", fresh.column_decltype, true);
    Bind(module, "sqlite3_column_type", fresh.column_type, true);
    Bind(module, "sqlite3_column_int64", fresh.column_int64, true);
    Bind(module, "sqlite3_column_double", fresh.column_double, true);
    Bind(module, "sqlite3_column_text", fresh.column_text, true);
    Bind(module, "sqlite3_column_blob", fresh.column_blob, true);
    Bind(module, "sqlite3_column_bytes", fresh.column_bytes, true);
    Bind(module, "sqlite3_errmsg", fresh.errmsg, true);
    Bind(module, "sqlite3_errcode", fresh.errcode, true);
    Bind(module, "sqlite3_errstr", fresh.errstr, false);
    api = fresh;
    boundFor = module;
    return api;
}

// One prepared statement, finalized however the scope is left: a statement
// left open makes sqlite3_close answer "busy" and keeps Firefox's file locked.
class TStatement {
public:
    TStatement(const TSQLiteApi& Api) noexcept : api_(Api) {}
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    ~TStatement() { Finalize(); }
    TSQLiteStatement** put() noexcept
    {
        Finalize();
        return &stmt_;
    }
    TSQLiteStatement* get() const noexcept { return stmt_; }
    void Finalize() noexcept
    {
        if (stmt_)
            api_.finalize(stmt_);
        stmt_ = nullptr;
    }

private:
    const TSQLiteApi& api_;
    TSQLiteStatement* stmt_ = nullptr;
};

TSQLiteType TypeOfDeclared(const char* Declared, int FirstRowStorage)
{
    if (!Declared)
        return static_cast<TSQLiteType>(FirstRowStorage);
    // Compared for equality: "INT", "BIGINT" and "VARCHAR(20)" are text.
    std::string type = AsciiUpperCase(Declared);
    if (type == "INTEGER" || type == "BOOLEAN")
        return TSQLiteType::Integer;
    if (type == "NUMERIC" || type == "FLOAT" || type == "DOUBLE" || type == "REAL")
        return TSQLiteType::Float;
    if (type == "BLOB")
        return TSQLiteType::Blob;
    return TSQLiteType::Text;
}

struct TCodeText {
    int code;
    const char* text;
};
constexpr std::array<TCodeText, 28> kCodeTexts = {{
    {0, "not an error"},
    {1, "SQL logic error"},
    {3, "access permission denied"},
    {4, "query aborted"},
    {5, "database is locked"},
    {6, "database table is locked"},
    {7, "out of memory"},
    {8, "attempt to write a readonly database"},
    {9, "interrupted"},
    {10, "disk I/O error"},
    {11, "database disk image is malformed"},
    {12, "unknown operation"},
    {13, "database or disk is full"},
    {14, "unable to open database file"},
    {15, "locking protocol"},
    {17, "database schema has changed"},
    {18, "string or blob too big"},
    {19, "constraint failed"},
    {20, "datatype mismatch"},
    {21, "bad parameter or other API misuse"},
    {23, "authorization denied"},
    {25, "column index out of range"},
    {26, "file is not a database"},
    {27, "notification message"},
    {28, "warning message"},
    {100, "another row available"},
    {101, "no more rows available"},
    {-1, "unknown error"},
}};

} // namespace

std::string QuotedLiteral(std::string_view Text)
{
    std::string out;
    for (char c : Text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

const char* SQLiteResultCodeText(int Code) noexcept
{
    // Extended codes carry their primary code in the low byte.
    int primary = Code == kSQLiteRow || Code == kSQLiteDone ? Code : (Code & 0xFF);
    for (const TCodeText& entry : kCodeTexts)
        if (entry.code == primary)
            return entry.text;
    return kCodeTexts.back().text;
}

// ---------------------------------------------------------------------------
// TSQLiteDatabase

TSQLiteDatabase::TSQLiteDatabase(const std::string& FileName)
{
    const TSQLiteApi& api = Api();
    // The library wants UTF-8; the engine's paths are in the system code page.
    std::string nameUtf8 = Utf8FromWide(WideFromAnsi(FileName));
    // Never create: a missing database is a failure, not a new empty file.
    int rc = api.open_v2(nameUtf8.c_str(), &db_, kSQLiteOpenReadWrite, nullptr);
    if (rc != kSQLiteOk) {
        const char* message = db_ ? api.errmsg(db_) : nullptr;
        std::string text = "Failed to open database \"" + FileName +
                           "\" : " + (message && *message ? message : "unknown error");
        // Even a failed open hands back a connection that must be closed.
        if (db_)
            api.close(db_);
        db_ = nullptr;
        throw ESQLiteException(text);
    }
}

TSQLiteDatabase::~TSQLiteDatabase()
{
    try {
        if (db_)
            Api().close(db_);
    } catch (...) {
    }
}

std::string TSQLiteDatabase::ErrorText(std::string_view Message, std::string_view SQL) const
{
    const TSQLiteApi& api = Api();
    int code = api.errcode(db_);
    if (code == kSQLiteOk)
        return std::string(Message);
    const char* codeText = api.errstr ? api.errstr(code) : SQLiteResultCodeText(code);
    const char* message = api.errmsg(db_);
    std::string text(Message);
    text.append(".\rError [").append(IntToStr(code)).append("]: ");
    text.append(codeText ? codeText : "").append(".\r\"").append(SQL).append("\": ");
    text.append(message ? message : "");
    return text;
}

void TSQLiteDatabase::ExecSQL(const std::string& SQL)
{
    const TSQLiteApi& api = Api();
    TStatement stmt(api);
    const char* tail = nullptr;
    if (api.prepare_v2(db_, SQL.c_str(), -1, stmt.put(), &tail) != kSQLiteOk)
        throw ESQLiteException(ErrorText("Error executing SQL", SQL));
    if (!stmt.get())
        throw ESQLiteException(ErrorText("Could not prepare SQL statement", SQL));
    if (api.step(stmt.get()) != kSQLiteDone)
        throw ESQLiteException(ErrorText("Error executing SQL statement", SQL));
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::GetTable(const std::string& SQL)
{
    return std::make_unique<TSQLiteTable>(*this, SQL);
}

bool TSQLiteDatabase::TableExists(const std::string& TableName)
{
    std::string sql = "select [sql] from sqlite_master where [type] = 'table' and lower(name) = '" +
                      QuotedLiteral(AsciiLowerCase(TableName)) + "' ";
    return GetTable(sql)->GetCount() > 0;
}

// ---------------------------------------------------------------------------
// TSQLiteTable

TSQLiteTable::TSQLiteTable(TSQLiteDatabase& DB, const std::string& SQL)
{
    const TSQLiteApi& api = Api();
    TSQLiteConnection* db = DB.Handle();
    TStatement stmt(api);
    const char* tail = nullptr;
    if (api.prepare_v2(db, SQL.c_str(), -1, stmt.put(), &tail) != kSQLiteOk || !stmt.get())
        throw ESQLiteException(DB.ErrorText("Could not prepare SQL statement", SQL));

    int columns = api.column_count(stmt.get());
    names_.reserve(columns);
    for (int i = 0; i < columns; ++i) {
        const char* name = api.column_name(stmt.get(), i);
        names_.push_back(AsciiUpperCase(name ? name : ""));
    }

    int rc = api.step(stmt.get());
    types_.reserve(columns);
    for (int i = 0; i < columns; ++i) {
        int firstRow = rc == kSQLiteRow ? api.column_type(stmt.get(), i) : kStorageNull;
        types_.push_back(TypeOfDeclared(api.column_decltype(stmt.get(), i), firstRow));
    }

    for (; rc == kSQLiteRow; rc = api.step(stmt.get())) {
        for (int i = 0; i < columns; ++i) {
            TCell cell;
            if (api.column_type(stmt.get(), i) != kStorageNull) {
                switch (types_[i]) {
                case TSQLiteType::Integer:
                    cell = static_cast<int64_t>(api.column_int64(stmt.get(), i));
                    break;
                case TSQLiteType::Float:
                    cell = api.column_double(stmt.get(), i);
                    break;
                case TSQLiteType::Text: {
                    // The pointer first, then its length, as the library asks.
                    const unsigned char* text = api.column_text(stmt.get(), i);
                    int bytes = api.column_bytes(stmt.get(), i);
                    cell = text ? std::string(reinterpret_cast<const char*>(text), bytes)
                                : std::string();
                    break;
                }
                case TSQLiteType::Blob: {
                    const void* blob = api.column_blob(stmt.get(), i);
                    int bytes = api.column_bytes(stmt.get(), i);
                    auto stream = std::make_unique<TMemoryStream>();
                    if (blob && bytes > 0)
                        stream->WriteBuffer(blob, bytes);
                    stream->Seek(0, TSeekOrigin::Begin);
                    cell = std::move(stream);
                    break;
                }
                case TSQLiteType::Null:
                    break;
                }
            }
            cells_.push_back(std::move(cell));
        }
        ++rowCount_;
    }
    if (rc == kSQLiteBusy)
        throw ESQLiteException(DB.ErrorText("SQLite is Busy", SQL));
    if (rc != kSQLiteDone)
        throw ESQLiteException(DB.ErrorText("Could not retrieve data", SQL));
}

const std::string& TSQLiteTable::ColumnName(int Index) const
{
    if (Index < 0 || Index >= ColumnCount())
        throw ESQLiteException("Field index out of range: " + IntToStr(Index));
    return names_[Index];
}

TSQLiteType TSQLiteTable::ColumnType(int Index) const
{
    if (Index < 0 || Index >= ColumnCount())
        throw ESQLiteException("Field index out of range: " + IntToStr(Index));
    return types_[Index];
}

const TSQLiteTable::TCell& TSQLiteTable::Cell(int Index) const
{
    if (Eof())
        throw ESQLiteException("Table is at End of File");
    if (Index < 0 || Index >= ColumnCount())
        throw ESQLiteException("Field index out of range: " + IntToStr(Index));
    return cells_[static_cast<size_t>(row_) * names_.size() + Index];
}

int TSQLiteTable::FieldIndex(const std::string& FieldName) const
{
    if (names_.empty())
        throw ESQLiteException("Field " + FieldName + " Not found. Empty dataset");
    std::string wanted = AsciiUpperCase(FieldName);
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == wanted)
            return static_cast<int>(i);
    throw ESQLiteException("Field not found in dataset: " + FieldName);
}

int64_t TSQLiteTable::FieldAsInteger(int Index) const
{
    const TCell& cell = Cell(Index);
    if (std::holds_alternative<std::monostate>(cell))
        return 0;
    if (const int64_t* value = std::get_if<int64_t>(&cell))
        return *value;
    if (const double* value = std::get_if<double>(&cell)) {
        // Truncated toward zero; values beyond the 64-bit range saturate.
        double truncated = std::trunc(*value);
        if (std::isnan(truncated))
            return 0;
        if (truncated >= 9223372036854775808.0)
            return std::numeric_limits<int64_t>::max();
        if (truncated < -9223372036854775808.0)
            return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(truncated);
    }
    throw ESQLiteException("Not an integer or numeric field");
}

std::string TSQLiteTable::FieldAsString(int Index) const
{
    const TCell& cell = Cell(Index);
    if (const int64_t* value = std::get_if<int64_t>(&cell))
        return IntToStr(*value);
    if (const double* value = std::get_if<double>(&cell)) {
        // Shortest text that reads back exactly, with "." whatever the locale.
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), *value);
        return ec == std::errc() ? std::string(buf, end) : std::string();
    }
    if (const std::string* value = std::get_if<std::string>(&cell))
        return *value;
    if (const auto* blob = std::get_if<std::unique_ptr<TMemoryStream>>(&cell)) {
        TMemoryStream& stream = **blob;
        std::string_view bytes(stream.Memory(), static_cast<size_t>(stream.GetSize()));
        return std::string(bytes.substr(0, bytes.find('\0')));
    }
    return {};
}

bool TSQLiteTable::MoveTo(int Row) noexcept
{
    if (Row < 0 || Row >= rowCount_)
        return false;
    row_ = Row;
    return true;
}
