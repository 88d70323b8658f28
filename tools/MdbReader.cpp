// The reader of Access (Jet) files for the import from the earlier version.
//
// Operations, in order: the constructor checks the file's header (signature, whole pages, no
// password) and opens it with libmdb; OpenTable finds a table and its columns; Next walks its rows in
// the file's page order, each row's values decoded from the page bytes. Cost: one read of each data
// page and of each memo's long-value pages; memory is one page, one row and the longest memo.
//
// What libmdb's own value calls lose, and why the bytes are read here: its text conversion runs
// through iconv from UCS-2, which has no surrogate pairs (emoji become "?"); a memo is converted into
// a buffer of the bind size (a long one is cut); and NULL and the empty text both come back as "".
// libmdb's row cracking gives each value's bytes and its null flag, and mdb_find_pg_row the bytes of
// a memo's long-value rows; the rest (Jet 4's compressed Unicode, UTF-16, the memo chain) is here.

#include "MdbReader.h"

#include "SilencedStream.h"
#include "Utf8.h"

#include <mdbtools.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

void MdbHandleDeleter::operator()(void* handle) const {
    mdb_close(static_cast<MdbHandle*>(handle));
}

void MdbTableDefDeleter::operator()(void* definition) const {
    mdb_free_tabledef(static_cast<MdbTableDef*>(definition));
}

namespace {

std::uint32_t Little32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// UTF-16 code units to UTF-8. A surrogate without its partner cannot be a character; it is kept in
// its three-byte form so that nothing of the value is lost, and counted.
class Utf16Decoder {
public:
    explicit Utf16Decoder(MdbText& text) : m_text(text) {}
    void Add(std::uint16_t unit) {
        if (m_high) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                AppendUtf8(m_text.utf8, 0x10000 + ((m_high - 0xD800u) << 10) + (unit - 0xDC00u));
                ++m_text.characters;
                m_high = 0;
                return;
            }
            Lone();
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            m_high = unit;
            return;
        }
        AppendUtf8(m_text.utf8, unit);
        ++m_text.characters;
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            ++m_text.undecodable;
    }
    void Finish() {
        if (m_high)
            Lone();
    }

private:
    void Lone() {
        AppendUtf8(m_text.utf8, m_high);
        ++m_text.characters;
        ++m_text.undecodable;
        m_high = 0;
    }
    MdbText& m_text;
    std::uint16_t m_high = 0;
};

// Access keeps the header from offset 0x18 under a fixed RC4 key stream; the password lies in it.
void UnmaskHeader(unsigned char* bytes, std::size_t size) {
    std::array<unsigned char, 256> state{};
    for (int i = 0; i < 256; ++i)
        state[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    const unsigned char key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    unsigned char j = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        j = static_cast<unsigned char>(j + key[i % 4] + state[i]);
        std::swap(state[i], state[j]);
    }
    unsigned char x = 0;
    unsigned char y = 0;
    for (std::size_t i = 0; i < size; ++i) {
        x = static_cast<unsigned char>(x + 1);
        y = static_cast<unsigned char>(y + state[x]);
        std::swap(state[x], state[y]);
        bytes[i] ^= state[static_cast<unsigned char>(state[x] + state[y])];
    }
}

const char* TypeName(int type) {
    switch (type) {
    case MDB_BOOL:
        return "Yes/No";
    case MDB_BYTE:
        return "Byte";
    case MDB_INT:
        return "Integer";
    case MDB_LONGINT:
        return "Long Integer";
    case MDB_MONEY:
        return "Currency";
    case MDB_FLOAT:
        return "Single";
    case MDB_DOUBLE:
        return "Double";
    case MDB_DATETIME:
        return "Date/Time";
    case MDB_BINARY:
        return "Binary";
    case MDB_TEXT:
        return "Text";
    case MDB_OLE:
        return "OLE Object";
    case MDB_MEMO:
        return "Memo";
    case MDB_REPID:
        return "Replication ID";
    case MDB_NUMERIC:
        return "Decimal";
    default:
        return "an unknown type";
    }
}

