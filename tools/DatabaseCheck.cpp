// check: is the file sound, and can the program use everything in it?
//
// Four looks, all in one read transaction: SQLite's integrity check; the tables and columns the
// program reads and writes; paragraphs whose record no longer exists (a problem only where a new
// record could be given their record's key); and keys the program cannot
// act on (records with a TitleIndex below 1 are never listed, paragraphs whose ContentTitle is no
// integer are never shown). Problems make the exit code 1. Pending paragraphs (ContentTitle 0, an
// editor's unfinished new record), a missing AUTOINCREMENT and a missing index are only noted.

#include "Commands.h"
#include "DatabaseFailure.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "TextCase.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

class Report {
public:
    explicit Report(std::string database) : m_database(std::move(database)) {}

    void Problem(const std::string& text) {
        ++m_problems;
        std::printf("%s: %s\n", m_database.c_str(), text.c_str());
    }
    void Note(const std::string& text) { std::printf("%s: note: %s\n", m_database.c_str(), text.c_str()); }
    int Problems() const { return m_problems; }
    const std::string& Database() const { return m_database; }

private:
    std::string m_database;
    int m_problems = 0;
};

struct Column {
    std::string type;
    int primaryKey = 0;
};

struct TableShape {
    bool exists = false;
    std::vector<std::pair<std::string, Column>> columns; // names in upper case
    bool autoincrement = false;

    const Column* Find(std::string_view name) const {
        for (const auto& [columnName, column] : columns) {
            if (columnName == name)
                return &column;
        }
        return nullptr;
    }
};

TableShape ReadShape(Connection& connection, const char* table) {
    TableShape shape;
    Statement info(connection, "SELECT name, type, pk FROM pragma_table_info(?)");
    info.BindText(1, table);
    while (info.Step()) {
        shape.exists = true;
        shape.columns.emplace_back(UpperAscii(info.Text(0)),
                                   Column{UpperAscii(info.Text(1)), static_cast<int>(info.Int64(2))});
    }
    Statement sql(connection, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE");
    sql.BindText(1, table);
    shape.autoincrement = sql.Step() && UpperAscii(sql.Text(0)).find("AUTOINCREMENT") != std::string::npos;
    return shape;
}

// Whether the table has the columns the program uses, with the key as the table's rowid, so that
// the database assigns it. Returns false when the data checks cannot run on it.
bool CheckTable(Report& report, const TableShape& shape, const char* table, std::initializer_list<const char*> columns,
                const char* key) {
    if (!shape.exists) {
        report.Problem(std::string("table ") + table + " is missing");
        return false;
    }
    bool usable = true;
    for (const char* name : columns) {
        if (!shape.Find(UpperAscii(name))) {
            report.Problem(std::string("column ") + table + "." + name + " is missing");
            usable = false;
        }
    }
    int keyColumns = 0;
    for (const auto& column : shape.columns)
        keyColumns += column.second.primaryKey > 0;
    const Column* keyColumn = shape.Find(UpperAscii(key));
    if (keyColumn && (keyColumn->type != "INTEGER" || keyColumn->primaryKey != 1 || keyColumns != 1))
        report.Problem(std::string(table) + "." + key +
                       " is not the table's INTEGER PRIMARY KEY, so the database does not assign it");
    else if (keyColumn && !shape.autoincrement)
        report.Note(std::string(table) + "." + key +
                    " has no AUTOINCREMENT: the key of the last row may be given again after it is deleted");
    return usable;
}

// Counts the rows of a query of keys and prints the first few of them.
void ReportKeys(Report& report, Connection& connection, const char* sql, const std::string& what, const char* keyName,
                bool problem) {
    Statement query(connection, sql);
    std::uint64_t count = 0;
    std::string examples;
    while (query.Step()) {
        if (++count <= 5)
            examples += (count > 1 ? ", " : "") + (query.IsNull(0) ? std::string("NULL") : std::string(query.Text(0)));
    }
    if (count == 0)
        return;
    std::string text =
        what + ": " + WithThousands(count) + " (" + keyName + " " + examples + (count > 5 ? ", ...)" : ")");
    if (problem)
        report.Problem(text);
    else
        report.Note(text);
}

} // namespace

