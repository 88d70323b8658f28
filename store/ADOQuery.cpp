// TADOQuery: a record set over one SQL statement, its result held in the program.
//
// Order of calls: set the statement (ClearSQL/AddSQL, which close the record set), Open, then any
// of the moves (First, Next, MoveBy, Last, SetRecNo, Locate), field reads, and the changes (Edit or
// Insert, field assignments, Post; Delete). Close discards the result. Every call on a closed
// record set but Close, Open and the statement raises the closed-dataset error (fields: not found).
//
// Fetching: Open runs the statement to its first row inside the connection's read transaction
// (TADOConnection::BeginRead) and leaves it open there; every later row is copied when something
// first needs it (a move onto it, a count, the grid's window), so a result read only at its first
// row (the count walk's content statements) costs the same at any size. An open on its own (not
// inside another open's handler) first reads up to 64 rows (1 MB) ahead, so that a small result is
// whole, and its errors raised, before anyone sees it. Within the read transaction the rows are
// those of the open. When it ends (the outermost open returns) a record set still holding its
// statement gives it back: a later need runs the statement again and takes that result whole, as
// the database is then (its own posts and deletes included, the current row found again by its
// key); an open only to insert never needs to. Before a change is written, and when the lock is
// handed back, the rest is fetched instead. Inside a write transaction Open reads the whole result.
//
// Storage: the snapshot is a few large byte chunks holding each row's cells back to back (a tag
// byte, then a varint integer, an 8-byte real, or a varint length and the UTF-8 bytes of a text or
// the bytes of a BLOB), plus one pointer per row. A posted edit appends the new cells and repoints
// its row; a delete drops the row's pointer. Reading a cell walks the row's few cells; nothing is
// decoded for rows that are never read.
//
// Costs: a reopen of the statement text it had last (integer literals lifted into bindings)
// allocates nothing: the text is translated into kept buffers, the prepared statement found by
// hash, the fields of the last open reused. Moves, RecNo and RecordCount are constant time once
// rows are fetched; Locate scans the rows' key cells; Delete and a posted Insert move the row
// offsets behind the row. Post and Delete each run one SQLite statement. The functions a count
// walk runs at every step (here, in the fields, the connection and the main window's handler) are
// marked hot, which places them together: between two steps SQLite's page reads push them out of
// the caches, and a step then reloads a few pages of code instead of one for each function.
//
// Events: observers (the grid) get notices, held back between DisableControls and EnableControls,
// and the After/Before events; the window's AfterScroll handler runs after every move, inside the
// operation, after the observers were told.
#include "ADOQuery.h"

#include "ADOConnection.h"
#include "DatabaseErrors.h"
#include "FieldValue.h"
#include "TextCase.h"

#include <sqlite3.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <utility>

namespace {

// ---- compact row encoding -----------------------------------------------------------------------

std::uint64_t GetVarint(const char*& p) {
    std::uint64_t value = 0;
    int shift = 0;
    for (;;) {
        const auto byte = static_cast<unsigned char>(*p++);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return value;
        shift += 7;
    }
}

std::uint64_t ZigZag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t UnZigZag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

// Writes the tag and a varint into head; returns the bytes written (at most 11).
std::size_t TagAndVarint(char* head, TFieldValue::Type tag, std::uint64_t value) {
    std::size_t n = 0;
    head[n++] = static_cast<char>(tag);
    while (value >= 0x80) {
        head[n++] = static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    head[n++] = static_cast<char>(value);
    return n;
}

std::size_t VarintSize(std::uint64_t value) {
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

// One cell of a row being edited or inserted, to be stored.
struct CellToStore {
    TFieldValue::Type type = TFieldValue::Null;
    std::int64_t integer = 0;
    double real = 0;
    const char* bytes = nullptr;
    std::size_t size = 0;

    static CellToStore From(const TFieldValue& value) {
        return {value.type, value.integer, value.real, value.text.data(), value.text.size()};
    }

    // Bytes the cell takes in the row encoding.
    std::size_t EncodedSize() const {
        switch (type) {
        case TFieldValue::Null:
            return 1;
        case TFieldValue::Int:
            return 1 + VarintSize(ZigZag(integer));
        case TFieldValue::Real:
            return 1 + sizeof(double);
        case TFieldValue::Text:
        case TFieldValue::Blob:
            break;
        }
        return 1 + VarintSize(size) + size;
    }

    // Writes the cell at out, which has room for EncodedSize() bytes; returns the end.
    char* Write(char* out) const {
        switch (type) {
        case TFieldValue::Null:
            *out = static_cast<char>(TFieldValue::Null);
            return out + 1;
        case TFieldValue::Int:
            return out + TagAndVarint(out, TFieldValue::Int, ZigZag(integer));
        case TFieldValue::Real:
            *out = static_cast<char>(TFieldValue::Real);
            std::memcpy(out + 1, &real, sizeof real);
            return out + 1 + sizeof real;
        case TFieldValue::Text:
        case TFieldValue::Blob:
            break;
        }
        out += TagAndVarint(out, type, size);
        if (size > 0)
            std::memcpy(out, bytes, size);
        return out + size;
    }
};

const char* SkipCell(const char* p) {
    switch (static_cast<TFieldValue::Type>(*p++)) {
    case TFieldValue::Null:
        return p;
    case TFieldValue::Int:
        GetVarint(p);
        return p;
    case TFieldValue::Real:
        return p + sizeof(double);
    case TFieldValue::Text:
    case TFieldValue::Blob: {
        const auto size = GetVarint(p);
        return p + size;
    }
    }
    return p;
}

TFieldValue ReadCell(const char* p) {
    TFieldValue value;
    value.type = static_cast<TFieldValue::Type>(*p++);
    switch (value.type) {
    case TFieldValue::Null:
        break;
    case TFieldValue::Int:
        value.integer = UnZigZag(GetVarint(p));
        break;
    case TFieldValue::Real:
        std::memcpy(&value.real, p, sizeof(double));
        break;
    case TFieldValue::Text:
    case TFieldValue::Blob: {
        const auto size = GetVarint(p);
        value.text.assign(p, size);
        break;
    }
    }
    return value;
}

// ---- statement text -----------------------------------------------------------------------------

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of at most 18 decimal digits.
std::int64_t DigitsValue(std::string_view digits) {
    std::int64_t value = 0;
    for (const char digit : digits)
        value = value * 10 + (digit - '0');
    return value;
}

bool IsIdentifierChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || u >= 0x80;
}

bool IsQuote(char c) {
    return c == '\'' || c == '"' || c == '`';
}

// Characters the translation of a statement looks at outside quoted text.
constexpr const char* kTokenCharacters = "'\"`:0123456789";

// Turns the record set's statement text into what SQLite is given. A colon outside quoted text
// that is not doubled starts a parameter marker, which runs to the next blank, comma, semicolon,
// closing parenthesis or line break and becomes "?" (bound to NULL: the program supplies no
// values); a doubled colon stands for one colon. Quoted text starts at any of the three quote
// characters and ends only at the same character (a doubled one inside stays quoted), so a
// criterion between single quotes stays one literal whatever it holds. An integer literal right
// after a comparison operator is lifted into a binding as well, so that statements differing only
// in such a number share one plan.
// An integer literal lifted into a binding: where it stands in the text, and its binding.
struct TLiftedLiteral {
    std::size_t start;
    std::size_t end;
    std::size_t binding;
};

void TranslateStatement(const std::string& text, std::string& out, std::vector<std::optional<std::int64_t>>& bindings,
                        std::vector<TLiftedLiteral>& lifted) {
    out.clear();
    bindings.clear();
    lifted.clear();
    std::size_t copied = 0; // text before this is in out
    const auto replace = [&](std::size_t from, std::size_t to, std::string_view with) {
        out.append(text, copied, from - copied);
        out.append(with);
        copied = to;
    };
    char quote = 0; // the quote character that opened the quoted text we are in
    for (std::size_t i = 0; i < text.size();) {
        // Letters, blanks and operators pass through as they are (a NUL byte as well).
        if (!quote) {
            i += std::strcspn(text.c_str() + i, kTokenCharacters);
            if (i == text.size())
                break;
            if (text[i] == '\0') {
                ++i;
                continue;
            }
        }
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            ++i;
        } else if (IsQuote(c)) {
            quote = c;
            ++i;
        } else if (c == ':') {
            if (i + 1 < text.size() && text[i + 1] == ':') {
                replace(i, i + 2, ":");
                i += 2;
                continue;
            }
            std::size_t end = i + 1;
            while (end < text.size() && !std::strchr(" ,;)\r\n", text[end]))
                ++end;
            replace(i, end, "?");
            bindings.emplace_back(std::nullopt);
            i = end;
        } else if (IsDigit(c) && (i == 0 || (!IsIdentifierChar(text[i - 1]) && text[i - 1] != '.'))) {
            std::size_t end = i;
            while (end < text.size() && IsDigit(text[end]))
                ++end;
            const bool standsAlone = end == text.size() || (!IsIdentifierChar(text[end]) && text[end] != '.');
            std::size_t before = i;
            while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == '\t'))
                --before;
            const bool afterComparison = before > 0 && std::strchr("=<>", text[before - 1]);
            if (standsAlone && afterComparison && end - i <= 18) {
                lifted.push_back({i, end, bindings.size()});
                bindings.emplace_back(DigitsValue(std::string_view(text).substr(i, end - i)));
                replace(i, end, "?");
            }
            i = end;
        } else {
            ++i;
        }
    }
    out.append(text, copied, std::string::npos);
}

