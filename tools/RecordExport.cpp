// export: every record with its fields and paragraphs, as JSON, CSV or Markdown.
//
// Records are read in TitleIndex order and paragraphs in (ContentTitle, ContentIndex) order, the
// order of the ContentByTitle index, and the two are merged in one pass: the cost is one walk of
// each table, and memory stays that of one record. Both are read in one transaction, so a program
// writing meanwhile is seen either wholly or not at all. SQLite orders NULL before numbers and
// numbers before text and BLOBs, which the merge relies on to pass over paragraphs that belong to
// no record. A ContentTitle column of text affinity (another tool's "ContentTitle TEXT") compares
// with a key as text, so its paragraphs are found as the program finds them, by that comparison in
// a join, whose order is the same.

#include "Commands.h"
#include "DatabaseFailure.h"
#include "OutputFile.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "Utf8.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

struct Cell {
    bool null = true;
    std::string_view text;
};
using Fields = std::array<Cell, TextFieldCount>;

Cell ReadCell(const Statement& statement, int column) {
    if (statement.IsNull(column))
        return {};
    return {false, statement.Text(column)};
}

void AppendNumber(std::string& out, long long value) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

// Each writer appends one record at a time to the output's buffer and notes the fields whose text
// is not valid UTF-8.
class FormatWriter {
public:
    explicit FormatWriter(OutputFile& output) : m_out(output.Buffer()) {}
    virtual ~FormatWriter() = default;
    virtual void Start() {}
    virtual void BeginRecord(sqlite3_int64 key, const Fields& fields) = 0;
    virtual void Paragraph(int position, Cell text) = 0;
    virtual void EndRecord(int paragraphs) = 0;
    virtual void Finish() {}

    // The fields of the last record that are not valid UTF-8 ("TitleTxt", "paragraph 2", ...).
    std::vector<std::string>& InvalidFields() { return m_invalid; }

protected:
    void NoteInvalid(const char* field) { m_invalid.emplace_back(field); }
    void NoteInvalidParagraph(int position) { m_invalid.push_back("paragraph " + std::to_string(position)); }

    std::string& m_out;

private:
    std::vector<std::string> m_invalid;
};

// ---- JSON ---------------------------------------------------------------------------------------

// A JSON string of the bytes as stored. A byte that is not part of valid UTF-8 is written as the
// escape \udcXX (XX its value), which import turns back into that byte, so nothing is lost.
// Returns false when there was such a byte.
bool AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char Hex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    const unsigned char* run = p;
    bool valid = true;
    auto flush = [&] { out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run)); };
    while (p < end) {
        unsigned char c = *p;
        if (c >= 0x80) {
            if (std::size_t length = Utf8SequenceLength(p, end)) {
                p += length;
                continue;
            }
            flush();
            out += "\\udc";
            out += Hex[c >> 4];
            out += Hex[c & 15];
            run = ++p;
            valid = false;
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            ++p;
            continue;
        }
        flush();
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
        run = ++p;
    }
    flush();
    out += '"';
    return valid;
}

class JsonWriter : public FormatWriter {
public:
    using FormatWriter::FormatWriter;
    void Start() override { m_out += '['; }
    void BeginRecord(sqlite3_int64 key, const Fields& fields) override {
        m_out += m_first ? "\n  {\"TitleIndex\": " : ",\n  {\"TitleIndex\": ";
        m_first = false;
        AppendNumber(m_out, key);
        for (int i = 0; i < TextFieldCount; ++i) {
            m_out += ", \"";
            m_out += TextFieldNames[i];
            m_out += "\": ";
            if (!AppendValue(fields[static_cast<std::size_t>(i)]))
                NoteInvalid(TextFieldNames[i]);
        }
        m_out += ", \"Paragraphs\": [";
    }
    void Paragraph(int position, Cell text) override {
        if (position > 1)
            m_out += ", ";
        if (!AppendValue(text))
            NoteInvalidParagraph(position);
    }
    void EndRecord(int) override { m_out += "]}"; }
    void Finish() override { m_out += m_first ? "]\n" : "\n]\n"; }

private:
    bool AppendValue(Cell cell) {
        if (cell.null) {
            m_out += "null";
            return true;
        }
        return AppendJsonString(m_out, cell.text);
    }

