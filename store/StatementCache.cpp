// TStatementCache: the engine's prepared statements, kept and lent out by their text.
//
// Operations: Lend (find a free statement for the text, or prepare one), the lease's Finish or
// destruction (reset, bindings cleared, free again). The cache holds kStatementCacheSize
// statements; the least recently used one that nobody holds makes room for a new one, and a lent one
// is never touched, so a lease stays valid however many statements are prepared meanwhile.
//
// Cost: a lend is one hash of the text and a splice of the recently-used list; it saves the engine's
// parse and plan for every repeated statement text (the record sets lift integer literals into
// bindings so that "... = 57" and "... = 58" share one text). Making room scans from the least
// recently used end.
#include "StatementCache.h"

#include <utility>

namespace {

constexpr std::size_t kStatementCacheSize = 64;

} // namespace

TStatementLease::TStatementLease(TStatementLease&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)), m_inUse(std::exchange(other.m_inUse, nullptr)),
      m_serial(other.m_serial) {}

[[gnu::hot]] TStatementLease::~TStatementLease() {
    Release();
}

[[gnu::hot]] bool TStatementLease::Release() noexcept {
    if (!m_statement)
        return true;
    const bool reset = m_statement->Reset();
    m_statement->ClearBindings();
    *m_inUse = false;
    m_statement = nullptr;
    return reset;
}

void TStatementLease::Finish() {
    TEngineStatement* const statement = m_statement;
    if (!Release())
        statement->RaiseError();
}

[[gnu::hot]] TStatementLease TStatementCache::Lend(std::string_view sql) {
    const auto [first, last] = m_index.equal_range(sql);
    for (auto found = first; found != last; ++found) {
        const auto it = found->second;
        if (!it->inUse) {
            m_statements.splice(m_statements.begin(), m_statements, it);
            it->inUse = true;
            return TStatementLease(it->statement.get(), &it->inUse, it->serial);
        }
    }
    std::unique_ptr<TEngineStatement> statement = m_engine.Prepare(sql);
    if (m_statements.size() >= kStatementCacheSize)
        MakeRoom();
    m_statements.push_front({std::string(sql), std::move(statement), ++m_preparedCount, true});
    m_index.emplace(m_statements.front().sql, m_statements.begin());
    return TStatementLease(m_statements.front().statement.get(), &m_statements.front().inUse, m_preparedCount);
}

void TStatementCache::MakeRoom() noexcept {
    for (auto it = m_statements.end(); it != m_statements.begin();) {
        --it;
        if (it->inUse)
            continue;
        const auto [from, to] = m_index.equal_range(it->sql);
        for (auto entry = from; entry != to; ++entry)
            if (entry->second == it) {
                m_index.erase(entry);
                break;
            }
        m_statements.erase(it);
        return;
    }
}
