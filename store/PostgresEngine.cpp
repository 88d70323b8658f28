// TPostgresEngine: the store's engine over libpq, the only code of the store that calls libpq.
//
// Operations: Connect (a libpq connection string or URI; client encoding UTF-8; a password asked
// for through the prompt when the server wants one libpq's own sources lack; then one statement
// sets the lock timeout and checks that the records tables are there), Prepare (prepared and
// described once: the parameters and the result's columns are known before the first step), the
// transactions (BEGIN, a read transaction at REPEATABLE READ so that a list open and its handlers'
// statements see one state of the database; COMMIT reports a transaction the server had already
// rolled back), the schema's table key (the primary key and whether it is an identity or takes a
// sequence's next value).
//
// A statement's first Step runs it and takes its whole result; later steps walk that copy. A
// statement prepared in an earlier session (the connection was lost and made again) is prepared
// anew at its next step and changes its generation. Statements given up are deallocated on the
// server with the next BEGIN or statement run through Execute, never at a round trip of their own.
// The key an INSERT ... RETURNING gave back is kept as the last insert's key.
//
// A statement of one integer parameter that a read transaction runs again and again with the values
// of a column it read before (the count walk's paragraphs of every listed record) is answered for
// the whole column in one round trip: the statement that gave the column runs again in the same
// snapshot, each of its rows with whether the value has rows (see Answered).
//
// Errors carry the server's primary message and its SQLSTATE (see SqlStateCode). A lost connection
// raises kStateConnectionLost; the next Connect makes a new one. While the server works, the work
// tick (the busy pointer) runs about ten times a second.
//
// Cost: one round trip per statement run. A BEGIN is not sent on its own: it goes with the
// transaction's first statement (in the same text, or in one pipeline with a prepared statement). A
// read transaction's COMMIT is sent without waiting; its answer is taken before the next statement.
// A write transaction's COMMIT is a round trip (its failure must be known). A row read parses its
// integers and copies its texts into the row store.
#include "PostgresEngine.h"

#include "ADOConnection.h"
#include "DatabaseErrors.h"
#include "EngineError.h"
#include "PostgresSchema.h"
#include "RowStore.h"
#include "TextCase.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <system_error>

namespace {

// The program's own words for the failures a user of a shared database meets (the program speaks
// Chinese); the server's or libpq's text follows where it names the cause.
constexpr const char* kLostMessage =
    "与数据库服务器的连接已中断（服务器重启或网络断开）：本次操作未完成，已输入的内容仍保留；下一次操作将重新连接";
constexpr const char* kCannotConnectMessage = "无法连接数据库服务器：";
constexpr const char* kNoTablesMessage =
    "数据库服务器上的这个数据库没有记录表（Title 和 Content）：请先用 tamrixdata-db init 创建";

// Type OIDs of the server's built-in types (pg_type.h).
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kOid = 26, kFloat4 = 700,
              kFloat8 = 701, kBpchar = 1042, kVarchar = 1043, kNumeric = 1700;
// A varchar's or char's type modifier is its length plus this.
constexpr int kVarHeader = 4;

TPasswordPrompt& PasswordPrompt() {
    static TPasswordPrompt prompt;
    return prompt;
}

struct TResultFree {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using TResult = std::unique_ptr<PGresult, TResultFree>;

TFieldValue::Type TypeOf(Oid type) {
    switch (type) {
    case kBool:
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
        return TFieldValue::Int;
    case kFloat4:
    case kFloat8:
    case kNumeric:
        return TFieldValue::Real;
    case kBytea:
        return TFieldValue::Blob;
    default:
        return TFieldValue::Text;
    }
}

// The column's type as the schema would declare it (what the record sets make fields from).
std::string DeclaredType(Oid type, int modifier) {
    switch (type) {
    case kInt2:
    case kInt4:
    case kInt8:
        return "INTEGER";
    case kVarchar:
        return modifier >= kVarHeader ? "VARCHAR(" + std::to_string(modifier - kVarHeader) + ")" : "TEXT";
    case kBpchar:
        return modifier >= kVarHeader ? "CHAR(" + std::to_string(modifier - kVarHeader) + ")" : "TEXT";
    case kText:
        return "TEXT";
    case kFloat4:
    case kFloat8:
        return "DOUBLE";
    case kNumeric:
        return "NUMERIC";
    default:
        return {};
    }
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Where the parenthesis that opens at open closes (quoted text skipped); npos when it does not.
std::size_t ClosingParenthesis(std::string_view sql, std::size_t open) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = open; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// A name as the program spells it: the server gives the names it folded to lower case. The spelling
// of the statement's own text comes first, then that of the records tables' schema; a name found in
// neither stays as the server gives it.
std::string ProgramSpelling(const std::string& name, std::string_view sql) {
    for (const std::string_view text : {sql, std::string_view(kPostgresSchema)}) {
        char quote = 0;
        for (std::size_t i = 0; i < text.size();) {
            const char c = text[i];
            if (quote) {
                quote = c == quote ? 0 : quote;
                ++i;
            } else if (c == '\'' || c == '"') {
                quote = c;
                ++i;
            } else if (IsNameChar(c)) {
                std::size_t end = i;
                while (end < text.size() && IsNameChar(text[end]))
                    ++end;
                if (EqualsIgnoreCase(text.substr(i, end - i), name))
                    return std::string(text.substr(i, end - i));
                i = end;
            } else {
                ++i;
            }
        }
    }
    return name;
}

// An integer column's text (a boolean's t or f as 1 or 0).
std::int64_t IntegerOf(const char* value) {
    if (value[0] == 't' || value[0] == 'f')
        return value[0] == 't';
    std::int64_t number = 0;
    std::from_chars(value, value + std::strlen(value), number);
    return number;
}

std::string PrimaryMessage(const PGresult* result, pg_conn* conn) {
    if (result)
        if (const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY))
            return primary;
    return conn ? PQerrorMessage(conn) : "Connection is not open";
}

} // namespace

bool IsServerConnection(std::string_view database) {
    std::string_view text = database;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    if (text.starts_with("postgresql://") || text.starts_with("postgres://"))
        return true;
    std::size_t i = 0;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
        ++i;
    const std::size_t nameEnd = i;
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (nameEnd == 0 || i >= text.size() || text[i] != '=')
        return false;
    std::error_code error;
    return !std::filesystem::exists(std::string(database), error);
}

int SqlStateCode(std::string_view state) {
    int code = 0;
    for (const char c : state.substr(0, 5)) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : AsciiUpper(c) - 'A' + 10;
        code = code * 36 + (digit >= 0 && digit < 36 ? digit : 0);
    }
    return code;
}

