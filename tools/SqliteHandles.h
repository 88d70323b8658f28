#pragma once

// The tool's SQLite handles: a connection, a prepared statement and a transaction guard, over the
// store's one handle wrapper (SqliteHandle.h), with the tool's error policy: every failure is a
// std::runtime_error whose message names what was attempted and carries SQLite's own text.

#include "SqliteHandle.h"

#include <cstdint>
#include <string>
#include <string_view>

[[noreturn]] void ThrowSqlite(sqlite3* db, const std::string& what);

class Connection {
public:
    // Opens path with the sqlite3_open_v2 flags; a failed open closes the handle it was given
    // before raising, so nothing is left open.
    Connection(const std::string& path, int flags);
    Connection(Connection&& other) noexcept = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Exec(const char* sql);
    // Closes now so that errors of the close itself (unfinished statements) are reported.
    void Close();
    sqlite3* Handle() const { return m_db.Handle(); }

private:
    TSqliteDatabase m_db;
};

// Opens an existing database; a missing file is an error, never created. The connection may write
// (so that a journal left by a crash is rolled back, as by any other connection) unless the file is
// write-protected; readOnly keeps it from changing anything itself.
Connection OpenExistingDatabase(const std::string& path, bool readOnly);

class Statement {
public:
    Statement(Connection& connection, const char* sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void BindText(int index, std::string_view text); // the text is copied
    // The text must stay unchanged until the next Run or Step.
    void BindStaticText(int index, std::string_view text);
    void BindNull(int index);
    void BindInt64(int index, sqlite3_int64 value);
    // Runs a statement that returns no rows, then resets it for the next bindings.
    void Run();
    // Steps a query: true while a row is current.
    bool Step();

    int Type(int column) const { return sqlite3_column_type(Handle(), column); }
    bool IsNull(int column) const { return Type(column) == SQLITE_NULL; }
    sqlite3_int64 Int64(int column) const { return sqlite3_column_int64(Handle(), column); }
    double Double(int column) const { return sqlite3_column_double(Handle(), column); }
    // The value's bytes as stored (a BLOB's bytes as they are); valid until the next Step.
    std::string_view Text(int column) const;

private:
    sqlite3_stmt* Handle() const { return m_statement.Handle(); }
    sqlite3* m_db;
    TSqliteStatement m_statement;
};

// The first column of the query's first row as an integer; 0 when there is no row or it is NULL
// (a count, the max() of an empty table).
std::int64_t QueryInteger(Connection& connection, const char* sql);

// Rolls back unless committed.
class Transaction {
public:
    Transaction(Connection& connection, const char* begin = "BEGIN");
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Connection& m_connection;
    bool m_committed = false;
};
