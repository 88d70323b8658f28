// TReadTransaction: the read transaction of a connection's record sets.
//
// Operations: Begin and End pair up and nest; a record set's open holds one pair over its whole work,
// its handlers' opens included. Outside a write transaction the outermost Begin starts a read
// transaction (deferred: the lock comes with the first read), so that a list open and the N
// statements its handlers run take the database lock once and see one state of it. Where readers
// block writers, a nested Begin hands the lock back when it has been held for kHandBackInterval:
// pending readers fetch their rest first, then commit and begin let a waiting writer in, so that
// another process's short write never waits for a long open. End with failed set, inside an outer
// reader, also hands the lock back (the error is about to be shown in a box that may stand open for
// long). The outermost End settles every pending reader and commits. BeforeWrite ends the read
// transaction before a change, so that a change never upgrades it (which could deadlock with another
// writer) and no open result sees a change made after it was opened. Inside a write transaction
// reads need nothing of this.
//
// Cost: a read transaction takes the file lock once for all the statements in it, where each
// statement on its own takes and releases it; handing the lock back costs the same once per
// kHandBackInterval. A nested Begin looks at the clock every kReadsPerClockCheck calls only.
#include "ReadTransaction.h"

#include "DatabaseEngine.h"
#include "DatabaseErrors.h"
#include "WriteTransactions.h"

#include <algorithm>

namespace {

// Nested reads between two looks at the clock: a read inside a list open takes a few microseconds.
constexpr unsigned kReadsPerClockCheck = 16;

} // namespace

void TReadTransaction::Start() {
    m_writes.EndAbandoned();
    m_engine.BeginRead();
    m_active = true;
    m_since = std::chrono::steady_clock::now();
}

void TReadTransaction::Finish() noexcept {
    m_active = false;
    if (!m_engine.InTransaction())
        return;
    try {
        m_engine.Commit();
        return;
    } catch (const Exception&) {
    }
    if (m_engine.InTransaction()) {
        m_engine.RollbackQuietly();
        if (m_engine.InTransaction())
            m_writes.Abandon();
    }
}

[[gnu::hot]] void TReadTransaction::Begin() {
    if (m_depth == 0) {
        m_writes.EndAbandoned();
        m_owned = !m_engine.InTransaction();
        if (m_owned)
            Start();
        m_depth = 1;
        return;
    }
    if (m_owned) {
        if (!m_active) {
            // A change ended it on the way; reads go on in one again.
            if (!m_engine.InTransaction())
                Start();
        } else if (++m_checks % kReadsPerClockCheck == 0 && m_engine.ReadersBlockWriters() &&
                   std::chrono::steady_clock::now() - m_since >= kHandBackInterval) {
            // A writer waiting for the lock (it holds the pending lock) gets it while our next read
            // waits in the busy handler; no writer waiting, the read takes the lock again at once.
            SettlePending(true);
            Finish();
            Start();
        }
    }
    ++m_depth;
}

[[gnu::hot]] void TReadTransaction::End(bool failed) noexcept {
    if (m_depth == 0)
        return;
    if (--m_depth > 0 && !failed)
        return;
    if (m_active) {
        SettlePending(false);
        Finish();
    }
    if (m_depth == 0)
        m_owned = false;
}

void TReadTransaction::AddPending(TPendingRead* reader) {
    m_pending.push_back(reader);
}

void TReadTransaction::RemovePending(TPendingRead* reader) noexcept {
    std::erase(m_pending, reader);
}

void TReadTransaction::SettlePending(bool fetchRest) {
    while (!m_pending.empty()) {
        TPendingRead* const reader = m_pending.back();
        try {
            reader->Settle(fetchRest);
        } catch (...) {
            RemovePending(reader);
            throw;
        }
        RemovePending(reader);
    }
}

void TReadTransaction::BeforeWrite() {
    if (!m_active)
        return;
    SettlePending(true);
    Finish();
}