MdbTableDef* Definition(void* definition) {
    return static_cast<MdbTableDef*>(definition);
}

} // namespace

bool HasJetHeader(const unsigned char* bytes, std::size_t size) {
    return size >= 20 && bytes[0] == 0 &&
           (std::memcmp(bytes + 4, "Standard Jet DB", 16) == 0 || std::memcmp(bytes + 4, "Standard ACE DB", 16) == 0);
}

MdbReader::MdbReader(const std::string& path, int codePage) : m_path(path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    unsigned char header[256] = {};
    std::size_t got = std::fread(header, 1, sizeof header, file);
    struct stat status {};
    int statResult = ::fstat(fileno(file), &status);
    std::fclose(file);
    if (statResult != 0)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    if (got < sizeof header || !HasJetHeader(header, got))
        throw std::runtime_error(path + " is not an Access database (no Jet signature)");
    m_jetVersion = header[0x14] == 0 ? 3 : 4;
    m_pageSize = m_jetVersion == 3 ? 2048 : 4096;
    auto size = static_cast<std::uint64_t>(status.st_size);
    m_pageCount = size / m_pageSize;
    if (size % m_pageSize != 0)
        Damaged("the file ends inside page " + std::to_string(m_pageCount) + " (a cut-off copy?)");

    UnmaskHeader(header + 0x18, m_jetVersion == 3 ? 126 : 128);
    // Jet 4 masks the password once more with the whole days of the file's creation date.
    unsigned char mask[4] = {0, 0, 0, 0};
    if (m_jetVersion == 4) {
        double created = 0;
        std::memcpy(&created, header + 0x72, sizeof created);
        auto days = created > -2147483648.0 && created < 2147483648.0 ? static_cast<std::int32_t>(created) : 0;
        for (int i = 0; i < 4; ++i)
            mask[i] = static_cast<unsigned char>(static_cast<std::uint32_t>(days) >> (8 * i));
    }
    std::size_t passwordSize = m_jetVersion == 3 ? 20 : 40;
    for (std::size_t i = 0; i < passwordSize; ++i) {
        if ((header[0x42 + i] ^ mask[i % 4]) != 0)
            throw std::runtime_error(path + " is password-protected; remove the password in Access (Database Tools, "
                                            "Decrypt Database) and import that copy");
    }

    if (m_jetVersion == 3) {
        m_codePage = codePage;
        std::string name = "CP" + std::to_string(codePage);
        m_toUtf8 = iconv_open("UTF-8", name.c_str());
        if (m_toUtf8 == reinterpret_cast<void*>(-1))
            throw std::runtime_error("code page " + std::to_string(codePage) + " is not known to this system");
    }

    // libmdb reports what it cannot read on standard error, in several lines, before its call fails;
    // the reader says it in one line of its own, so the library is silenced while it opens the file
    // and its tables, and while the row walk moves to another page.
    SilencedStream quiet(stderr);
    m_mdb.reset(mdb_open(path.c_str(), MDB_NOFLAGS));
    auto* mdb = static_cast<MdbHandle*>(m_mdb.get());
    if (!mdb)
        Damaged("its first page cannot be read");
    // The catalog is a table itself (MSysObjects, defined on page 2); a page of it past the end of the
    // file would leave tables out without a word.
    MdbCatalogEntry catalog{};
    catalog.mdb = mdb;
    catalog.object_type = MDB_TABLE;
    catalog.table_pg = 2;
    std::strcpy(catalog.object_name, "MSysObjects");
    const std::unique_ptr<void, MdbTableDefDeleter> catalogTable(mdb_read_table(&catalog));
    if (!catalogTable)
        Damaged("its catalog (page 2) cannot be read");
    CheckPages(catalogTable.get(), "the catalog");
    if (!mdb_read_catalog(mdb, MDB_TABLE))
        Damaged("its catalog (page 2) cannot be read");
    for (unsigned int i = 0; i < mdb->num_catalog; ++i) {
        auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        if (entry->object_type == MDB_TABLE && mdb_is_user_table(entry))
            m_tableNames.emplace_back(entry->object_name);
    }
}

