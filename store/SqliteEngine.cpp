// TSqliteEngine: the store's engine over SQLite, the only code of the store that calls SQLite.
//
// Operations: Connect (opens an existing file read-write without SQLite's mutex, as the program uses
// it from one thread, and reads its schema once to see that it is a database), Prepare (a statement
// that steps over SQLite's pages and copies a row's cells straight into the row store), the
// transactions (BEGIN and COMMIT of the read transaction are prepared once and stepped; a write
// transaction begins IMMEDIATE), the schema's table key (PRAGMA table_info), and the work tick,
// which SQLite calls every kInstructionsPerTick engine instructions and at each retry of a busy wait.
//
// Cost: a row read is one sqlite3_step and, when the row is kept, one pass over its values; text is
// taken as SQLite holds it when the database stores UTF-8 (sqlite3_value_text would first make a
// terminated copy). A busy wait sleeps short pauses first and then a steady kLongestBusyPause.
#include "SqliteEngine.h"

#include "ADOConnection.h"
#include "EngineError.h"
#include "RowStore.h"
#include "TextCase.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>

namespace {

// Engine instructions between two work ticks: a fraction of a millisecond.
constexpr int kInstructionsPerTick = 10000;
// The busy wait's pauses double from 1 ms up to this, then stay.
constexpr long long kLongestBusyPause = 100;
constexpr int kBusyPauseDoublings = 6;
// An extended result code's low byte is its primary code.
constexpr int kPrimaryResultCode = 0xff;

// Whether access to path for mode is refused by a permission (not, for example, for a missing file).
bool Refused(const std::string& path, int mode) {
    return ::access(path.c_str(), mode) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS);
}

// Where SQLite says "attempt to write a readonly database" or "unable to open database file" about
// an existing file, the cause is the file's or its folder's permission (SQLite cannot make its
// journal beside the file): the message names which. Empty when neither is the cause.
std::string ReadOnlyCause(sqlite3* db, int code) {
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    if (!file || !*file)
        return {};
    const std::string path = file;
    if ((code & kPrimaryResultCode) == SQLITE_CANTOPEN && ::access(path.c_str(), F_OK) != 0)
        return {};
    if (Refused(path, W_OK))
        return "The database file " + path + " is read-only";
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (Refused(folder, W_OK | X_OK))
        return "The database " + path + " cannot be changed: its folder " + folder + " is not writable";
    return {};
}

// Every error of the SQLite engine is raised here: SQLite's message and extended result code, the
// message replaced where it misleads.
[[noreturn]] void RaiseSqliteError(sqlite3* db, std::string message, int code) {
    const int primary = code & kPrimaryResultCode;
    if (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN)
        if (std::string cause = ReadOnlyCause(db, code); !cause.empty())
            message = std::move(cause);
    RaiseEngineError(std::move(message), code);
}

[[noreturn]] void RaiseConnectionError(sqlite3* db) {
    if (!db)
        RaiseEngineError("Connection is not open", SQLITE_MISUSE);
    RaiseSqliteError(db, sqlite3_errmsg(db), sqlite3_extended_errcode(db));
}

// sqlite3_exec's failure: its own message when it gave one, else the connection's.
[[noreturn]] void RaiseExecError(sqlite3* db, char* error) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    RaiseSqliteError(db, std::move(message), sqlite3_extended_errcode(db));
}

class TSqliteEngineStatement final : public TEngineStatement {
public:
    TSqliteEngineStatement(TSqliteStatement statement, bool textUtf8)
        : m_statement(std::move(statement)), m_textUtf8(textUtf8) {}

