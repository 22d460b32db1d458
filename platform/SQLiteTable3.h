#pragma once
// A thin object layer over the SQLite library that Firefox ships, for reading
// Firefox's add-on database and switching add-ons off in it.
//
// The library is the one LoadFirefoxSQLite loaded (by full path, from
// Firefox's folder); its functions are bound from that module handle at the
// first use, never through a fresh load by bare name, which would search the
// program's own folder first. Every failure raises ESQLiteException.

#include "platform/ClassesU.h"
#include "platform/StringListU.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class ESQLiteException : public std::exception {
public:
    explicit ESQLiteException(std::string Message) : message_(std::move(Message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Column types of a table, by the column's declared type.
enum class TSQLiteType : int { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };

struct TSQLiteConnection; // the library's connection object
class TSQLiteTable;

// One open database file. Not copyable; destroying it closes the connection.
// Every statement it runs is finalized before the call returns, so nothing
// keeps the file locked once the object is gone.
class TSQLiteDatabase : public TObject {
public:
    // Opens an existing database for reading and writing; a missing file is
    // not created. FileName is in the system code page. Raises
    // 'Failed to open database "<name>" : <SQLite's message>' (or
    // ': unknown error'), and "Library not found: " / "Function not found: "
    // when the library cannot be bound.
    explicit TSQLiteDatabase(const std::string& FileName);
    ~TSQLiteDatabase() override;
    TSQLiteDatabase(const TSQLiteDatabase&) = delete;
    TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

    // Prepares, steps once and finalizes. A statement that returns a row counts
    // as a failure, like any step result other than "done".
    void ExecSQL(const std::string& SQL);
    // The whole result of a query, owned by the caller.
    std::unique_ptr<TSQLiteTable> GetTable(const std::string& SQL);
    // True when sqlite_master lists a table of that name, compared in lower case.
    bool TableExists(const std::string& TableName);

    // Named parameters pending for the next statement; this system passes none.
    const TStringList& Params() const noexcept { return params_; }

    TSQLiteConnection* Handle() const noexcept { return db_; }
    // Error text of a failure on this connection: Message, and unless the
    // library reports code 0, "." CR "Error [<code>]: <code text>." CR
    // '"' SQL '": ' and the library's message.
    std::string ErrorText(std::string_view Message, std::string_view SQL) const;

private:
    TSQLiteConnection* db_ = nullptr;
    TStringList params_;
};

// A fully read query result: every row and column copied, so it does not
// depend on the database once built. The current row starts at 0.
class TSQLiteTable : public TObject {
public:
    // Runs SQL on DB to the end. Raises "Could not prepare SQL statement",
    // "SQLite is Busy" or "Could not retrieve data" with the error details.
    TSQLiteTable(TSQLiteDatabase& DB, const std::string& SQL);
    TSQLiteTable(const TSQLiteTable&) = delete;
    TSQLiteTable& operator=(const TSQLiteTable&) = delete;

    int GetCount() const noexcept { return rowCount_; }
    int ColumnCount() const noexcept { return static_cast<int>(names_.size()); }
    // Upper-cased column name and column type; Index out of range raises.
    const std::string& ColumnName(int Index) const;
    TSQLiteType ColumnType(int Index) const;
    int Row() const noexcept { return row_; }
    bool Eof() const noexcept { return row_ >= rowCount_; }

    // Index of the column named FieldName (compared upper-cased).
    int FieldIndex(const std::string& FieldName) const;
    // Integer cells as they are, float cells truncated toward zero, NULL as 0;
    // text and blob columns raise "Not an integer or numeric field".
    int64_t FieldAsInteger(int Index) const;
    // Integers in decimal, floats in their shortest exact form with ".", text
    // as stored, a blob up to its first NUL byte, NULL as ''.
    std::string FieldAsString(int Index) const;
    // Makes Row current when 0 <= Row < GetCount; otherwise False, unchanged.
    bool MoveTo(int Row) noexcept;

private:
    using TCell =
        std::variant<std::monostate, int64_t, double, std::string, std::unique_ptr<TMemoryStream>>;
    const TCell& Cell(int Index) const;

    std::vector<std::string> names_;
    std::vector<TSQLiteType> types_;
    std::vector<TCell> cells_; // row-major; monostate is an SQL NULL
    int rowCount_ = 0;
    int row_ = 0;
};

// The text for a primary SQLite result code, for libraries that lack
// sqlite3_errstr (older Firefox builds).
const char* SQLiteResultCodeText(int Code) noexcept;

// Text with every single quote doubled, to stand between single quotes in SQL.
std::string QuotedLiteral(std::string_view Text);
