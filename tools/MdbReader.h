#pragma once

// Reads the tables of an Access (Jet 3 or Jet 4) database file, the earlier Windows version's
// NoteData.mdb, row by row. libmdb finds the catalog, the table definitions and the rows; the values
// themselves are decoded here from the row's bytes, because the library's own conversion turns
// characters outside the Basic Multilingual Plane into "?", cuts long memos at its bind size and
// gives NULL and the empty text alike.
//
// Every failure is a std::runtime_error with a one-line message naming the table, column or page at
// fault: a file that is not a Jet database, a damaged or password-protected one, a missing table or
// column, a column of another type.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Whether the first size bytes of a file start with an Access database's signature (20 bytes).
bool HasJetHeader(const unsigned char* bytes, std::size_t size);

struct MdbHandleDeleter {
    void operator()(void* handle) const;
};
struct MdbTableDefDeleter {
    void operator()(void* definition) const;
};

// One text value as stored: null apart from the empty text; utf8 holds the characters (a lone UTF-16
// surrogate is kept as its three-byte form, and a byte outside a Jet 3 file's code page as it is).
struct MdbText {
    bool null = true;
    std::string utf8;
    std::size_t characters = 0;
    std::size_t undecodable = 0; // lone surrogates or bytes outside the code page, kept as they are
};

class MdbReader;

class MdbTable {
public:
    enum class Kind { Integer, Text };
    struct Column {
        const char* name;
        Kind kind;
    };

    MdbTable(MdbTable&&) noexcept = default;
    MdbTable(const MdbTable&) = delete;
    MdbTable& operator=(const MdbTable&) = delete;

    const std::string& Name() const { return m_name; }
    // The number of rows the table definition records (for progress).
    std::uint64_t RowCount() const;
    // Columns of the file's table that were not asked for.
    const std::vector<std::string>& ExtraColumns() const { return m_extraColumns; }

    // Moves to the next row; false after the last. Raises for a damaged row or memo.
    bool Next();
    // The current row's values, by the index of the column asked for.
    bool IsNull(std::size_t column) const { return m_nulls[column]; }
    std::int32_t Integer(std::size_t column) const { return m_integers[column]; }
    const MdbText& Text(std::size_t column) const { return m_texts[column]; }
    // "page 12 row 3" of the current row, for messages.
    std::string Position() const;

private:
    friend class MdbReader;
    MdbTable(MdbReader& reader, void* definition, const std::vector<Column>& columns);
    void ReadMemo(const unsigned char* value, std::size_t size, MdbText& text);

    MdbReader* m_reader;
    std::unique_ptr<void, MdbTableDefDeleter> m_definition; // MdbTableDef
    std::string m_name;
    std::vector<Column> m_columns;
    std::vector<int> m_fileColumn; // the file's column number of each column asked for
    std::vector<int> m_fileType;
    std::vector<std::string> m_extraColumns;
    std::vector<bool> m_nulls;
    std::vector<std::int32_t> m_integers;
    std::vector<MdbText> m_texts;
    std::vector<unsigned char> m_memo; // reused between memos
    unsigned long m_page = 0;
    int m_row = 0;
    std::uint64_t m_rowsRead = 0;
};

class MdbReader {
public:
    // Opens path for reading. codePage is the code page of a Jet 3 file's text (Jet 4 stores
    // Unicode).
    MdbReader(const std::string& path, int codePage);
    ~MdbReader();
    MdbReader(const MdbReader&) = delete;
    MdbReader& operator=(const MdbReader&) = delete;

    // 3 for Jet 3 (Access 97), 4 for Jet 4 and later.
    int JetVersion() const { return m_jetVersion; }
    int CodePage() const { return m_codePage; }
    // The user tables of the file, by their names in the file.
    const std::vector<std::string>& TableNames() const { return m_tableNames; }

    // The table of that name (letter case aside) with the columns asked for; raises when the table
    // or a column is missing or a column has another type.
    MdbTable OpenTable(const std::string& name, const std::vector<MdbTable::Column>& columns);

private:
    friend class MdbTable;
    void Decode(const unsigned char* bytes, std::size_t size, MdbText& text) const;
    // The bytes of one long-value row (pg_row), appended to out; raises naming the page.
    void AppendLongValueRow(std::uint32_t pageRow, const std::string& where, std::vector<unsigned char>& out,
                            bool chained, std::uint32_t* next);
    // Raises when the table's page map names a page past the end of the file.
    void CheckPages(void* definition, const std::string& table) const;
    [[noreturn]] void Damaged(const std::string& what) const;

    std::string m_path;
    std::unique_ptr<void, MdbHandleDeleter> m_mdb; // MdbHandle
    int m_jetVersion = 4;
    int m_codePage = 0;
    std::size_t m_pageSize = 4096;
    std::uint64_t m_pageCount = 0;
    std::vector<std::string> m_tableNames;
    void* m_toUtf8 = reinterpret_cast<void*>(-1); // iconv_t for Jet 3 text
};
