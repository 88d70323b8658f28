#pragma once

#include "DatabaseEngine.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

// A prepared statement lent to one user. While lent it is neither finalized nor lent again, however
// many other statements are prepared in between (a handler called during an open may prepare
// dozens); giving it back (destruction or Finish) resets it and clears its bindings. A lease must
// end before its cache does.
class TStatementLease {
public:
    TStatementLease(TStatementLease&& other) noexcept;
    TStatementLease& operator=(TStatementLease&&) = delete;
    ~TStatementLease();
    TEngineStatement& Statement() const { return *m_statement; }
    TEngineStatement* operator->() const { return m_statement; }
    // Tells the statement from any other the cache has prepared or will prepare (a new statement may
    // get the address of a finalized one).
    std::uint64_t Serial() const { return m_serial; }
    // Gives the statement back after its last step; raises EOleException when the reset reports
    // an error.
    void Finish();

private:
    friend class TStatementCache;
    TStatementLease(TEngineStatement* statement, bool* inUse, std::uint64_t serial)
        : m_statement(statement), m_inUse(inUse), m_serial(serial) {}
    bool Release() noexcept;
    TEngineStatement* m_statement;
    bool* m_inUse;
    std::uint64_t m_serial;
};

// The engine's prepared statements kept by their text (see StatementCache.cpp).
class TStatementCache {
public:
    explicit TStatementCache(TDatabaseEngine& engine) : m_engine(engine) {}
    TStatementCache(const TStatementCache&) = delete;
    TStatementCache& operator=(const TStatementCache&) = delete;

    // Lends the prepared statement for sql, reset and without bindings; prepares it when no free one
    // is kept. Raises EOleException when the engine cannot prepare it.
    TStatementLease Lend(std::string_view sql);

private:
    struct TCachedStatement {
        std::string sql;
        std::unique_ptr<TEngineStatement> statement;
        std::uint64_t serial;
        bool inUse = false;
    };
    void MakeRoom() noexcept;

    TDatabaseEngine& m_engine;
    std::uint64_t m_preparedCount = 0;
    std::list<TCachedStatement> m_statements; // most recently used first; entries never move
    // The cached statements by their text (a view of the entry's own text).
    std::unordered_multimap<std::string_view, std::list<TCachedStatement>::iterator> m_index;
};
