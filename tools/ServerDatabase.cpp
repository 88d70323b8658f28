// tamrixdata-db on a server: the tool's commands for a database on PostgreSQL.
//
// The file commands stay the one implementation of the formats: a server's records pass through a
// temporary SQLite database of the program's schema. Operations: ReadSnapshot copies the server's
// records into a file from one REPEATABLE READ, READ ONLY transaction (backup, export; a cursor
// fetches kFetchRows rows at a time, so memory stays small at any size); WriteRecords copies a
// file's records onto the server in one transaction with COPY, keys kept or new ones taken from the
// identity's sequence in one statement (import, demo). Paragraphs that belong to no record (their
// record gone, or the file editor's pending ones, ContentTitle 0) are not copied and are reported.
//
// Cost: the server side is a constant number of round trips per kFetchRows rows read, and one COPY
// stream per table written.
#include "ServerDatabase.h"

#include "PostgresEngine.h"
#include "PostgresSchema.h"
#include "SilencedStream.h"
#include "SqliteHandles.h"
#include "TemporarySibling.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kFetchRows = 5000;
constexpr int kTitleColumns = 10; // TitleIndex, TitleTxt, Title1 .. Title8

using TResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;

class ServerConnection {
public:
    explicit ServerConnection(const std::string& server) : m_conn(PQconnectdb(server.c_str()), PQfinish) {
        if (PQstatus(m_conn.get()) != CONNECTION_OK)
            throw std::runtime_error("cannot connect to the server: " + CleanMessage(PQerrorMessage(m_conn.get())));
        PQsetClientEncoding(m_conn.get(), "UTF8");
    }
    PGconn* Handle() const { return m_conn.get(); }

    TResult Run(const std::string& sql) const {
        TResult result(PQexec(m_conn.get(), sql.c_str()), PQclear);
        const auto status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_COPY_IN)
            Fail(result.get());
        return result;
    }
    [[noreturn]] void Fail(const PGresult* result) const {
        const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        std::string message = primary ? primary : CleanMessage(PQerrorMessage(m_conn.get()));
        if (state)
            message += std::string(" (SQLSTATE ") + state + ")";
        throw std::runtime_error(message);
    }
    std::int64_t Scalar(const std::string& sql) const {
        const TResult result = Run(sql);
        return PQntuples(result.get()) && !PQgetisnull(result.get(), 0, 0)
                   ? std::strtoll(PQgetvalue(result.get(), 0, 0), nullptr, 10)
                   : 0;
    }

    // One COPY ... FROM STDIN: Start, Row per row, End.
    void StartCopy(const std::string& sql) { Run(sql); }
    void CopyRow(const std::string& line) {
        if (PQputCopyData(m_conn.get(), line.data(), static_cast<int>(line.size())) != 1)
            Fail(nullptr);
    }
    void EndCopy() {
        if (PQputCopyEnd(m_conn.get(), nullptr) != 1)
            Fail(nullptr);
        TResult result(PQgetResult(m_conn.get()), PQclear);
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            Fail(result.get());
        while (PGresult* more = PQgetResult(m_conn.get()))
            PQclear(more);
    }

    static std::string CleanMessage(std::string message) {
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        return message;
    }

private:
    std::unique_ptr<PGconn, void (*)(PGconn*)> m_conn;
};

// A value in COPY's text format: NULL as \N, the separators and the backslash escaped.
void AppendCopyValue(std::string& line, const Statement& row, int column) {
    if (row.IsNull(column)) {
        line += "\\N";
        return;
    }
    if (row.Type(column) == SQLITE_INTEGER) {
        line += std::to_string(row.Int64(column));
        return;
    }
    for (const char c : row.Text(column)) {
        switch (c) {
        case '\\':
            line += "\\\\";
            break;
        case '\t':
            line += "\\t";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\r':
            line += "\\r";
            break;
        case '\0':
            throw std::runtime_error("a text holds a NUL character, which a server cannot store");
        default:
            line += c;
        }
    }
}

