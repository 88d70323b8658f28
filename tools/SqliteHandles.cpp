// The tool's SQLite handles. A connection waits up to 5 s for another process's lock, like the
// program does, and reports extended result codes.

#include "SqliteHandles.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// As long as the program waits for another process's lock.
constexpr int kBusyTimeoutMilliseconds = 5000;

} // namespace

void ThrowSqlite(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

Connection::Connection(const std::string& path, int flags) {
    if (m_db.Open(path, flags) != SQLITE_OK) {
        std::string message = "cannot open " + path + ": " + m_db.ErrorMessage();
        m_db.Close();
        throw std::runtime_error(message);
    }
    sqlite3_extended_result_codes(m_db.Handle(), 1);
    sqlite3_busy_timeout(m_db.Handle(), kBusyTimeoutMilliseconds);
}

Connection OpenExistingDatabase(const std::string& path, bool readOnly) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(EISDIR));
    Connection connection(path, SQLITE_OPEN_READWRITE);
    if (readOnly)
        connection.Exec("PRAGMA query_only=ON");
    return connection;
}

void Connection::Exec(const char* sql) {
    if (sqlite3_exec(m_db.Handle(), sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        ThrowSqlite(m_db.Handle(), std::string("cannot run \"") + sql + "\"");
}

void Connection::Close() {
    if (m_db.CloseNow() != SQLITE_OK)
        ThrowSqlite(m_db.Handle(), "cannot close the database");
}

Statement::Statement(Connection& connection, const char* sql) : m_db(connection.Handle()) {
    if (m_statement.Prepare(m_db, sql) != SQLITE_OK)
        ThrowSqlite(m_db, std::string("cannot prepare \"") + sql + "\"");
}

void Statement::BindText(int index, std::string_view text) {
    if (sqlite3_bind_text64(Handle(), index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK)
        ThrowSqlite(m_db, "cannot bind a value");
}

void Statement::BindStaticText(int index, std::string_view text) {
    if (sqlite3_bind_text64(Handle(), index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8) != SQLITE_OK)
        ThrowSqlite(m_db, "cannot bind a value");
}

void Statement::BindNull(int index) {
    if (sqlite3_bind_null(Handle(), index) != SQLITE_OK)
        ThrowSqlite(m_db, "cannot bind a value");
}

void Statement::BindInt64(int index, sqlite3_int64 value) {
    if (sqlite3_bind_int64(Handle(), index, value) != SQLITE_OK)
        ThrowSqlite(m_db, "cannot bind a value");
}

void Statement::Run() {
    int result = sqlite3_step(Handle());
    sqlite3_reset(Handle());
    if (result != SQLITE_DONE)
        ThrowSqlite(m_db, "cannot write a row");
}

bool Statement::Step() {
    int result = sqlite3_step(Handle());
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE)
        ThrowSqlite(m_db, "cannot read the database");
    return false;
}

std::int64_t QueryInteger(Connection& connection, const char* sql) {
    Statement query(connection, sql);
    return query.Step() ? query.Int64(0) : 0;
}

std::string_view Statement::Text(int column) const {
    // A BLOB's bytes are taken as they are; anything else is read as UTF-8 text.
    const void* bytes = Type(column) == SQLITE_BLOB ? sqlite3_column_blob(Handle(), column)
                                                    : static_cast<const void*>(sqlite3_column_text(Handle(), column));
    int size = sqlite3_column_bytes(Handle(), column);
    return bytes ? std::string_view(static_cast<const char*>(bytes), static_cast<std::size_t>(size))
                 : std::string_view();
}

Transaction::Transaction(Connection& connection, const char* begin) : m_connection(connection) {
    m_connection.Exec(begin);
}

Transaction::~Transaction() {
    if (!m_committed)
        sqlite3_exec(m_connection.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    m_connection.Exec("COMMIT");
    m_committed = true;
}