// Whether text is the last translated text (source) but for the integers of its lifted literals, as
// a handler's statement for one row after another is; their values then go into bindings, and the
// translation stands. Cheaper than translating again: the text between the literals is compared as
// a block.
[[gnu::hot]] bool SameShape(std::string_view text, std::string_view source, const std::vector<TLiftedLiteral>& lifted,
                            std::vector<std::optional<std::int64_t>>& bindings) {
    std::size_t from = 0; // in source
    std::size_t at = 0;   // in text
    for (const TLiftedLiteral& literal : lifted) {
        const std::size_t between = literal.start - from;
        if (text.size() - at < between || std::memcmp(text.data() + at, source.data() + from, between) != 0)
            return false;
        at += between;
        std::size_t end = at;
        while (end < text.size() && IsDigit(text[end]))
            ++end;
        if (end == at || end - at > 18 || (end < text.size() && (IsIdentifierChar(text[end]) || text[end] == '.')))
            return false;
        bindings[literal.binding] = DigitsValue(text.substr(at, end - at));
        at = end;
        from = literal.end;
    }
    return text.size() - at == source.size() - from &&
           std::memcmp(text.data() + at, source.data() + from, source.size() - from) == 0;
}

// The statement's lines into text, each ended by CR LF (text keeps its memory for the next join).
void JoinLines(const std::vector<std::string>& lines, std::string& text) {
    text.clear();
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
}

// The field kind a declared column type gives; nullopt when the value must decide.
std::optional<TFieldKind> KindFromDeclaredType(std::string_view declared, int& size) {
    size = 0;
    const std::string upper = UpperAscii(declared);
    if (upper.empty())
        return std::nullopt;
    if (upper.find("INT") != std::string::npos)
        return TFieldKind::Integer;
    const auto paren = upper.find('(');
    std::string base = upper.substr(0, paren);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    const bool textual = base == "VARCHAR" || base == "CHAR" || base == "TEXT" || base == "NVARCHAR" ||
                         base == "NCHAR" || base == "CHARACTER" || base == "VARYING CHARACTER" ||
                         base == "CHARACTER VARYING" || base == "NATIVE CHARACTER";
    if (textual && paren != std::string::npos) {
        std::size_t i = paren + 1;
        while (i < upper.size() && upper[i] == ' ')
            ++i;
        int length = 0;
        bool digits = false;
        while (i < upper.size() && std::isdigit(static_cast<unsigned char>(upper[i])) && length < 100000000) {
            length = length * 10 + (upper[i++] - '0');
            digits = true;
        }
        if (digits && length > 0) {
            size = length;
            return TFieldKind::Text;
        }
    }
    if (textual || base == "MEMO" || base == "LONGTEXT" || base == "CLOB" || base == "NTEXT")
        return TFieldKind::Memo;
    if (base.find("REAL") != std::string::npos || base.find("FLOA") != std::string::npos ||
        base.find("DOUB") != std::string::npos || base == "NUMERIC" || base == "DECIMAL")
        return TFieldKind::Float;
    return std::nullopt;
}

TFieldKind KindFromValueType(int sqliteType) {
    switch (sqliteType) {
    case SQLITE_INTEGER:
        return TFieldKind::Integer;
    case SQLITE_FLOAT:
        return TFieldKind::Float;
    case SQLITE_BLOB:
        return TFieldKind::Memo;
    default:
        return TFieldKind::Text;
    }
}

// Binds one value; raises EDatabaseError with the engine's message when the engine refuses it (a
// text over its length limit would otherwise go in as NULL).
void BindValue(sqlite3_stmt* stmt, int index, const TFieldValue& value) {
    int rc = SQLITE_OK;
    switch (value.type) {
    case TFieldValue::Null:
        rc = sqlite3_bind_null(stmt, index);
        break;
    case TFieldValue::Int:
        rc = sqlite3_bind_int64(stmt, index, value.integer);
        break;
    case TFieldValue::Real:
        rc = sqlite3_bind_double(stmt, index, value.real);
        break;
    case TFieldValue::Text:
        rc = sqlite3_bind_text64(stmt, index, value.text.data(), value.text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
    case TFieldValue::Blob:
        rc = sqlite3_bind_blob64(stmt, index, value.text.data(), value.text.size(), SQLITE_TRANSIENT);
        break;
    }
    if (rc != SQLITE_OK)
        throw EDatabaseError(CleanEngineMessage(sqlite3_errmsg(sqlite3_db_handle(stmt))));
}

} // namespace