void SetPasswordPrompt(TPasswordPrompt prompt) {
    PasswordPrompt() = std::move(prompt);
}

// The server's spelling of the search filter's substring position (the dialect names it too).
constexpr const char* kSubstringPosition = "strpos";

std::string TranslateForPostgres(std::string_view sql) {
    std::string out;
    out.reserve(sql.size() + 16);
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            out += c;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            out += c;
            continue;
        }
        constexpr std::string_view kInStr = "INSTR";
        if ((c == 'i' || c == 'I') && (i == 0 || !IsNameChar(sql[i - 1])) && sql.size() - i > kInStr.size() &&
            EqualsIgnoreCase(sql.substr(i, kInStr.size()), kInStr)) {
            std::size_t open = i + kInStr.size();
            while (open < sql.size() && sql[open] == ' ')
                ++open;
            const std::size_t close = open < sql.size() && sql[open] == '(' ? ClosingParenthesis(sql, open) : open;
            if (close != std::string_view::npos && close != open) {
                // Used as a condition (SQLite takes a number as true when it is not 0) the server
                // wants a truth value; compared or computed with it stays a number.
                std::size_t next = close + 1;
                while (next < sql.size() && std::isspace(static_cast<unsigned char>(sql[next])))
                    ++next;
                const bool condition = next == sql.size() || !std::strchr("=<>!+-*/|%", sql[next]);
                const std::string inner = TranslateForPostgres(sql.substr(open, close + 1 - open));
                out += condition ? "(" + (kSubstringPosition + inner) + " > 0)" : kSubstringPosition + inner;
                i = close;
                continue;
            }
        }
        out += c;
    }
    return out;
}

namespace {

// What a statement's runs with one integer parameter would find, by value: sorted, looked up where the
// last lookup ended first (a count walk asks in the order of its column).
class TAnswers {
public:
    static constexpr char kNoRows = 0, kRows = 1, kUnknown = 2;
    void Clear() {
        m_entries.clear();
        m_next = 0;
    }
    const char* Find(std::int64_t value) {
        if (m_next < m_entries.size() && m_entries[m_next].first == value)
            return &m_entries[m_next++].second;
        const auto found = std::lower_bound(m_entries.begin(), m_entries.end(), std::make_pair(value, char(0)));
        if (found == m_entries.end() || found->first != value)
            return nullptr;
        m_next = static_cast<std::size_t>(found - m_entries.begin()) + 1;
        return &found->second;
    }
    // Entries sorted by value, none known yet.
    void Add(const std::vector<std::pair<std::int64_t, char>>& entries) {
        const auto middle = static_cast<std::ptrdiff_t>(m_entries.size());
        m_entries.insert(m_entries.end(), entries.begin(), entries.end());
        std::inplace_merge(m_entries.begin(), m_entries.begin() + middle, m_entries.end());
    }

private:
    std::vector<std::pair<std::int64_t, char>> m_entries;
    std::size_t m_next = 0;
};

class TPostgresStatement final : public TEngineStatement {
public:
    TPostgresStatement(TPostgresEngine& engine, std::string sql) : m_engine(engine), m_sql(std::move(sql)) {
        PrepareOnServer();
    }
    ~TPostgresStatement() override {
        if (m_session == m_engine.Session() && m_engine.Connected())
            m_engine.Forget(m_name);
    }
    TPostgresStatement(const TPostgresStatement&) = delete;
    TPostgresStatement& operator=(const TPostgresStatement&) = delete;

    int ParameterCount() const override { return static_cast<int>(m_values.size()); }
    void BindNull(int index) override { Slot(index).reset(); }
    void BindInteger(int index, std::int64_t value) override {
        Slot(index) = std::to_string(value);
        m_boundInteger = value;
    }
    void BindParameters(const std::vector<std::optional<std::int64_t>>& values) override {
        const auto count = std::min(values.size(), static_cast<std::size_t>(ParameterCount()));
        for (std::size_t i = 0; i < count; ++i) {
            const int index = static_cast<int>(i + 1);
            if (values[i])
                BindInteger(index, *values[i]);
            else
                BindNull(index);
        }
    }
    void Bind(int index, const TFieldValue& value) override {
        switch (value.type) {
        case TFieldValue::Null:
            return BindNull(index);
        case TFieldValue::Int:
            return BindInteger(index, value.integer);
        case TFieldValue::Real: {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", value.real);
            Slot(index) = text;
            return;
        }
        case TFieldValue::Text:
            if (value.text.find('\0') != std::string::npos)
                Fail("A text holding a NUL character cannot be stored", "22021");
            Slot(index) = value.text;
            return;
        case TFieldValue::Blob: {
            std::size_t length = 0;
            unsigned char* escaped =
                PQescapeByteaConn(m_engine.Handle(), reinterpret_cast<const unsigned char*>(value.text.data()),
                                  value.text.size(), &length);
            if (!escaped)
                throw std::bad_alloc();
            Slot(index) = std::string(reinterpret_cast<char*>(escaped), length ? length - 1 : 0);
            PQfreemem(escaped);
            return;
        }
        }
    }

