#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One SQLite database connection shared by every record set of the program.
class TADOConnection {
public:
    // The database is looked up by this path when the connection connects; the default is the bare
    // name NoteData.db, so it is found in the process's current directory.
    explicit TADOConnection(std::string databasePath = "NoteData.db");
    ~TADOConnection();
    TADOConnection(const TADOConnection&) = delete;
    TADOConnection& operator=(const TADOConnection&) = delete;

    const std::string& DatabasePath() const { return m_databasePath; }
    bool Connected() const { return m_db != nullptr; }

    // Connects if not yet connected: opens the existing file read-write (never creates it) and checks
    // that it is a database. Raises EOleException with SQLite's message; the connection then stays
    // unconnected and the next call tries again. Once connected it stays connected until destroyed.
    void Open();

    // Busy timeout in milliseconds used while another process writes (default 5000).
    void SetBusyTimeout(int milliseconds);

    // Called now and then while the engine runs a statement (every few thousand engine instructions)
    // and at every retry while a busy wait sits out another process's lock, so the program can show
    // that it is busy. The busy wait keeps the busy timeout's length and pace. tick must not raise;
    // an empty tick switches the calls off.
    void SetWorkTick(std::function<void()> tick);

    // Transactions. Every transaction the program opens writes, so BeginTrans starts it as a writer
    // (BEGIN IMMEDIATE): another process's short write is waited out by the busy timeout there, where
    // a reader's later upgrade would be refused at once. BeginTrans raises if one is already running.
    // RollbackTrans does nothing outside a transaction and raises EOleException when the engine
    // reports a failure; a transaction the engine then still holds is rolled back before any later
    // statement of this connection runs, and that statement raises while the rollback keeps failing,
    // so nothing is ever written into a transaction that was meant to be undone.
    void BeginTrans();
    void CommitTrans();
    void RollbackTrans();
    bool InTransaction() const;

    // The raw handle, valid while connected; nullptr otherwise.
    sqlite3* Handle() const { return m_db; }

    // Runs SQL that returns no rows (for example a schema script). Raises EOleException.
    void ExecuteDirect(const std::string& sql);

    // A prepared statement lent to one user. While lent it is neither finalized nor lent again, however
    // many other statements are prepared in between (a handler called during an open may prepare
    // dozens); giving it back (destruction or Finish) resets it and clears its bindings. A lease must
    // end before its connection does.
    class TStatementLease {
    public:
        TStatementLease(TStatementLease&& other) noexcept;
        TStatementLease& operator=(TStatementLease&&) = delete;
        ~TStatementLease();
        sqlite3_stmt* Handle() const { return m_stmt; }
        // Gives the statement back after its last step; raises EOleException when the reset reports
        // an error.
        void Finish();

    private:
        friend class TADOConnection;
        TStatementLease(sqlite3_stmt* stmt, bool* inUse) : m_stmt(stmt), m_inUse(inUse) {}
        int Release() noexcept;
        sqlite3_stmt* m_stmt;
        bool* m_inUse;
    };

    // Lends the prepared statement for sql, kept and reused for the same text while connected; it
    // comes reset and without bindings. Raises EOleException (connects first when needed).
    TStatementLease PrepareCached(const std::string& sql);

    // What the table's schema says of one column (cached per table for the connection's life).
    struct ColumnInfo {
        std::string declaredType;
        bool primaryKey = false;
        bool rowidAlias = false; // INTEGER PRIMARY KEY: the key SQLite assigns
    };
    struct TableInfo {
        std::string keyColumn; // empty when the table has no single-column key
        std::vector<std::pair<std::string, ColumnInfo>> columns;
        const ColumnInfo* Find(const std::string& column) const;
    };
    const TableInfo& TableSchema(const std::string& table);

    // Raises EOleException built from the connection's current error (message cleaned of trailing
    // full stops, blanks and control characters).
    [[noreturn]] void RaiseLastError() const;

private:
    std::string m_databasePath;
    void InstallWorkTick() noexcept;
    static int ProgressTick(void* connection) noexcept;
    static int BusyWait(void* connection, int attempt) noexcept;
    std::function<void()> m_workTick;
    std::chrono::steady_clock::time_point m_busySince;
    void ForgetCache() noexcept;
    // Rolls back a transaction whose rollback failed earlier; raises while that still fails.
    void EndAbandonedTransaction();

    sqlite3* m_db = nullptr;
    int m_busyTimeout = 5000;
    bool m_rollbackFailed = false;
    struct CachedStatement {
        std::string sql;
        sqlite3_stmt* stmt;
        bool inUse = false;
    };
    std::list<CachedStatement> m_statements; // most recently used first; entries never move
    std::list<std::pair<std::string, TableInfo>> m_tables;
};

// Rolls back unless committed; a rollback that fails there is taken up by the connection's next
// statement (see RollbackTrans).
class TTransaction {
public:
    explicit TTransaction(TADOConnection& connection);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;
    void Commit();

private:
    TADOConnection& m_connection;
    bool m_done = false;
};

// Cleans an engine message the way every EOleException shows it.
std::string CleanEngineMessage(std::string message);
