// TADOConnection: the program's one database connection, the small class that holds its parts
// together: the engine (DatabaseEngine.h), the statement cache with its leases (StatementCache.cpp),
// the read transaction (ReadTransaction.cpp), the write transactions (WriteTransactions.cpp) and the
// schema reader (SchemaReader.cpp).
//
// Operations: Open (connect on demand; later calls do nothing for a file, and make a server's lost
// connection again), PrepareCached, TableKey, BeginTrans / CommitTrans / RollbackTrans,
// ExecuteDirect, and BeginRead / EndRead. The connection opens an existing file read-write and never
// creates one; other processes may use the file at the same time, and a busy timeout waits out their
// short writes. Once connected to a file it stays connected until destroyed. Before every statement
// a transaction whose rollback failed earlier is rolled back.
//
// Cost: Open reads the schema once. The rest costs what its part costs; the connection itself adds a
// test of the abandoned-transaction flag per statement.
#include "ADOConnection.h"

#include "DatabaseErrors.h"
#include "PostgresEngine.h"
#include "SqliteEngine.h"

namespace {

// The engine a database text asks for: a server's connection string, or else a database file.
std::unique_ptr<TDatabaseEngine> EngineFor(const std::string& database) {
    if (IsServerConnection(database))
        return std::make_unique<TPostgresEngine>();
    return std::make_unique<TSqliteEngine>();
}

} // namespace

TADOConnection::TADOConnection(std::string databasePath)
    : m_databasePath(std::move(databasePath)), m_engine(EngineFor(m_databasePath)), m_writes(*m_engine),
      m_read(*m_engine, m_writes), m_schema(*m_engine), m_statements(*m_engine) {
    m_engine->SetBusyTimeout(kDefaultBusyTimeout);
    m_canLoseConnection = m_engine->CanLoseConnection();
}

TADOConnection::~TADOConnection() = default;

void TADOConnection::Connect() {
    m_engine->Connect(m_databasePath);
    m_connected = true;
}

void TADOConnection::SetBusyTimeout(int milliseconds) {
    m_engine->SetBusyTimeout(milliseconds);
}

void TADOConnection::SetWorkTick(std::function<void()> tick) {
    m_engine->SetWorkTick(std::move(tick));
}

// What every write needs first: a connection, no transaction left over from a failed rollback (that
// would take the write), and no read transaction of our own (a write must never upgrade it).
void TADOConnection::ReadyToWrite() {
    Open();
    m_writes.EndAbandoned();
    BeforeWrite();
}

void TADOConnection::ExecuteDirect(const std::string& sql) {
    ReadyToWrite();
    m_engine->Execute(sql);
}

void TADOConnection::BeginTrans() {
    ReadyToWrite();
    m_writes.Begin();
}

void TADOConnection::CommitTrans() {
    ReadyToWrite();
    m_writes.Commit();
}

void TADOConnection::RollbackTrans() {
    if (InTransaction())
        m_writes.Rollback();
}

bool TADOConnection::InTransaction() const {
    return m_engine->InTransaction() && !m_read.Active();
}

[[gnu::hot]] void TADOConnection::BeginRead() {
    Open();
    m_read.Begin();
}

[[gnu::hot]] TStatementLease TADOConnection::PrepareCached(std::string_view sql) {
    Open();
    m_writes.EndAbandoned();
    return m_statements.Lend(sql);
}

const TTableKey& TADOConnection::TableKey(const std::string& table) {
    Open();
    m_writes.EndAbandoned();
    return m_schema.KeyOf(table);
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
