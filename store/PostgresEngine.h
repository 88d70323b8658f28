#pragma once

#include "DatabaseEngine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;
class TADOConnection;

// Whether a database text names a server (a libpq URI or a "key=value" connection string) rather
// than a database file. A file of that name that exists is always the file.
bool IsServerConnection(std::string_view database);

// The engine's error code for a server's SQLSTATE: its five characters as a base-36 number, so that
// EOleException keeps an int. The states the program tells apart:
int SqlStateCode(std::string_view state);
inline constexpr const char* kStateConnectionLost = "08006";
inline constexpr const char* kStateCannotConnect = "08001";
inline constexpr const char* kStateMissingTable = "42P01";
inline constexpr const char* kStateLoginRefused = "28P01";

// Asked for a password when the server wants one that libpq's own sources (~/.pgpass, the service
// file, PGPASSWORD) did not supply; gets the connection text without a password and returns the
// password, or nothing when the user declined. Kept for the process; never stored.
using TPasswordPrompt = std::function<std::optional<std::string>(const std::string& database)>;
void SetPasswordPrompt(TPasswordPrompt prompt);

// A record set's statement as the server reads it: the search filter's substring test (InStr, used
// as a condition or compared) becomes strpos. Quoted text is left alone.
std::string TranslateForPostgres(std::string_view sql);

// The PostgreSQL engine: one libpq connection to a server (see PostgresEngine.cpp).
class TPostgresEngine final : public TDatabaseEngine {
public:
    TPostgresEngine();
    ~TPostgresEngine() override;
    TPostgresEngine(const TPostgresEngine&) = delete;
    TPostgresEngine& operator=(const TPostgresEngine&) = delete;

    void Connect(const std::string& database) override;
    bool Connected() const override;
    void SetBusyTimeout(int milliseconds) override;
    void SetWorkTick(std::function<void()> tick) override { m_workTick = std::move(tick); }

    std::unique_ptr<TEngineStatement> Prepare(std::string_view sql) override;
    void Execute(const std::string& sql) override;
    std::int64_t RowsChanged() const override { return m_rowsChanged; }
    std::int64_t LastInsertKey() const override { return m_lastInsertKey; }
    bool NoNewKeyLeft(const std::string& table, const TTableKey& key, int errorCode) override;
    TTableKey ReadTableKey(const std::string& table) override;

    bool InTransaction() const override;
    void BeginRead() override;
    void BeginWrite() override;
    void Commit() override;
    void Rollback() override;
    void RollbackQuietly() noexcept override;
    bool ReadersBlockWriters() const override { return false; }
    bool CanLoseConnection() const override { return true; }
    const TDialect& Dialect() const override { return m_dialect; }
    std::int64_t PendingKey() override;
    [[noreturn]] void RaiseLastError() const override;

    // Statements sent to the server since the engine was made (connecting not counted): what a
    // round trip costs is paid once for each.
    std::uint64_t RoundTrips() const { return m_roundTrips; }
    // Counts up at every new session (a reconnect after a lost connection); statements prepared in
    // an earlier one are prepared again.
    std::uint64_t Session() const { return m_session; }
    // The server process of the session; 0 when not connected.
    int ServerProcess() const;