    bool m_first = true;
};

// ---- CSV ----------------------------------------------------------------------------------------

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled; all
// bytes are written as stored. Returns false when the text is not valid UTF-8.
bool AppendCsvField(std::string& out, std::string_view text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = begin + text.size();
    bool quote = false;
    bool valid = true;
    for (const unsigned char* p = begin; p < end;) {
        unsigned char c = *p;
        if (c >= 0x80) {
            std::size_t length = Utf8SequenceLength(p, end);
            valid = valid && length > 0;
            p += length > 0 ? length : 1;
            continue;
        }
        quote = quote || c == ',' || c == '"' || c == '\n' || c == '\r';
        ++p;
    }
    if (!quote) {
        out.append(text);
        return valid;
    }
    out += '"';
    for (std::size_t start = 0;;) {
        std::size_t next = text.find('"', start);
        if (next == std::string_view::npos) {
            out.append(text.substr(start));
            break;
        }
        out.append(text.substr(start, next + 1 - start));
        out += '"';
        start = next + 1;
    }
    out += '"';
    return valid;
}

// One line per paragraph, the record's key and fields repeated on each; a record without
// paragraphs is one line whose paragraph cells are empty.
class CsvWriter : public FormatWriter {
public:
    using FormatWriter::FormatWriter;
    void Start() override {
        for (const std::string_view column : CsvColumns) {
            m_out += column;
            m_out += column == CsvColumns.back() ? "\r\n" : ",";
        }
    }
    void BeginRecord(sqlite3_int64 key, const Fields& fields) override {
        m_record.clear();
        AppendNumber(m_record, key);
        for (int i = 0; i < TextFieldCount; ++i) {
            m_record += ',';
            if (!AppendCsvField(m_record, fields[static_cast<std::size_t>(i)].text))
                NoteInvalid(TextFieldNames[i]);
        }
        m_record += ',';
    }
    void Paragraph(int position, Cell text) override {
        m_out += m_record;
        AppendNumber(m_out, position);
        m_out += ',';
        if (!AppendCsvField(m_out, text.text))
            NoteInvalidParagraph(position);
        m_out += "\r\n";
    }
    void EndRecord(int paragraphs) override {
        if (paragraphs == 0) {
            m_out += m_record;
            m_out += ",\r\n";
        }
    }

private:
    std::string m_record;
};

// ---- Markdown -----------------------------------------------------------------------------------

// For reading: a heading per record, its fields as a list, then its paragraphs. Text is written as
// stored, without Markdown escapes.
class MarkdownWriter : public FormatWriter {
public:
    using FormatWriter::FormatWriter;
    void BeginRecord(sqlite3_int64 key, const Fields& fields) override {
        m_out += m_first ? "# " : "\n# ";
        m_first = false;
        Append(fields[0], TextFieldNames[0]);
        m_out += "\n\n- TitleIndex: ";
        AppendNumber(m_out, key);
        for (int i = 1; i < TextFieldCount; ++i) {
            m_out += "\n- ";
            m_out += TextFieldNames[i];
            m_out += ':';
            if (!fields[static_cast<std::size_t>(i)].text.empty())
                m_out += ' ';
            Append(fields[static_cast<std::size_t>(i)], TextFieldNames[i]);
        }
        m_out += '\n';
    }
    void Paragraph(int position, Cell text) override {
        m_out += '\n';
        m_out.append(text.text);
        m_out += '\n';
        if (!IsValidUtf8(text.text))
            NoteInvalidParagraph(position);
    }
    void EndRecord(int) override {}

private:
    void Append(Cell cell, const char* name) {
        m_out.append(cell.text);
        if (!IsValidUtf8(cell.text))
            NoteInvalid(name);
    }

