// import: adds the records of an export (JSON or CSV) to an existing database.
//
// The input is read as a stream, in chunks, and parsed in one pass; each record is inserted as soon
// as it is complete, so memory stays that of one record (one line for CSV) and a chunk, whatever
// the input's size. Everything happens in one write transaction: the first fault in the input, or
// in the database, rolls it all back, and so does SIGINT, SIGTERM or SIGHUP, which interrupt the
// running statement. Keys are assigned by the database; a record's insert must store one row, whose
// key is read back from the row itself, and a paragraph follows its record by that key. Paragraphs
// are inserted in their order, which gives them increasing ContentIndex values.

#include "Commands.h"
#include "DatabaseFailure.h"
#include "Progress.h"
#include "SignalGuard.h"
#include "SqliteHandles.h"
#include "TextCase.h"
#include "Utf8.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Text {
    bool null = true;
    std::string_view view;
};
using Fields = std::array<Text, TextFieldCount>;

// A fault in the input, its place already written as "name:line:column: ".
struct InputError {
    std::string message;
};

// A signal ended the import.
struct Interrupted {};

void StopIfSignalled() {
    if (SignalGuard::Received() != 0)
        throw Interrupted{};
}

// ---- the input ----------------------------------------------------------------------------------

// The input file or standard input, read in chunks; the first bytes can be looked at before the
// reading starts, to tell the format.
class InputSource {
public:
    explicit InputSource(const std::string& path) : m_name(path == "-" ? "standard input" : path) {
        m_fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            throw ExplainedError("cannot open " + path + ": " + std::strerror(errno));
        struct stat status {};
        if (::fstat(m_fd, &status) == 0 && S_ISDIR(status.st_mode)) {
            Close();
            throw ExplainedError("cannot read " + path + ": " + std::strerror(EISDIR));
        }
        if (S_ISREG(status.st_mode)) {
            m_size = static_cast<std::uint64_t>(status.st_size);
            ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        }
    }
    ~InputSource() { Close(); }
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    const std::string& Name() const { return m_name; }
    // The size of a file, 0 for a pipe.
    std::uint64_t Size() const { return m_size; }

    // Up to size bytes into buffer; 0 at the end of the input.
    std::size_t Read(char* buffer, std::size_t size) {
        if (!m_ahead.empty()) {
            std::size_t given = std::min(size, m_ahead.size() - m_aheadUsed);
            std::memcpy(buffer, m_ahead.data() + m_aheadUsed, given);
            m_aheadUsed += given;
            if (m_aheadUsed == m_ahead.size()) {
                m_ahead.clear();
                m_ahead.shrink_to_fit();
                m_aheadUsed = 0;
            }
            return given;
        }
        return ReadFile(buffer, size);
    }

    // The first character after a byte order mark and white space, 0 when there is none.
    char FirstSignificant() {
        constexpr std::string_view mark = "\xEF\xBB\xBF";
        for (;;) {
            std::string_view text = m_ahead;
            bool partialMark = text.size() < mark.size() && mark.starts_with(text);
            if (text.starts_with(mark))
                text.remove_prefix(mark.size());
            std::size_t first = text.find_first_not_of(" \t\r\n");
            if (first != std::string_view::npos && !(partialMark && !m_ended))
                return text[first];
            if (m_ended)
                return 0;
            char chunk[4096];
            std::size_t got = ReadFile(chunk, sizeof chunk);
            m_ended = got == 0;
            m_ahead.append(chunk, got);
        }
    }

private:
    // A read that waits for a pipe or a terminal would be restarted after a signal (the handlers
    // are installed with SA_RESTART), so the wait is a poll, which a signal always ends, and which
    // looks at the signals again at least every 100 ms in case one came just before it.
    std::size_t ReadFile(char* buffer, std::size_t size) {
        for (;;) {
            StopIfSignalled();
            pollfd ready{m_fd, POLLIN, 0};
            int polled = ::poll(&ready, 1, 100);
            if (polled < 0 && errno != EINTR)
                throw ExplainedError("cannot read " + m_name + ": " + std::strerror(errno));
            if (polled <= 0)
                continue;
            ssize_t got = ::read(m_fd, buffer, size);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR && errno != EAGAIN)
                throw ExplainedError("cannot read " + m_name + ": " + std::strerror(errno));
        }
    }
    void Close() {
        if (m_fd > STDIN_FILENO)
            ::close(m_fd);
        m_fd = -1;
    }

    std::string m_name;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::string m_ahead; // bytes read to tell the format, given out first
    std::size_t m_aheadUsed = 0;
    bool m_ended = false;
};

