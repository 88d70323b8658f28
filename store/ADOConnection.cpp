// TADOConnection: the program's one SQLite connection.
//
// Operations: Open (connect on demand; later calls do nothing), PrepareCached (statements lent out
// and reused by their text), TableSchema (key column and declared types of a table), BeginTrans /
// CommitTrans / RollbackTrans, ExecuteDirect, and BeginRead / EndRead, the read transaction that a
// record set's open and its handlers' opens share. The connection opens an existing file read-write and
// never creates one; other processes may use the file at the same time, and a busy timeout waits out
// their short writes. Once connected it stays connected until destroyed.
//
// Cost: Open checks the file with one read of the schema. A read transaction takes the file lock
// once for all the statements in it, where each statement on its own takes and releases it (four
// fcntl, three stat and a read of the change counter); handing the lock back costs the same once per
// kHandBackInterval. A cached statement, found by a hash of its text, saves SQLite's parse and plan
// for every repeated statement text (the record sets lift integer literals into bindings
// so that "... = 57" and "... = 58" share one text). TableSchema reads PRAGMA table_info once per
// table.
#include "ADOConnection.h"

#include "DatabaseErrors.h"
#include "TextCase.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace {

constexpr std::size_t kStatementCacheSize = 64;
// Nested reads between two looks at the clock: a read inside a list open takes a few microseconds.
constexpr unsigned kReadsPerClockCheck = 16;
// Engine instructions between two work ticks: a fraction of a millisecond.
constexpr int kInstructionsPerTick = 10000;

} // namespace

std::string CleanEngineMessage(std::string message) {
    while (!message.empty()) {
        const unsigned char last = static_cast<unsigned char>(message.back());
        if (last == '.' || last == ' ' || last < 0x20 || last == 0x7f)
            message.pop_back();
        else
            break;
    }
    return message;
}

TADOConnection::TADOConnection(std::string databasePath) : m_databasePath(std::move(databasePath)) {}

TADOConnection::~TADOConnection() {
    ForgetCache();
    if (m_db)
        sqlite3_close_v2(m_db);
}

void TADOConnection::ForgetCache() noexcept {
    for (auto& cached : m_statements)
        sqlite3_finalize(cached.stmt);
    m_statementIndex.clear();
    m_statements.clear();
    m_tables.clear();
}

void TADOConnection::Open() {
    if (m_db)
        return;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(m_databasePath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        sqlite3_close_v2(db);
        throw EOleException(CleanEngineMessage(message), code);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, m_busyTimeout);
    // sqlite3_open_v2 reads nothing yet; a file that is not a database shows itself here. The text
    // encoding is settled once the database holds a table.
    char* error = nullptr;
    bool textUtf8 = false;
    const auto readEncoding = [](void* utf8, int, char** values, char**) {
        *static_cast<bool*>(utf8) =
            values[0] && std::string_view(values[0]) != "0" && values[1] && std::string_view(values[1]) == "UTF-8";
        return 0;
    };
    if (sqlite3_exec(db, "SELECT count(*), (SELECT * FROM pragma_encoding) FROM sqlite_master", readEncoding, &textUtf8,
                     &error) != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(db);
        const int code = sqlite3_extended_errcode(db);
        sqlite3_free(error);
        sqlite3_close_v2(db);
        throw EOleException(CleanEngineMessage(message), code);
    }
    m_db = db;
    m_textUtf8 = textUtf8;
    InstallWorkTick();
}

void TADOConnection::SetBusyTimeout(int milliseconds) {
    m_busyTimeout = milliseconds;
    if (m_db)
        sqlite3_busy_timeout(m_db, milliseconds);
    InstallWorkTick();
}

void TADOConnection::SetWorkTick(std::function<void()> tick) {
    m_workTick = std::move(tick);
    InstallWorkTick();
}

void TADOConnection::InstallWorkTick() noexcept {
    if (!m_db || !m_workTick)
        return;
    sqlite3_progress_handler(m_db, kInstructionsPerTick, &TADOConnection::ProgressTick, this);
    // Replaces the plain busy timeout with a wait of the same length that ticks at every retry.
    sqlite3_busy_handler(m_db, &TADOConnection::BusyWait, this);
}

int TADOConnection::ProgressTick(void* connection) noexcept {
    auto& self = *static_cast<TADOConnection*>(connection);
    if (self.m_workTick) {
        try {
            self.m_workTick();
        } catch (...) {
            // The engine must go on; a tick has nothing to report.
        }
    }
    return 0;
}

