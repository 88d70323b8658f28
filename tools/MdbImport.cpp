// The import of NoteData.mdb: reads Title, then Content, from the Access file and writes them in one
// write transaction, each insert with its key given and read back from the stored row.
//
// Keys: into an empty database they are kept (TitleIndex is the number users know a record by, and
// ContentIndex orders the paragraphs). Into one that holds records every key is moved by one offset
// per table, past the largest key the database holds or ever gave out, so the order of records and
// paragraphs, and the link of each paragraph to its record, need no table of old and new keys: memory
// stays one row plus the file's record keys (four bytes a record, to tell paragraphs without a record).

#include "MdbImport.h"

#include "Commands.h"
#include "DatabaseFailure.h"
#include "MdbReader.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "TextCase.h"

#include "SignalGuard.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t LargestKey = INT32_MAX;

struct Interrupted {
    int signal;
};

// An insert whose RETURNING clause gives back the stored row's key: a row a trigger dropped returns
// nothing, and a key the database changed shows.
class ReturningInsert {
public:
    struct Failure : std::runtime_error {
        Failure(int errorCode, const std::string& message) : std::runtime_error(message), code(errorCode) {}
        int code;
    };

    ReturningInsert(sqlite3* db, const char* sql) : m_db(db) {
        if (m_statement.Prepare(db, sql) != SQLITE_OK)
            ThrowSqlite(db, std::string("cannot prepare \"") + sql + "\"");
    }

    void BindInt64(int index, sqlite3_int64 value) { Check(sqlite3_bind_int64(m_statement.Handle(), index, value)); }
    void BindNull(int index) { Check(sqlite3_bind_null(m_statement.Handle(), index)); }
    // The text stays the caller's until Run returns.
    void BindText(int index, const MdbText& text) {
        if (text.null)
            BindNull(index);
        else
            Check(sqlite3_bind_text64(m_statement.Handle(), index, text.utf8.data(), text.utf8.size(), SQLITE_STATIC,
                                      SQLITE_UTF8));
    }

    // Stores the row; returns the key column of the stored row, nullopt when no row was stored.
    std::optional<sqlite3_int64> Run() {
        sqlite3_stmt* statement = m_statement.Handle();
        int result = sqlite3_step(statement);
        std::optional<sqlite3_int64> key;
        if (result == SQLITE_ROW) {
            if (sqlite3_column_type(statement, 0) == SQLITE_INTEGER)
                key = sqlite3_column_int64(statement, 0);
            else
                key = std::nullopt;
            result = sqlite3_step(statement);
        }
        if (result != SQLITE_DONE) {
            int code = sqlite3_extended_errcode(m_db);
            std::string message = sqlite3_errmsg(m_db);
            sqlite3_reset(statement);
            throw Failure(code, message);
        }
        sqlite3_reset(statement);
        if (sqlite3_changes(m_db) != 1)
            return std::nullopt;
        return key;
    }

private:
    void Check(int result) {
        if (result != SQLITE_OK)
            ThrowSqlite(m_db, "cannot bind a value");
    }
    sqlite3* m_db;
    TSqliteStatement m_statement;
};

// The declared length of each text column of a table ("VARCHAR(255)"), 0 for text without one.
std::vector<std::pair<std::string, std::int64_t>> TextLengths(Connection& connection, const char* table) {
    std::vector<std::pair<std::string, std::int64_t>> lengths;
    Statement statement(connection, (std::string("SELECT name, type FROM pragma_table_info('") + table + "')").c_str());
    while (statement.Step()) {
        std::string type(statement.Text(1));
        std::int64_t length = 0;
        std::size_t open = type.find('(');
        if (open != std::string::npos)
            length = std::strtoll(type.c_str() + open + 1, nullptr, 10);
        lengths.emplace_back(std::string(statement.Text(0)), length);
    }
    return lengths;
}

std::int64_t DeclaredLength(const std::vector<std::pair<std::string, std::int64_t>>& lengths, const char* column) {
    for (const auto& [name, length] : lengths) {
        if (EqualsIgnoreCase(name, column))
            return length;
    }
    return 0;
}