    [[gnu::hot]] int ParameterCount() const override { return sqlite3_bind_parameter_count(Stmt()); }
    [[gnu::hot]] void BindNull(int index) override { Check(sqlite3_bind_null(Stmt(), index)); }
    [[gnu::hot]] void BindInteger(int index, std::int64_t value) override {
        Check(sqlite3_bind_int64(Stmt(), index, value));
    }
    void Bind(int index, const TFieldValue& value) override {
        switch (value.type) {
        case TFieldValue::Null:
            return BindNull(index);
        case TFieldValue::Int:
            return BindInteger(index, value.integer);
        case TFieldValue::Real:
            return Check(sqlite3_bind_double(Stmt(), index, value.real));
        case TFieldValue::Text:
            return Check(sqlite3_bind_text64(Stmt(), index, value.text.data(), value.text.size(), SQLITE_TRANSIENT,
                                             SQLITE_UTF8));
        case TFieldValue::Blob:
            return Check(sqlite3_bind_blob64(Stmt(), index, value.text.data(), value.text.size(), SQLITE_TRANSIENT));
        }
    }

    [[gnu::hot]] void BindParameters(const std::vector<std::optional<std::int64_t>>& values) override {
        const auto count = std::min(values.size(), static_cast<std::size_t>(sqlite3_bind_parameter_count(Stmt())));
        for (std::size_t i = 0; i < count; ++i) {
            const int index = static_cast<int>(i + 1);
            Check(values[i] ? sqlite3_bind_int64(Stmt(), index, *values[i]) : sqlite3_bind_null(Stmt(), index));
        }
    }
    [[gnu::hot]] int ColumnCount() const override { return sqlite3_column_count(Stmt()); }
    [[gnu::hot]] bool Step() override {
        const int rc = sqlite3_step(Stmt());
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        RaiseError();
    }
    TResultColumn Column(int index) const override {
        const auto text = [](const char* value) { return std::string(value ? value : ""); };
        return {text(sqlite3_column_name(Stmt(), index)), text(sqlite3_column_table_name(Stmt(), index)),
                text(sqlite3_column_origin_name(Stmt(), index)), text(sqlite3_column_decltype(Stmt(), index))};
    }
    TFieldValue::Type ValueType(int column) const override {
        switch (sqlite3_column_type(Stmt(), column)) {
        case SQLITE_INTEGER:
            return TFieldValue::Int;
        case SQLITE_FLOAT:
            return TFieldValue::Real;
        case SQLITE_BLOB:
            return TFieldValue::Blob;
        case SQLITE_NULL:
            return TFieldValue::Null;
        default:
            return TFieldValue::Text;
        }
    }
    [[gnu::hot]] std::size_t ReadRow(TRowStore& rows) override {
        const int columns = sqlite3_column_count(Stmt());
        rows.BeginRow();
        for (int c = 0; c < columns; ++c) {
            sqlite3_value* const value = sqlite3_column_value(Stmt(), c);
            switch (sqlite3_value_type(value)) {
            case SQLITE_NULL:
                rows.AddNull();
                break;
            case SQLITE_INTEGER:
                rows.AddInteger(sqlite3_value_int64(value));
                break;
            case SQLITE_FLOAT:
                rows.AddReal(sqlite3_value_double(value));
                break;
            case SQLITE_BLOB:
                rows.AddBytes(TFieldValue::Blob, sqlite3_value_blob(value),
                              static_cast<std::size_t>(sqlite3_value_bytes(value)));
                break;
            default: // text, as UTF-8 whatever the database's own encoding
                if (m_textUtf8) {
                    const auto bytes = static_cast<std::size_t>(sqlite3_value_bytes(value));
                    rows.AddBytes(TFieldValue::Text, sqlite3_value_blob(value), bytes);
                } else {
                    const unsigned char* const text = sqlite3_value_text(value);
                    if (!text) // the conversion ran out of memory; an empty text is never NULL
                        throw std::bad_alloc();
                    rows.AddBytes(TFieldValue::Text, text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
                }
                break;
            }
        }
        return rows.EndRow();
    }
    [[gnu::hot]] std::uint64_t Generation() const override {
        return static_cast<std::uint64_t>(sqlite3_stmt_status(Stmt(), SQLITE_STMTSTATUS_REPREPARE, 0));
    }

    [[gnu::hot]] bool Reset() noexcept override { return sqlite3_reset(Stmt()) == SQLITE_OK; }
    [[gnu::hot]] void ClearBindings() noexcept override { sqlite3_clear_bindings(Stmt()); }
    [[noreturn]] void RaiseError() const override { RaiseConnectionError(sqlite3_db_handle(Stmt())); }

private:
    void Check(int rc) const {
        if (rc != SQLITE_OK)
            RaiseError();
    }

    sqlite3_stmt* Stmt() const { return m_statement.Handle(); }

    TSqliteStatement m_statement;
    bool m_textUtf8;
};

} // namespace