    int ColumnCount() const override { return static_cast<int>(m_columns.size()); }
    [[gnu::hot]] bool Step() override {
        if (!m_result && !m_answered) {
            Run();
            if (m_answered) {
                m_row = 0;
                return m_answeredRow;
            }
            m_row = 0;
            return PQntuples(m_result.get()) > 0;
        }
        if (m_answered)
            RunAnswered();
        ++m_row;
        if (m_row >= PQntuples(m_result.get()) && !m_cursor.empty())
            FetchRest();
        return m_row < PQntuples(m_result.get());
    }
    TResultColumn Column(int index) const override { return m_columns[static_cast<std::size_t>(index)]; }
    TFieldValue::Type ValueType(int column) const override {
        if (m_answered)
            const_cast<TPostgresStatement*>(this)->RunAnswered();
        if (!m_result || PQgetisnull(m_result.get(), m_row, column))
            return TFieldValue::Null;
        return m_types[static_cast<std::size_t>(column)];
    }
    [[gnu::hot]] std::size_t ReadRow(TRowStore& rows) override {
        if (m_answered)
            RunAnswered();
        PGresult* const result = m_result.get();
        const int columns = static_cast<int>(m_types.size());
        rows.BeginRow();
        for (int c = 0; c < columns; ++c) {
            // A NULL reads as an empty text: only an empty value needs the question.
            const char* const value = PQgetvalue(result, m_row, c);
            if (value[0] == '\0' && PQgetisnull(result, m_row, c)) {
                rows.AddNull();
                continue;
            }
            switch (m_types[static_cast<std::size_t>(c)]) {
            case TFieldValue::Int:
                rows.AddInteger(IntegerOf(value));
                break;
            case TFieldValue::Real:
                rows.AddReal(std::strtod(value, nullptr));
                break;
            case TFieldValue::Blob: {
                std::size_t length = 0;
                unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &length);
                if (!bytes)
                    throw std::bad_alloc();
                rows.AddBytes(TFieldValue::Blob, bytes, length);
                PQfreemem(bytes);
                break;
            }
            default:
                rows.AddBytes(TFieldValue::Text, value, static_cast<std::size_t>(PQgetlength(result, m_row, c)));
                break;
            }
        }
        return rows.EndRow();
    }
    std::uint64_t Generation() const override { return m_generation; }

    bool Reset() noexcept override {
        m_result.reset();
        m_cursor.clear(); // closed with the read transaction
        m_answered = false;
        m_row = -1;
        return !m_failed;
    }
    void ClearBindings() noexcept override {
        for (auto& value : m_values)
            value.reset();
        m_boundInteger.reset();
    }
    [[noreturn]] void RaiseError() const override {
        RaiseEngineError(m_error.empty() ? "The statement has not failed" : m_error, SqlStateCode(m_state));
    }

private:
    void PrepareOnServer() {
        m_name = m_engine.NextStatementName();
        TResult prepared(
            m_engine.Await([&](pg_conn* c) { return PQsendPrepare(c, m_name.c_str(), m_sql.c_str(), 0, nullptr); }));
        m_engine.Check(prepared.get(), false);
        TResult described(m_engine.Await([&](pg_conn* c) { return PQsendDescribePrepared(c, m_name.c_str()); }));
        m_engine.Check(described.get(), false);
        PGresult* const d = described.get();
        m_values.assign(static_cast<std::size_t>(PQnparams(d)), std::nullopt);
        const Oid parameterType = PQnparams(d) == 1 ? PQparamtype(d, 0) : InvalidOid;
        m_integerParameter = parameterType == kInt2 || parameterType == kInt4 || parameterType == kInt8;
        m_parameterType = parameterType == kInt8 ? "bigint" : parameterType == kInt4 ? "integer" : "smallint";
        m_answers.Clear();
        m_columns.clear();
        m_types.clear();
        for (int c = 0; c < PQnfields(d); ++c) {
            TResultColumn column;
            column.name = ProgramSpelling(PQfname(d, c), m_sql);
            const Oid table = PQftable(d, c);
            const int attribute = PQftablecol(d, c);
            if (table != InvalidOid && attribute > 0) {
                const auto& origin = m_engine.OriginOf(table);
                if (static_cast<std::size_t>(attribute) <= origin.columns.size() &&
                    !origin.columns[static_cast<std::size_t>(attribute - 1)].empty()) {
                    column.table = origin.table;
                    column.origin = origin.columns[static_cast<std::size_t>(attribute - 1)];
                    column.declaredType = DeclaredType(PQftype(d, c), PQfmod(d, c));
                }
            }
            m_columns.push_back(std::move(column));
            m_types.push_back(TypeOf(PQftype(d, c)));
        }
        m_session = m_engine.Session();
    }

    void Run() {
        if (Answered())
            return;
        RunOnServer();
    }