    bool m_first = true;
};

std::unique_ptr<FormatWriter> MakeWriter(Format format, OutputFile& output) {
    switch (format) {
    case Format::Csv:
        return std::make_unique<CsvWriter>(output);
    case Format::Markdown:
        return std::make_unique<MarkdownWriter>(output);
    case Format::Json:
        break;
    }
    return std::make_unique<JsonWriter>(output);
}

// ---- the merge ----------------------------------------------------------------------------------

// Whether the current paragraph row sorts before the record key, and whether it belongs to it, by
// SQLite's own comparison of ContentTitle with an integer.
bool SortsBefore(const Statement& content, sqlite3_int64 key) {
    switch (content.Type(0)) {
    case SQLITE_NULL:
        return true;
    case SQLITE_INTEGER:
        return content.Int64(0) < key;
    case SQLITE_FLOAT:
        return content.Double(0) < static_cast<double>(key);
    default:
        return false; // text and BLOBs sort after every number
    }
}

// Whether SQLite gives the column text affinity by its declared type, so that it compares the
// program's "ContentTitle = key" as text.
bool HasTextAffinity(Connection& connection, const char* table, const char* column) {
    Statement info(connection, "SELECT upper(type) FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE");
    info.BindText(1, table);
    info.BindText(2, column);
    if (!info.Step())
        return false;
    std::string_view type = info.Text(0);
    auto has = [&](std::string_view part) { return type.find(part) != std::string_view::npos; };
    return !has("INT") && (has("CHAR") || has("CLOB") || has("TEXT"));
}

bool BelongsTo(const Statement& content, sqlite3_int64 key) {
    int type = content.Type(0);
    return (type == SQLITE_INTEGER && content.Int64(0) == key) ||
           (type == SQLITE_FLOAT && content.Double(0) == static_cast<double>(key));
}

class Warnings {
public:
    explicit Warnings(Format format) : m_format(format) {}
    ~Warnings() {
        if (m_more > 0)
            std::fprintf(stderr, "tamrixdata-db: warning: more records with text that is not valid UTF-8: %zu\n",
                         m_more);
    }
    Warnings(const Warnings&) = delete;
    Warnings& operator=(const Warnings&) = delete;

    void InvalidText(sqlite3_int64 key, std::vector<std::string>& fields) {
        if (fields.empty())
            return;
        if (m_shown++ >= 10) {
            ++m_more;
        } else {
            std::string names;
            for (const std::string& field : fields)
                names += (names.empty() ? "" : ", ") + field;
            std::fprintf(stderr, "tamrixdata-db: warning: record %lld: %s not valid UTF-8; %s\n",
                         static_cast<long long>(key), names.c_str(),
                         m_format == Format::Json ? "the bytes are escaped as \\udcXX" : "written as stored");
        }
        fields.clear();
    }

private:
    Format m_format;
    std::size_t m_shown = 0;
    std::size_t m_more = 0;
};

// CSV has no escape for a byte that is not UTF-8, and import reads CSV as UTF-8: such text would
// not come back, so CSV is refused and JSON, which keeps every byte, named instead.
[[noreturn]] void RefuseInvalidCsv(const std::string& database, const std::string& output, sqlite3_int64 key,
                                   const std::vector<std::string>& fields) {
    std::string names;
    for (const std::string& field : fields)
        names += (names.empty() ? "" : ", ") + field;
    throw ExplainedError("cannot export " + database + " as CSV: record " + std::to_string(key) +
                         " has text that is not UTF-8 (" + names +
                         "), which CSV cannot carry; export as JSON (--format=json), which keeps every byte" +
                         (output == "-" ? "; the output written so far is incomplete" : ""));
}

} // namespace