// ---- the database -------------------------------------------------------------------------------

class RecordInserter {
public:
    explicit RecordInserter(Connection& connection)
        : m_db(connection.Handle()),
          m_title(connection, "INSERT INTO Title (TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, "
                              "Title8) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          m_content(connection, "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (?, ?)"),
          m_storedKey(StoredKeyQuery(connection)), m_largestKey(connection, "SELECT max(TitleIndex) FROM Title") {}

    // The texts must stay unchanged until the call returns.
    void AddRecord(const Fields& fields) {
        StopIfSignalled();
        for (int i = 0; i < TextFieldCount; ++i)
            Bind(m_title, i + 1, fields[static_cast<std::size_t>(i)]);
        try {
            m_title.Run();
        } catch (const std::runtime_error&) {
            if (sqlite3_extended_errcode(m_db) == SQLITE_FULL && NoKeyLeft())
                throw ExplainedError("no new key is left: the largest TitleIndex, 9223372036854775807, is in use");
            throw;
        }
        // A trigger can drop the row without an error (RAISE(IGNORE)), and a key column that is not
        // the rowid stays NULL: the rowid SQLite reports is then no record's key.
        if (sqlite3_changes64(m_db) != 1)
            throw ExplainedError("the database did not store a record (a trigger on Title dropped it)");
        bool stored = m_storedKey.Step();
        if (!stored)
            throw ExplainedError("a new record is gone right after its insert (a trigger on Title removed it)");
        if (m_storedKey.Type(0) != SQLITE_INTEGER)
            throw ExplainedError("the database gave a new record no key: Title.TitleIndex is not the table's INTEGER "
                                 "PRIMARY KEY");
        m_key = m_storedKey.Int64(0);
        m_storedKey.Step(); // to its end, so that the next Step runs it again
        ++m_records;
    }
    // Adds a paragraph to the record added last.
    void AddParagraph(Text text) {
        m_content.BindInt64(1, m_key);
        Bind(m_content, 2, text);
        m_content.Run();
        if (sqlite3_changes64(m_db) != 1)
            throw ExplainedError("the database did not store a paragraph (a trigger on Content dropped it)");
        ++m_paragraphs;
    }
    std::uint64_t Records() const { return m_records; }
    std::uint64_t Paragraphs() const { return m_paragraphs; }

private:
    static Statement StoredKeyQuery(Connection& connection) {
        Statement kind(connection, "SELECT type FROM sqlite_master WHERE name = 'Title' COLLATE NOCASE");
        if (kind.Step() && kind.Text(0) == "view")
            throw ExplainedError("Title is a view: the key a new record gets through it cannot be read back");
        try {
            return Statement(connection, "SELECT TitleIndex FROM Title WHERE rowid = last_insert_rowid()");
        } catch (const std::runtime_error&) {
            throw ExplainedError("Title is not a table whose rows have a rowid (a view or a WITHOUT ROWID table), so "
                                 "the key of a new record cannot be read back");
        }
    }
    bool NoKeyLeft() {
        bool any = m_largestKey.Step() && m_largestKey.Type(0) == SQLITE_INTEGER;
        bool full = any && m_largestKey.Int64(0) == INT64_MAX;
        if (any)
            m_largestKey.Step();
        return full;
    }
    static void Bind(Statement& statement, int index, Text text) {
        if (text.null)
            statement.BindNull(index);
        else
            statement.BindStaticText(index, text.view);
    }

    sqlite3* m_db;
    Statement m_title;
    Statement m_content;
    Statement m_storedKey;
    Statement m_largestKey;
    sqlite3_int64 m_key = 0;
    std::uint64_t m_records = 0;
    std::uint64_t m_paragraphs = 0;
};

bool ParseInteger(std::string_view text, sqlite3_int64& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// What both readers share: a window on the input with a position in it, where records go, and the
// texts that escapes made, kept at stable addresses until the record that uses them is stored.
//
// The window holds the input from the start of the record or line being read to m_end. A reader
// first makes sure that the whole unit it is about to parse is in the window (a JSON record, a CSV
// line: the window grows for a long one), then parses it with views into the window; Refill, which
// moves the window's bytes, is refused while such views are held (m_holding).
class TextReader {
public:
    TextReader(InputSource& source, RecordInserter& inserter, Progress& progress)
        : m_inserter(inserter), m_source(source), m_progress(progress) {
        m_begin = m_p = m_end = m_buffer.data();
    }

protected:
    [[noreturn]] void Fail(const char* at, const std::string& message) const { throw InputError{Locate(at) + message}; }
    std::string_view Rest() const { return {m_p, static_cast<std::size_t>(m_end - m_p)}; }
    void ShowProgress() {
        m_progress.Show((m_dropped + static_cast<std::uint64_t>(m_p - m_begin)) / 1000000, m_source.Size() / 1000000);
    }

    // Whether a byte is at m_p, reading more when needed and allowed.
    bool More() { return m_p < m_end || Refill(); }
    // Reads until n bytes are at m_p or the input ends.
    void Want(std::size_t n) {
        while (static_cast<std::size_t>(m_end - m_p) < n && Refill()) {
        }
    }

    // Reads another chunk into the window; false at the end of the input, or while views into the
    // window are held. The bytes before m_p are dropped, the rest move to the front.
    bool Refill() {
        if (m_ended || m_holding)
            return false;
        CountDropped(m_begin, m_p);
        std::size_t dropped = static_cast<std::size_t>(m_p - m_begin);
        std::size_t kept = static_cast<std::size_t>(m_end - m_p);
        std::memmove(m_buffer.data(), m_p, kept);
        if (m_buffer.size() < kept + Chunk)
            m_buffer.resize(std::max(kept + Chunk, m_buffer.size() * 2));
        std::size_t got = m_source.Read(m_buffer.data() + kept, m_buffer.size() - kept);
        m_dropped += dropped;
        m_begin = m_p = m_buffer.data();
        m_end = m_begin + kept + got;
        m_ended = got == 0;
        return got > 0;
    }

    // "name:line:column: " of a place in the window (line and column counted from 1, the column in
    // characters).
    std::string Locate(const char* at) const {
        std::uint64_t line = m_droppedLines + 1;
        const char* lineStart = m_begin;
        for (const char* p = m_begin;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(at - p)))); lineStart = ++p)
            ++line;
        std::uint64_t column = 1 + (lineStart == m_begin ? m_droppedColumns : 0);
        for (const char* p = lineStart; p < at; ++p)
            column += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
        return m_source.Name() + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
    }

    const char* m_begin;
    const char* m_p;
    const char* m_end;
    bool m_holding = false;
    RecordInserter& m_inserter;
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
    static constexpr std::size_t Chunk = 1 << 16;

    void CountDropped(const char* from, const char* to) {
        const char* lastLine = nullptr;
        for (const char* p = from;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(to - p)))); lastLine = ++p)
            ++m_droppedLines;
        if (lastLine)
            m_droppedColumns = 0;
        for (const char* p = lastLine ? lastLine : from; p < to; ++p)
            m_droppedColumns += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    }

    InputSource& m_source;
    Progress& m_progress;
    std::vector<char> m_buffer = std::vector<char>(Chunk);
    bool m_ended = false;
    std::uint64_t m_dropped = 0;        // bytes of the input before the window
    std::uint64_t m_droppedLines = 0;   // their line ends
    std::uint64_t m_droppedColumns = 0; // their characters after the last line end
    std::deque<std::string> m_decoded;
    std::size_t m_decodedUsed = 0;
};

