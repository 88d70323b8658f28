// import: adds the records of an export (JSON or CSV) to an existing database.
//
// The input is mapped (or, from a pipe, read) whole and parsed in one pass; each record is inserted
// as soon as it is complete, so memory stays that of one record besides the input. Everything
// happens in one write transaction: the first fault in the input, or in the database, rolls it all
// back. Keys are assigned by the database; a paragraph follows its record by the record's new key,
// and paragraphs are inserted in their order, which gives them increasing ContentIndex values.

#include "Commands.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "TextCase.h"
#include "Utf8.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

struct Text {
    bool null = true;
    std::string_view view;
};
using Fields = std::array<Text, TextFieldCount>;

// A fault in the input, at a byte offset.
struct InputError {
    std::size_t offset;
    std::string message;
};

// ---- the input ----------------------------------------------------------------------------------

class InputText {
public:
    explicit InputText(const std::string& path) : m_name(path == "-" ? "standard input" : path) {
        int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
            ::close(fd);
            throw std::runtime_error("cannot read " + path + ": " + std::strerror(EISDIR));
        }
        if (S_ISREG(status.st_mode) && status.st_size > 0) {
            m_size = static_cast<std::size_t>(status.st_size);
            void* mapped = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (mapped != MAP_FAILED) {
                ::madvise(mapped, m_size, MADV_SEQUENTIAL);
                m_mapped = mapped;
                m_text = std::string_view(static_cast<const char*>(mapped), m_size);
            }
        }
        if (!m_mapped)
            ReadAll(fd);
        if (fd != STDIN_FILENO)
            ::close(fd);
    }
    ~InputText() {
        if (m_mapped)
            ::munmap(m_mapped, m_size);
    }
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    std::string_view Text() const { return m_text; }
    const std::string& Name() const { return m_name; }

    // "name:line:column: message" (line and column counted from 1, the column in characters).
    std::string Locate(const InputError& error) const {
        std::string_view before = m_text.substr(0, std::min(error.offset, m_text.size()));
        std::size_t line = 1;
        std::size_t lineStart = 0;
        for (std::size_t i = before.find('\n'); i != std::string_view::npos; i = before.find('\n', i + 1)) {
            ++line;
            lineStart = i + 1;
        }
        std::size_t column = 1;
        for (char c : before.substr(lineStart))
            column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return m_name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + error.message;
    }

private:
    void ReadAll(int fd) {
        char chunk[1 << 16];
        for (;;) {
            ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throw std::runtime_error("cannot read " + m_name + ": " + std::strerror(errno));
            if (got == 0)
                break;
            m_copy.append(chunk, static_cast<std::size_t>(got));
        }
        m_text = m_copy;
    }

    std::string m_name;
    std::string m_copy;
    void* m_mapped = nullptr;
    std::size_t m_size = 0;
    std::string_view m_text;
};

// ---- the database -------------------------------------------------------------------------------