// Memory for rows' cells. Chunks of 2 MB and more are mapped aligned to 2 MB and asked to be backed
// by huge pages, so that filling and freeing a large result costs a few page faults, not thousands.
class TRowChunk {
public:
    explicit TRowChunk(std::size_t size) {
        constexpr std::size_t kHugePage = 2 * 1024 * 1024;
        if (size >= kHugePage) {
            // Mapped directly, so the alignment costs no memory: the unaligned ends are unmapped.
            m_size = (size + kHugePage - 1) / kHugePage * kHugePage;
            void* mapped =
                mmap(nullptr, m_size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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
    TRowChunk(TRowChunk&& other) noexcept
        : m_memory(std::exchange(other.m_memory, nullptr)), m_size(other.m_size), m_mapped(other.m_mapped) {}
    TRowChunk& operator=(TRowChunk&&) = delete;
    ~TRowChunk() {
        if (m_mapped && m_memory)
            munmap(m_memory, m_size);
        else
            std::free(m_memory);
    }
    char* Memory() const { return m_memory; }
    std::size_t Size() const { return m_size; }

private:
    char* m_memory = nullptr;
    std::size_t m_size = 0;
    bool m_mapped = false;
};

struct TADOQuery::Impl final : TADOConnection::TPendingRead {
    explicit Impl(TADOQuery& owner) : owner(owner) {}
    ~Impl() {
        if (statement)
            GiveBackStatement();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    TADOQuery& owner;

    // Rows' cells live in chunks that never move; a chunk grows with the result (4 KB first, so a
    // small result stays small) up to 4 MB, and a row larger than that gets a chunk of its own. A
    // close keeps the chunks for the next open, which fills them before it touches new memory (a
    // reopened list costs no page faults); what the new result leaves unused goes when it is
    // complete.
    std::vector<TRowChunk> chunks;
    std::deque<TRowChunk> spareChunks;
    std::size_t chunkSize = 0;
    std::size_t chunkUsed = 0;
    std::vector<const char*> rows;    // each fetched row's first cell, in the result's order
    int current = -1;                 // view index of the current row, -1 when none
    int top = 0;                      // view index on the window's first line
    int insertPos = -1;               // view index of the row being inserted
    std::vector<TFieldValue> buffer;  // the row being edited or inserted
    const char* editRow = nullptr;    // the edited row as it was read
    std::vector<std::string> columns; // each field's column in the table ("" for expressions)
    std::string table;                // the table changes go to; empty when the result is read-only
    int keyField = -1;                // the table's key among the fields

    // Fetching. Complete: every row is in rows. Live: the statement is held open in the
    // connection's read transaction and stands before the next row (on it when rowInHand), so rows
    // keep coming from the state of the open. Stale: the statement was given back when the read
    // transaction ended; the rows left are read by running it again.
    enum class TFetch : std::uint8_t { Complete, Live, Stale };
    TFetch fetch = TFetch::Complete;
    // Held only inside the connection's read transaction, and registered with it as a pending
    // read while held: Live, or kept reset for the next open of the same statement (a handler
    // reopening this record set for row after row), until the transaction ends or hands the lock
    // back.
    std::optional<TADOConnection::TStatementLease> statement;
    bool rowInHand = false;
    int columnCount = 0;

    // The statement as given to SQLite, with its bindings, kept for a second run; the text it was
    // translated from, with the literals lifted out of it.
    std::string text;
    std::string translatedFrom; // the single line of the statement, or its whole text
    bool translatedFromLine = false;
    std::string translated;
    std::vector<std::optional<std::int64_t>> bindings;
    std::vector<TLiftedLiteral> lifted;

    // The layout of the last result: a reopen of the same prepared statement reuses its fields.
    std::uint64_t layoutStatement = 0; // the statement's serial, 0 for none
    int layoutReprepares = -1;
    std::vector<std::unique_ptr<TField>> spareFields;

    // What a close leaves: no rows; buffers, the layout and (inside the read transaction) the
    // statement are kept for the next open.
    void Reset() noexcept {
        if (statement) {
            if (owner.m_connection->InReadTransaction())
                KeepStatement();
            else
                GiveBackStatement();
        }
        fetch = TFetch::Complete;
        try {
            for (auto& chunk : chunks)
                spareChunks.push_back(std::move(chunk));
        } catch (const std::bad_alloc&) {
            // The chunks not kept are freed.
        }
        chunks.clear();
        chunkSize = 0;
        chunkUsed = 0;
        rows.clear();
        current = -1;
        top = 0;
        insertPos = -1;
        buffer.clear();
        editRow = nullptr;
    }

    static const char* CellIn(const char* row, int field) {
        for (int i = 0; i < field; ++i)
            row = SkipCell(row);
        return row;
    }
    // A fetched row's cell (NULL past the rows fetched).
    TFieldValue Cell(int row, int field) {
        if (!Fetch(row))
            return {};
        return ReadCell(CellIn(rows[static_cast<std::size_t>(row)], field));
    }
    // Starts a chunk of at least size bytes.
    void NewChunk(std::size_t size) {
        constexpr std::size_t kFirstChunk = 4096;
        constexpr std::size_t kLargestChunk = 4 * 1024 * 1024;
        const std::size_t grown = chunks.empty() ? kFirstChunk : std::min(chunkSize * 2, kLargestChunk);
        const std::size_t wanted = std::max(grown, size);
        while (!spareChunks.empty() && spareChunks.front().Size() < wanted)
            spareChunks.pop_front();
        if (spareChunks.empty()) {
            chunks.emplace_back(wanted);
        } else {
            chunks.push_back(std::move(spareChunks.front()));
            spareChunks.pop_front();
        }
        chunkSize = chunks.back().Size();
        chunkUsed = 0;
    }
    // Room for size bytes in the chunks, which never move.
    char* Reserve(std::size_t size) {
        if (chunks.empty() || chunkUsed + size > chunkSize)
            NewChunk(size);
        char* at = chunks.back().Memory() + chunkUsed;
        chunkUsed += size;
        return at;
    }
    // Room for more bytes after the rowSize bytes of the row being written at row, which moves to a
    // new chunk when the current one is full.
    char* Extend(char*& row, std::size_t rowSize, std::size_t more) {
        if (chunks.empty() || chunkUsed + more > chunkSize) {
            const char* const partial = row;
            NewChunk(rowSize + more);
            row = chunks.back().Memory();
            if (rowSize > 0)
                std::memcpy(row, partial, rowSize);
            chunkUsed = rowSize;
        }
        char* const at = chunks.back().Memory() + chunkUsed;
        chunkUsed += more;
        return at;
    }
    // Stores a row's cells in the chunks and returns where the row now lives.
    const char* Append(const std::vector<CellToStore>& row) {
        std::size_t size = 0;
        for (const auto& cell : row)
            size += cell.EncodedSize();
        char* const stored = Reserve(size);
        char* at = stored;
        for (const auto& cell : row)
            at = cell.Write(at);
        return stored;
    }
    const char* Append(const std::vector<TFieldValue>& values) {
        std::vector<CellToStore> row;
        row.reserve(values.size());
        for (const auto& value : values)
            row.push_back(CellToStore::From(value));
        return Append(row);
    }
    // Copies the row the statement stands on, each cell straight into the chunk; returns its size.
    std::size_t CopyRow(sqlite3_stmt* stmt) {
        const bool utf8 = owner.m_connection->TextIsUtf8();
        char* row = chunks.empty() ? nullptr : chunks.back().Memory() + chunkUsed;
        std::size_t size = 0;
        for (int c = 0; c < columnCount; ++c) {
            sqlite3_value* const value = sqlite3_column_value(stmt, c);
            switch (sqlite3_value_type(value)) {
            case SQLITE_NULL:
                *Extend(row, size, 1) = static_cast<char>(TFieldValue::Null);
                size += 1;
                break;
            case SQLITE_INTEGER: {
                const std::uint64_t zigzag = ZigZag(sqlite3_value_int64(value));
                const std::size_t cellSize = 1 + VarintSize(zigzag);
                TagAndVarint(Extend(row, size, cellSize), TFieldValue::Int, zigzag);
                size += cellSize;
                break;
            }
            case SQLITE_FLOAT: {
                const double real = sqlite3_value_double(value);
                char* const at = Extend(row, size, 1 + sizeof real);
                *at = static_cast<char>(TFieldValue::Real);
                std::memcpy(at + 1, &real, sizeof real);
                size += 1 + sizeof real;
                break;
            }
            case SQLITE_BLOB: {
                const void* const bytes = sqlite3_value_blob(value);
                CopyBytes(row, size, TFieldValue::Blob, bytes, static_cast<std::size_t>(sqlite3_value_bytes(value)));
                break;
            }
            default: // text, as UTF-8 whatever the database's own encoding
                if (utf8) {
                    // The bytes as SQLite holds them: sqlite3_value_text would first make a
                    // terminated copy of every text read from a page.
                    const auto bytes = static_cast<std::size_t>(sqlite3_value_bytes(value));
                    CopyBytes(row, size, TFieldValue::Text, sqlite3_value_blob(value), bytes);
                } else {
                    const unsigned char* const text = sqlite3_value_text(value);
                    if (!text) // the conversion ran out of memory; an empty text is never NULL
                        throw std::bad_alloc();
                    CopyBytes(row, size, TFieldValue::Text, text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
                }
                break;
            }
        }
        rows.push_back(row);
        return size;
    }
    const char* StoredCurrentCell(int fieldIndex);
    // Appends a text or BLOB cell to the row being written.
    void CopyBytes(char*& row, std::size_t& size, TFieldValue::Type type, const void* bytes, std::size_t count) {
        if (!bytes && count > 0)
            throw std::bad_alloc();
        const std::size_t cellSize = 1 + VarintSize(count) + count;
        char* const at = Extend(row, size, cellSize);
        const std::size_t head = TagAndVarint(at, type, count);
        if (count > 0)
            std::memcpy(at + head, bytes, count);
        size += cellSize;
    }
    // The result is complete: chunks of an earlier result it did not need go.
    void Completed() noexcept { spareChunks.clear(); }

    void GiveBackStatement() noexcept {
        statement.reset(); // reset, without bindings, to the connection's cache
        rowInHand = false;
        owner.m_connection->RemovePendingRead(this);
    }
    void KeepStatement() noexcept {
        sqlite3_reset(statement->Handle());
        rowInHand = false;
    }
    // A live statement has run out (kept for a reopen) or failed (given back).
    void StopFetching(TFetch next) noexcept {
        fetch = next;
        if (next == TFetch::Complete) {
            Completed();
            KeepStatement();
        } else {
            GiveBackStatement();
        }
    }
    // Rows the result is known to have so far: those fetched and the one the statement stands on.
    int Known() const { return static_cast<int>(rows.size()) + (rowInHand ? 1 : 0); }
    // Steps the live statement onto its next row, which is copied only when read; false at the end
    // (the result is then complete).
    bool StepOn() {
        sqlite3_stmt* const stmt = statement->Handle();
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            rowInHand = true;
            return true;
        }
        if (rc == SQLITE_DONE) {
            StopFetching(TFetch::Complete);
            return false;
        }
        // A statement that failed starts again at its next step: the rest is read anew when needed.
        sqlite3* const db = sqlite3_db_handle(stmt);
        EOleException error(CleanEngineMessage(sqlite3_errmsg(db)), sqlite3_extended_errcode(db));
        StopFetching(TFetch::Stale);
        throw error;
    }
    // Copies one more row from the live statement into rows; false when there is none. Adds the
    // bytes stored to *bytes.
    bool FetchOne(std::size_t* bytes = nullptr) {
        if (!rowInHand && !StepOn())
            return false;
        const std::size_t size = CopyRow(statement->Handle());
        rowInHand = false;
        if (bytes)
            *bytes += size;
        return true;
    }
    // One step towards knowing more rows: a live statement moves on, a stale result is run again
    // (which may move the current row's index, see Refetch).
    void Advance() {
        if (fetch == TFetch::Stale)
            Refetch();
        else if (rowInHand)
            FetchOne();
        else
            StepOn();
    }
    // Whether the result has a row at index row.
    bool HasRow(int row) {
        while (row >= Known() && fetch != TFetch::Complete)
            Advance();
        return row >= 0 && row < Known();
    }
    // Whether a row stands distance rows after anchor (current, top or insertPos, read again after
    // a second run moved it).
    bool HasRowFrom(const int& anchor, int distance) {
        while (anchor + distance >= Known() && fetch != TFetch::Complete)
            Advance();
        return anchor + distance < Known();
    }
    // The row at index row copied into rows, when the result has it; a stale result is not run again.
    bool Fetch(int row) {
        if (fetch == TFetch::Live)
            while (row >= static_cast<int>(rows.size()) && FetchOne()) {
            }
        return row >= 0 && row < static_cast<int>(rows.size());
    }
    void FetchAll() {
        while (fetch == TFetch::Live)
            FetchOne();
        if (fetch == TFetch::Stale)
            Refetch();
    }

    // The read transaction is ending (fetchRest false) or handing the lock back (true): the
    // statement goes back either way.
    void Settle(bool fetchRest) override {
        if (fetch == TFetch::Live) {
            if (fetchRest) {
                FetchAll();
            } else {
                // The current row stays readable; the rows after it are read again if ever needed.
                try {
                    if (rowInHand)
                        FetchOne();
                } catch (...) {
                    // Nothing is lost: the statement runs again when a row is needed, and raises then.
                }
                if (fetch == TFetch::Live)
                    fetch = TFetch::Stale;
            }
        }
        if (statement)
            GiveBackStatement();
    }
    // An open on its own (not inside another's handler) reads a short rest before anyone sees the
    // result, so that a small result stays exactly as opened and its errors come from the open; a
    // large one (an open only to insert) is read no further.
    void ReadAhead() {
        constexpr int kReadAheadRows = 64;
        constexpr std::size_t kReadAheadBytes = 1024 * 1024;
        std::size_t bytes = 0;
        for (int row = 0; row <= kReadAheadRows && bytes < kReadAheadBytes && FetchOne(&bytes); ++row) {
        }
    }

    // Binds the lifted literals and NULL to the parameter markers (a kept statement still holds
    // the bindings of its last run).
    void Bind(sqlite3_stmt* stmt) const {
        const auto count = static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt));
        for (std::size_t i = 0; i < bindings.size() && i < count; ++i) {
            const int index = static_cast<int>(i + 1);
            const int rc = bindings[i] ? sqlite3_bind_int64(stmt, index, *bindings[i]) : sqlite3_bind_null(stmt, index);
            if (rc != SQLITE_OK)
                throw EOleException(CleanEngineMessage(sqlite3_errmsg(sqlite3_db_handle(stmt))),
                                    sqlite3_extended_errcode(sqlite3_db_handle(stmt)));
        }
    }

    // Runs the statement again for the rows given back and takes its whole result: it shows the
    // database as it is now, this record set's own posts and deletes included. The current row is
    // found again by its key (a row being edited stays, found or not; a row being inserted keeps its
    // place), and the window keeps its distance from it.
    void Refetch() {
        TADOConnection::TStatementLease lease = owner.m_connection->PrepareCached(translated);
        sqlite3_stmt* const stmt = lease.Handle();
        Bind(stmt);
        if (sqlite3_column_count(stmt) != columnCount)
            owner.RaiseNamed("The statement's columns have changed since it was opened");
        std::vector<const char*> opened;
        opened.swap(rows);
        try {
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
                CopyRow(stmt);
            if (rc != SQLITE_DONE)
                owner.m_connection->RaiseLastError();
            lease.Finish();
        } catch (...) {
            rows.swap(opened);
            throw;
        }
        fetch = TFetch::Complete;
        Completed();

        const bool inserting = owner.m_state == TDataSetState::dsInsert;
        const bool editing = owner.m_state == TDataSetState::dsEdit;
        const char* keyRow = editing ? editRow
                             : !inserting && current >= 0 && current < static_cast<int>(opened.size())
                                 ? opened[static_cast<std::size_t>(current)]
                                 : nullptr;
        std::optional<TFieldValue> key;
        if (keyRow && keyField >= 0)
            key = ReadCell(CellIn(keyRow, keyField));
        const int line = current - top;
        const int count = static_cast<int>(rows.size());
        if (inserting) {
            insertPos = std::min(insertPos, count);
            current = insertPos;
        } else {
            int found = -1;
            for (int row = 0; key && !key->IsNull() && row < count && found < 0; ++row) {
                const TFieldValue cell = ReadCell(CellIn(rows[static_cast<std::size_t>(row)], keyField));
                if (cell.type == key->type && cell.integer == key->integer && cell.text == key->text)
                    found = row;
            }
            if (found >= 0) {
                current = found;
            } else if (editing) {
                current = std::clamp(current, 0, count);
                rows.insert(rows.begin() + current, editRow);
            } else {
                current = count == 0 ? -1 : std::clamp(current, 0, count - 1);
            }
        }
        top = std::max(0, current - std::max(0, line));
    }
};

TADOQuery::TADOQuery(std::string name, TADOConnection* connection)
    : m_name(std::move(name)), m_connection(connection), m_impl(std::make_unique<Impl>(*this)) {}

TADOQuery::~TADOQuery() = default;

void TADOQuery::SetConnection(TADOConnection* connection) {
    Close();
    if (m_impl->statement)
        m_impl->GiveBackStatement();
    m_connection = connection;
}

void TADOQuery::RaiseNamed(const std::string& message) const {
    throw EDatabaseError(m_name + ": " + message);
}

[[gnu::hot]] void TADOQuery::CheckActive() const {
    if (!Active())
        RaiseNamed("Cannot perform this operation on a closed dataset");
}

[[gnu::hot]] void TADOQuery::ClearSQL() {
    Close();
    for (auto& line : m_sql)
        m_spareLines.push_back(std::move(line));
    m_sql.clear();
    if (m_connection) {
        try {
            m_connection->Open();
        } catch (const Exception&) {
            // The open that follows connects again and reports the error.
        }
    }
}

[[gnu::hot]] void TADOQuery::AddSQL(const std::string& line) {
    Close();
    if (m_spareLines.empty()) {
        m_sql.push_back(line);
    } else {
        m_sql.push_back(std::move(m_spareLines.back()));
        m_spareLines.pop_back();
        m_sql.back().assign(line);
    }
    if (m_connection) {
        try {
            m_connection->Open();
        } catch (const Exception&) {
        }
    }
}

std::string TADOQuery::SQLText() const {
    std::string text;
    JoinLines(m_sql, text);
    return text;
}

// ---- events -------------------------------------------------------------------------------------

// Calls every observer registered when the call began (one may go away or come during a call).
template <typename Call> void TADOQuery::ForEachObserver(Call call) {
    constexpr std::size_t kInline = 8;
    if (m_observers.empty())
        return;
    if (m_observers.size() <= kInline) {
        std::array<TDataSetObserver*, kInline> observers{};
        const std::size_t count = m_observers.size();
        std::copy(m_observers.begin(), m_observers.end(), observers.begin());
        for (std::size_t i = 0; i < count; ++i)
            call(observers[i]);
        return;
    }
    const auto observers = m_observers;
    for (auto* observer : observers)
        call(observer);
}

[[gnu::hot]] void TADOQuery::Notify(TDataNotice notice) {
    if (m_disableCount > 0)
        return;
    ForEachObserver([&](TDataSetObserver* observer) { observer->DataSetNotice(*this, notice); });
}

template <typename Event> void TADOQuery::SendEvent(Event event) {
    ForEachObserver([&](TDataSetObserver* observer) { (observer->*event)(*this); });
}

[[gnu::hot]] void TADOQuery::FireScroll() {
    if (AfterScroll)
        AfterScroll(*this);
}

void TADOQuery::AddObserver(TDataSetObserver* observer) {
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void TADOQuery::RemoveObserver(TDataSetObserver* observer) {
    std::erase(m_observers, observer);
}

void TADOQuery::DisableControls() {
    ++m_disableCount;
}

void TADOQuery::EnableControls() {
    if (m_disableCount == 0)
        return;
    if (--m_disableCount == 0)
        Notify(TDataNotice::DataSetChanged);
}

// ---- open and close -----------------------------------------------------------------------------

[[gnu::hot]] void TADOQuery::Open() {
    if (Active())
        return;
    if (!m_connection)
        RaiseNamed("Missing Connection or ConnectionString");
    // The open, its observers and its handler (with the opens they make) read in one transaction.
    m_connection->BeginRead();
    try {
        RunStatement();
        if (m_impl->fetch == Impl::TFetch::Live && m_connection->OutermostRead())
            m_impl->ReadAhead();
        m_modifiedFields.clear();
        const bool empty = !m_impl->HasRow(0);
        m_impl->current = empty ? -1 : 0;
        m_impl->top = 0;
        m_bof = true;
        m_eof = empty;
        m_state = TDataSetState::dsBrowse;
        Notify(TDataNotice::LayoutChanged);
        SendEvent(&TDataSetObserver::AfterOpen);
        if (!empty)
            FireScroll();
    } catch (...) {
        if (!Active()) {
            m_impl->Reset();
            m_impl->spareFields.swap(m_fields);
            m_fields.clear();
        }
        m_connection->EndRead(true);
        throw;
    }
    m_connection->EndRead();
}

// Prepares (or keeps) the statement, binds it, takes its first row and sets up the fields. Inside
// the connection's read transaction the statement stays open on that row and the rest comes as it
// is needed; inside a write transaction the whole result is read at once.
[[gnu::hot]] void TADOQuery::RunStatement() {
    Impl& d = *m_impl;
    // The same statement but for its integers (a handler's statement for one row after another is
    // one line) keeps its translation and, inside the read transaction, its prepared statement.
    const bool oneLine = m_sql.size() == 1;
    const bool sameStatement = oneLine && d.translatedFromLine && !d.translated.empty() &&
                               SameShape(m_sql.front(), d.translatedFrom, d.lifted, d.bindings);
    if (!sameStatement) {
        JoinLines(m_sql, d.text);
        TranslateStatement(d.text, d.translated, d.bindings, d.lifted);
        d.translatedFrom = oneLine ? m_sql.front() : d.text;
        d.translatedFromLine = oneLine;
        if (d.statement)
            d.GiveBackStatement();
    }
    std::optional<TADOConnection::TStatementLease> fresh;
    if (!d.statement)
        fresh.emplace(m_connection->PrepareCached(d.translated));
    TADOConnection::TStatementLease& statement = d.statement ? *d.statement : *fresh;
    sqlite3_stmt* const stmt = statement.Handle();
    d.Bind(stmt);
    const int columnCount = sqlite3_column_count(stmt);
    if (columnCount == 0)
        RaiseNamed("CommandText does not return a result set");
    const int first = sqlite3_step(stmt);
    if (first != SQLITE_ROW && first != SQLITE_DONE)
        m_connection->RaiseLastError();
    d.columnCount = columnCount;

    // The columns are known after the first step, which prepares the statement again when the
    // schema changed. A reopen of the same statement keeps the fields of the last open, unless a
    // field's kind came from the first row's value.
    const int reprepares = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (d.layoutStatement == statement.Serial() && d.layoutReprepares == reprepares && !d.spareFields.empty()) {
        m_fields.swap(d.spareFields);
    } else {
        d.layoutStatement = 0;
        d.spareFields.clear();
        d.columns.clear();
        d.table.clear();
        d.keyField = -1;
        // The result can be changed when all its columns come from one table and include its key.
        std::string table;
        bool singleTable = true;
        for (int c = 0; c < columnCount; ++c) {
            const char* columnTable = sqlite3_column_table_name(stmt, c);
            const char* origin = sqlite3_column_origin_name(stmt, c);
            d.columns.emplace_back(origin ? origin : "");
            if (!columnTable)
                continue;
            if (table.empty())
                table = columnTable;
            else if (table != columnTable)
                singleTable = false;
        }
        const TADOConnection::TableInfo* schema = nullptr;
        if (!table.empty() && singleTable) {
            schema = &m_connection->TableSchema(table);
            for (int c = 0; c < columnCount; ++c)
                if (!schema->keyColumn.empty() && !d.columns[static_cast<std::size_t>(c)].empty() &&
                    EqualsIgnoreCase(d.columns[static_cast<std::size_t>(c)], schema->keyColumn))
                    d.keyField = c;
            if (d.keyField >= 0)
                d.table = table;
        }
        std::vector<std::unique_ptr<TField>> fields;
        bool kindsFromValues = false;
        for (int c = 0; c < columnCount; ++c) {
            const char* name = sqlite3_column_name(stmt, c);
            const bool plainColumn = !d.columns[static_cast<std::size_t>(c)].empty();
            int size = 0;
            std::optional<TFieldKind> kind;
            bool readOnly = !plainColumn;
            if (plainColumn) {
                const auto* info = schema ? schema->Find(d.columns[static_cast<std::size_t>(c)]) : nullptr;
                if (info && info->rowidAlias) {
                    kind = TFieldKind::AutoInc;
                    readOnly = true;
                } else {
                    const char* declared = sqlite3_column_decltype(stmt, c);
                    kind = KindFromDeclaredType(declared ? declared : "", size);
                }
            }
            if (!kind) {
                // An expression (or a column of no known type): the first row's value decides.
                kindsFromValues = true;
                kind = KindFromValueType(first == SQLITE_ROW ? sqlite3_column_type(stmt, c) : SQLITE_TEXT);
                size = 0;
            }
            fields.push_back(std::make_unique<TField>(*this, c, name ? name : "", *kind, size, readOnly));
        }
        m_fields = std::move(fields);
        if (!kindsFromValues) {
            d.layoutStatement = statement.Serial();
            d.layoutReprepares = reprepares;
        }
    }

    const bool reading = m_connection->InReadTransaction();
    if (reading && fresh) {
        m_connection->AddPendingRead(&d);
        d.statement.emplace(std::move(*fresh));
    }
    if (first == SQLITE_ROW && reading) {
        d.rowInHand = true;
        d.fetch = Impl::TFetch::Live;
        return;
    }
    if (first == SQLITE_ROW) { // inside a write transaction
        d.CopyRow(stmt);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            d.CopyRow(stmt);
        if (rc != SQLITE_DONE)
            m_connection->RaiseLastError();
    }
    d.fetch = Impl::TFetch::Complete;
    d.Completed();
    if (reading)
        d.KeepStatement();
    else if (fresh)
        fresh->Finish();
}

[[gnu::hot]] void TADOQuery::Close() {
    if (!Active())
        return;
    m_state = TDataSetState::dsInactive;
    m_impl->Reset();
    m_impl->spareFields.swap(m_fields);
    m_fields.clear();
    m_modifiedFields.clear();
    m_bof = true;
    m_eof = true;
    Notify(TDataNotice::LayoutChanged);
    SendEvent(&TDataSetObserver::AfterClose);
}

// ---- moves --------------------------------------------------------------------------------------

int TADOQuery::RecordCount() const {
    CheckActive();
    m_impl->FetchAll();
    return static_cast<int>(m_impl->rows.size());
}

[[gnu::hot]] bool TADOQuery::IsEmpty() const {
    CheckActive();
    return !m_impl->HasRow(0);
}

[[gnu::hot]] int TADOQuery::ViewCountUpTo(int wanted) const {
    const int inserting = m_state == TDataSetState::dsInsert ? 1 : 0;
    m_impl->HasRow(wanted - inserting - 1);
    return m_impl->Known() + inserting;
}

[[gnu::hot]] void TADOQuery::PlaceWindow() {
    Impl& d = *m_impl;
    const int lines = std::max(1, m_bufferCount);
    const int count = ViewCountUpTo(d.current + lines);
    if (count == 0 || d.current < 0) {
        d.top = 0;
        return;
    }
    d.top = std::min(d.top, d.current);
    d.top = std::max(d.top, d.current - lines + 1);
    d.top = std::max(0, std::min(d.top, count - lines));
}

void TADOQuery::PlaceWindowAround(int row) {
    const int lines = std::max(1, m_bufferCount);
    m_impl->current = row;
    m_impl->top = row - std::min((lines - 1) / 2, row);
    PlaceWindow();
}

[[gnu::hot]] void TADOQuery::CheckBrowseMove() {
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert) {
        if (Modified())
            Post();
        else
            Cancel();
    }
}

void TADOQuery::First() {
    CheckActive();
    CheckBrowseMove();
    const bool empty = !m_impl->HasRow(0);
    m_impl->current = empty ? -1 : 0;
    m_impl->top = 0;
    m_bof = true;
    m_eof = empty;
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

[[gnu::hot]] void TADOQuery::Next() {
    CheckActive();
    CheckBrowseMove();
    if (m_eof)
        return;
    m_bof = false;
    if (m_impl->HasRowFrom(m_impl->current, 1)) {
        ++m_impl->current;
        // A walk reads the next row soon, after the handler's own work has pushed it out of the cache.
        if (const auto next = static_cast<std::size_t>(m_impl->current) + 1; next < m_impl->rows.size())
            __builtin_prefetch(m_impl->rows[next]);
        PlaceWindow();
    } else {
        m_eof = true;
    }
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

int TADOQuery::MoveBy(int distance) {
    CheckActive();
    CheckBrowseMove();
    if (distance == 0 || (distance > 0 && m_eof) || (distance < 0 && m_bof))
        return 0;
    Impl& d = *m_impl;
    int moved = 0;
    m_bof = false;
    m_eof = false;
    if (distance > 0) {
        if (!d.HasRowFrom(d.current, distance))
            m_eof = true;
        moved = std::min(distance, d.Known() - 1 - d.current);
    } else {
        const int available = d.current;
        moved = -std::min(-distance, available);
        if (-distance > available)
            m_bof = true;
    }
    d.current += moved;
    PlaceWindow();
    Notify(TDataNotice::Scrolled);
    FireScroll();
    return moved;
}

void TADOQuery::Last() {
    CheckActive();
    CheckBrowseMove();
    m_impl->FetchAll();
    const int count = static_cast<int>(m_impl->rows.size());
    m_impl->current = count - 1;
    m_impl->top = std::max(0, count - std::max(1, m_bufferCount));
    m_eof = true;
    m_bof = count == 0;
    Notify(TDataNotice::Scrolled);
    FireScroll();
}

int TADOQuery::RecNo() const {
    if (!Active() || m_state == TDataSetState::dsInsert || m_impl->current < 0)
        return -1;
    return m_impl->current + 1;
}

void TADOQuery::SetRecNo(int recNo) {
    CheckActive();
    CheckBrowseMove();
    m_impl->HasRow(std::max(recNo, 1) - 1);
    const int count = m_impl->Known();
    if (count == 0)
        return;
    const int row = std::clamp(recNo, 1, count) - 1;
    if (row == m_impl->current)
        return;
    PlaceWindowAround(row);
    m_bof = false;
    m_eof = false;
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
}

bool TADOQuery::Locate(std::string_view fieldName, std::int64_t value,
                       int /*options: case makes no difference for a number*/) {
    CheckActive();
    CheckBrowseMove();
    const TField* field = FindField(fieldName);
    if (!field)
        return false;
    Impl& d = *m_impl;
    std::array<char, 24> digits{};
    const auto text = std::string_view(digits.data(), std::to_chars(digits.begin(), digits.end(), value).ptr);
    int found = -1;
    for (int row = 0; found < 0; ++row) {
        if (row >= d.Known()) {
            // A stale result is read again whole, and searched again from its start.
            if (d.fetch == Impl::TFetch::Stale) {
                d.FetchAll();
                row = -1;
                continue;
            }
            if (!d.HasRow(row))
                break;
        }
        const TFieldValue cell = d.Cell(row, field->Index());
        if ((cell.type == TFieldValue::Int && cell.integer == value) ||
            (cell.type == TFieldValue::Real && ExactInteger(cell.real) == value) ||
            (cell.type == TFieldValue::Text && cell.text == text))
            found = row;
    }
    if (found < 0)
        return false;
    PlaceWindowAround(found);
    m_bof = false;
    m_eof = false;
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
    return true;
}

// ---- fields -------------------------------------------------------------------------------------

[[gnu::hot]] TField* TADOQuery::FindField(std::string_view name) const {
    for (const auto& field : m_fields)
        if (field->FieldName() == name || EqualsIgnoreCase(field->FieldName(), name))
            return field.get();
    return nullptr;
}

[[gnu::hot]] TField& TADOQuery::FieldByName(std::string_view name) const {
    TField* field = FindField(name);
    if (!field)
        RaiseNamed("Field '" + std::string(name) + "' not found");
    return *field;
}

TFieldValue TADOQuery::ValueAt(int viewIndex, int fieldIndex) const {
    Impl& d = *m_impl;
    if (fieldIndex < 0 || fieldIndex >= FieldCount())
        return {};
    if (m_state == TDataSetState::dsInsert) {
        if (viewIndex == d.insertPos)
            return d.buffer.at(static_cast<std::size_t>(fieldIndex));
        if (viewIndex > d.insertPos)
            --viewIndex;
    } else if (m_state == TDataSetState::dsEdit && viewIndex == d.current) {
        return d.buffer.at(static_cast<std::size_t>(fieldIndex));
    }
    return d.Cell(viewIndex, fieldIndex);
}

TFieldValue TADOQuery::CurrentValue(int fieldIndex) const {
    if (!Active() || m_impl->current < 0)
        return {};
    return ValueAt(m_impl->current, fieldIndex);
}

// The current row's cell as stored (in browse state: edits and inserts live in the buffer).
[[gnu::hot]] const char* TADOQuery::Impl::StoredCurrentCell(int fieldIndex) {
    if (owner.m_state != TDataSetState::dsBrowse || fieldIndex < 0 || fieldIndex >= owner.FieldCount() ||
        !Fetch(current))
        return nullptr;
    return CellIn(rows[static_cast<std::size_t>(current)], fieldIndex);
}

[[gnu::hot]] bool TADOQuery::CurrentIsNull(int fieldIndex) const {
    if (const char* cell = m_impl->StoredCurrentCell(fieldIndex))
        return static_cast<TFieldValue::Type>(*cell) == TFieldValue::Null;
    return CurrentValue(fieldIndex).IsNull();
}

[[gnu::hot]] bool TADOQuery::CurrentInteger(int fieldIndex, std::int64_t& value) const {
    const char* cell = m_impl->StoredCurrentCell(fieldIndex);
    if (!cell || static_cast<TFieldValue::Type>(*cell) != TFieldValue::Int)
        return false;
    ++cell;
    value = UnZigZag(GetVarint(cell));
    return true;
}

void TADOQuery::CheckCanAssign(const TField& field) const {
    if (m_state != TDataSetState::dsEdit && m_state != TDataSetState::dsInsert)
        RaiseNamed("Dataset not in edit or insert mode");
    if (field.ReadOnly())
        throw EDatabaseError("Field '" + field.FieldName() + "' cannot be modified");
}

void TADOQuery::AssignValue(int fieldIndex, TFieldValue value) {
    m_impl->buffer.at(static_cast<std::size_t>(fieldIndex)) = std::move(value);
    if (std::find(m_modifiedFields.begin(), m_modifiedFields.end(), fieldIndex) == m_modifiedFields.end())
        m_modifiedFields.push_back(fieldIndex);
    Notify(TDataNotice::FieldChanged);
}

// ---- the grid's window of rows ------------------------------------------------------------------

void TADOQuery::SetBufferCount(int lines) {
    m_bufferCount = std::max(1, lines);
    if (Active())
        PlaceWindow();
}

int TADOQuery::WindowRowCount() const {
    if (!Active() || m_impl->current < 0)
        return 0;
    const int lines = std::max(1, m_bufferCount);
    return std::min(lines, ViewCountUpTo(m_impl->top + lines) - m_impl->top);
}

int TADOQuery::ActiveLine() const {
    if (!Active() || m_impl->current < 0)
        return -1;
    return m_impl->current - m_impl->top;
}

bool TADOQuery::IsNullAt(int line, int fieldIndex) const {
    if (line < 0 || line >= WindowRowCount())
        return true;
    return ValueAt(m_impl->top + line, fieldIndex).IsNull();
}

std::string TADOQuery::TextAt(int line, int fieldIndex) const {
    if (line < 0 || line >= WindowRowCount())
        return {};
    return ValueText(ValueAt(m_impl->top + line, fieldIndex));
}

std::string TADOQuery::DisplayTextAt(int line, int fieldIndex) const {
    if (fieldIndex >= 0 && fieldIndex < FieldCount() && Fields(fieldIndex).Kind() == TFieldKind::Memo)
        return IsNullAt(line, fieldIndex) ? "(Memo)" : "(MEMO)";
    return TextAt(line, fieldIndex);
}

int TADOQuery::ViewRowCount() const {
    if (!Active())
        return 0;
    return RecordCount() + (m_state == TDataSetState::dsInsert ? 1 : 0);
}

int TADOQuery::WindowTop() const {
    return Active() && m_impl->current >= 0 ? m_impl->top : -1;
}

std::string TADOQuery::TextAtRow(int row, int fieldIndex) const {
    if (!Active() || row < 0 || row >= ViewCountUpTo(row + 1))
        return {};
    return ValueText(ValueAt(row, fieldIndex));
}

std::string TADOQuery::DisplayTextAtRow(int row, int fieldIndex) const {
    if (fieldIndex >= 0 && fieldIndex < FieldCount() && Fields(fieldIndex).Kind() == TFieldKind::Memo) {
        const bool null = !Active() || row < 0 || row >= ViewCountUpTo(row + 1) || ValueAt(row, fieldIndex).IsNull();
        return null ? "(Memo)" : "(MEMO)";
    }
    return TextAtRow(row, fieldIndex);
}

// ---- changes ------------------------------------------------------------------------------------

void TADOQuery::CheckUpdatable() const {
    if (m_impl->table.empty())
        RaiseNamed("Cannot modify a read-only dataset");
}

void TADOQuery::Edit() {
    CheckActive();
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert)
        return;
    if (!m_impl->HasRow(0)) {
        Insert();
        return;
    }
    CheckUpdatable();
    Impl& d = *m_impl;
    d.Fetch(d.current);
    d.editRow = d.rows.at(static_cast<std::size_t>(d.current));
    d.buffer.clear();
    for (int f = 0; f < FieldCount(); ++f)
        d.buffer.push_back(ReadCell(Impl::CellIn(d.editRow, f)));
    m_modifiedFields.clear();
    m_state = TDataSetState::dsEdit;
    Notify(TDataNotice::StateChanged);
    SendEvent(&TDataSetObserver::AfterEdit);
}

void TADOQuery::Insert() {
    CheckActive();
    CheckBrowseMove();
    CheckUpdatable();
    Impl& d = *m_impl;
    d.buffer.assign(static_cast<std::size_t>(FieldCount()), TFieldValue());
    m_modifiedFields.clear();
    d.insertPos = std::max(0, d.current);
    d.current = d.insertPos;
    m_state = TDataSetState::dsInsert;
    m_bof = false;
    m_eof = false;
    PlaceWindow();
    Notify(TDataNotice::DataSetChanged);
    SendEvent(&TDataSetObserver::AfterInsert);
    FireScroll();
}

void TADOQuery::Cancel() {
    if (m_state == TDataSetState::dsEdit) {
        m_state = TDataSetState::dsBrowse;
        m_modifiedFields.clear();
        m_impl->buffer.clear();
        m_impl->editRow = nullptr;
        Notify(TDataNotice::RecordChanged);
        SendEvent(&TDataSetObserver::AfterCancel);
    } else if (m_state == TDataSetState::dsInsert) {
        Impl& d = *m_impl;
        // The row that stood at the inserted row's place becomes current again, else the last.
        const bool rowThere = d.HasRowFrom(d.insertPos, 0);
        m_state = TDataSetState::dsBrowse;
        m_modifiedFields.clear();
        d.buffer.clear();
        const int count = d.Known();
        d.current = rowThere ? d.insertPos : count - 1;
        d.insertPos = -1;
        m_bof = count == 0;
        m_eof = count == 0;
        PlaceWindow();
        Notify(TDataNotice::DataSetChanged);
        SendEvent(&TDataSetObserver::AfterCancel);
        FireScroll();
    }
}

void TADOQuery::Post() {
    if (m_state == TDataSetState::dsEdit)
        PostEdit();
    else if (m_state == TDataSetState::dsInsert)
        PostInsert();
    else
        RaiseNamed("Dataset not in edit or insert mode");
    m_state = TDataSetState::dsBrowse;
    m_modifiedFields.clear();
    m_impl->buffer.clear();
    m_impl->editRow = nullptr;
    m_impl->insertPos = -1;
    Notify(TDataNotice::RecordChanged);
    SendEvent(&TDataSetObserver::AfterPost);
}

// Runs one change with its values bound in order and returns the rows it changed. The engine's
// errors become record-set errors with its message and no name in front.
int TADOQuery::ExecuteChange(const std::string& sql, const std::vector<TFieldValue>& values) {
    try {
        m_connection->BeforeWrite();
        TADOConnection::TStatementLease statement = m_connection->PrepareCached(sql);
        for (std::size_t i = 0; i < values.size(); ++i)
            BindValue(statement.Handle(), static_cast<int>(i + 1), values[i]);
        if (sqlite3_step(statement.Handle()) != SQLITE_DONE)
            throw EDatabaseError(CleanEngineMessage(sqlite3_errmsg(m_connection->Handle())));
        const int changed = sqlite3_changes(m_connection->Handle());
        statement.Finish();
        return changed;
    } catch (const EOleException& error) {
        throw EDatabaseError(error.Message());
    }
}

// Writes the modified fields of the row in edit state, but only where the row still holds what was
// read: another process's change or delete in between makes the update find no row.
void TADOQuery::PostEdit() {
    Impl& d = *m_impl;
    if (!m_modifiedFields.empty()) {
        std::string sql = "UPDATE " + QuoteIdentifier(d.table) + " SET ";
        for (std::size_t i = 0; i < m_modifiedFields.size(); ++i)
            sql += (i ? ", " : "") + QuoteIdentifier(d.columns[static_cast<std::size_t>(m_modifiedFields[i])]) + " = ?";
        sql += " WHERE " + QuoteIdentifier(d.columns[static_cast<std::size_t>(d.keyField)]) + " = ?";
        for (int field : m_modifiedFields)
            sql += " AND " + QuoteIdentifier(d.columns[static_cast<std::size_t>(field)]) + " IS ?";

        // The key and the values as read when the edit began.
        std::vector<TFieldValue> values;
        for (int field : m_modifiedFields)
            values.push_back(d.buffer[static_cast<std::size_t>(field)]);
        values.push_back(ReadCell(Impl::CellIn(d.editRow, d.keyField)));
        for (int field : m_modifiedFields)
            values.push_back(ReadCell(Impl::CellIn(d.editRow, field)));
        if (ExecuteChange(sql, values) == 0)
            throw EDatabaseError(
                "Row cannot be located for updating. Some values may have been changed since it was last read");
        d.rows[static_cast<std::size_t>(d.current)] = d.Append(d.buffer);
    }
}

void TADOQuery::PostInsert() {
    Impl& d = *m_impl;
    std::string sql = "INSERT INTO " + QuoteIdentifier(d.table);
    if (m_modifiedFields.empty()) {
        sql += " DEFAULT VALUES";
    } else {
        std::string values;
        sql += " (";
        for (std::size_t i = 0; i < m_modifiedFields.size(); ++i) {
            sql += (i ? ", " : "") + QuoteIdentifier(d.columns[static_cast<std::size_t>(m_modifiedFields[i])]);
            values += i ? ", ?" : "?";
        }
        sql += ") VALUES (" + values + ")";
    }
    std::vector<TFieldValue> values;
    for (int field : m_modifiedFields)
        values.push_back(d.buffer[static_cast<std::size_t>(field)]);
    ExecuteChange(sql, values);
    d.buffer[static_cast<std::size_t>(d.keyField)] =
        TFieldValue::FromInt(sqlite3_last_insert_rowid(m_connection->Handle()));
    d.rows.insert(d.rows.begin() + d.insertPos, d.Append(d.buffer));
    d.current = d.insertPos;
    PlaceWindow();
}

void TADOQuery::Delete() {
    CheckActive();
    if (m_state == TDataSetState::dsInsert) {
        Cancel();
        return;
    }
    if (!m_impl->HasRow(0))
        RaiseNamed("Cannot perform this operation on an empty dataset");
    CheckBrowseMove();
    CheckUpdatable();
    SendEvent(&TDataSetObserver::BeforeDelete);

    Impl& d = *m_impl;
    const std::string sql = "DELETE FROM " + QuoteIdentifier(d.table) + " WHERE " +
                            QuoteIdentifier(d.columns[static_cast<std::size_t>(d.keyField)]) + " = ?";
    if (ExecuteChange(sql, {d.Cell(d.current, d.keyField)}) == 0)
        throw EDatabaseError("Row cannot be located for deletion");
    d.rows.erase(d.rows.begin() + d.current);
    // The next row becomes current, else the new last one.
    if (!d.HasRowFrom(d.current, 0))
        d.current = d.Known() - 1;
    const bool empty = d.Known() == 0;
    m_bof = empty;
    m_eof = empty;
    PlaceWindow();
    Notify(TDataNotice::DataSetChanged);
    FireScroll();
}
