// TResultReader: the fetch policy of a record set, and the rows it fetched.
//
// Run takes the statement to its first row inside the connection's read transaction
// (TADOConnection::BeginRead) and leaves it open there; every later row is copied when something
// first needs it (a move onto it, a count, the grid's window), so a result read only at its first
// row (the count walk's content statements) costs the same at any size. An open on its own (not
// inside another open's handler) first reads up to kReadAheadRows rows (kReadAheadBytes) ahead, so
// that a small result is whole, and its errors raised, before anyone sees it. Within the read
// transaction the rows are those of the open. When it ends (the outermost open returns) a reader
// still holding its statement gives it back: a later need runs the statement again and takes that
// result whole, as the database is then (its own posts and deletes included, the current row found
// again by the owner); an open only to insert never needs to. Before a change is written, and when
// the lock is handed back, the rest is fetched instead. Inside a write transaction Run reads the
// whole result.
//
// Costs: a row is one engine step and, when it is kept, one copy into the row store. A reopen of
// the same statement inside the read transaction keeps its prepared statement: no cache lookup.
#include "ResultReader.h"

#include "DatabaseErrors.h"

TResultReader::~TResultReader() {
    if (m_statement)
        GiveBackStatement();
}

void TResultReader::SetConnection(TADOConnection* connection) {
    if (m_statement)
        GiveBackStatement();
    m_connection = connection;
}

void TResultReader::GiveBackStatement() noexcept {
    m_statement.reset(); // reset, without bindings, to the connection's cache
    m_rowInHand = false;
    m_connection->RemovePendingRead(this);
}

[[gnu::hot]] void TResultReader::KeepStatement() noexcept {
    m_statement->Statement().Reset();
    m_rowInHand = false;
}

[[gnu::hot]] void TResultReader::Reset() noexcept {
    if (m_statement) {
        if (m_connection->InReadTransaction())
            KeepStatement();
        else
            GiveBackStatement();
    }
    m_fetch = TFetch::Complete;
    m_store.Clear();
}

// Prepares (or keeps) the statement, binds it, takes its first row and has the fields made. Inside
// the connection's read transaction the statement stays open on that row and the rest comes as it
// is needed; inside a write transaction the whole result is read at once.
[[gnu::hot]] void TResultReader::Run(const TStatementText& text, bool newText) {
    if (newText && m_statement)
        GiveBackStatement();
    m_text = &text;
    std::optional<TStatementLease> fresh;
    if (!m_statement)
        fresh.emplace(m_connection->PrepareCached(text.Translated()));
    TStatementLease& lease = m_statement ? *m_statement : *fresh;
    TEngineStatement& statement = lease.Statement();
    text.BindTo(statement);
    m_columnCount = statement.ColumnCount();
    if (m_columnCount == 0)
        m_owner.RaiseNamed("CommandText does not return a result set");
    const bool hasRow = statement.Step();
    m_owner.DescribeResult(lease, hasRow);

    const bool reading = m_connection->InReadTransaction();
    if (reading && fresh) {
        m_connection->AddPendingRead(this);
        m_statement.emplace(std::move(*fresh));
    }
    if (hasRow && reading) {
        m_rowInHand = true;
        m_fetch = TFetch::Live;
        return;
    }
    if (hasRow) { // inside a write transaction
        do
            statement.ReadRow(m_store);
        while (statement.Step());
    }
    m_fetch = TFetch::Complete;
    m_store.Completed();
    if (reading)
        KeepStatement();
    else if (fresh)
        fresh->Finish();
}

[[gnu::hot]] void TResultReader::ReadAhead() {
    constexpr int kReadAheadRows = 64;
    constexpr std::size_t kReadAheadBytes = 1024 * 1024;
    if (m_fetch != TFetch::Live)
        return;
    std::size_t bytes = 0;
    for (int row = 0; row <= kReadAheadRows && bytes < kReadAheadBytes && FetchOne(&bytes); ++row) {
    }
}