MdbReader::~MdbReader() {
    if (m_toUtf8 != reinterpret_cast<void*>(-1))
        iconv_close(static_cast<iconv_t>(m_toUtf8));
}

void MdbReader::Damaged(const std::string& what) const {
    throw std::runtime_error(m_path + " is damaged: " + what);
}

void MdbReader::CheckPages(void* definition, const std::string& table) const {
    auto* mdb = static_cast<MdbHandle*>(m_mdb.get());
    MdbTableDef* tableDefinition = Definition(definition);
    int page = 0;
    while ((page = mdb_map_find_next(mdb, tableDefinition->usage_map,
                                     static_cast<unsigned int>(tableDefinition->map_sz), static_cast<guint32>(page))) >
           0) {
        if (static_cast<std::uint64_t>(page) >= m_pageCount)
            Damaged(table + " has rows on page " + std::to_string(page) +
                    ", past the end of the file (a cut-off copy?)");
    }
    if (page < 0)
        Damaged("the page map of " + table + " cannot be read");
}

MdbTable MdbReader::OpenTable(const std::string& name, const std::vector<MdbTable::Column>& columns) {
    SilencedStream quiet(stderr); // as while the file is opened
    auto* mdb = static_cast<MdbHandle*>(m_mdb.get());
    MdbCatalogEntry* found = nullptr;
    for (unsigned int i = 0; i < mdb->num_catalog && !found; ++i) {
        auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        if (entry->object_type == MDB_TABLE && g_ascii_strcasecmp(entry->object_name, name.c_str()) == 0)
            found = entry;
    }
    if (!found)
        throw std::runtime_error(m_path + " has no table " + name);
    if (found->table_pg >= m_pageCount)
        Damaged("the definition of table " + name + " lies on page " + std::to_string(found->table_pg) +
                ", past the end of the file");
    MdbTableDef* definition = mdb_read_table(found);
    if (!definition)
        Damaged("the definition of table " + name + " (page " + std::to_string(found->table_pg) + ") cannot be read");
    MdbTable table(*this, definition, columns);
    if (!mdb_read_columns(definition))
        Damaged("the columns of table " + name + " (page " + std::to_string(found->table_pg) + ") cannot be read");

    table.m_name = definition->name;
    table.m_fileColumn.assign(columns.size(), -1);
    table.m_fileType.assign(columns.size(), 0);
    for (unsigned int i = 0; i < definition->num_cols; ++i) {
        auto* column = static_cast<MdbColumn*>(g_ptr_array_index(definition->columns, i));
        bool wanted = false;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (g_ascii_strcasecmp(column->name, columns[c].name) != 0)
                continue;
            wanted = true;
            bool fits = columns[c].kind == MdbTable::Kind::Integer
                            ? column->col_type == MDB_LONGINT
                            : column->col_type == MDB_TEXT || column->col_type == MDB_MEMO;
            if (!fits)
                throw std::runtime_error(
                    m_path + ": column " + table.m_name + "." + column->name + " is " + TypeName(column->col_type) +
                    ", not " + (columns[c].kind == MdbTable::Kind::Integer ? "Long Integer" : "Text or Memo"));
            table.m_fileColumn[c] = static_cast<int>(i);
            table.m_fileType[c] = column->col_type;
        }
        if (!wanted)
            table.m_extraColumns.emplace_back(column->name);
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (table.m_fileColumn[c] < 0)
            throw std::runtime_error(m_path + ": table " + table.m_name + " has no column " + columns[c].name);
    }

    // A page the table's usage map names beyond the end of the file would end the row walk early
    // without a word from libmdb.
    CheckPages(definition, "table " + table.m_name);
    mdb_rewind_table(definition);
    return table;
}

