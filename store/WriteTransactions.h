#pragma once

class TDatabaseEngine;

// The write transactions of a connection (see WriteTransactions.cpp).
class TWriteTransactions {
public:
    explicit TWriteTransactions(TDatabaseEngine& engine) : m_engine(engine) {}

    void Begin();
    void Commit();
    // Rolls back the engine's open transaction; raises EOleException when the engine reports a
    // failure, and a transaction the engine then still holds is taken up by EndAbandoned.
    void Rollback();
    // A transaction whose end failed (a write's rollback, a read's commit and rollback) and that the
    // engine still holds is to be rolled back before the connection's next statement.
    void Abandon() { m_abandoned = true; }
    // Rolls that transaction back; raises while the rollback keeps failing, so nothing is ever
    // written into a transaction that was meant to be undone.
    void EndAbandoned() {
        if (m_abandoned)
            RollbackAbandoned();
    }

private:
    void RollbackAbandoned();

    TDatabaseEngine& m_engine;
    bool m_abandoned = false;
};