TSqliteEngine::~TSqliteEngine() = default;

void TSqliteEngine::Connect(const std::string& path) {
    if (Connected())
        return;
    TSqliteDatabase db;
    if (const int rc = db.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX); rc != SQLITE_OK)
        RaiseSqliteError(db.Handle(), db.ErrorMessage(rc), db.Handle() ? sqlite3_extended_errcode(db.Handle()) : rc);
    sqlite3_extended_result_codes(db.Handle(), 1);
    sqlite3_busy_timeout(db.Handle(), m_busyTimeout);
    // sqlite3_open_v2 reads nothing yet; a file that is not a database shows itself here. The text
    // encoding is settled once the database holds a table.
    char* error = nullptr;
    bool textUtf8 = false;
    const auto readEncoding = [](void* utf8, int, char** values, char**) {
        *static_cast<bool*>(utf8) =
            values[0] && std::string_view(values[0]) != "0" && values[1] && std::string_view(values[1]) == "UTF-8";
        return 0;
    };
    if (sqlite3_exec(db.Handle(), "SELECT count(*), (SELECT * FROM pragma_encoding) FROM sqlite_master", readEncoding,
                     &textUtf8, &error) != SQLITE_OK)
        RaiseExecError(db.Handle(), error);
    m_db = std::move(db);
    m_textUtf8 = textUtf8;
    InstallWorkTick();
}

void TSqliteEngine::SetBusyTimeout(int milliseconds) {
    m_busyTimeout = milliseconds;
    if (Connected())
        sqlite3_busy_timeout(m_db.Handle(), milliseconds);
    InstallWorkTick();
}

void TSqliteEngine::SetWorkTick(std::function<void()> tick) {
    m_workTick = std::move(tick);
    InstallWorkTick();
}

void TSqliteEngine::InstallWorkTick() noexcept {
    if (!Connected() || !m_workTick)
        return;
    sqlite3_progress_handler(m_db.Handle(), kInstructionsPerTick, &TSqliteEngine::ProgressTick, this);
    // Replaces the plain busy timeout with a wait of the same length that ticks at every retry.
    sqlite3_busy_handler(m_db.Handle(), &TSqliteEngine::BusyWait, this);
}

int TSqliteEngine::ProgressTick(void* engine) noexcept {
    auto& self = *static_cast<TSqliteEngine*>(engine);
    if (self.m_workTick) {
        try {
            self.m_workTick();
        } catch (...) {
            // The engine must go on; a tick has nothing to report.
        }
    }
    return 0;
}

int TSqliteEngine::BusyWait(void* engine, int attempt) noexcept {
    auto& self = *static_cast<TSqliteEngine*>(engine);
    const auto now = std::chrono::steady_clock::now();
    if (attempt == 0)
        self.m_busySince = now;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - self.m_busySince).count();
    if (waited >= self.m_busyTimeout)
        return 0;
    ProgressTick(engine);
    // Short pauses first, as a short write is the common case, then a steady one.
    const long long pause = std::min<long long>(
        {1LL << std::min(attempt, kBusyPauseDoublings), kLongestBusyPause, self.m_busyTimeout - waited});
    sqlite3_sleep(static_cast<int>(pause));
    return 1;
}

std::unique_ptr<TEngineStatement> TSqliteEngine::Prepare(std::string_view sql) {
    TSqliteStatement statement;
    if (statement.Prepare(m_db.Handle(), sql) != SQLITE_OK)
        RaiseLastError();
    if (!statement.Handle()) // only blanks or comments
        RaiseEngineError("The statement is empty", SQLITE_MISUSE);
    return std::make_unique<TSqliteEngineStatement>(std::move(statement), m_textUtf8);
}

