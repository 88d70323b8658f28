#pragma once

#include "CellCodec.h"
#include "FieldValue.h"

#include <cstddef>
#include <deque>
#include <new>
#include <vector>

// A block of memory for rows' cells that never moves (see RowStore.cpp).
class TRowChunk {
public:
    explicit TRowChunk(std::size_t size);
    TRowChunk(TRowChunk&& other) noexcept;
    TRowChunk& operator=(TRowChunk&&) = delete;
    ~TRowChunk();
    char* Memory() const { return m_memory; }
    std::size_t Size() const { return m_size; }

private:
    char* m_memory = nullptr;
    std::size_t m_size = 0;
    bool m_mapped = false;
};

// The row store: a result's rows in the cell codec's layout, in chunks that never move, and one
// pointer per row in the result's order (see RowStore.cpp for the memory policy and its costs).
// A row is written cell by cell (BeginRow, the cells in column order, EndRow) or whole (Append).
class TRowStore {
public:
    TRowStore() = default;
    TRowStore(const TRowStore&) = delete;
    TRowStore& operator=(const TRowStore&) = delete;

    // Each row's first cell. The pointers stay valid until Clear, whatever is written meanwhile;
    // callers may reorder, insert (pointers Append returned) and drop them.
    std::vector<const char*>& Rows() { return m_rows; }
    const std::vector<const char*>& Rows() const { return m_rows; }

    // Writing a row as its newest: EndRow adds it to Rows() and returns its size in bytes.
    void BeginRow() {
        m_row = m_chunks.empty() ? nullptr : m_chunks.back().Memory() + m_chunkUsed;
        m_rowSize = 0;
    }
    void AddNull() { *Extend(1) = static_cast<char>(TFieldValue::Null); }
    void AddInteger(std::int64_t value) {
        const std::uint64_t zigzag = ZigZag(value);
        TagAndVarint(Extend(1 + VarintSize(zigzag)), TFieldValue::Int, zigzag);
    }
    void AddReal(double real) {
        char* const at = Extend(1 + sizeof real);
        *at = static_cast<char>(TFieldValue::Real);
        std::memcpy(at + 1, &real, sizeof real);
    }
    // A text's or a BLOB's bytes (bytes may be nullptr only for none).
    void AddBytes(TFieldValue::Type type, const void* bytes, std::size_t count) {
        if (!bytes && count > 0)
            throw std::bad_alloc();
        char* const at = Extend(1 + VarintSize(count) + count);
        const std::size_t head = TagAndVarint(at, type, count);
        if (count > 0)
            std::memcpy(at + head, bytes, count);
    }
    std::size_t EndRow() {
        m_rows.push_back(m_row);
        return m_rowSize;
    }

    // Stores the cells of values and returns where they now live; not added to Rows().
    const char* Append(const std::vector<TFieldValue>& values);

    // No rows; the chunks are kept for the next result, which fills them before it takes new memory.
    void Clear() noexcept;
    // The result is complete: kept chunks it did not need go.
    void Completed() noexcept { m_spareChunks.clear(); }

private:
    // Room for more bytes after the row being written, which moves to a new chunk when the current
    // one is full.
    char* Extend(std::size_t more) {
        if (m_chunks.empty() || m_chunkUsed + more > m_chunkSize)
            MoveRowToNewChunk(more);
        char* const at = m_chunks.back().Memory() + m_chunkUsed;
        m_chunkUsed += more;
        m_rowSize += more;
        return at;
    }
    void MoveRowToNewChunk(std::size_t more);
    void NewChunk(std::size_t size);

    std::vector<TRowChunk> m_chunks;
    std::deque<TRowChunk> m_spareChunks;
    std::size_t m_chunkSize = 0;
    std::size_t m_chunkUsed = 0;
    std::vector<const char*> m_rows;
    char* m_row = nullptr; // the row being written
    std::size_t m_rowSize = 0;
};
