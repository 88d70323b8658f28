#pragma once

#include "ADOConnection.h"
#include "RowStore.h"
#include "StatementText.h"

#include <optional>
#include <string>
#include <vector>

// What a result reader asks of the record set it reads for.
class TResultOwner {
public:
    // The statement made its first step (hasRow: it stands on the first row): the fields are made.
    virtual void DescribeResult(const TStatementLease& statement, bool hasRow) = 0;
    // The statement ran again and its whole result replaced the rows; opened holds the rows as they
    // were, so that the current row can be found again.
    virtual void ResultRerun(const std::vector<const char*>& opened) = 0;
    // Raises EDatabaseError with the record set's name in front.
    [[noreturn]] virtual void RaiseNamed(const std::string& message) const = 0;

protected:
    ~TResultOwner() = default;
};

// The fetch policy of a record set: when its rows are read from the engine (see ResultReader.cpp).
class TResultReader final : public TPendingRead {
public:
    explicit TResultReader(TResultOwner& owner) : m_owner(owner) {}
    ~TResultReader();
    TResultReader(const TResultReader&) = delete;
    TResultReader& operator=(const TResultReader&) = delete;

    // A new connection (the record set is closed): a statement still held goes back to the old one.
    void SetConnection(TADOConnection* connection);

    // Runs text's statement to its first row (reusing the statement held when text is not new) and
    // has the owner describe the result. Raises EOleException for the engine's errors.
    void Run(const TStatementText& text, bool newText);
    // An open on its own reads a short rest before anyone sees the result, so that a small result
    // stays exactly as opened and its errors come from the open.
    void ReadAhead();
    // A close: no rows; inside the read transaction the statement is kept for the next open.
    void Reset() noexcept;

    TRowStore& Store() { return m_store; }
    std::vector<const char*>& Rows() { return m_store.Rows(); }
    // Rows the result is known to have so far: those fetched and the one the statement stands on.
    int Known() const { return static_cast<int>(m_store.Rows().size()) + (m_rowInHand ? 1 : 0); }
    bool Stale() const { return m_fetch == TFetch::Stale; }

    // Whether the result has a row at index row (a stale result is run again to know).
    bool HasRow(int row) {
        if (row >= Known() && m_fetch != TFetch::Complete)
            return KnowRow(row);
        return row >= 0 && row < Known();
    }
    // Whether a row stands distance rows after anchor (read again when a second run moved it).
    bool HasRowFrom(const int& anchor, int distance) {
        if (anchor + distance >= Known() && m_fetch != TFetch::Complete)
            return KnowRowFrom(anchor, distance);
        return anchor + distance < Known();
    }
    // The row at index row copied into Rows(), when the result has it; a stale result is not run again.
    bool Fetch(int row) {
        if (m_fetch == TFetch::Live && row >= static_cast<int>(m_store.Rows().size()))
            FetchUpTo(row);
        return row >= 0 && row < static_cast<int>(m_store.Rows().size());
    }
    void FetchAll();
    // A fetched row's cell (NULL past the rows fetched).
    TFieldValue Cell(int row, int field);

    void Settle(bool fetchRest) override;

private:
    // Complete: every row is in Rows(). Live: the statement is held open in the connection's read
    // transaction and stands before the next row (on it when m_rowInHand), so rows keep coming from
    // the state of the open. Stale: the statement was given back when the read transaction ended;
    // the rows left are read by running it again.
    enum class TFetch : std::uint8_t { Complete, Live, Stale };

    bool KnowRow(int row);
    bool KnowRowFrom(const int& anchor, int distance);
    void FetchUpTo(int row);
    void GiveBackStatement() noexcept;
    void KeepStatement() noexcept;
    void StopFetching(TFetch next) noexcept;
    bool StepOn();
    bool FetchOne(std::size_t* bytes = nullptr);
    void Advance();
    void Refetch();

    TResultOwner& m_owner;
    TADOConnection* m_connection = nullptr;
    TRowStore m_store;
    TFetch m_fetch = TFetch::Complete;
    // Held only inside the connection's read transaction, and registered with it as a pending read
    // while held: Live, or kept reset for the next open of the same statement (a handler reopening
    // this record set for row after row), until the transaction ends or hands the lock back.
    std::optional<TStatementLease> m_statement;
    bool m_rowInHand = false;
    int m_columnCount = 0;
    const TStatementText* m_text = nullptr; // the statement of the last run, for a second run
};
