#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
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
    // a reader's later upgrade would be refused at once. BeginTrans raises if one is already running;
    // it first ends a read transaction of the connection's own (see BeginRead).
    // RollbackTrans does nothing outside a transaction and raises EOleException when the engine
    // reports a failure; a transaction the engine then still holds is rolled back before any later
    // statement of this connection runs, and that statement raises while the rollback keeps failing,
    // so nothing is ever written into a transaction that was meant to be undone.
    void BeginTrans();
    void CommitTrans();
    void RollbackTrans();
    bool InTransaction() const; // a write transaction, begun by BeginTrans

    // Reading. BeginRead and EndRead pair up and nest; a record set's open holds one pair over its
    // whole work, its handlers' opens included. Outside a write transaction the outermost BeginRead
    // starts a read transaction (deferred: the lock comes with the first read), so that a list open
    // and the N statements its handlers run take the database lock once and see one state of it. A
    // nested BeginRead hands the lock back when it has been held for kHandBackInterval: readers
    // still holding a statement fetch their rest first, then COMMIT and BEGIN let a waiting writer
    // in, so that another process's short write never waits for a long open. EndRead with failed
    // set, inside an outer reader, also hands the lock back (the error is about to be shown in a box
    // that may stand open for long). The outermost EndRead settles every reader (see TPendingRead)
    // and commits. Inside a write transaction reads need nothing of this.
    static constexpr std::chrono::milliseconds kHandBackInterval{50};
    void BeginRead();
    void EndRead(bool failed = false) noexcept;
    // True while a read transaction of the connection's own is open: statements run in it may stay
    // open between calls (record sets fetch their rows as they need them).
    bool InReadTransaction() const { return m_readActive; }
    // True inside the outermost BeginRead only (not inside another reader's).
    bool OutermostRead() const { return m_readDepth == 1; }

    // A reader that keeps a statement open inside the read transaction. Settle(true) must fetch the
    // rest of its rows (it may raise); Settle(false) must give the statement back at once and not
    // raise (the rows left are read again when needed). Either way it then calls RemovePendingRead.
    class TPendingRead {
    public:
        virtual void Settle(bool fetchRest) = 0;

    protected:
        ~TPendingRead() = default;
    };
    void AddPendingRead(TPendingRead* reader);
    void RemovePendingRead(TPendingRead* reader) noexcept;
    // Before a change is written: readers fetch their rest and the read transaction ends, so that a
    // change never upgrades it (which could deadlock with another writer) and no open result sees a
    // change made after it was opened.
    void BeforeWrite();

    // True when the database stores its text as UTF-8 (known once it holds a table): a text value's
    // bytes can then be taken as they are, without SQLite's terminated copy.
    bool TextIsUtf8() const { return m_textUtf8; }

    // The raw handle, valid while connected; nullptr otherwise.
    sqlite3* Handle() const { return m_db; }

    // Runs SQL that returns no rows (for example a schema script), after BeforeWrite. Raises
    // EOleException.
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
        // Tells the statement from any other the connection has prepared or will prepare (a new
        // statement may get the address of a finalized one).
        std::uint64_t Serial() const { return m_serial; }
        // Gives the statement back after its last step; raises EOleException when the reset reports
        // an error.
        void Finish();

    private:
        friend class TADOConnection;
        TStatementLease(sqlite3_stmt* stmt, bool* inUse, std::uint64_t serial)
            : m_stmt(stmt), m_inUse(inUse), m_serial(serial) {}
        int Release() noexcept;
        sqlite3_stmt* m_stmt;
        bool* m_inUse;
        std::uint64_t m_serial;
    };

    // Lends the prepared statement for sql, kept and reused for the same text while connected; it
    // comes reset and without bindings. Raises EOleException (connects first when needed).
    TStatementLease PrepareCached(std::string_view sql);

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
    void StartReadTransaction();
    void SettlePendingReads(bool fetchRest);
    // COMMIT of the read transaction (ROLLBACK when that fails); never raises.
    void FinishReadTransaction() noexcept;
    int StepCached(std::string_view sql);

    int m_readDepth = 0;
    unsigned m_readChecks = 0;
    bool m_readOwned = false;  // the outermost BeginRead found no write transaction
    bool m_readActive = false; // our read transaction is open
    std::chrono::steady_clock::time_point m_readSince;
    std::vector<TPendingRead*> m_pendingReads;

    sqlite3* m_db = nullptr;
    bool m_textUtf8 = false;
    int m_busyTimeout = 5000;
    bool m_rollbackFailed = false;
    struct CachedStatement {
        std::string sql;
        sqlite3_stmt* stmt;
        std::uint64_t serial;
        bool inUse = false;
    };
    std::uint64_t m_preparedCount = 0;
    std::list<CachedStatement> m_statements; // most recently used first; entries never move
    // The cached statements by their text (a view of the entry's own text).
    std::unordered_multimap<std::string_view, std::list<CachedStatement>::iterator> m_statementIndex;
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