[[gnu::hot]] void TResultReader::StopFetching(TFetch next) noexcept {
    m_fetch = next;
    if (next == TFetch::Complete) {
        m_store.Completed();
        KeepStatement();
    } else {
        GiveBackStatement();
    }
}

// Steps the live statement onto its next row, which is copied only when read; false at the end
// (the result is then complete).
[[gnu::hot]] bool TResultReader::StepOn() {
    bool row;
    try {
        row = m_statement->Statement().Step();
    } catch (...) {
        // A statement that failed starts again at its next step: the rest is read anew when needed.
        StopFetching(TFetch::Stale);
        throw;
    }
    if (row) {
        m_rowInHand = true;
        return true;
    }
    StopFetching(TFetch::Complete);
    return false;
}

// Copies one more row from the live statement; false when there is none. Adds the bytes stored to
// *bytes.
[[gnu::hot]] bool TResultReader::FetchOne(std::size_t* bytes) {
    if (!m_rowInHand && !StepOn())
        return false;
    const std::size_t size = m_statement->Statement().ReadRow(m_store);
    m_rowInHand = false;
    if (bytes)
        *bytes += size;
    return true;
}

// One step towards knowing more rows: a live statement moves on, a stale result is run again.
void TResultReader::Advance() {
    if (m_fetch == TFetch::Stale)
        Refetch();
    else if (m_rowInHand)
        FetchOne();
    else
        StepOn();
}

[[gnu::hot]] bool TResultReader::KnowRow(int row) {
    while (row >= Known() && m_fetch != TFetch::Complete)
        Advance();
    return row >= 0 && row < Known();
}

[[gnu::hot]] bool TResultReader::KnowRowFrom(const int& anchor, int distance) {
    while (anchor + distance >= Known() && m_fetch != TFetch::Complete)
        Advance();
    return anchor + distance < Known();
}

[[gnu::hot]] void TResultReader::FetchUpTo(int row) {
    while (m_fetch == TFetch::Live && row >= static_cast<int>(m_store.Rows().size()) && FetchOne()) {
    }
}

void TResultReader::FetchAll() {
    while (m_fetch == TFetch::Live)
        FetchOne();
    if (m_fetch == TFetch::Stale)
        Refetch();
}

TFieldValue TResultReader::Cell(int row, int field) {
    if (!Fetch(row))
        return {};
    return ReadCell(CellIn(m_store.Rows()[static_cast<std::size_t>(row)], field));
}

// The read transaction is ending (fetchRest false) or handing the lock back (true): the statement
// goes back either way.
void TResultReader::Settle(bool fetchRest) {
    if (m_fetch == TFetch::Live) {
        if (fetchRest) {
            FetchAll();
        } else {
            // The current row stays readable; the rows after it are read again if ever needed.
            try {
                if (m_rowInHand)
                    FetchOne();
            } catch (...) {
                // Nothing is lost: the statement runs again when a row is needed, and raises then.
            }
            if (m_fetch == TFetch::Live)
                m_fetch = TFetch::Stale;
        }
    }
    if (m_statement)
        GiveBackStatement();
}

// Runs the statement again for the rows given back and takes its whole result: it shows the
// database as it is now, this record set's own posts and deletes included.
void TResultReader::Refetch() {
    TStatementLease lease = m_connection->PrepareCached(m_text->Translated());
    TEngineStatement& statement = lease.Statement();
    m_text->BindTo(statement);
    if (statement.ColumnCount() != m_columnCount)
        m_owner.RaiseNamed("The statement's columns have changed since it was opened");
    std::vector<const char*> opened;
    opened.swap(m_store.Rows());
    try {
        while (statement.Step())
            statement.ReadRow(m_store);
        lease.Finish();
    } catch (...) {
        m_store.Rows().swap(opened);
        throw;
    }
    m_fetch = TFetch::Complete;
    m_store.Completed();
    m_owner.ResultRerun(opened);
}
