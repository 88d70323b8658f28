#pragma once

#include "DatabaseEngine.h"
#include "DatabaseErrors.h"
#include "EngineError.h"
#include "ReadTransaction.h"
#include "SchemaReader.h"
#include "StatementCache.h"
#include "WriteTransactions.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

// One database connection shared by every record set of the program: the engine with the parts
// that share it (see ADOConnection.cpp).
class TADOConnection {
public:
    static constexpr int kDefaultBusyTimeout = 5000; // milliseconds

    // The database is looked up by this path when the connection connects; the default is the bare
    // name NoteData.db, so it is found in the process's current directory.
    explicit TADOConnection(std::string databasePath = "NoteData.db");
    ~TADOConnection();
    TADOConnection(const TADOConnection&) = delete;
    TADOConnection& operator=(const TADOConnection&) = delete;

    bool Connected() const { return m_connected; }

    // Connects if not yet connected: opens the existing file read-write (never creates it) and checks
    // that it is a database. Raises EOleException with the engine's message; the connection then
    // stays unconnected and the next call tries again. A file's connection, once made, stays until
    // destroyed; a server's lost connection is made again by the next call.
    void Open() {
        if (!m_connected || m_canLoseConnection)
            Connect();
    }

    // Busy timeout in milliseconds used while another process writes (default kDefaultBusyTimeout).
    void SetBusyTimeout(int milliseconds);

    // Called now and then while the engine runs a statement (a fraction of a millisecond apart) and
    // at every retry while a busy wait sits out another process's lock, so the program can show that
    // it is busy. The busy wait keeps the busy timeout's length and pace. tick must not raise; an
    // empty tick switches the calls off.
    void SetWorkTick(std::function<void()> tick);

    // Transactions. Every transaction the program opens writes, so BeginTrans starts it as a writer:
    // another process's short write is waited out by the busy timeout there, where a reader's later
    // upgrade would be refused at once. BeginTrans raises if one is already running; it first ends a
    // read transaction of the connection's own (see BeginRead).
    // RollbackTrans does nothing outside a transaction and raises EOleException when the engine
    // reports a failure; a transaction the engine then still holds is rolled back before any later
    // statement of this connection runs, and that statement raises while the rollback keeps failing,
    // so nothing is ever written into a transaction that was meant to be undone.
    void BeginTrans();
    void CommitTrans();
    void RollbackTrans();
    bool InTransaction() const; // a write transaction, begun by BeginTrans

    // Reading: see ReadTransaction.cpp. BeginRead and EndRead pair up and nest; a record set's open
    // holds one pair over its whole work, its handlers' opens included.
    void BeginRead();
    void EndRead(bool failed = false) noexcept { m_read.End(failed); }
    // True while a read transaction of the connection's own is open: statements run in it may stay
    // open between calls (record sets fetch their rows as they need them).
    bool InReadTransaction() const { return m_read.Active(); }
    // True inside the outermost BeginRead only (not inside another reader's).
    bool OutermostRead() const { return m_read.Outermost(); }

    void AddPendingRead(TPendingRead* reader) { m_read.AddPending(reader); }
    void RemovePendingRead(TPendingRead* reader) noexcept { m_read.RemovePending(reader); }
    // Before a change is written: readers fetch their rest and the read transaction ends, so that a
    // change never upgrades it (which could deadlock with another writer) and no open result sees a
    // change made after it was opened.
    void BeforeWrite() { m_read.BeforeWrite(); }

    // Runs SQL that returns no rows (for example a schema script), after BeforeWrite. Raises
    // EOleException.
    void ExecuteDirect(const std::string& sql);

    // Lends the prepared statement for sql, kept and reused for the same text while connected; it
    // comes reset and without bindings. Raises EOleException (connects first when needed).
    TStatementLease PrepareCached(std::string_view sql);

    // The table's key as its schema declares it (read once per table for the connection's life).
    const TTableKey& TableKey(const std::string& table);

    // The key of this connection's pending paragraphs (see TDatabaseEngine::PendingKey). Connects
    // first; a file's key is 0 also when that fails (the statement that follows reports it, as
    // before), a server's raises the failure.
    std::int64_t PendingKey() {
        try {
            Open();
        } catch (const Exception&) {
        }
        return m_engine->PendingKey();
    }

    // The engine under the connection; valid for the connection's life.
    TDatabaseEngine& Engine() const { return *m_engine; }
    const TDialect& Dialect() const { return m_engine->Dialect(); }

private:
    void Connect();
    void ReadyToWrite();

    std::string m_databasePath;
    bool m_connected = false;
    // A server's connection is checked (and made again) by every Open; a file's is made once.
    bool m_canLoseConnection = false;
    std::unique_ptr<TDatabaseEngine> m_engine;
    TWriteTransactions m_writes;
    TReadTransaction m_read;
    TSchemaReader m_schema;
    TStatementCache m_statements; // declared last: its statements go before the engine closes
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