// ---- JSON ---------------------------------------------------------------------------------------

// An array of records, each an object with the members TitleIndex (an integer, not used: the
// database assigns new keys), TitleTxt and Title1 to Title8 (a string or null; a missing member is
// null) and Paragraphs (an array of strings or nulls). The escape \udcXX that export writes for a
// byte that is not UTF-8 gives back that byte.
class JsonReader : TextReader {
public:
    using TextReader::TextReader;

    void Read() {
        Want(ByteOrderMark.size());
        if (Rest().starts_with(ByteOrderMark))
            m_p += ByteOrderMark.size();
        SkipSpace();
        if (!Consume('['))
            Fail(m_p, "the input must be a JSON array of records");
        ReadElements(']', "a record", [this] {
            ++m_record;
            BufferRecord();
            m_holding = true;
            ReadRecord();
            m_holding = false;
            ShowProgress();
        });
        m_record = 0;
        SkipSpace();
        if (More())
            Fail(m_p, "unexpected text after the array of records");
    }

private:
    [[noreturn]] void Fail(const char* at, const std::string& message) const {
        TextReader::Fail(at, m_record > 0 ? "record " + std::to_string(m_record) + ": " + message : message);
    }

    // Makes sure that the value at m_p, a record, is in the window up to its closing bracket (or to
    // the end of the input), by its brackets outside strings; the parse itself checks the rest.
    void BufferRecord() {
        if (m_p >= m_end || *m_p != '{')
            return;
        std::size_t scanned = 0;
        int depth = 0;
        bool inString = false;
        for (;;) {
            for (const char* q = m_p + scanned; q < m_end;) {
                if (inString) {
                    // Strings are most of a record: passed over to the next quote that no odd
                    // run of backslashes escapes.
                    auto quote = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(m_end - q)));
                    if (!quote)
                        break;
                    std::size_t backslashes = 0;
                    for (const char* b = quote; b > m_p && b[-1] == '\\'; --b)
                        ++backslashes;
                    inString = backslashes % 2 != 0;
                    q = quote + 1;
                    continue;
                }
                char c = *q++;
                if (c == '"')
                    inString = true;
                else if (c == '{' || c == '[')
                    ++depth;
                else if ((c == '}' || c == ']') && --depth == 0)
                    return;
            }
            scanned = static_cast<std::size_t>(m_end - m_p);
            if (!Refill())
                return;
        }
    }

    void SkipSpace() {
        while (More() && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }
    bool Consume(char c) {
        if (More() && *m_p == c) {
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

// The keys seen so far, as runs of consecutive keys: an export lists its records in key order, so
// its keys take one run per gap between them, not memory per record.
class KeyRuns {
public:
    // False when the key was seen before.
    bool Insert(sqlite3_int64 key) {
        auto next = m_runs.upper_bound(key); // the first run that starts after the key
        if (next != m_runs.begin()) {
            auto previous = std::prev(next);
            if (previous->second >= key)
                return false;
            if (previous->second == key - 1) {
                previous->second = key;
                if (next != m_runs.end() && key < INT64_MAX && next->first == key + 1) {
                    previous->second = next->second;
                    m_runs.erase(next);
                }
                return true;
            }
        }
        if (next != m_runs.end() && key < INT64_MAX && next->first == key + 1) {
            sqlite3_int64 last = next->second;
            m_runs.erase(next);
            m_runs.emplace(key, last);
            return true;
        }
        m_runs.emplace(key, key);
        return true;
    }

private:
    std::map<sqlite3_int64, sqlite3_int64> m_runs; // first key of a run, its last key
};

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
                                     std::to_string(m_recordLine) + ")");
            }
            if (number.empty() || m_lastParagraph == 0)
                Fail(m_line, "record " + std::to_string(key) +
                                 " has both a line without a paragraph and lines with paragraphs");
            if (paragraph <= m_lastParagraph)
                Fail(m_line, "paragraph " + std::to_string(paragraph) + " of record " + std::to_string(key) +
                                 " follows paragraph " + std::to_string(m_lastParagraph));
        } else {
            if (!m_keys.Insert(key))
                Fail(m_line, "record " + std::to_string(key) +
                                 " appears again after other records; a record's lines must follow one another");
            m_hasRecord = true;
            m_key = key;
            m_recordLine = m_lineNumber;
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

    // Reads the next line that is not empty into cells, which stay valid until the next call; false
    // at the end of the input.
    bool ReadLine(std::vector<std::string_view>& cells) {
        ForgetDecoded();
        m_holding = false;
        for (;;) {
            if (m_atStart) {
                Want(ByteOrderMark.size());
                if (Rest().starts_with(ByteOrderMark))
                    m_p += ByteOrderMark.size();
                m_atStart = false;
            }
            BufferLine();
            if (m_p >= m_end)
                return false;
            m_line = m_p;
            if (!EndOfLine())
                break;
            ++m_linesBefore;
        }
        m_holding = true;
        ReadCells(cells);
        std::string_view line(m_line, static_cast<std::size_t>(m_p - m_line));
        m_lineNumber = m_linesBefore + 1;
        for (const char* p = m_line;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(m_p - p)))); ++p)
            ++m_linesBefore;
        // Checked line by line, while the line is still in the cache.
        if (std::size_t valid = ValidUtf8Length(line); valid < line.size())
            Fail(m_line + valid, "the text is not valid UTF-8 (save the file as UTF-8)");
        return true;
    }

    // Makes sure that the line at m_p is in the window up to its end, a line break outside quotes
    // (or to the end of the input).
    void BufferLine() {
        std::size_t scanned = 0;
        bool quoted = false;
        for (;;) {
            for (const char* q = m_p + scanned; q < m_end;) {
                auto rest = static_cast<std::size_t>(m_end - q);
                if (quoted) {
                    auto quote = static_cast<const char*>(std::memchr(q, '"', rest));
                    if (!quote)
                        break;
                    quoted = false; // a doubled quote opens again at once
                    q = quote + 1;
                    continue;
                }
                auto lineEnd = static_cast<const char*>(std::memchr(q, '\n', rest));
                const char* limit = lineEnd ? lineEnd : m_end;
                if (auto quote = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(limit - q)))) {
                    quoted = true;
                    q = quote + 1;
                    continue;
                }
                if (lineEnd)
                    return;
                break;
            }
            scanned = static_cast<std::size_t>(m_end - m_p);
            if (!Refill())
                return;
        }
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
    bool m_atStart = true;
    std::uint64_t m_linesBefore = 0; // line breaks before the current line
    std::uint64_t m_lineNumber = 0;  // of the current line, from 1

    bool m_hasRecord = false;
    sqlite3_int64 m_key = 0;
    std::uint64_t m_recordLine = 0; // the number of the record's first line
    sqlite3_int64 m_lastParagraph = 0;
    std::array<std::string, TextFieldCount> m_fields;
    KeyRuns m_keys;
};

} // namespace

