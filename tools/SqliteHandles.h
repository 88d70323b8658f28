#pragma once

// RAII over the SQLite C API for the tool: a connection, a prepared statement and a transaction
// guard. Every failure is a std::runtime_error whose message names what was attempted and carries
// SQLite's own text.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

[[noreturn]] void ThrowSqlite(sqlite3* db, const std::string& what);

class Connection {
public:
    // Opens path with the sqlite3_open_v2 flags; a failed open closes the handle it was given
    // before raising, so nothing is left open.
    Connection(const std::string& path, int flags);
    ~Connection() { sqlite3_close_v2(m_db); }
    Connection(Connection&& other) noexcept : m_db(other.m_db) { other.m_db = nullptr; }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Exec(const char* sql);
    // Closes now so that errors of the close itself (unfinished statements) are reported.
    void Close();
    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
};

// Opens an existing database; a missing file is an error, never created. The connection may write
// (so that a journal left by a crash is rolled back, as by any other connection) unless the file is
// write-protected; readOnly keeps it from changing anything itself.
Connection OpenExistingDatabase(const std::string& path, bool readOnly);

class Statement {
public:
    Statement(Connection& connection, const char* sql);
    ~Statement() { sqlite3_finalize(m_statement); }
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

    int Type(int column) const { return sqlite3_column_type(m_statement, column); }
    bool IsNull(int column) const { return Type(column) == SQLITE_NULL; }
    sqlite3_int64 Int64(int column) const { return sqlite3_column_int64(m_statement, column); }
    double Double(int column) const { return sqlite3_column_double(m_statement, column); }
    // The value's bytes as stored (a BLOB's bytes as they are); valid until the next Step.
    std::string_view Text(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

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