void TSqliteEngine::Execute(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db.Handle(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
        RaiseExecError(m_db.Handle(), error);
}

std::int64_t TSqliteEngine::RowsChanged() const {
    return sqlite3_changes64(m_db.Handle());
}

std::int64_t TSqliteEngine::LastInsertKey() const {
    return sqlite3_last_insert_rowid(m_db.Handle());
}

bool TSqliteEngine::NoNewKeyLeft(const std::string& table, const TTableKey& key, int errorCode) {
    // With the largest rowid taken, SQLite refuses a new one as SQLITE_FULL ("database or disk is
    // full"), which would send the user looking for disk space.
    if ((errorCode & kPrimaryResultCode) != SQLITE_FULL || !key.assignedByEngine)
        return false;
    TSqliteStatement statement;
    if (statement.Prepare(m_db.Handle(), "SELECT max(" + QuoteIdentifier(key.column) + ") FROM " +
                                             QuoteIdentifier(table)) != SQLITE_OK ||
        sqlite3_step(statement.Handle()) != SQLITE_ROW)
        return false;
    return sqlite3_column_type(statement.Handle(), 0) == SQLITE_INTEGER &&
           sqlite3_column_int64(statement.Handle(), 0) == std::numeric_limits<std::int64_t>::max();
}

TTableKey TSqliteEngine::ReadTableKey(const std::string& table) {
    constexpr int kNameColumn = 1;
    constexpr int kTypeColumn = 2;
    constexpr int kKeyPositionColumn = 5;
    TSqliteStatement statement;
    if (statement.Prepare(m_db.Handle(), "PRAGMA table_info(" + QuoteIdentifier(table) + ")") != SQLITE_OK)
        RaiseLastError();
    sqlite3_stmt* const stmt = statement.Handle();
    int keyCount = 0;
    TTableKey key;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (sqlite3_column_int(stmt, kKeyPositionColumn) <= 0)
            continue;
        ++keyCount;
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, kNameColumn));
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, kTypeColumn));
        key.column = name ? name : "";
        // Only a key declared INTEGER is the rowid, which SQLite assigns.
        key.assignedByEngine = EqualsIgnoreCase(type ? type : "", "INTEGER");
    }
    // A read cut short must not be taken as the table's schema.
    if (rc != SQLITE_DONE)
        RaiseLastError();
    if (keyCount != 1)
        return {};
    return key;
}

[[gnu::hot]] bool TSqliteEngine::InTransaction() const {
    return Connected() && !sqlite3_get_autocommit(m_db.Handle());
}

void TSqliteEngine::StepOwn(TSqliteStatement& statement, const char* sql) {
    if (!statement.Handle() && statement.Prepare(m_db.Handle(), sql) != SQLITE_OK)
        RaiseLastError();
    if (sqlite3_step(statement.Handle()) != SQLITE_DONE) {
        std::string message = sqlite3_errmsg(m_db.Handle());
        const int code = sqlite3_extended_errcode(m_db.Handle());
        sqlite3_reset(statement.Handle());
        RaiseSqliteError(m_db.Handle(), std::move(message), code);
    }
    sqlite3_reset(statement.Handle());
}

void TSqliteEngine::BeginRead() {
    StepOwn(m_begin, "BEGIN");
}

void TSqliteEngine::BeginWrite() {
    Execute("BEGIN IMMEDIATE");
}

void TSqliteEngine::Commit() {
    StepOwn(m_commit, "COMMIT");
}

void TSqliteEngine::Rollback() {
    Execute("ROLLBACK");
}

void TSqliteEngine::RollbackQuietly() noexcept {
    sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void TSqliteEngine::RaiseLastError() const {
    RaiseConnectionError(m_db.Handle());
}

sqlite3* SqliteHandleOf(const TADOConnection& connection) {
    const auto* engine = dynamic_cast<const TSqliteEngine*>(&connection.Engine());
    return engine ? engine->Handle() : nullptr;
}