class RecordInserter {
public:
    explicit RecordInserter(Connection& connection)
        : m_db(connection.Handle()),
          m_title(connection, "INSERT INTO Title (TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, "
                              "Title8) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          m_content(connection, "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (?, ?)") {}

    // The texts must stay unchanged until the call returns.
    void AddRecord(const Fields& fields) {
        for (int i = 0; i < TextFieldCount; ++i)
            Bind(m_title, i + 1, fields[static_cast<std::size_t>(i)]);
        m_title.Run();
        m_key = sqlite3_last_insert_rowid(m_db);
        ++m_records;
    }
    // Adds a paragraph to the record added last.
    void AddParagraph(Text text) {
        m_content.BindInt64(1, m_key);
        Bind(m_content, 2, text);
        m_content.Run();
        ++m_paragraphs;
    }
    std::uint64_t Records() const { return m_records; }
    std::uint64_t Paragraphs() const { return m_paragraphs; }

private:
    static void Bind(Statement& statement, int index, Text text) {
        if (text.null)
            statement.BindNull(index);
        else
            statement.BindStaticText(index, text.view);
    }

    sqlite3* m_db;
    Statement m_title;
    Statement m_content;
    sqlite3_int64 m_key = 0;
    std::uint64_t m_records = 0;
    std::uint64_t m_paragraphs = 0;
};

bool ParseInteger(std::string_view text, sqlite3_int64& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

std::string_view SkipByteOrderMark(std::string_view text) {
    return text.starts_with(ByteOrderMark) ? text.substr(ByteOrderMark.size()) : text;
}

// What both readers share: the text with a position in it, where records go, and the texts that
// escapes made, kept at stable addresses until the record that uses them is stored.
class TextReader {
public:
    TextReader(std::string_view text, RecordInserter& inserter, Progress& progress)
        : m_begin(text.data()), m_p(text.data()), m_end(text.data() + text.size()), m_inserter(inserter),
          m_progress(progress) {}

protected:
    [[noreturn]] void Fail(const char* at, const std::string& message) const {
        throw InputError{static_cast<std::size_t>(at - m_begin), message};
    }
    std::string_view Rest() const { return {m_p, static_cast<std::size_t>(m_end - m_p)}; }
    void ShowProgress() {
        m_progress.Show(static_cast<std::uint64_t>(m_p - m_begin) / 1000000,
                        static_cast<std::uint64_t>(m_end - m_begin) / 1000000);
    }

    const char* m_begin;
    const char* m_p;
    const char* m_end;
    RecordInserter& m_inserter;
    Progress& m_progress;
    // A new empty text for an escape's result; its address stays valid until ForgetDecoded.
    std::string& Decoded() {
        if (m_decodedUsed == m_decoded.size())
            m_decoded.emplace_back();
        std::string& text = m_decoded[m_decodedUsed++];
        text.clear();
        return text;
    }
    // The texts are used again (with their memory) for the next record.
    void ForgetDecoded() { m_decodedUsed = 0; }

private:
    std::deque<std::string> m_decoded;
    std::size_t m_decodedUsed = 0;
};

// ---- JSON ---------------------------------------------------------------------------------------

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// An array of records, each an object with the members TitleIndex (an integer, not used: the
// database assigns new keys), TitleTxt and Title1 to Title8 (a string or null; a missing member is
// null) and Paragraphs (an array of strings or nulls). The escape \udcXX that export writes for a
// byte that is not UTF-8 gives back that byte.
class JsonReader : TextReader {
public:
    using TextReader::TextReader;

    void Read() {
        if (Rest().starts_with(ByteOrderMark))
            m_p += ByteOrderMark.size();
        SkipSpace();
        if (!Consume('['))
            Fail(m_p, "the input must be a JSON array of records");
        ReadElements(']', "a record", [this] {
            ++m_record;
            ReadRecord();
            ShowProgress();
        });
        m_record = 0;
        SkipSpace();
        if (m_p != m_end)
            Fail(m_p, "unexpected text after the array of records");
    }

private:
    [[noreturn]] void Fail(const char* at, const std::string& message) const {
        TextReader::Fail(at, m_record > 0 ? "record " + std::to_string(m_record) + ": " + message : message);
    }

    void SkipSpace() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }
    bool Consume(char c) {
        if (m_p < m_end && *m_p == c) {
            ++m_p;
            return true;
        }
        return false;
    }
    bool ConsumeWord(std::string_view word) {
        if (Rest().starts_with(word)) {
            m_p += word.size();
            return true;
        }
        return false;
    }

    void ReadRecord() {
        if (!Consume('{'))
            Fail(m_p, "a record must be a JSON object");
        Fields fields;
        std::array<bool, TextFieldCount + 2> seen{};
        m_paragraphs.clear();
        ReadElements('}', "a member", [&] {
            const char* nameAt = m_p;
            if (m_p >= m_end || *m_p != '"')
                Fail(m_p, "a member name in double quotes expected");
            std::string_view name = ReadString();
            int member = MemberIndex(name);
            if (member < 0)
                Fail(nameAt, "unknown member \"" + std::string(name) + "\"");
            if (seen[static_cast<std::size_t>(member)])
                Fail(nameAt, "member \"" + std::string(name) + "\" appears twice");
            seen[static_cast<std::size_t>(member)] = true;
            SkipSpace();
            if (!Consume(':'))
                Fail(m_p, "':' expected after \"" + std::string(name) + "\"");
            SkipSpace();
            if (member < TextFieldCount)
                fields[static_cast<std::size_t>(member)] = ReadText(name);
            else if (member == TextFieldCount)
                ReadParagraphs();
            else
                ReadKey();
        });
        m_inserter.AddRecord(fields);
        for (Text paragraph : m_paragraphs)
            m_inserter.AddParagraph(paragraph);
        ForgetDecoded();
    }

    // 0..8 the text fields, 9 Paragraphs, 10 TitleIndex, -1 anything else.
    static int MemberIndex(std::string_view name) {
        for (int i = 0; i < TextFieldCount; ++i) {
            if (name == TextFieldNames[i])
                return i;
        }
        return name == "Paragraphs" ? TextFieldCount : name == "TitleIndex" ? TextFieldCount + 1 : -1;
    }

    Text ReadText(std::string_view member) {
        if (ConsumeWord("null"))
            return {};
        if (m_p >= m_end || *m_p != '"')
            Fail(m_p, "\"" + std::string(member) + "\" must be a string or null");
        return {false, ReadString()};
    }

    void ReadParagraphs() {
        if (!Consume('['))
            Fail(m_p, "\"Paragraphs\" must be an array of strings");
        ReadElements(']', "a paragraph", [this] { m_paragraphs.push_back(ReadText("a paragraph")); });
    }

    // Reads the elements of an array or the members of an object, its opening bracket read, up to
    // and including the closing one.
    template <typename ReadOne> void ReadElements(char close, const char* what, ReadOne readOne) {
        SkipSpace();
        if (Consume(close))
            return;
        for (;;) {
            readOne();
            SkipSpace();
            if (Consume(close))
                return;
            if (!Consume(','))
                Fail(m_p, std::string("',' or '") + close + "' expected after " + what);
            SkipSpace();
        }
    }

    void ReadKey() {
        const char* start = m_p;
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        sqlite3_int64 ignored = 0;
        bool fraction = m_p < m_end && (*m_p == '.' || *m_p == 'e' || *m_p == 'E');
        if (fraction || !ParseInteger(std::string_view(start, static_cast<std::size_t>(m_p - start)), ignored))
            Fail(start, "\"TitleIndex\" must be an integer of at most 64 bits");
    }

    // At the opening quote; leaves m_p after the closing one. Text without escapes is returned as a
    // view of the input, other text is decoded into one of Decoded().
    std::string_view ReadString() {
        const char* start = ++m_p;
        std::string* decoded = nullptr;
        const char* run = start;
        for (;;) {
            if (m_p >= m_end)
                Fail(start - 1, "a string is not closed");
            auto c = static_cast<unsigned char>(*m_p);
            if (c == '"')
                break;
            if (c >= 0x80) {
                std::size_t length = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(m_p),
                                                        reinterpret_cast<const unsigned char*>(m_end));
                if (length == 0)
                    Fail(m_p, "the text is not valid UTF-8");
                m_p += length;
            } else if (c == '\\') {
                if (!decoded)
                    decoded = &Decoded();
                decoded->append(run, m_p);
                ReadEscape(*decoded);
                run = m_p;
            } else if (c < 0x20) {
                Fail(m_p, "a control character in a string must be written as an escape");
            } else {
                ++m_p;
            }
        }
        std::string_view text(start, static_cast<std::size_t>(m_p - start));
        if (decoded) {
            decoded->append(run, m_p);
            text = *decoded;
        }
        ++m_p;
        return text;
    }