    // A statement of one integer parameter run again and again in one read transaction, with the
    // values of a column of a result read before (the count walk's paragraphs of each listed
    // record): whether each value has rows is asked once for the whole column. A run so answered
    // goes to the server only when a row's values are read, or a step goes past its first row.
    bool Answered() {
        if (!m_integerParameter || !m_boundInteger || !m_engine.Reading())
            return false;
        const std::int64_t value = *m_boundInteger;
        const std::uint64_t read = m_engine.ReadNumber();
        if (m_answersRead != read) {
            m_answers.Clear();
            m_answersRead = read;
            m_runs = 0;
        }
        if (m_runs < kRunsBeforeAsking && ++m_runs < kRunsBeforeAsking)
            return false;
        const char* found = m_answers.Find(value);
        if (!found) {
            // Asked first, or a value of rows the column's result has fetched since.
            AskForColumn(value);
            found = m_answers.Find(value);
        }
        if (!found || *found == TAnswers::kUnknown)
            return false;
        m_answered = true;
        m_answeredRow = *found == TAnswers::kRows;
        return true;
    }

    void AskForColumn(std::int64_t value) {
        const TPostgresEngine::THolding holding = m_engine.ColumnHolding(value);
        std::vector<std::pair<std::int64_t, char>> entries;
        if (!holding.query.empty())
            entries = AskThroughQuery(holding);
        else if (!holding.values.empty())
            entries = AskForValues(holding.values);
        // A column read in its own order (the list's keys) comes sorted already.
        if (!std::is_sorted(entries.begin(), entries.end()))
            std::sort(entries.begin(), entries.end());
        entries.erase(std::unique(entries.begin(), entries.end(),
                                  [](const auto& a, const auto& b) { return a.first == b.first; }),
                      entries.end());
        std::erase_if(entries, [&](const auto& entry) { return m_answers.Find(entry.first) != nullptr; });
        if (!std::binary_search(entries.begin(), entries.end(), std::make_pair(value, TAnswers::kNoRows),
                                [](const auto& a, const auto& b) { return a.first < b.first; }) &&
            !m_answers.Find(value))
            // No result of this read holds it: not asked again.
            entries.insert(std::lower_bound(entries.begin(), entries.end(), std::make_pair(value, TAnswers::kNoRows)),
                           {value, TAnswers::kUnknown});
        m_answers.Add(entries);
    }