struct Summary {
    std::uint64_t records = 0;
    std::uint64_t paragraphs = 0;
    std::uint64_t pending = 0;
    std::uint64_t orphans = 0;
    std::vector<std::string> orphanOwners; // the first few, for the summary
    std::uint64_t longTexts = 0;
    std::vector<std::string> longTextPlaces;
    std::uint64_t undecodable = 0;
    std::int64_t titleOffset = 0;
    std::int64_t contentOffset = 0;
    bool kept = true;
    std::int64_t nextRecordAfter = 0; // a record key that paragraphs without their record name
};

constexpr std::size_t ExamplesShown = 5;

void Note(std::vector<std::string>& examples, std::string example) {
    if (examples.size() < ExamplesShown)
        examples.push_back(std::move(example));
}

std::string Examples(const std::vector<std::string>& examples, std::uint64_t count) {
    std::string text;
    for (const std::string& example : examples)
        text += (text.empty() ? "" : ", ") + example;
    if (count > examples.size())
        text += ", and " + WithThousands(count - examples.size()) + " more";
    return text;
}

void CheckShift(std::int64_t key, std::int64_t offset, const char* column, const std::string& where) {
    if (key + offset > LargestKey)
        throw std::runtime_error(std::string(column) + " " + std::to_string(key) + " (" + where + ") moved past the " +
                                 "database's keys would be above " + std::to_string(LargestKey) +
                                 "; import into an empty database to keep the keys");
}

class Importer {
public:
    Importer(Connection& connection, const std::string& database, const std::string& input,
             const MdbImportOptions& options)
        : m_connection(connection), m_database(database), m_input(input), m_options(options) {}

