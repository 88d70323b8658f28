// TWriteTransactions: begin, commit and roll back a connection's write transactions, and the rollback
// of a transaction whose end failed.
//
// Operations: Begin (the engine's write transaction: the write lock at once, so another process's
// short write is waited out there rather than refused at a later upgrade), Commit, Rollback, and
// EndAbandoned, which the connection calls before every statement: a flag test when nothing was
// abandoned, one rollback otherwise.
#include "WriteTransactions.h"

#include "DatabaseEngine.h"

void TWriteTransactions::Begin() {
    m_engine.BeginWrite();
}

void TWriteTransactions::Commit() {
    m_engine.Commit();
}

void TWriteTransactions::Rollback() {
    try {
        m_engine.Rollback();
    } catch (...) {
        m_abandoned = m_engine.InTransaction();
        throw;
    }
}

void TWriteTransactions::RollbackAbandoned() {
    m_abandoned = false;
    if (m_engine.InTransaction())
        Rollback();
}