    std::uint32_t ReadHex4() {
        if (m_end - m_p < 4)
            Fail(m_p, "\\u needs four hexadecimal digits");
        std::uint32_t value = 0;
        auto [end, error] = std::from_chars(m_p, m_p + 4, value, 16);
        if (error != std::errc() || end != m_p + 4)
            Fail(m_p, "\\u needs four hexadecimal digits");
        m_p += 4;
        return value;
    }

    void ReadEscape(std::string& out) {
        const char* at = m_p++;
        if (m_p >= m_end)
            Fail(at, "a string is not closed");
        char c = *m_p++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return;
        case 'b':
            out += '\b';
            return;
        case 'f':
            out += '\f';
            return;
        case 'n':
            out += '\n';
            return;
        case 'r':
            out += '\r';
            return;
        case 't':
            out += '\t';
            return;
        case 'u':
            break;
        default:
            Fail(at, std::string("unknown escape \\") + c);
        }
        std::uint32_t code = ReadHex4();
        if (code >= 0xD800 && code <= 0xDBFF && m_end - m_p >= 6 && m_p[0] == '\\' && m_p[1] == 'u') {
            const char* second = m_p;
            m_p += 2;
            std::uint32_t low = ReadHex4();
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                return;
            }
            m_p = second;
        }
        if (code >= 0xDC80 && code <= 0xDCFF) {
            out += static_cast<char>(code - 0xDC00); // a byte that export found not to be UTF-8
            return;
        }
        if (code >= 0xD800 && code <= 0xDFFF)
            Fail(at, "\\u escape of an unpaired surrogate");
        AppendUtf8(out, code);
    }

    std::size_t m_record = 0;
    std::vector<Text> m_paragraphs;
};