int ImportRecords(const std::string& database, const std::string& input, std::optional<Format> format) {
    InputSource source(input);
    Connection connection = OpenDatabase(database, false);
    SignalGuard signals(connection.Handle());
    std::uint64_t records = 0;
    std::uint64_t paragraphs = 0;
    bool committed = false;
    try {
        if (!format)
            format = source.FirstSignificant() == '[' ? Format::Json : Format::Csv;
        ExplainFailures(connection, database, "cannot import into " + database, [&] {
            Transaction transaction(connection, "BEGIN IMMEDIATE");
            RecordInserter inserter(connection);
            Progress progress("importing", "MB");
            if (*format == Format::Csv)
                CsvReader(source, inserter, progress).Read();
            else
                JsonReader(source, inserter, progress).Read();
            StopIfSignalled();
            transaction.Commit();
            committed = true;
            records = inserter.Records();
            paragraphs = inserter.Paragraphs();
        });
    } catch (const InputError& error) {
        throw ExplainedError(error.message + "; nothing was imported");
    } catch (const std::runtime_error& error) {
        if (SignalGuard::Received() == 0)
            throw ExplainedError(std::string(error.what()) + "; nothing was imported");
    } catch (const Interrupted&) {
    }
    if (int signal = SignalGuard::Received(); signal != 0 && !committed) {
        std::fprintf(stderr, "tamrixdata-db: interrupted by SIG%s; nothing was imported\n", sigabbrev_np(signal));
        return ExitStatusForSignal(signal);
    }
    std::printf("%s: added %s with %s\n", database.c_str(), Counted(records, "record").c_str(),
                Counted(paragraphs, "paragraph").c_str());
    return 0;
}