    // The column came from a statement the server can run again (with the parameters it had) in the
    // same snapshot, telling for each of its rows whether the value has rows here: nothing of the
    // column travels to the server, and the rows the client has not fetched yet are answered too.
    std::vector<std::pair<std::int64_t, char>> AskThroughQuery(const TPostgresEngine::THolding& holding) {
        const std::string key = "tamrix_listed." + QuoteIdentifier(holding.column);
        const std::string sql = "SELECT " + key + ", EXISTS (" +
                                WithParameter("CAST(" + key + " AS " + m_parameterType + ")") + ") FROM (" +
                                holding.query + "\n) AS tamrix_listed";
        std::vector<const char*> parameters;
        for (const auto& parameter : holding.parameters)
            parameters.push_back(parameter ? parameter->c_str() : nullptr);
        TResult result(m_engine.Await([&](pg_conn* c) {
            return PQsendQueryParams(c, sql.c_str(), static_cast<int>(parameters.size()), nullptr, parameters.data(),
                                     nullptr, nullptr, 1);
        }));
        m_engine.Check(result.get(), true);
        std::vector<std::pair<std::int64_t, char>> entries;
        PGresult* const r = result.get();
        entries.reserve(static_cast<std::size_t>(PQntuples(r)));
        for (int row = 0; row < PQntuples(r); ++row) {
            if (PQgetisnull(r, row, 0) || PQgetlength(r, row, 1) != 1)
                continue;
            const auto* bytes = reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, 0));
            const int length = PQgetlength(r, row, 0);
            std::uint64_t bits = 0;
            for (int i = 0; i < length; ++i)
                bits = bits << 8 | bytes[i];
            // Sign-extended from the column's width (smallint, integer or bigint).
            const int unused = 64 - 8 * length;
            const auto number =
                length >= 8 ? static_cast<std::int64_t>(bits) : static_cast<std::int64_t>(bits << unused) >> unused;
            entries.emplace_back(number, PQgetvalue(r, row, 1)[0] ? TAnswers::kRows : TAnswers::kNoRows);
        }
        return entries;
    }

    // Otherwise the column's values are sent; only those that have rows come back.
    std::vector<std::pair<std::int64_t, char>> AskForValues(const std::vector<std::int64_t>& values) {
        std::vector<std::int64_t> asked;
        for (const std::int64_t v : values)
            if (!m_answers.Find(v))
                asked.push_back(v);
        if (asked.empty())
            return {};
        std::string list;
        list.reserve(asked.size() * 8 + 2);
        list += '{';
        char digits[24];
        for (const std::int64_t v : asked) {
            list.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
            list += ',';
        }
        list.back() = '}';
        // EXISTS lets the server drop the statement's ORDER BY and stop at the first row of each value.
        const std::string sql = "SELECT k.v FROM unnest($1::bigint[]) AS k(v) WHERE EXISTS (" +
                                WithParameter("CAST(k.v AS " + m_parameterType + ")") + ")";
        const char* parameter = list.c_str();
        TResult result(m_engine.Await([&](pg_conn* c) {
            return PQsendQueryParams(c, sql.c_str(), 1, nullptr, &parameter, nullptr, nullptr, 0);
        }));
        m_engine.Check(result.get(), true);
        std::vector<std::int64_t> withRows;
        withRows.reserve(static_cast<std::size_t>(PQntuples(result.get())));
        for (int r = 0; r < PQntuples(result.get()); ++r)
            withRows.push_back(IntegerOf(PQgetvalue(result.get(), r, 0)));
        std::sort(withRows.begin(), withRows.end());
        std::vector<std::pair<std::int64_t, char>> entries;
        entries.reserve(asked.size());
        for (const std::int64_t v : asked)
            entries.emplace_back(v, std::binary_search(withRows.begin(), withRows.end(), v) ? TAnswers::kRows
                                                                                            : TAnswers::kNoRows);
        return entries;
    }

    // The statement's text with its one parameter marker replaced (quoted text left alone).
    std::string WithParameter(const std::string& replacement) const {
        std::string out;
        char quote = 0;
        for (std::size_t i = 0; i < m_sql.size(); ++i) {
            const char c = m_sql[i];
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '$' && i + 1 < m_sql.size() && m_sql[i + 1] == '1' &&
                       (i + 2 == m_sql.size() || !std::isdigit(static_cast<unsigned char>(m_sql[i + 2])))) {
                out += replacement;
                ++i;
                continue;
            }
            out += c;
        }
        return out;
    }

    // A run answered without the server: now its rows are needed.
    void RunAnswered() {
        m_answered = false;
        const int row = m_row;
        RunOnServer();
        m_row = row;
    }

    void RunOnServer() {
        if (!m_engine.Connected())
            m_engine.RaiseLastError();
        if (m_session != m_engine.Session()) {
            // Prepared anew in this session: what the caller bound for this run stays bound.
            std::vector<std::optional<std::string>> bound = std::move(m_values);
            PrepareOnServer();
            if (bound.size() == m_values.size())
                m_values = std::move(bound);
            ++m_generation;
        }
        m_cursor.clear();
        if (m_values.empty() && !m_columns.empty() && m_engine.Reading() && IsQuery()) {
            RunAsCursor();
            return;
        }
        const std::size_t count = m_values.size();
        m_pointers.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            m_pointers[i] = m_values[i] ? m_values[i]->c_str() : nullptr;
        TResult result(m_engine.Await([&](pg_conn* c) {
            return PQsendQueryPrepared(c, m_name.c_str(), static_cast<int>(count), m_pointers.data(), nullptr, nullptr,
                                       0);
        }));
        TakeResult(std::move(result), true);
    }

    // A SELECT (a cursor takes nothing else, and only a SELECT is run again to answer a walk; an INSERT
    // ... RETURNING has columns too).
    bool IsQuery() const {
        const std::size_t start = m_sql.find_first_not_of(" \t\r\n(");
        return start != std::string::npos && EqualsIgnoreCase(std::string_view(m_sql).substr(start, 6), "SELECT");
    }

    // A read without parameters may be a whole table (a record set opened only to insert a row):
    // inside the read transaction it runs as a cursor, its first kFirstRows rows in the same round
    // trip, the rest in one more when a step passes them.
    void RunAsCursor() {
        const std::string cursor = m_engine.NextCursorName();
        const std::string sql = "DECLARE " + cursor + " NO SCROLL CURSOR FOR " + m_sql + "; FETCH " +
                                std::to_string(kFirstRows) + " FROM " + cursor;
        TResult result(m_engine.AwaitText(sql));
        TakeResult(std::move(result));
        if (PQntuples(m_result.get()) == kFirstRows)
            m_cursor = cursor;
    }

    void FetchRest() {
        const std::string cursor = std::move(m_cursor);
        m_cursor.clear();
        TResult result(m_engine.AwaitText("FETCH ALL FROM " + cursor));
        TakeResult(std::move(result));
        m_row = 0;
    }

    // The statement's answer: its error raised, else its rows kept (and, for a change, the rows it
    // changed and the key it gave).
    void TakeResult(TResult result, bool change = false) {
        try {
            m_engine.Check(result.get(), true);
        } catch (const EOleException& error) {
            m_failed = true;
            m_error = error.Message();
            const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
            m_state = state ? state : kStateConnectionLost;
            m_result.reset();
            m_row = -1;
            throw;
        }
        m_failed = false;
        if (change)
            m_engine.TookChange(result.get());
        m_result = std::shared_ptr<PGresult>(result.release(), TResultFree());
        m_engine.TookResult(m_result, m_types, this, IsQuery() ? m_sql : std::string(), m_values);
    }

    // Where a value is bound; BindInteger sets the kept integer again after it.
    std::optional<std::string>& Slot(int index) {
        if (index < 1 || static_cast<std::size_t>(index) > m_values.size())
            Fail("column index out of range", "42P02");
        m_boundInteger.reset();
        return m_values[static_cast<std::size_t>(index - 1)];
    }
    [[noreturn]] static void Fail(const char* message, const char* state) {
        RaiseEngineError(message, SqlStateCode(state));
    }

    TPostgresEngine& m_engine;
    std::string m_sql;
    std::string m_name;
    std::uint64_t m_session = 0;
    std::uint64_t m_generation = 0;
    std::vector<std::optional<std::string>> m_values;
    std::vector<const char*> m_pointers;
    std::vector<TResultColumn> m_columns;
    std::vector<TFieldValue::Type> m_types;
    std::shared_ptr<PGresult> m_result;
    int m_row = -1;
    static constexpr int kFirstRows = 100;
    std::string m_cursor; // while the cursor has rows not fetched
    // Answers for the one integer parameter (see Answered).
    static constexpr int kRunsBeforeAsking = 2;
    bool m_integerParameter = false;
    std::optional<std::int64_t> m_boundInteger; // the one parameter's value when an integer was bound
    std::string m_parameterType;
    TAnswers m_answers;
    std::uint64_t m_answersRead = 0;
    int m_runs = 0;
    bool m_answered = false;
    bool m_answeredRow = false;
    bool m_failed = false;
    std::string m_error;
    std::string m_state;
};

} // namespace