// ---- CSV ----------------------------------------------------------------------------------------

constexpr std::size_t ParagraphColumn = 10;

// RFC 4180 with the header line of export: one line per paragraph, the record's key and fields on
// each; lines may end in CR LF or LF. A record's lines follow one another, carry the same fields
// and increasing paragraph numbers; a line with empty paragraph cells is a record without
// paragraphs. An empty cell is empty text: CSV has no NULL.
class CsvReader : TextReader {
public:
    using TextReader::TextReader;

    void Read() {
        std::vector<std::string_view> cells;
        if (!ReadLine(cells))
            Fail(m_p, "the input is empty: a first line naming the columns is expected");
        bool header = cells.size() == CsvColumns.size();
        for (std::size_t i = 0; header && i < cells.size(); ++i)
            header = EqualsIgnoreCase(cells[i], CsvColumns[i]);
        if (!header)
            Fail(m_line, "the first line must name the columns TitleIndex,TitleTxt,Title1,...,Title8,Paragraph,"
                         "ContentTxt");
        while (ReadLine(cells)) {
            if (cells.size() != CsvColumns.size())
                Fail(m_line, std::to_string(cells.size()) + " cells where " + std::to_string(CsvColumns.size()) +
                                 " are expected");
            AddLine(cells);
            ShowProgress();
        }
    }

private:
    void AddLine(const std::vector<std::string_view>& cells) {
        sqlite3_int64 key = 0;
        if (!ParseInteger(cells[0], key))
            Fail(m_line, "TitleIndex \"" + std::string(cells[0]) + "\" is not an integer");
        std::string_view number = cells[ParagraphColumn];
        std::string_view text = cells[ParagraphColumn + 1];
        sqlite3_int64 paragraph = 0;
        if (number.empty() ? !text.empty() : !ParseInteger(number, paragraph) || paragraph < 1)
            Fail(m_line, "Paragraph must be a number from 1, or empty with ContentTxt on a record without paragraphs");

        bool sameRecord = m_hasRecord && key == m_key;
        if (sameRecord) {
            for (int i = 0; i < TextFieldCount; ++i) {
                if (cells[static_cast<std::size_t>(i) + 1] != m_fields[static_cast<std::size_t>(i)])
                    Fail(m_line, std::string(TextFieldNames[i]) + " differs from the record's first line (line " +
                                     std::to_string(LineNumber(m_recordLine)) + ")");
            }
            if (number.empty() || m_lastParagraph == 0)
                Fail(m_line, "record " + std::to_string(key) +
                                 " has both a line without a paragraph and lines with paragraphs");
            if (paragraph <= m_lastParagraph)
                Fail(m_line, "paragraph " + std::to_string(paragraph) + " of record " + std::to_string(key) +
                                 " follows paragraph " + std::to_string(m_lastParagraph));
        } else {
            if (!m_keys.insert(key).second)
                Fail(m_line, "record " + std::to_string(key) +
                                 " appears again after other records; a record's lines must follow one another");
            m_hasRecord = true;
            m_key = key;
            m_recordLine = m_line;
            Fields fields;
            for (int i = 0; i < TextFieldCount; ++i) {
                m_fields[static_cast<std::size_t>(i)].assign(cells[static_cast<std::size_t>(i) + 1]);
                fields[static_cast<std::size_t>(i)] = {false, m_fields[static_cast<std::size_t>(i)]};
            }
            m_inserter.AddRecord(fields);
        }
        m_lastParagraph = paragraph;
        if (!number.empty())
            m_inserter.AddParagraph({false, text});
        ForgetDecoded();
    }

