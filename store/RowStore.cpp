// TRowStore: the memory of a result's rows.
//
// Operations: rows written cell by cell as the engine reads them (BeginRow, Add..., EndRow) or whole
// (Append, for a posted edit or insert), Clear when the record set closes, Completed when its result
// is whole. Rows() is the result's order: a posted edit repoints its row, a delete drops its
// pointer, a posted insert adds one.
//
// Memory: chunks grow with the result, kFirstChunk first (a small result stays small) and doubling
// up to kLargestChunk; a row larger than that gets a chunk of its own. A Clear keeps the chunks for
// the next result, which fills them before it touches new memory (a reopened list costs no page
// faults); what that result leaves unused goes when it is complete. Chunks of kHugePage and more are
// mapped aligned to kHugePage and asked to be backed by huge pages, so that filling and freeing a
// large result costs a few page faults, not thousands.
//
// Costs: a cell costs its bytes plus a tag and a varint; a row one pointer. Writing is a copy into
// the current chunk; a row that does not fit moves once to the next chunk.
#include "RowStore.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = 4 * 1024 * 1024;

} // namespace

TRowChunk::TRowChunk(std::size_t size) {
    if (size >= kHugePage) {
        // Mapped directly, so the alignment costs no memory: the unaligned ends are unmapped.
        m_size = (size + kHugePage - 1) / kHugePage * kHugePage;
        void* mapped = mmap(nullptr, m_size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        const auto aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
        if (aligned > start)
            munmap(mapped, aligned - start);
        if (const auto tail = kHugePage - (aligned - start); tail > 0)
            munmap(reinterpret_cast<void*>(aligned + m_size), tail);
        m_memory = reinterpret_cast<char*>(aligned);
        m_mapped = true;
        madvise(m_memory, m_size, MADV_HUGEPAGE);
    } else {
        m_size = size;
        m_memory = static_cast<char*>(std::malloc(size));
        if (!m_memory)
            throw std::bad_alloc();
    }
}

TRowChunk::TRowChunk(TRowChunk&& other) noexcept
    : m_memory(std::exchange(other.m_memory, nullptr)), m_size(other.m_size), m_mapped(other.m_mapped) {}

TRowChunk::~TRowChunk() {
    if (m_mapped && m_memory)
        munmap(m_memory, m_size);
    else
        std::free(m_memory);
}

void TRowStore::NewChunk(std::size_t size) {
    const std::size_t grown = m_chunks.empty() ? kFirstChunk : std::min(m_chunkSize * 2, kLargestChunk);
    const std::size_t wanted = std::max(grown, size);
    while (!m_spareChunks.empty() && m_spareChunks.front().Size() < wanted)
        m_spareChunks.pop_front();
    if (m_spareChunks.empty()) {
        m_chunks.emplace_back(wanted);
    } else {
        m_chunks.push_back(std::move(m_spareChunks.front()));
        m_spareChunks.pop_front();
    }
    m_chunkSize = m_chunks.back().Size();
    m_chunkUsed = 0;
}

void TRowStore::MoveRowToNewChunk(std::size_t more) {
    const char* const partial = m_row;
    NewChunk(m_rowSize + more);
    m_row = m_chunks.back().Memory();
    if (m_rowSize > 0)
        std::memcpy(m_row, partial, m_rowSize);
    m_chunkUsed = m_rowSize;
}

const char* TRowStore::Append(const std::vector<TFieldValue>& values) {
    std::size_t size = 0;
    for (const auto& value : values)
        size += TCellToStore::From(value).EncodedSize();
    if (m_chunks.empty() || m_chunkUsed + size > m_chunkSize)
        NewChunk(size);
    char* const stored = m_chunks.back().Memory() + m_chunkUsed;
    m_chunkUsed += size;
    char* at = stored;
    for (const auto& value : values)
        at = TCellToStore::From(value).Write(at);
    return stored;
}

[[gnu::hot]] void TRowStore::Clear() noexcept {
    try {
        for (auto& chunk : m_chunks)
            m_spareChunks.push_back(std::move(chunk));
    } catch (const std::bad_alloc&) {
        // The chunks not kept are freed.
    }
    m_chunks.clear();
    m_chunkSize = 0;
    m_chunkUsed = 0;
    m_rows.clear();
}