// A scratch SQLite file of the program's schema, removed when done.
class ScratchFile {
public:
    ScratchFile() {
        const char* tmp = std::getenv("TMPDIR");
        m_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/tamrixdata-db." + std::to_string(getpid()) + "." +
                 std::to_string(++s_count) + ".db";
        CreateEmptyDatabase(m_path, true);
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
        RemoveSqliteCompanions(m_path);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& Path() const { return m_path; }

private:
    static inline int s_count = 0;
    std::string m_path;
};

// How many of the two records tables the database has.
std::int64_t RecordsTables(const ServerConnection& server) {
    return server.Scalar("SELECT count(*) FROM (VALUES (to_regclass('title')), (to_regclass('content'))) AS t(c) "
                         "WHERE c IS NOT NULL");
}

void RequireTables(const ServerConnection& server) {
    if (RecordsTables(server) != 2)
        throw std::runtime_error("the database has no records tables Title and Content (run tamrixdata-db init)");
}

// Copies the server's records into the empty database file at path, keys kept.
void ReadSnapshot(const ServerConnection& server, const std::string& path) {
    RequireTables(server);
    server.Run("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    Connection file(path, SQLITE_OPEN_READWRITE);
    Transaction writing(file);
    const auto copy = [&](const char* select, const char* insert, int columns) {
        server.Run(std::string("DECLARE records NO SCROLL CURSOR FOR ") + select);
        Statement add(file, insert);
        for (;;) {
            const TResult rows = server.Run("FETCH " + std::to_string(kFetchRows) + " FROM records");
            const int count = PQntuples(rows.get());
            for (int r = 0; r < count; ++r) {
                for (int c = 0; c < columns; ++c) {
                    if (PQgetisnull(rows.get(), r, c))
                        add.BindNull(c + 1);
                    else if (c == 0 || (columns == 3 && c == 1))
                        add.BindInt64(c + 1, std::strtoll(PQgetvalue(rows.get(), r, c), nullptr, 10));
                    else
                        add.BindText(c + 1, std::string_view(PQgetvalue(rows.get(), r, c),
                                                             static_cast<std::size_t>(PQgetlength(rows.get(), r, c))));
                }
                add.Run();
            }
            if (count < kFetchRows)
                break;
        }
        server.Run("CLOSE records");
    };
    copy("SELECT TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, Title8 FROM Title "
         "ORDER BY TitleIndex",
         "INSERT INTO Title (TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, Title8) "
         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
         kTitleColumns);
    copy("SELECT ContentIndex, ContentTitle, ContentTxt FROM Content ORDER BY ContentIndex",
         "INSERT INTO Content (ContentIndex, ContentTitle, ContentTxt) VALUES (?, ?, ?)", 3);
    writing.Commit();
    file.Close();
    server.Run("COMMIT");
}

struct Copied {
    std::int64_t records = 0;
    std::int64_t paragraphs = 0;
};

// Copies the records of the database file at path onto the server in one transaction. The callers
// have checked the tables before their slower work on the file.
Copied WriteRecords(ServerConnection& server, const std::string& path, bool keepKeys) {
    Copied copied;
    Connection file = OpenExistingDatabase(path, true);
    const std::int64_t titles = QueryInteger(file, "SELECT count(*) FROM Title");
    server.Run("BEGIN");
    // New keys: as many as there are records, from the identity's own sequence, in one statement,
    // given out in the order the records are copied.
    TResult taken(nullptr, PQclear);
    if (!keepKeys && titles > 0)
        taken = server.Run("SELECT nextval(pg_get_serial_sequence('title', 'titleindex')) FROM "
                           "generate_series(1, " +
                           std::to_string(titles) + ")");
    std::unordered_map<std::int64_t, std::int64_t> newKey;
    server.StartCopy("COPY Title (TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, "
                     "Title8) FROM STDIN");
    {
        Statement rows(file, "SELECT TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, Title6, Title7, "
                             "Title8 FROM Title ORDER BY TitleIndex");
        std::string line;
        for (int r = 0; rows.Step(); ++r) {
            const std::int64_t key =
                keepKeys ? rows.Int64(0) : std::strtoll(PQgetvalue(taken.get(), r, 0), nullptr, 10);
            line = std::to_string(newKey.try_emplace(rows.Int64(0), key).first->second);
            for (int c = 1; c < kTitleColumns; ++c) {
                line += '\t';
                AppendCopyValue(line, rows, c);
            }
            line += '\n';
            server.CopyRow(line);
            ++copied.records;
        }
    }
    server.EndCopy();
    std::int64_t skipped = 0;
    server.StartCopy(keepKeys ? "COPY Content (ContentIndex, ContentTitle, ContentTxt) FROM STDIN"
                              : "COPY Content (ContentTitle, ContentTxt) FROM STDIN");
    {
        Statement rows(file, "SELECT ContentIndex, ContentTitle, ContentTxt FROM Content ORDER BY ContentIndex");
        std::string line;
        while (rows.Step()) {
            const auto owner = rows.Type(1) == SQLITE_INTEGER ? newKey.find(rows.Int64(1)) : newKey.end();
            if (owner == newKey.end()) {
                ++skipped;
                continue;
            }
            line.clear();
            if (keepKeys)
                line = std::to_string(rows.Int64(0)) + '\t';
            line += std::to_string(owner->second) + '\t';
            AppendCopyValue(line, rows, 2);
            line += '\n';
            server.CopyRow(line);
            ++copied.paragraphs;
        }
    }
    server.EndCopy();
    if (keepKeys) {
        // The identities go on after the largest key now stored.
        server.Run("SELECT setval(pg_get_serial_sequence('title', 'titleindex'), greatest((SELECT max(TitleIndex) "
                   "FROM Title), 1)), setval(pg_get_serial_sequence('content', 'contentindex'), "
                   "greatest((SELECT max(ContentIndex) FROM Content), 1))");
    }
    server.Run("COMMIT");
    if (skipped > 0)
        std::fprintf(stderr, "tamrixdata-db: %lld paragraphs belong to no record and were not copied\n",
                     static_cast<long long>(skipped));
    return copied;
}

void ReportAdded(const Copied& copied) {
    std::printf("added %lld records with %lld paragraphs\n", static_cast<long long>(copied.records),
                static_cast<long long>(copied.paragraphs));
}

// Runs a file command whose report would name the scratch file: its standard output is dropped.
template <typename Command> int Quietly(Command command) {
    const SilencedStream quiet(stdout);
    return command();
}

bool IsDatabaseFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char header[16] = {};
    file.read(header, sizeof header);
    return file.gcount() == sizeof header &&
           std::string_view(header, sizeof header) == std::string_view("SQLite format 3\0", sizeof header);
}

} // namespace