    std::size_t LineNumber(const char* at) const {
        std::size_t line = 1;
        for (const char* p = m_begin;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(at - p)))); ++p)
            ++line;
        return line;
    }

    // Reads the next line that is not empty into cells; false at the end of the input.
    bool ReadLine(std::vector<std::string_view>& cells) {
        ForgetDecoded();
        for (;;) {
            if (m_p == m_begin && Rest().starts_with(ByteOrderMark))
                m_p += 3;
            if (m_p >= m_end)
                return false;
            m_line = m_p;
            if (!EndOfLine())
                break;
        }
        ReadCells(cells);
        // Checked line by line, while the line is still in the cache.
        std::string_view line(m_line, static_cast<std::size_t>(m_p - m_line));
        if (std::size_t valid = ValidUtf8Length(line); valid < line.size())
            Fail(m_line + valid, "the text is not valid UTF-8 (save the file as UTF-8)");
        return true;
    }

    void ReadCells(std::vector<std::string_view>& cells) {
        cells.clear();
        for (;;) {
            cells.push_back(m_p < m_end && *m_p == '"' ? ReadQuoted() : ReadPlain());
            if (m_p < m_end && *m_p == ',') {
                ++m_p;
                continue;
            }
            if (m_p < m_end && !EndOfLine())
                Fail(m_p, "a quoted cell must be followed by a comma or the end of the line");
            return;
        }
    }

    // Passes over a line end (LF or CR LF) at m_p.
    bool EndOfLine() {
        if (m_p < m_end && *m_p == '\n') {
            ++m_p;
            return true;
        }
        if (m_end - m_p >= 2 && m_p[0] == '\r' && m_p[1] == '\n') {
            m_p += 2;
            return true;
        }
        return false;
    }

    std::string_view ReadPlain() {
        const char* start = m_p;
        while (m_p < m_end) {
            char c = *m_p;
            if (c == ',' || c == '\n' || (c == '\r' && m_p + 1 < m_end && m_p[1] == '\n'))
                break;
            if (c == '"')
                Fail(m_p, "a quote inside a cell that does not start with one");
            ++m_p;
        }
        return {start, static_cast<std::size_t>(m_p - start)};
    }

    std::string_view ReadQuoted() {
        const char* open = m_p++;
        std::string* decoded = nullptr;
        for (const char* run = m_p;;) {
            auto quote = static_cast<const char*>(std::memchr(m_p, '"', static_cast<std::size_t>(m_end - m_p)));
            if (!quote)
                Fail(open, "a quoted cell is not closed");
            m_p = quote + 1;
            if (m_p < m_end && *m_p == '"') {
                if (!decoded)
                    decoded = &Decoded();
                decoded->append(run, m_p);
                run = ++m_p;
                continue;
            }
            if (!decoded)
                return {open + 1, static_cast<std::size_t>(quote - open - 1)};
            decoded->append(run, quote);
            return *decoded;
        }
    }

    const char* m_line = nullptr; // where the current line starts

    bool m_hasRecord = false;
    sqlite3_int64 m_key = 0;
    const char* m_recordLine = nullptr;
    sqlite3_int64 m_lastParagraph = 0;
    std::array<std::string, TextFieldCount> m_fields;
    std::unordered_set<sqlite3_int64> m_keys;
};

} // namespace

int ImportRecords(const std::string& database, const std::string& input, std::optional<Format> format) {
    InputText source(input);
    if (!format) {
        std::string_view text = SkipByteOrderMark(source.Text());
        std::size_t first = text.find_first_not_of(" \t\r\n");
        format = first != std::string_view::npos && text[first] == '[' ? Format::Json : Format::Csv;
    }
    Connection connection = OpenExistingDatabase(database, false);
    Transaction transaction(connection, "BEGIN IMMEDIATE");
    RecordInserter inserter(connection);
    try {
        Progress progress("importing", "MB");
        if (*format == Format::Csv)
            CsvReader(source.Text(), inserter, progress).Read();
        else
            JsonReader(source.Text(), inserter, progress).Read();
        transaction.Commit();
    } catch (const InputError& error) {
        throw std::runtime_error(source.Locate(error) + "; nothing was imported");
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(std::string(error.what()) + "; nothing was imported");
    }
    std::printf("%s: added %s with %s\n", database.c_str(), Counted(inserter.Records(), "record").c_str(),
                Counted(inserter.Paragraphs(), "paragraph").c_str());
    return 0;
}