int CheckDatabase(const std::string& database) {
    Report report(database);
    Connection connection = OpenDatabase(database, true);
    // A lock held by another program is no damage: it ends the check with its own message.
    return ExplainFailures(connection, database, "cannot check " + database, [&] {
        Transaction transaction(connection);
        try {
            QueryInteger(connection, "SELECT count(*) FROM sqlite_master");
        } catch (const std::runtime_error&) {
            int code = sqlite3_extended_errcode(connection.Handle());
            if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED)
                throw;
            report.Problem("cannot be read: " + DescribeDatabaseFailure(code, database));
            std::printf("%s: 1 problem found\n", database.c_str());
            return 1;
        }
        {
            Statement integrity(connection, "PRAGMA integrity_check");
            while (integrity.Step()) {
                std::string_view line = integrity.Text(0);
                if (line != "ok")
                    report.Problem("integrity: " + std::string(line));
            }
        }

        TableShape title = ReadShape(connection, "Title");
        TableShape content = ReadShape(connection, "Content");
        bool titleUsable = CheckTable(
            report, title, "Title",
            {"TitleIndex", "TitleTxt", "Title1", "Title2", "Title3", "Title4", "Title5", "Title6", "Title7", "Title8"},
            "TitleIndex");
        bool contentUsable =
            CheckTable(report, content, "Content", {"ContentIndex", "ContentTitle", "ContentTxt"}, "ContentIndex");
        if (contentUsable) {
            const Column* owner = content.Find("CONTENTTITLE");
            // The program finds paragraphs by comparing ContentTitle with a key, which also works, as
            // text, in another tool's text column; only the order of keys then differs.
            if (owner->type.find("INT") == std::string::npos)
                report.Note("Content.ContentTitle is declared \"" + owner->type +
                            "\", not INTEGER: keys are stored and compared by its affinity");
            if (QueryInteger(connection, "SELECT count(*) FROM pragma_index_list('Content') AS list, "
                                         "pragma_index_info(list.name) AS info WHERE info.seqno = 0 "
                                         "AND info.name = 'ContentTitle' COLLATE NOCASE") == 0)
                report.Note("no index on Content.ContentTitle: every record's paragraphs are found by reading "
                            "the whole table");
        }

        if (titleUsable)
            ReportKeys(report, connection,
                       "SELECT TitleIndex FROM Title WHERE typeof(TitleIndex) <> 'integer' OR TitleIndex < 1",
                       "records never listed, their TitleIndex below 1 or not an integer", "TitleIndex", true);
        if (contentUsable) {
            // Compared as the program compares "ContentTitle = key": a key written in a statement has
            // no affinity, so a column of text affinity compares it as text ('7' is record 7's, '07'
            // is no record's). The unary + takes the affinity away from a column too; a ContentTitle
            // equal to itself as an integer is one the program can find by a key.
            ReportKeys(
                report, connection,
                "SELECT ContentIndex FROM Content WHERE coalesce(ContentTitle = +CAST(ContentTitle AS INTEGER), 0) "
                "= 0 ORDER BY ContentIndex",
                "paragraphs never shown, their ContentTitle not an integer", "ContentIndex", true);
            if (titleUsable) {
                // A paragraph whose record is gone is never shown and never deleted by the program. It
                // only does harm when a new record can be given its key and take it over: with
                // AUTOINCREMENT, a key at or below Title's sequence is never given again.
                const std::string orphans =
                    "SELECT ContentIndex FROM Content WHERE ContentTitle = +CAST(ContentTitle AS INTEGER) AND "
                    "NOT (ContentTitle = 0) AND NOT EXISTS (SELECT 1 FROM Title WHERE TitleIndex = "
                    "Content.ContentTitle)";
                const std::string lastKeyGiven =
                    title.autoincrement
                        ? "coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'Title' COLLATE NOCASE), 0)"
                        : "0";
                ReportKeys(report, connection,
                           (orphans + " AND ContentTitle > " + lastKeyGiven + " ORDER BY ContentIndex").c_str(),
                           "paragraphs whose record no longer exists, which the next new records would take over",
                           "ContentIndex", true);
                ReportKeys(report, connection,
                           (orphans + " AND ContentTitle <= " + lastKeyGiven + " ORDER BY ContentIndex").c_str(),
                           "paragraphs whose record no longer exists, kept apart (no new record is given their "
                           "record's key)",
                           "ContentIndex", false);
                ReportKeys(report, connection,
                           "SELECT ContentIndex FROM Content WHERE ContentTitle = +CAST(ContentTitle AS INTEGER) AND "
                           "ContentTitle = 0 AND NOT EXISTS (SELECT 1 FROM Title WHERE TitleIndex = 0) "
                           "ORDER BY ContentIndex",
                           "pending paragraphs (ContentTitle 0) of a new record never stored, removed when the "
                           "program's editor next closes",
                           "ContentIndex", false);
            }
        }

        std::string counts;
        if (titleUsable && contentUsable)
            counts =
                Counted(static_cast<std::uint64_t>(QueryInteger(connection, "SELECT count(*) FROM Title")), "record") +
                ", " +
                Counted(static_cast<std::uint64_t>(QueryInteger(connection, "SELECT count(*) FROM Content")),
                        "paragraph") +
                "; ";
        transaction.Commit();
        if (report.Problems() == 0)
            std::printf("%s: %sno problems found\n", database.c_str(), counts.c_str());
        else
            std::printf("%s: %s%d problem%s found\n", database.c_str(), counts.c_str(), report.Problems(),
                        report.Problems() == 1 ? "" : "s");
        return report.Problems() == 0 ? 0 : 1;
    });
}