    Summary Run(MdbTable& titles, MdbTable& contents) {
        bool empty =
            !QueryInteger(m_connection, "SELECT EXISTS (SELECT 1 FROM Title) OR EXISTS (SELECT 1 FROM Content)");
        if (!empty && m_options.ifEmpty)
            throw std::runtime_error(m_database + " already holds records; to add those of " + m_input +
                                     " after them, run: tamrixdata-db import '" + m_database + "' '" + m_input + "'");
        m_summary.kept = empty || m_options.keepKeys;
        m_empty = empty;
        const bool sequences =
            QueryInteger(m_connection, "SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'");
        if (!m_summary.kept) {
            auto sequence = [&](const char* table) -> std::int64_t {
                return sequences
                           ? QueryInteger(
                                 m_connection,
                                 (std::string("SELECT seq FROM sqlite_sequence WHERE name = '") + table + "'").c_str())
                           : 0;
            };
            // Past every key the database holds or ever gave out, and past the records its own
            // paragraphs without a record name, so that nothing lands on a key in use.
            m_summary.titleOffset = std::max({QueryInteger(m_connection, "SELECT max(TitleIndex) FROM Title"),
                                              QueryInteger(m_connection, "SELECT max(ContentTitle) FROM Content WHERE "
                                                                         "typeof(ContentTitle) = 'integer'"),
                                              sequence("Title"), std::int64_t{0}});
            m_summary.contentOffset = std::max({QueryInteger(m_connection, "SELECT max(ContentIndex) FROM Content"),
                                                sequence("Content"), std::int64_t{0}});
        }

        Progress progress("importing", "rows");
        std::uint64_t total = titles.RowCount() + contents.RowCount();
        std::uint64_t done = 0;
        auto titleLengths = TextLengths(m_connection, "Title");
        auto contentLengths = TextLengths(m_connection, "Content");

        ReturningInsert insertTitle(
            m_connection.Handle(),
            "INSERT INTO Title (TitleIndex, TitleTxt, Title1, Title2, Title3, Title4, Title5, "
            "Title6, Title7, Title8) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING TitleIndex");
        std::array<std::int64_t, TextFieldCount> titleLimits{};
        for (int i = 0; i < TextFieldCount; ++i)
            titleLimits[static_cast<std::size_t>(i)] = DeclaredLength(titleLengths, TextFieldNames[i]);
        std::int64_t largestTitle = 0;
        while (titles.Next()) {
            CheckSignal();
            std::string where = "Title, " + titles.Position();
            if (titles.IsNull(0) || titles.Integer(0) < 1)
                throw std::runtime_error(m_input + ": a record without a usable key (TitleIndex " +
                                         (titles.IsNull(0) ? std::string("NULL") : std::to_string(titles.Integer(0))) +
                                         ", " + where + ")");
            std::int64_t key = titles.Integer(0);
            CheckShift(key, m_summary.titleOffset, "TitleIndex", where);
            std::int64_t stored = key + m_summary.titleOffset;
            insertTitle.BindInt64(1, stored);
            for (int i = 0; i < TextFieldCount; ++i) {
                const MdbText& text = titles.Text(static_cast<std::size_t>(i) + 1);
                insertTitle.BindText(i + 2, text);
                CheckLength(text, titleLimits[static_cast<std::size_t>(i)], "Title", TextFieldNames[i], "record",
                            stored);
            }
            Insert(insertTitle, stored, "record", "TitleIndex", key, where);
            m_titleKeys.push_back(static_cast<std::int32_t>(key));
            largestTitle = std::max(largestTitle, stored);
            ++m_summary.records;
            progress.Show(++done, total);
        }
        std::sort(m_titleKeys.begin(), m_titleKeys.end());

        ReturningInsert insertContent(
            m_connection.Handle(),
            "INSERT INTO Content (ContentIndex, ContentTitle, ContentTxt) VALUES (?, ?, ?) RETURNING ContentIndex");
        std::int64_t contentLimit = DeclaredLength(contentLengths, "ContentTxt");
        std::int64_t largestOwner = 0;
        while (contents.Next()) {
            CheckSignal();
            std::string where = "Content, " + contents.Position();
            if (contents.IsNull(0) || contents.Integer(0) < 1)
                throw std::runtime_error(
                    m_input + ": a paragraph without a usable key (ContentIndex " +
                    (contents.IsNull(0) ? std::string("NULL") : std::to_string(contents.Integer(0))) + ", " + where +
                    ")");
            std::int64_t key = contents.Integer(0);
            CheckShift(key, m_summary.contentOffset, "ContentIndex", where);
            std::int64_t stored = key + m_summary.contentOffset;
            insertContent.BindInt64(1, stored);
            if (contents.IsNull(1)) {
                insertContent.BindNull(2);
                ++m_summary.orphans;
                Note(m_summary.orphanOwners, "ContentIndex " + std::to_string(stored) + " (ContentTitle NULL)");
            } else {
                std::int64_t owner = contents.Integer(1);
                if (owner == 0) {
                    ++m_summary.pending;
                } else if (!std::binary_search(m_titleKeys.begin(), m_titleKeys.end(),
                                               static_cast<std::int32_t>(owner))) {
                    ++m_summary.orphans;
                    if (owner > 0 && m_summary.titleOffset == 0 && !m_empty) {
                        // Kept keys in a database with records of its own: the paragraph must not
                        // join one of those.
                        Statement takenRecord(m_connection, "SELECT 1 FROM Title WHERE TitleIndex = ?");
                        takenRecord.BindInt64(1, owner);
                        if (takenRecord.Step())
                            throw std::runtime_error("ContentIndex " + std::to_string(key) + " (" + where +
                                                     ") belongs to no record of the file, and its record key " +
                                                     std::to_string(owner) + " is taken in " + m_database +
                                                     " (--keep-keys)");
                    }
                    if (owner > 0)
                        CheckShift(owner, m_summary.titleOffset, "ContentTitle", where);
                    Note(m_summary.orphanOwners, "ContentIndex " + std::to_string(stored) + " (ContentTitle " +
                                                     std::to_string(owner > 0 ? owner + m_summary.titleOffset : owner) +
                                                     ")");
                }
                std::int64_t storedOwner = owner > 0 ? owner + m_summary.titleOffset : owner;
                largestOwner = std::max(largestOwner, storedOwner);
                insertContent.BindInt64(2, storedOwner);
            }
            const MdbText& text = contents.Text(2);
            insertContent.BindText(3, text);
            CheckLength(text, contentLimit, "Content", "ContentTxt", "paragraph", stored);
            Insert(insertContent, stored, "paragraph", "ContentIndex", key, where);
            ++m_summary.paragraphs;
            progress.Show(++done, total);
        }

        // A paragraph whose record is gone keeps its record key; a record made later must not take
        // it over, so the next new record follows it too.
        if (largestOwner > largestTitle && sequences) {
            Statement raise(m_connection, "UPDATE sqlite_sequence SET seq = ? WHERE name = 'Title' AND seq < ?");
            raise.BindInt64(1, largestOwner);
            raise.BindInt64(2, largestOwner);
            raise.Run();
            m_summary.nextRecordAfter = largestOwner;
        }
        return m_summary;
    }

private:
    void CheckSignal() {
        if (int signal = SignalGuard::Received())
            throw Interrupted{signal};
    }