TPostgresEngine::TPostgresEngine() {
    m_dialect.markers = TDialect::TMarkers::DollarNumbered;
    m_dialect.nullSafeEquals = " IS NOT DISTINCT FROM ";
    m_dialect.newKey = TDialect::TNewKey::Returning;
    m_dialect.substringPosition = kSubstringPosition;
}

TPostgresEngine::~TPostgresEngine() {
    Disconnect();
}

void TPostgresEngine::Disconnect() noexcept {
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
    m_forgotten.clear();
    m_origins.clear();
    m_begin.clear();
    m_unsettled = false;
}

bool TPostgresEngine::Connected() const {
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

int TPostgresEngine::ServerProcess() const {
    return Connected() ? PQbackendPID(m_conn) : 0;
}

void TPostgresEngine::Connect(const std::string& database) {
    if (Connected())
        return;
    Disconnect(); // a connection that was lost
    m_database = database;
    std::optional<std::string> password;
    for (;;) {
        const char* keys[] = {"dbname", "client_encoding", "fallback_application_name", password ? "password" : nullptr,
                              nullptr};
        const char* values[] = {database.c_str(), "UTF8", "TamrixData", password ? password->c_str() : nullptr,
                                nullptr};
        pg_conn* conn = PQconnectdbParams(keys, values, 1);
        if (!conn)
            throw std::bad_alloc();
        if (PQstatus(conn) == CONNECTION_OK) {
            m_conn = conn;
            break;
        }
        const bool needsPassword = PQconnectionNeedsPassword(conn) != 0;
        const bool hadPassword = PQconnectionUsedPassword(conn) != 0;
        m_lastError = kCannotConnectMessage + CleanEngineMessage(PQerrorMessage(conn));
        PQfinish(conn);
        if (needsPassword && !password && PasswordPrompt()) {
            password = PasswordPrompt()(database);
            if (password)
                continue;
        }
        m_lastState = hadPassword || needsPassword ? kStateLoginRefused : kStateCannotConnect;
        RaiseLastError();
    }
    ++m_session;
    m_forgotten.clear();
    m_origins.clear();
    // The lock timeout stands for SQLite's busy timeout; the tables' presence tells a records
    // database from any other.
    const auto check = Run("SET lock_timeout = " + std::to_string(m_busyTimeout) +
                           "; SELECT to_regclass('title') IS NOT NULL AND to_regclass('content') IS NOT NULL");
    if (PQntuples(check.get()) != 1 || PQgetvalue(check.get(), 0, 0)[0] != 't') {
        Disconnect();
        m_lastError = kNoTablesMessage;
        m_lastState = kStateMissingTable;
        RaiseLastError();
    }
}

void TPostgresEngine::SetBusyTimeout(int milliseconds) {
    m_busyTimeout = milliseconds;
    if (Connected())
        Run("SET lock_timeout = " + std::to_string(milliseconds));
}

void TPostgresEngine::Check(pg_result* result, bool rowsExpected) {
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || (rowsExpected && status == PGRES_TUPLES_OK) || status == PGRES_EMPTY_QUERY)
        return;
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_lastError = kLostMessage;
        m_lastState = kStateConnectionLost;
    } else {
        m_lastError = PrimaryMessage(result, m_conn);
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        m_lastState = state ? state : "XX000";
    }
    RaiseLastError();
}

void TPostgresEngine::TookChange(pg_result* result) {
    const char* tuples = PQcmdTuples(result);
    if (tuples && *tuples)
        m_rowsChanged = std::strtoll(tuples, nullptr, 10);
    if (std::strncmp(PQcmdStatus(result), "INSERT", 6) == 0 && PQntuples(result) > 0 && PQnfields(result) > 0 &&
        !PQgetisnull(result, 0, 0))
        m_lastInsertKey = std::strtoll(PQgetvalue(result, 0, 0), nullptr, 10);
}

pg_result* TPostgresEngine::NextResult() const {
    while (PQisBusy(m_conn)) {
        pollfd socket{PQsocket(m_conn), POLLIN, 0};
        const int ready = ::poll(&socket, 1, kTickMilliseconds);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (m_workTick) {
                try {
                    m_workTick();
                } catch (...) {
                    // The wait must go on; a tick has nothing to report.
                }
            }
            continue;
        }
        // A broken connection: PQgetResult reports it.
        if (ready < 0 || !PQconsumeInput(m_conn))
            break;
    }
    return PQgetResult(m_conn);
}

pg_result* TPostgresEngine::LastResult() const {
    PGresult* last = nullptr;
    while (PGresult* const next = NextResult()) {
        PQclear(last);
        last = next;
        if (PQstatus(m_conn) == CONNECTION_BAD)
            break;
    }
    return last;
}

void TPostgresEngine::Settle() const {
    if (!m_unsettled)
        return;
    m_unsettled = false;
    if (m_conn)
        PQclear(LastResult());
}

pg_result* TPostgresEngine::AwaitText(const std::string& sql) {
    ++m_roundTrips;
    Settle();
    if (m_begin.empty())
        return PQsendQuery(m_conn, sql.c_str()) ? LastResult() : nullptr;
    // The BEGIN not sent yet goes first, in the same text: one round trip for both.
    std::string text = std::exchange(m_begin, {});
    for (const auto& name : m_forgotten)
        text += "; DEALLOCATE " + name;
    m_forgotten.clear();
    text += "; " + sql;
    return PQsendQuery(m_conn, text.c_str()) ? LastResult() : nullptr;
}