int TADOConnection::BusyWait(void* connection, int attempt) noexcept {
    auto& self = *static_cast<TADOConnection*>(connection);
    const auto now = std::chrono::steady_clock::now();
    if (attempt == 0)
        self.m_busySince = now;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - self.m_busySince).count();
    if (waited >= self.m_busyTimeout)
        return 0;
    ProgressTick(connection);
    // Short pauses first, as a short write is the common case, then a steady 100 ms.
    const long long pause = std::min<long long>({1LL << std::min(attempt, 6), 100, self.m_busyTimeout - waited});
    sqlite3_sleep(static_cast<int>(pause));
    return 1;
}

void TADOConnection::RaiseLastError() const {
    if (!m_db)
        throw EOleException("Connection is not open", SQLITE_MISUSE);
    throw EOleException(CleanEngineMessage(sqlite3_errmsg(m_db)), sqlite3_extended_errcode(m_db));
}

void TADOConnection::ExecuteDirect(const std::string& sql) {
    Open();
    EndAbandonedTransaction();
    BeforeWrite();
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw EOleException(CleanEngineMessage(message), sqlite3_extended_errcode(m_db));
    }
}

void TADOConnection::BeginTrans() {
    ExecuteDirect("BEGIN IMMEDIATE");
}

void TADOConnection::CommitTrans() {
    ExecuteDirect("COMMIT");
}

void TADOConnection::RollbackTrans() {
    if (!InTransaction())
        return;
    char* error = nullptr;
    if (sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, &error) == SQLITE_OK)
        return;
    std::string message = error ? error : sqlite3_errmsg(m_db);
    sqlite3_free(error);
    m_rollbackFailed = InTransaction();
    throw EOleException(CleanEngineMessage(message), sqlite3_extended_errcode(m_db));
}

void TADOConnection::EndAbandonedTransaction() {
    if (!m_rollbackFailed)
        return;
    m_rollbackFailed = false;
    RollbackTrans();
}

bool TADOConnection::InTransaction() const {
    return m_db && !sqlite3_get_autocommit(m_db) && !m_readActive;
}

int TADOConnection::StepCached(std::string_view sql) {
    TStatementLease statement = PrepareCached(sql);
    return sqlite3_step(statement.Handle());
}

void TADOConnection::StartReadTransaction() {
    if (StepCached("BEGIN") != SQLITE_DONE)
        RaiseLastError();
    m_readActive = true;
    m_readSince = std::chrono::steady_clock::now();
}

void TADOConnection::FinishReadTransaction() noexcept {
    m_readActive = false;
    if (sqlite3_get_autocommit(m_db))
        return;
    int rc = SQLITE_ERROR;
    try {
        rc = StepCached("COMMIT");
    } catch (const Exception&) {
    }
    if (rc != SQLITE_DONE && !sqlite3_get_autocommit(m_db)) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_rollbackFailed = !sqlite3_get_autocommit(m_db);
    }
}

[[gnu::hot]] void TADOConnection::BeginRead() {
    Open();
    if (m_readDepth == 0) {
        EndAbandonedTransaction();
        m_readOwned = sqlite3_get_autocommit(m_db) != 0;
        if (m_readOwned)
            StartReadTransaction();
        m_readDepth = 1;
        return;
    }
    if (m_readOwned) {
        if (!m_readActive) {
            // A change ended it on the way; reads go on in one again.
            if (sqlite3_get_autocommit(m_db))
                StartReadTransaction();
        } else if (++m_readChecks % kReadsPerClockCheck == 0 &&
                   std::chrono::steady_clock::now() - m_readSince >= kHandBackInterval) {
            // A writer waiting for the lock (it holds the pending lock) gets it while our next read
            // waits in the busy handler; no writer waiting, the read takes the lock again at once.
            SettlePendingReads(true);
            FinishReadTransaction();
            StartReadTransaction();
        }
    }
    ++m_readDepth;
}

[[gnu::hot]] void TADOConnection::EndRead(bool failed) noexcept {
    if (m_readDepth == 0)
        return;
    if (--m_readDepth > 0 && !failed)
        return;
    if (m_readActive) {
        SettlePendingReads(false);
        FinishReadTransaction();
    }
    if (m_readDepth == 0)
        m_readOwned = false;
}

void TADOConnection::AddPendingRead(TPendingRead* reader) {
    m_pendingReads.push_back(reader);
}

void TADOConnection::RemovePendingRead(TPendingRead* reader) noexcept {
    std::erase(m_pendingReads, reader);
}

void TADOConnection::SettlePendingReads(bool fetchRest) {
    while (!m_pendingReads.empty()) {
        TPendingRead* const reader = m_pendingReads.back();
        try {
            reader->Settle(fetchRest);
        } catch (...) {
            RemovePendingRead(reader);
            throw;
        }
        RemovePendingRead(reader);
    }
}