    void CheckLength(const MdbText& text, std::int64_t limit, const char* table, const char* column, const char* noun,
                     std::int64_t key) {
        m_summary.undecodable += text.undecodable;
        if (text.null || limit <= 0 || static_cast<std::int64_t>(text.characters) <= limit)
            return;
        ++m_summary.longTexts;
        Note(m_summary.longTextPlaces, std::string(table) + "." + column + " of " + noun + " " + std::to_string(key) +
                                           " (" + std::to_string(text.characters) + " characters)");
    }

    void Insert(ReturningInsert& insert, std::int64_t stored, const char* noun, const char* column, std::int64_t key,
                const std::string& where) {
        std::optional<sqlite3_int64> landed;
        try {
            landed = insert.Run();
        } catch (const ReturningInsert::Failure& failure) {
            if (int signal = SignalGuard::Received())
                throw Interrupted{signal};
            if (failure.code == SQLITE_CONSTRAINT_PRIMARYKEY || failure.code == SQLITE_CONSTRAINT_UNIQUE) {
                if (m_empty || m_summary.titleOffset != 0 || m_summary.contentOffset != 0)
                    throw std::runtime_error(m_input + ": " + column + " " + std::to_string(key) + " appears twice (" +
                                             where + ")");
                throw std::runtime_error(std::string(column) + " " + std::to_string(key) + " is already taken in " +
                                         m_database +
                                         " (--keep-keys keeps the file's keys; without it they are "
                                         "moved past the database's own)");
            }
            throw std::runtime_error("cannot store " + std::string(noun) + " " + std::to_string(key) + ": " +
                                     failure.what());
        }
        if (!landed)
            throw std::runtime_error("the database did not store " + std::string(noun) + " " + std::to_string(stored) +
                                     " (a trigger of " + m_database + " dropped it?)");
        if (*landed != stored)
            throw std::runtime_error("the database stored " + std::string(noun) + " " + std::to_string(stored) +
                                     " under the key " + std::to_string(*landed));
    }

    Connection& m_connection;
    const std::string& m_database;
    const std::string& m_input;
    const MdbImportOptions& m_options;
    bool m_empty = true;
    Summary m_summary;
    std::vector<std::int32_t> m_titleKeys;
};