int InitServer(const std::string& server) {
    ServerConnection connection(server);
    if (RecordsTables(connection) != 0)
        throw std::runtime_error("the database already has records tables; init never replaces them");
    connection.Run(std::string("BEGIN; ") + kPostgresSchema + "COMMIT;");
    return 0;
}

int DemoServer(const std::string& server, int count, const DemoOptions& options) {
    ServerConnection connection(server);
    RequireTables(connection);
    ScratchFile scratch;
    FillDemoRecords(scratch.Path(), count, options);
    WriteRecords(connection, scratch.Path(), false);
    return 0;
}

int ExportServer(const std::string& server, const std::string& output, Format format, bool overwrite) {
    ScratchFile scratch;
    ReadSnapshot(ServerConnection(server), scratch.Path());
    return ExportRecords(scratch.Path(), output, format, overwrite);
}

int ImportToServer(const std::string& server, const std::string& input, std::optional<Format> format, bool keepKeys) {
    ServerConnection connection(server);
    RequireTables(connection);
    if (input != "-" && IsDatabaseFile(input)) {
        ReportAdded(WriteRecords(connection, input, keepKeys));
        return 0;
    }
    if (keepKeys)
        throw std::runtime_error("--keep-keys takes a database file (NoteData.db); an export's records get new keys");
    ScratchFile scratch;
    const int status = Quietly([&] { return ImportRecords(scratch.Path(), input, format); });
    if (status != 0)
        return status;
    ReportAdded(WriteRecords(connection, scratch.Path(), false));
    return 0;
}

