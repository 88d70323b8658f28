#pragma once

// Owners of SQLite's two handles, shared by the store's SQLite engine, the companion tool and the
// tests: a database connection, closed with sqlite3_close_v2 (also after a failed open, which still
// hands out a handle that carries the error), and a prepared statement, finalized. Neither raises:
// each user reads the error from the handle and raises it its own way (the store as EOleException,
// the tool as std::runtime_error, the tests as a failed test). Moving costs a pointer.

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <utility>

class TSqliteDatabase {
public:
    TSqliteDatabase() = default;
    ~TSqliteDatabase() { Close(); }
    TSqliteDatabase(TSqliteDatabase&& other) noexcept : m_db(std::exchange(other.m_db, nullptr)) {}
    TSqliteDatabase& operator=(TSqliteDatabase&& other) noexcept {
        if (this != &other) {
            Close();
            m_db = std::exchange(other.m_db, nullptr);
        }
        return *this;
    }
    TSqliteDatabase(const TSqliteDatabase&) = delete;
    TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

    // Opens path with the sqlite3_open_v2 flags and returns SQLite's result code. After a failure the
    // handle (when SQLite gave one) stays until Close, so that its message can be read.
    int Open(const std::string& path, int flags) {
        Close();
        return sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    }
    sqlite3* Handle() const { return m_db; }
    // The message of the last failure; SQLite's text for code when there is no handle.
    const char* ErrorMessage(int code = SQLITE_NOMEM) const {
        return m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    }
    void Close() noexcept {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    // Closes now and returns the result code: unfinished statements make it fail (the handle then
    // stays open), where Close would leave the connection to close when they are finalized.
    int CloseNow() noexcept {
        const int rc = sqlite3_close(m_db);
        if (rc == SQLITE_OK)
            m_db = nullptr;
        return rc;
    }

private:
    sqlite3* m_db = nullptr;
};

class TSqliteStatement {
public:
    TSqliteStatement() = default;
    ~TSqliteStatement() { sqlite3_finalize(m_statement); }
    TSqliteStatement(TSqliteStatement&& other) noexcept : m_statement(std::exchange(other.m_statement, nullptr)) {}
    TSqliteStatement& operator=(TSqliteStatement&&) = delete;
    TSqliteStatement(const TSqliteStatement&) = delete;
    TSqliteStatement& operator=(const TSqliteStatement&) = delete;

    // Prepares the first statement of sql and returns SQLite's result code. Handle() is nullptr after
    // a failure and for a text of only blanks and comments.
    int Prepare(sqlite3* db, std::string_view sql) {
        sqlite3_finalize(std::exchange(m_statement, nullptr));
        const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr);
        if (rc != SQLITE_OK)
            sqlite3_finalize(std::exchange(m_statement, nullptr));
        return rc;
    }
    sqlite3_stmt* Handle() const { return m_statement; }

private:
    sqlite3_stmt* m_statement = nullptr;
};