int ExportRecords(const std::string& database, const std::string& output, Format format, bool overwrite) {
    if (output != "-" && SameFile(database, output))
        throw std::runtime_error("cannot export into " + output + ": it is the database itself");
    OutputFile out(output, overwrite);
    Connection connection = OpenDatabase(database, true);
    ExplainFailures(connection, database, "cannot export " + database, [&] {
        Transaction transaction(connection);
        Statement titles(connection, "SELECT TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, "
                                     "Title7, Title8 FROM Title ORDER BY TitleIndex");
        bool textKeys = HasTextAffinity(connection, "Content", "ContentTitle");
        // The unary + takes the key's affinity away, as a number written in a statement has none.
        Statement content(connection, textKeys
                                          ? "SELECT Title.TitleIndex, Content.ContentTxt FROM Title, Content WHERE "
                                            "Content.ContentTitle = +Title.TitleIndex ORDER BY Title.TitleIndex, "
                                            "Content.ContentIndex"
                                          : "SELECT ContentTitle, ContentTxt FROM Content ORDER BY ContentTitle, "
                                            "ContentIndex");
        // Records on a terminal are progress enough.
        Progress progress("exporting", "records", !(output == "-" && ::isatty(STDOUT_FILENO)));
        std::uint64_t total = 0;
        if (progress.Enabled())
            total = static_cast<std::uint64_t>(QueryInteger(connection, "SELECT count(*) FROM Title"));

        std::unique_ptr<FormatWriter> writer = MakeWriter(format, out);
        Warnings warnings(format);
        std::uint64_t records = 0;
        std::uint64_t unowned = 0;
        std::uint64_t pending = 0;
        std::uint64_t exported = 0;
        auto skipParagraph = [&] {
            if (content.Type(0) == SQLITE_INTEGER && content.Int64(0) == 0)
                ++pending;
            else
                ++unowned;
        };
        writer->Start();
        bool more = content.Step();
        while (titles.Step()) {
            sqlite3_int64 key = titles.Int64(0);
            while (more && SortsBefore(content, key)) {
                skipParagraph();
                more = content.Step();
            }
            Fields fields;
            for (int i = 0; i < TextFieldCount; ++i)
                fields[static_cast<std::size_t>(i)] = ReadCell(titles, i + 1);
            writer->BeginRecord(key, fields);
            int paragraphs = 0;
            for (; more && BelongsTo(content, key); more = content.Step())
                writer->Paragraph(++paragraphs, ReadCell(content, 1));
            writer->EndRecord(paragraphs);
            exported += static_cast<std::uint64_t>(paragraphs);
            if (format == Format::Csv && !writer->InvalidFields().empty())
                RefuseInvalidCsv(database, output, key, writer->InvalidFields());
            warnings.InvalidText(key, writer->InvalidFields());
            out.FlushIfFull();
            progress.Show(++records, total);
        }
        for (; more; more = content.Step())
            skipParagraph();
        if (textKeys) {
            // The join passes over the paragraphs of no record; they are counted instead.
            std::int64_t all = QueryInteger(connection, "SELECT count(*) FROM Content");
            pending = static_cast<std::uint64_t>(
                QueryInteger(connection, "SELECT count(*) FROM Content WHERE ContentTitle = 0 AND NOT EXISTS "
                                         "(SELECT 1 FROM Title WHERE TitleIndex = 0)"));
            unowned = static_cast<std::uint64_t>(all) - exported - pending;
        }
        writer->Finish();
        transaction.Commit();
        out.Finish();

        if (unowned > 0)
            std::fprintf(stderr,
                         "tamrixdata-db: warning: paragraphs whose record no longer exists, not exported: %s "
                         "(see tamrixdata-db check)\n",
                         WithThousands(unowned).c_str());
        if (pending > 0)
            std::fprintf(stderr,
                         "tamrixdata-db: pending paragraphs of an unfinished new record (ContentTitle 0), not "
                         "exported: %s\n",
                         WithThousands(pending).c_str());
    });
    return 0;
}