void TADOConnection::BeforeWrite() {
    if (!m_readActive)
        return;
    SettlePendingReads(true);
    FinishReadTransaction();
}

TADOConnection::TStatementLease::TStatementLease(TStatementLease&& other) noexcept
    : m_stmt(std::exchange(other.m_stmt, nullptr)), m_inUse(std::exchange(other.m_inUse, nullptr)),
      m_serial(other.m_serial) {}

TADOConnection::TStatementLease::~TStatementLease() {
    Release();
}

int TADOConnection::TStatementLease::Release() noexcept {
    if (!m_stmt)
        return SQLITE_OK;
    const int rc = sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
    *m_inUse = false;
    m_stmt = nullptr;
    return rc;
}

void TADOConnection::TStatementLease::Finish() {
    sqlite3* db = m_stmt ? sqlite3_db_handle(m_stmt) : nullptr;
    if (Release() != SQLITE_OK)
        throw EOleException(CleanEngineMessage(sqlite3_errmsg(db)), sqlite3_extended_errcode(db));
}

TADOConnection::TStatementLease TADOConnection::PrepareCached(std::string_view sql) {
    Open();
    EndAbandonedTransaction();
    const auto [first, last] = m_statementIndex.equal_range(sql);
    for (auto found = first; found != last; ++found) {
        const auto it = found->second;
        if (!it->inUse) {
            m_statements.splice(m_statements.begin(), m_statements, it);
            it->inUse = true;
            return TStatementLease(it->stmt, &it->inUse, it->serial);
        }
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        RaiseLastError();
    }
    if (!stmt) // only blanks or comments
        throw EOleException("The statement is empty", SQLITE_MISUSE);
    // The least recently used statement that nobody holds makes room; held ones are never touched.
    if (m_statements.size() >= kStatementCacheSize) {
        for (auto it = m_statements.end(); it != m_statements.begin();) {
            --it;
            if (!it->inUse) {
                const auto [from, to] = m_statementIndex.equal_range(it->sql);
                for (auto entry = from; entry != to; ++entry)
                    if (entry->second == it) {
                        m_statementIndex.erase(entry);
                        break;
                    }
                sqlite3_finalize(it->stmt);
                m_statements.erase(it);
                break;
            }
        }
    }
    m_statements.push_front({std::string(sql), stmt, ++m_preparedCount, true});
    m_statementIndex.emplace(m_statements.front().sql, m_statements.begin());
    return TStatementLease(stmt, &m_statements.front().inUse, m_preparedCount);
}

const TADOConnection::ColumnInfo* TADOConnection::TableInfo::Find(const std::string& column) const {
    for (const auto& [name, info] : columns)
        if (EqualsIgnoreCase(name, column))
            return &info;
    return nullptr;
}

const TADOConnection::TableInfo& TADOConnection::TableSchema(const std::string& table) {
    for (const auto& [name, info] : m_tables)
        if (name == table)
            return info;
    Open();
    EndAbandonedTransaction();
    TableInfo info;
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "PRAGMA table_info(" + QuoteIdentifier(table) + ")";
    if (sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        RaiseLastError();
    }
    int keyCount = 0;
    std::string keyColumn;
    std::string keyType;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        ColumnInfo column;
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
        column.declaredType = type ? type : "";
        column.primaryKey = sqlite3_column_int(stmt, 5) > 0;
        if (column.primaryKey) {
            ++keyCount;
            keyColumn = name ? name : "";
            keyType = UpperAscii(column.declaredType);
        }
        info.columns.emplace_back(name ? name : "", column);
    }
    // A read cut short must not be remembered as the table's schema for the connection's life.
    if (rc != SQLITE_DONE) {
        sqlite3_finalize(stmt);
        RaiseLastError();
    }
    sqlite3_finalize(stmt);
    if (keyCount == 1) {
        info.keyColumn = keyColumn;
        if (keyType == "INTEGER")
            for (auto& [name, column] : info.columns)
                if (name == keyColumn)
                    column.rowidAlias = true;
    }
    m_tables.emplace_back(table, std::move(info));
    return m_tables.back().second;
}

TTransaction::TTransaction(TADOConnection& connection) : m_connection(connection) {
    m_connection.BeginTrans();
}

TTransaction::~TTransaction() {
    if (m_done)
        return;
    try {
        m_connection.RollbackTrans();
    } catch (const Exception&) {
        // The error that ends the transaction is on its way to the user; the connection rolls back
        // again before its next statement.
    }
}

void TTransaction::Commit() {
    m_connection.CommitTrans();
    m_done = true;
}