pg_result* TPostgresEngine::Await(const std::function<int(pg_conn*)>& send) {
    ++m_roundTrips;
    Settle();
    if (m_begin.empty())
        return send(m_conn) ? LastResult() : nullptr;
    // The BEGIN not sent yet goes first, in one pipeline with the statement: one round trip for both.
    const std::string begin = std::exchange(m_begin, {});
    std::vector<std::string> forgotten = std::exchange(m_forgotten, {});
    if (!PQenterPipelineMode(m_conn))
        return nullptr;
    bool sent = PQsendQueryParams(m_conn, begin.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    for (const auto& name : forgotten)
        sent =
            sent && PQsendQueryParams(m_conn, ("DEALLOCATE " + name).c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    sent = sent && send(m_conn) && PQpipelineSync(m_conn);
    std::vector<PGresult*> results; // the last of each statement's results
    if (sent) {
        for (std::size_t statement = 0; statement < forgotten.size() + 2; ++statement) {
            PGresult* const result = LastResult();
            if (!result)
                break;
            results.push_back(result);
        }
        // The pipeline's end.
        while (PGresult* const end = NextResult()) {
            const bool synced = PQresultStatus(end) == PGRES_PIPELINE_SYNC;
            PQclear(end);
            if (synced || PQstatus(m_conn) == CONNECTION_BAD)
                break;
        }
    }
    if (!PQexitPipelineMode(m_conn)) {
        // Left with answers it cannot take: this connection is of no more use.
        for (PGresult* const result : results)
            PQclear(result);
        Disconnect();
        return nullptr;
    }
    // The first statement that failed answers for all; else the last one's answer.
    PGresult* answer = nullptr;
    for (PGresult* const result : results) {
        const ExecStatusType status = PQresultStatus(result);
        if (!answer && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY)
            answer = result;
    }
    if (!answer && sent && results.size() == forgotten.size() + 2)
        answer = results.back();
    for (PGresult* const result : results)
        if (result != answer)
            PQclear(result);
    return answer;
}

void TPostgresEngine::RequireConnection() {
    if (!Connected()) {
        if (m_conn) {
            m_lastError = kLostMessage;
            m_lastState = kStateConnectionLost;
        }
        RaiseLastError();
    }
}

std::shared_ptr<pg_result> TPostgresEngine::Run(const std::string& sql) {
    RequireConnection();
    std::shared_ptr<pg_result> result(AwaitText(sql), TResultFree());
    Check(result.get(), true);
    TookChange(result.get());
    return result;
}

void TPostgresEngine::RunWithForgotten(const std::string& sql) {
    if (m_forgotten.empty() || PQtransactionStatus(m_conn) == PQTRANS_INERROR) {
        Run(sql);
        return;
    }
    // After sql: a BEGIN with an isolation level must come first in the one implicit transaction
    // that the statements of one text share.
    std::string text = sql;
    for (const auto& name : m_forgotten)
        text += "; DEALLOCATE " + name;
    m_forgotten.clear();
    Run(text);
}

const TPostgresEngine::TColumnOrigin& TPostgresEngine::OriginOf(unsigned tableOid) {
    if (const auto found = m_origins.find(tableOid); found != m_origins.end())
        return found->second;
    const auto result = Run("SELECT c.relname, a.attnum, a.attname FROM pg_class c JOIN pg_attribute a ON "
                            "a.attrelid = c.oid WHERE c.oid = " +
                            std::to_string(tableOid) + " AND a.attnum > 0 AND NOT a.attisdropped");
    TColumnOrigin origin;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        origin.table = PQgetvalue(result.get(), r, 0);
        const long number = std::strtol(PQgetvalue(result.get(), r, 1), nullptr, 10);
        if (number > 0 && static_cast<std::size_t>(number) > origin.columns.size())
            origin.columns.resize(static_cast<std::size_t>(number));
        if (number > 0)
            origin.columns[static_cast<std::size_t>(number - 1)] = PQgetvalue(result.get(), r, 2);
    }
    return m_origins.emplace(tableOid, std::move(origin)).first->second;
}

std::unique_ptr<TEngineStatement> TPostgresEngine::Prepare(std::string_view sql) {
    if (!Connected())
        RaiseLastError();
    std::string text = TranslateForPostgres(sql);
    if (text.find_first_not_of(" \t\r\n;") == std::string::npos)
        RaiseEngineError("The statement is empty", SqlStateCode("42601"));
    return std::make_unique<TPostgresStatement>(*this, std::move(text));
}

void TPostgresEngine::Execute(const std::string& sql) {
    EndReading();
    RunWithForgotten(sql);
}

bool TPostgresEngine::NoNewKeyLeft(const std::string&, const TTableKey& key, int errorCode) {
    // An identity column whose sequence reached its largest value refuses with this state.
    return key.assignedByEngine && errorCode == SqlStateCode("2200H");
}

TTableKey TPostgresEngine::ReadTableKey(const std::string& table) {
    std::string literal = "'";
    for (const char c : QuoteIdentifier(table)) {
        if (c == '\'')
            literal += '\'';
        literal += c;
    }
    literal += "'";
    const auto result = Run("SELECT a.attname, a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE "
                            "'nextval(%', false) FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid AND "
                            "a.attnum = ANY (i.indkey) LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = "
                            "a.attnum WHERE i.indisprimary AND i.indrelid = to_regclass(" +
                            literal + ")");
    if (PQntuples(result.get()) != 1)
        return {};
    return {PQgetvalue(result.get(), 0, 0), PQgetvalue(result.get(), 0, 1)[0] == 't'};
}

bool TPostgresEngine::InTransaction() const {
    if (!Connected())
        return false;
    Settle();
    return !m_begin.empty() || PQtransactionStatus(m_conn) != PQTRANS_IDLE;
}

// A BEGIN waits for the transaction's first statement and travels with it.
void TPostgresEngine::BeginRead() {
    EndReading();
    RequireConnection();
    m_begin = "BEGIN ISOLATION LEVEL REPEATABLE READ";
    m_reading = true;
    ++m_readNumber;
}

void TPostgresEngine::BeginWrite() {
    EndReading();
    RequireConnection();
    m_begin = "BEGIN";
}

bool TPostgresEngine::Reading() const {
    if (!m_reading || !Connected())
        return false;
    Settle();
    return !m_begin.empty() || PQtransactionStatus(m_conn) == PQTRANS_INTRANS;
}

void TPostgresEngine::EndReading() noexcept {
    m_reading = false;
    m_kept.clear();
}

void TPostgresEngine::TookResult(const std::shared_ptr<pg_result>& result, const std::vector<TFieldValue::Type>& types,
                                 const void* statement, std::string query,
                                 const std::vector<std::optional<std::string>>& parameters) {
    if (!Reading() || PQntuples(result.get()) < kKeptFromRows)
        return;
    // Run again inside a query of the engine's own: as a subquery, without what ends a statement.
    while (!query.empty() && (std::isspace(static_cast<unsigned char>(query.back())) || query.back() == ';'))
        query.pop_back();
    m_kept.push_back({result, types, statement, std::move(query), parameters});
}

TPostgresEngine::THolding TPostgresEngine::ColumnHolding(std::int64_t value) const {
    const std::string text = std::to_string(value);
    for (const TKept& kept : m_kept) {
        PGresult* const result = kept.result.get();
        for (int c = 0; c < static_cast<int>(kept.types.size()); ++c) {
            if (kept.types[static_cast<std::size_t>(c)] != TFieldValue::Int)
                continue;
            bool holds = false;
            for (int r = 0; r < PQntuples(result) && !holds; ++r)
                holds = !PQgetisnull(result, r, c) && text == PQgetvalue(result, r, c);
            if (!holds)
                continue;
            THolding holding;
            // A column the statement names once can be asked for by name.
            int named = 0;
            for (int other = 0; other < PQnfields(result); ++other)
                named += std::strcmp(PQfname(result, other), PQfname(result, c)) == 0;
            if (!kept.query.empty() && named == 1) {
                holding.query = kept.query;
                holding.parameters = kept.parameters;
                holding.column = PQfname(result, c);
                return holding;
            }
            // That column in every part of that statement's result.
            for (const TKept& part : m_kept) {
                if (part.statement != kept.statement || part.types != kept.types)
                    continue;
                for (int r = 0; r < PQntuples(part.result.get()); ++r)
                    if (!PQgetisnull(part.result.get(), r, c))
                        holding.values.push_back(IntegerOf(PQgetvalue(part.result.get(), r, c)));
            }
            return holding;
        }
    }
    return {};
}

void TPostgresEngine::Commit() {
    const bool reading = m_reading;
    EndReading();
    if (!m_begin.empty()) {
        // Nothing was sent in it.
        m_begin.clear();
        return;
    }
    if (reading && Connected()) {
        Settle();
        // A read that went well changed nothing: its COMMIT is sent without waiting for the answer,
        // which is taken before the next statement.
        if (PQtransactionStatus(m_conn) == PQTRANS_INTRANS && PQsendQuery(m_conn, "COMMIT")) {
            m_unsettled = true;
            return;
        }
    }
    const auto result = Run("COMMIT");
    // A transaction the server had already failed ends by COMMIT as a rollback, without an error.
    if (std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0) {
        m_lastError = "The transaction was rolled back after an error";
        m_lastState = "40000";
        RaiseLastError();
    }
}

void TPostgresEngine::Rollback() {
    EndReading();
    if (!m_begin.empty()) {
        m_begin.clear();
        return;
    }
    Run("ROLLBACK");
}

void TPostgresEngine::RollbackQuietly() noexcept {
    EndReading();
    if (!m_begin.empty()) {
        m_begin.clear();
        return;
    }
    if (Connected()) {
        Settle();
        ++m_roundTrips;
        PQclear(PQexec(m_conn, "ROLLBACK"));
    }
}

std::int64_t TPostgresEngine::PendingKey() {
    if (!Connected())
        RaiseLastError();
    if (m_pendingKey == 0) {
        std::random_device random;
        const std::uint64_t bits = (std::uint64_t(random()) << 32 | random()) & ((std::uint64_t(1) << 62) - 1);
        m_pendingKey = -static_cast<std::int64_t>(bits | 1);
    }
    // Taken again in a new session: the lock tells the tool's check that the key's owner lives.
    if (m_pendingKeySession != m_session) {
        Run("SELECT pg_advisory_lock(" + std::to_string(m_pendingKey) + ")");
        m_pendingKeySession = m_session;
    }
    return m_pendingKey;
}

void TPostgresEngine::RaiseLastError() const {
    RaiseEngineError(m_lastError, SqlStateCode(m_lastState));
}

TPostgresEngine* PostgresEngineOf(const TADOConnection& connection) {
    return dynamic_cast<TPostgresEngine*>(&connection.Engine());
}