    // For the engine's statements (PostgresEngine.cpp).
    struct TColumnOrigin {
        std::string table;
        std::vector<std::string> columns; // by attribute number - 1
    };
    pg_conn* Handle() const { return m_conn; }
    const TColumnOrigin& OriginOf(unsigned tableOid);
    // Runs a statement with no parameters and returns its result; raises on failure.
    std::shared_ptr<pg_result> Run(const std::string& sql);
    // Checks a result that came back from the server: raises its error (or a lost connection).
    void Check(pg_result* result, bool rowsExpected);
    // What send sends with a PQsend... call of the extended protocol (its return value: whether it
    // could), once the server has answered: the last of its results, or nullptr when nothing could be
    // sent. A BEGIN not sent yet goes first, in one pipeline with it, and a statement of it that
    // fails answers instead. The work tick runs while the server works; every call is a round trip.
    pg_result* Await(const std::function<int(pg_conn*)>& send);
    // The same for a text of the simple protocol (statements separated by semicolons).
    pg_result* AwaitText(const std::string& sql);
    // A read transaction of BeginRead is open; ReadNumber counts them.
    bool Reading() const;
    std::uint64_t ReadNumber() const { return m_readNumber; }
    // Results of the read transaction of kKeptFromRows rows or more are kept until it ends, with
    // the statement's text and parameters. ColumnHolding finds the first integer column of them that
    // holds value: that statement's text and parameters and the column's name as the server gives
    // it when the statement names the column once, otherwise the column's values over every part of
    // that statement's result (all empty when none holds it).
    void TookResult(const std::shared_ptr<pg_result>& result, const std::vector<TFieldValue::Type>& types,
                    const void* statement, std::string query,
                    const std::vector<std::optional<std::string>>& parameters);
    struct THolding {
        std::string query;
        std::vector<std::optional<std::string>> parameters;
        std::string column;
        std::vector<std::int64_t> values;
    };
    THolding ColumnHolding(std::int64_t value) const;
    void TookChange(pg_result* result);
    void Forget(std::string name) { m_forgotten.push_back(std::move(name)); }
    std::string NextStatementName() { return "t" + std::to_string(++m_statementNumber); }
    std::string NextCursorName() { return "c" + std::to_string(++m_cursorNumber); }

private:
    void Disconnect() noexcept;
    // Raises the lost connection (or why it never was) when the engine is not connected.
    void RequireConnection();
    // The server's next answer, the work tick running while it works.
    pg_result* NextResult() const;
    // The last of the answers to what was sent, up to the end of them.
    pg_result* LastResult() const;
    // Takes the answer of the COMMIT sent without waiting, if not taken yet.
    void Settle() const;
    void EndReading() noexcept;
    static constexpr int kKeptFromRows = 16;
    static constexpr int kTickMilliseconds = 100;
    struct TKept {
        std::shared_ptr<pg_result> result;
        std::vector<TFieldValue::Type> types;
        const void* statement;
        std::string query;
        std::vector<std::optional<std::string>> parameters;
    };
    // Runs sql after the DEALLOCATE of statements given up since the last such run.
    void RunWithForgotten(const std::string& sql);

    pg_conn* m_conn = nullptr;
    std::string m_database;
    int m_busyTimeout = 5000;
    std::function<void()> m_workTick;
    std::int64_t m_rowsChanged = 0;
    std::int64_t m_lastInsertKey = 0;
    std::uint64_t m_roundTrips = 0;
    std::uint64_t m_session = 0;
    std::uint64_t m_statementNumber = 0;
    std::vector<std::string> m_forgotten;
    std::string m_begin;              // a BEGIN not sent yet: it goes with the transaction's first statement
    mutable bool m_unsettled = false; // a COMMIT sent whose answer has not been taken
    std::map<unsigned, TColumnOrigin> m_origins;
    bool m_reading = false;
    std::uint64_t m_readNumber = 0;
    std::vector<TKept> m_kept;
    std::uint64_t m_cursorNumber = 0;
    std::int64_t m_pendingKey = 0;
    std::uint64_t m_pendingKeySession = 0; // the session that holds the key's advisory lock
    std::string m_lastError = "Connection is not open";
    std::string m_lastState = kStateCannotConnect;
    TDialect m_dialect;
};

// Pending paragraphs on a server: a negative key per editor, held by a session advisory lock of the
// same number while its session lives. The query that tells which keys of the rows are leftovers of
// a client that died (no session holds their lock): their ContentTitle values, one a row.
inline constexpr const char* kLeftoverPendingKeys =
    "SELECT k FROM (SELECT DISTINCT ContentTitle AS k FROM Content WHERE ContentTitle < 0) AS pending "
    "WHERE NOT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND objsubid = 1 AND granted AND "
    "database = (SELECT oid FROM pg_database WHERE datname = current_database()) AND "
    "((classid::bigint << 32) | objid::bigint) = k)";

// The server engine under a connection, or nullptr when it runs on a file. For tests and benchmarks.
TPostgresEngine* PostgresEngineOf(const TADOConnection& connection);