int ImportMdbToServer(const std::string& server, const std::string& input, const MdbImportOptions& options) {
    ServerConnection connection(server);
    RequireTables(connection);
    // Whether a row exists, not how many: a count would read both tables whole.
    const bool empty =
        connection.Scalar("SELECT (EXISTS (SELECT 1 FROM Title) OR EXISTS (SELECT 1 FROM Content))::int") == 0;
    if (options.ifEmpty && !empty)
        throw std::runtime_error("the database on the server already holds records; to add those of " + input +
                                 " after them, run the import without --if-empty; nothing was imported");
    // Read whole into a scratch file first: a file that cannot be read changes nothing on the server.
    ScratchFile scratch;
    MdbImportOptions intoScratch = options;
    intoScratch.keepKeys = false;
    intoScratch.ifEmpty = false;
    const int status = Quietly([&] { return ImportMdb(scratch.Path(), input, intoScratch); });
    if (status != 0)
        return status;
    ReportAdded(WriteRecords(connection, scratch.Path(), options.keepKeys || empty));
    return 0;
}

int BackupServer(const std::string& server, const std::string& destination, bool overwrite) {
    if (!overwrite && PathExists(destination))
        throw FileExistsError(destination + " exists");
    const ServerConnection connection(server);
    TemporarySibling file(destination);
    {
        Connection schema(file.Path(), SQLITE_OPEN_READWRITE);
        schema.Exec(SchemaSql().c_str());
        schema.Close();
    }
    ReadSnapshot(connection, file.Path());
    file.MoveIntoPlace(overwrite);
    return 0;
}

int CheckServer(const std::string& server, bool repair) {
    ServerConnection connection(server);
    if (RecordsTables(connection) != 2) {
        std::printf("missing table: the records tables Title and Content are not both there (tamrixdata-db init)\n");
        return 1;
    }
    int problems = 0;
    const auto report = [&](const char* sql, const char* what) {
        const std::int64_t count = connection.Scalar(sql);
        if (count > 0) {
            std::printf("%lld %s\n", static_cast<long long>(count), what);
            ++problems;
        }
    };
    report("SELECT count(*) FROM Title WHERE TitleIndex < 1", "records with a TitleIndex below 1 (never listed)");
    report("SELECT count(*) FROM Content c WHERE ContentTitle >= 0 AND NOT EXISTS (SELECT 1 FROM Title t WHERE "
           "t.TitleIndex = c.ContentTitle)",
           "paragraphs whose record is gone");
    report("SELECT count(*) FROM Content WHERE ContentTitle IS NULL",
           "paragraphs never shown, their ContentTitle empty");
    const std::string leftovers =
        std::string("SELECT count(*) FROM Content WHERE ContentTitle IN (") + kLeftoverPendingKeys + ")";
    const std::int64_t left = connection.Scalar(leftovers);
    const std::int64_t pending = connection.Scalar("SELECT count(*) FROM Content WHERE ContentTitle < 0") - left;
    if (pending > 0)
        std::printf("note: %lld pending paragraphs of editors composing new records now\n",
                    static_cast<long long>(pending));
    if (left > 0 && repair) {
        const TResult removed =
            connection.Run(std::string("DELETE FROM Content WHERE ContentTitle IN (") + kLeftoverPendingKeys + ")");
        std::printf("removed %s pending paragraphs left by editors that ended without storing them\n",
                    PQcmdTuples(removed.get()));
    } else if (left > 0) {
        std::printf("%lld pending paragraphs left by editors that ended without storing them (check --repair "
                    "removes them)\n",
                    static_cast<long long>(left));
        ++problems;
    }
    if (problems == 0)
        std::printf("ok\n");
    return problems == 0 ? 0 : 1;
}