void PrintSummary(const Summary& summary, const MdbReader& reader, const MdbTable& titles, const MdbTable& contents,
                  const std::string& database, const std::string& input) {
    std::printf("%s: added %s with %s from %s (Jet %d", database.c_str(), Counted(summary.records, "record").c_str(),
                Counted(summary.paragraphs, "paragraph").c_str(), input.c_str(), reader.JetVersion());
    if (reader.JetVersion() == 3)
        std::printf(", text read as code page %d", reader.CodePage());
    std::printf(")\n");
    if (summary.kept)
        std::printf("  keys kept as they were in the file\n");
    else
        std::printf("  keys renumbered: TitleIndex +%lld, ContentIndex +%lld (order kept, each paragraph with its "
                    "record)\n",
                    static_cast<long long>(summary.titleOffset), static_cast<long long>(summary.contentOffset));
    if (summary.pending)
        std::printf("  %s with ContentTitle 0 (left unfinished by the earlier version), kept as they were; the "
                    "editor removes such paragraphs when it closes\n",
                    Counted(summary.pending, "pending paragraph").c_str());
    if (summary.orphans)
        std::printf("  %s whose record is gone, kept as %s: %s\n", Counted(summary.orphans, "paragraph").c_str(),
                    summary.orphans == 1 ? "it was" : "they were",
                    Examples(summary.orphanOwners, summary.orphans).c_str());
    if (summary.nextRecordAfter)
        std::printf("  the next new record gets a TitleIndex above %lld, so that it never takes over those "
                    "paragraphs\n",
                    static_cast<long long>(summary.nextRecordAfter));
    if (summary.longTexts)
        std::printf("  %s longer than its column, kept whole: %s\n", Counted(summary.longTexts, "text").c_str(),
                    Examples(summary.longTextPlaces, summary.longTexts).c_str());
    if (summary.undecodable)
        std::printf("  %s that %s, kept as they were\n", Counted(summary.undecodable, "character").c_str(),
                    reader.JetVersion() == 3 ? "the code page does not define" : "are half of a UTF-16 surrogate pair");
    std::vector<std::string> ignored;
    for (const std::string& table : reader.TableNames()) {
        if (!EqualsIgnoreCase(table, "Title") && !EqualsIgnoreCase(table, "Content"))
            ignored.push_back("table " + table);
    }
    for (const MdbTable* table : {&titles, &contents}) {
        for (const std::string& column : table->ExtraColumns())
            ignored.push_back("column " + table->Name() + "." + column);
    }
    if (!ignored.empty()) {
        std::string list;
        for (const std::string& item : ignored)
            list += (list.empty() ? "" : ", ") + item;
        std::printf("  ignored: %s\n", list.c_str());
    }
}

} // namespace

bool HasJetSignature(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char header[20] = {};
    return file.read(header, sizeof header) &&
           HasJetHeader(reinterpret_cast<const unsigned char*>(header), sizeof header);
}

int ImportMdb(const std::string& database, const std::string& input, const MdbImportOptions& options) {
    MdbReader reader(input, options.codePage);
    MdbTable titles = reader.OpenTable("Title", {{"TitleIndex", MdbTable::Kind::Integer},
                                                 {"TitleTxt", MdbTable::Kind::Text},
                                                 {"Title1", MdbTable::Kind::Text},
                                                 {"Title2", MdbTable::Kind::Text},
                                                 {"Title3", MdbTable::Kind::Text},
                                                 {"Title4", MdbTable::Kind::Text},
                                                 {"Title5", MdbTable::Kind::Text},
                                                 {"Title6", MdbTable::Kind::Text},
                                                 {"Title7", MdbTable::Kind::Text},
                                                 {"Title8", MdbTable::Kind::Text}});
    MdbTable contents = reader.OpenTable("Content", {{"ContentIndex", MdbTable::Kind::Integer},
                                                     {"ContentTitle", MdbTable::Kind::Integer},
                                                     {"ContentTxt", MdbTable::Kind::Text}});

    Connection connection = OpenDatabase(database, false);
    Summary summary;
    int signal = 0;
    try {
        SignalGuard guard(connection.Handle());
        // A full disk or a write-protected file is told by its cause, not by SQLite's words.
        ExplainFailures(connection, database, "cannot import into " + database, [&] {
            Transaction transaction(connection, "BEGIN IMMEDIATE");
            try {
                summary = Importer(connection, database, input, options).Run(titles, contents);
                transaction.Commit();
            } catch (const Interrupted& interrupted) {
                signal = interrupted.signal;
            }
        });
    } catch (const std::runtime_error& error) {
        if (int received = SignalGuard::Received()) {
            signal = received;
        } else {
            throw std::runtime_error(std::string(error.what()) + "; nothing was imported");
        }
    }
    if (signal) {
        std::fprintf(stderr, "tamrixdata-db: interrupted; nothing was imported\n");
        return ExitStatusForSignal(signal);
    }
    PrintSummary(summary, reader, titles, contents, database, input);
    return 0;
}