void MdbReader::Decode(const unsigned char* bytes, std::size_t size, MdbText& text) const {
    text.null = false;
    text.utf8.clear();
    text.characters = 0;
    text.undecodable = 0;
    if (m_jetVersion == 3) {
        text.utf8.reserve(size * 2);
        auto* converter = static_cast<iconv_t>(m_toUtf8);
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
        std::size_t inLeft = size;
        char buffer[4096];
        while (inLeft > 0) {
            char* out = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
            text.utf8.append(buffer, static_cast<std::size_t>(out - buffer));
            if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
                // A byte the code page does not define is kept as it is rather than dropped.
                text.utf8 += *in++;
                --inLeft;
                ++text.undecodable;
                iconv(converter, nullptr, nullptr, nullptr, nullptr);
            }
        }
        for (unsigned char c : text.utf8)
            text.characters += (c & 0xC0) != 0x80;
        return;
    }
    Utf16Decoder decoder(text);
    text.utf8.reserve(size + size / 2);
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        // Compressed Unicode: runs of one byte per character (high byte 0) and runs of two, each
        // zero byte switching between them.
        bool compressed = true;
        for (std::size_t i = 2; i < size;) {
            if (bytes[i] == 0) {
                compressed = !compressed;
                ++i;
            } else if (compressed) {
                decoder.Add(bytes[i++]);
            } else if (i + 1 < size) {
                decoder.Add(static_cast<std::uint16_t>(bytes[i] | bytes[i + 1] << 8));
                i += 2;
            } else {
                break;
            }
        }
    } else {
        for (std::size_t i = 0; i + 1 < size; i += 2)
            decoder.Add(static_cast<std::uint16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    decoder.Finish();
}

void MdbReader::AppendLongValueRow(std::uint32_t pageRow, const std::string& where, std::vector<unsigned char>& out,
                                   bool chained, std::uint32_t* next) {
    auto* mdb = static_cast<MdbHandle*>(m_mdb.get());
    std::uint32_t page = pageRow >> 8;
    std::uint32_t row = pageRow & 0xFF;
    if (page == 0 || page >= m_pageCount)
        Damaged(where + " continues on page " + std::to_string(page) + ", past the end of the file");
    void* buffer = nullptr;
    int start = 0;
    std::size_t size = 0;
    if (mdb_find_pg_row(mdb, static_cast<int>(pageRow), &buffer, &start, &size) != 0)
        Damaged(where + ": row " + std::to_string(row) + " of page " + std::to_string(page) + " cannot be read");
    auto* bytes = static_cast<const unsigned char*>(buffer);
    auto rows = static_cast<std::uint32_t>(mdb_get_int16(buffer, mdb->fmt->row_count_offset));
    if (bytes[0] != MDB_PAGE_DATA || row >= rows || (chained && size < 4))
        Damaged(where + ": page " + std::to_string(page) + " holds no long value row " + std::to_string(row));
    const unsigned char* data = bytes + start;
    if (chained) {
        *next = Little32(data);
        data += 4;
        size -= 4;
    }
    out.insert(out.end(), data, data + size);
}

MdbTable::MdbTable(MdbReader& reader, void* definition, const std::vector<Column>& columns)
    : m_reader(&reader), m_definition(definition), m_columns(columns), m_nulls(columns.size(), true),
      m_integers(columns.size(), 0), m_texts(columns.size()) {}

std::uint64_t MdbTable::RowCount() const {
    return Definition(m_definition.get())->num_rows;
}

std::string MdbTable::Position() const {
    return "page " + std::to_string(m_page) + " row " + std::to_string(m_row);
}

bool MdbTable::Next() {
    MdbTableDef* table = Definition(m_definition.get());
    MdbHandle* mdb = table->entry->mdb;
    // Moving to the next data page is where libmdb reports a page that does not belong to the
    // table; the row count below says it in one line.
    std::optional<SilencedStream> quiet;
    if (table->cur_pg_num == 0 ||
        table->cur_row >= static_cast<unsigned int>(mdb_get_int16(mdb->pg_buf, mdb->fmt->row_count_offset)))
        quiet.emplace(stderr);
    if (!mdb_fetch_row(table)) {
        // A data page the walk could not read ends it early; the table definition's count tells.
        if (m_rowsRead != table->num_rows)
            m_reader->Damaged("table " + m_name + " should hold " + std::to_string(table->num_rows) + " rows, " +
                              std::to_string(m_rowsRead) + " could be read");
        return false;
    }
    ++m_rowsRead;
    m_page = table->cur_phys_pg;
    m_row = static_cast<int>(table->cur_row) - 1;
    // mdb_fetch_row has the row's page in pg_buf and found the row; its values are cracked once
    // more here for their bytes and null flags, which the fetch itself does not hand out.
    int start = 0;
    std::size_t size = 0;
    if (mdb_find_row(mdb, m_row, &start, &size) != 0)
        m_reader->Damaged("table " + m_name + ", " + Position() + " cannot be read");
    start &= 0x1FFF;
    std::array<MdbField, MDB_MAX_COLS> fields{};
    int count = mdb_crack_row(table, start, size, fields.data());
    if (count < 0)
        m_reader->Damaged("table " + m_name + ", " + Position() + " cannot be read");
    std::fill(m_nulls.begin(), m_nulls.end(), true);
    for (int f = 0; f < count; ++f) {
        const MdbField& field = fields[static_cast<std::size_t>(f)];
        for (std::size_t c = 0; c < m_columns.size(); ++c) {
            if (m_fileColumn[c] != field.colnum)
                continue;
            m_nulls[c] = field.is_null != 0;
            if (m_nulls[c]) {
                m_texts[c] = MdbText{};
                continue;
            }
            auto* bytes = static_cast<const unsigned char*>(field.value);
            auto length = static_cast<std::size_t>(std::max(field.siz, 0));
            if (m_fileType[c] == MDB_LONGINT) {
                if (length != 4)
                    m_reader->Damaged("table " + m_name + ", " + Position() + ": " + m_columns[c].name +
                                      " is not four bytes long");
                m_integers[c] = static_cast<std::int32_t>(Little32(bytes));
            } else if (m_fileType[c] == MDB_MEMO) {
                ReadMemo(bytes, length, m_texts[c]);
            } else {
                m_reader->Decode(bytes, length, m_texts[c]);
            }
        }
    }
    return true;
}

void MdbTable::ReadMemo(const unsigned char* value, std::size_t size, MdbText& text) {
    std::string where = m_name + ", " + Position() + ": the memo";
    if (size < MDB_MEMO_OVERHEAD)
        m_reader->Damaged(where + " has no header");
    std::uint32_t header = Little32(value);
    std::uint32_t length = header & 0x3FFFFFFF;
    std::uint32_t pageRow = Little32(value + 4);
    m_memo.clear();
    if (header & 0x80000000u) {
        m_memo.assign(value + MDB_MEMO_OVERHEAD, value + size);
    } else if (header & 0x40000000u) {
        m_reader->AppendLongValueRow(pageRow, where, m_memo, false, nullptr);
        if (m_memo.size() > length)
            m_memo.resize(length);
    } else {
        m_memo.reserve(length);
        // Each row of the chain names the next; a chain that loops would add nothing forever.
        for (std::uint64_t rows = 0; pageRow != 0; ++rows) {
            if (rows > m_reader->m_pageCount * 256 || m_memo.size() > length)
                m_reader->Damaged(where + " runs on past its length of " + std::to_string(length) + " bytes");
            m_reader->AppendLongValueRow(pageRow, where, m_memo, true, &pageRow);
        }
    }
    if (m_memo.size() != length)
        m_reader->Damaged(where + " holds " + std::to_string(m_memo.size()) + " of its " + std::to_string(length) +
                          " bytes");
    m_reader->Decode(m_memo.data(), m_memo.size(), text);
}
