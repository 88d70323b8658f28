#pragma once

#include <chrono>
#include <vector>

class TDatabaseEngine;
class TWriteTransactions;

// A reader that keeps a statement open inside the read transaction. Settle(true) must fetch the
// rest of its rows (it may raise); Settle(false) must give the statement back at once and not
// raise (the rows left are read again when needed). Either way it is then no longer pending.
class TPendingRead {
public:
    virtual void Settle(bool fetchRest) = 0;

protected:
    ~TPendingRead() = default;
};

// The read transaction that a record set's open and its handlers' opens share (see
// ReadTransaction.cpp for the rules).
class TReadTransaction {
public:
    static constexpr std::chrono::milliseconds kHandBackInterval{50};

    TReadTransaction(TDatabaseEngine& engine, TWriteTransactions& writes) : m_engine(engine), m_writes(writes) {}

    // Begin and End pair up and nest; the connection is connected. Begin raises EOleException.
    void Begin();
    void End(bool failed) noexcept;
    // The read transaction of our own is open: statements may stay open between calls.
    bool Active() const { return m_active; }
    // Inside the outermost Begin only.
    bool Outermost() const { return m_depth == 1; }

    void AddPending(TPendingRead* reader);
    void RemovePending(TPendingRead* reader) noexcept;
    // Before a change is written: readers fetch their rest and the read transaction ends.
    void BeforeWrite();

private:
    void Start();
    void SettlePending(bool fetchRest);
    // Commits (rolls back when that fails); never raises.
    void Finish() noexcept;

    TDatabaseEngine& m_engine;
    TWriteTransactions& m_writes;
    int m_depth = 0;
    unsigned m_checks = 0;
    bool m_owned = false;  // the outermost Begin found no write transaction
    bool m_active = false; // our read transaction is open
    std::chrono::steady_clock::time_point m_since;
    std::vector<TPendingRead*> m_pending;
};
