// tamrix_server_bench: what the list open, the search and the editing actions cost on a server,
// each next to a libpq floor doing the same observable work in the fewest statements, with the round
// trips of each; and what each would take at 1 ms and 10 ms round trip (measured time plus round
// trips times the delay). Runs the record sets with the windows' own statements and handlers (the
// grid's count walk, the pane's paragraphs), without the windows.
//
//   tamrix_server_bench CONNECTION RECORDS
//
// CONNECTION is a database filled by tamrixdata-db demo; every action that writes undoes itself.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "Field.h"
#include "PostgresEngine.h"

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

double Milliseconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Open(TADOQuery& query, const std::string& sql) {
    query.Close();
    query.ClearSQL();
    query.AddSQL(sql);
    query.Open();
}

// The grid's count walk after every open of the list.
class CountWalk : public TDataSetObserver {
public:
    void DataSetNotice(TADOQuery&, TDataNotice) override {}
    void AfterOpen(TADOQuery& query) override {
        query.DisableControls();
        for (query.First(); !query.Eof(); query.Next()) {
        }
        query.First();
        query.EnableControls();
    }
};

// The floor: one libpq connection, statements prepared once.
class Floor {
public:
    explicit Floor(const std::string& conninfo) : m_conn(PQconnectdb(conninfo.c_str())) {
        if (PQstatus(m_conn) != CONNECTION_OK) {
            std::fprintf(stderr, "floor: %s", PQerrorMessage(m_conn));
            std::exit(1);
        }
        Prepare("paragraphs", "SELECT * FROM content WHERE contenttitle = $1 ORDER BY contentindex");
        // The list's rows and, for each, what the count walk's step learns of it: whether the record
        // has a paragraph.
        Prepare("list", "SELECT t.*, EXISTS (SELECT 1 FROM content c WHERE c.contenttitle = t.titleindex) FROM title "
                        "t WHERE titleindex > 0");
        Prepare("search", "SELECT t.*, EXISTS (SELECT 1 FROM content c WHERE c.contenttitle = t.titleindex) FROM title "
                          "t WHERE titleindex > 0 AND strpos(titletxt, $1) > 0");
        Prepare("add", "INSERT INTO content (contenttitle, contenttxt) VALUES ($1, $2) RETURNING contentindex");
        Prepare("modify", "UPDATE content SET contenttxt = $1 WHERE contentindex = $2 AND contenttxt IS NOT DISTINCT "
                          "FROM $3");
        Prepare("delete", "DELETE FROM content WHERE contentindex = $1");
        // A change and the paragraphs read after it in one statement. Its query sees the table as
        // before the change: the added row is joined in, the deleted one left out. Each row of the
        // add starts with the added key.
        Prepare("add and read", "WITH added AS (INSERT INTO content (contenttitle, contenttxt) VALUES ($1, $2) "
                                "RETURNING *) SELECT (SELECT contentindex FROM added), p.* FROM (SELECT * FROM "
                                "content WHERE contenttitle = $1 UNION ALL SELECT * FROM added) AS p ORDER BY "
                                "p.contentindex");
        Prepare("delete and read", "WITH gone AS (DELETE FROM content WHERE contentindex = $1) SELECT * FROM content "
                                   "WHERE contenttitle = $2 AND contentindex <> $1 ORDER BY contentindex");
        // One statement is atomic: the record and the adoption of its pending paragraphs need no
        // BEGIN and COMMIT of their own.
        Prepare("record", "WITH made AS (INSERT INTO title (titletxt) VALUES ($1) RETURNING titleindex), "
                          "adopted AS (UPDATE content SET contenttitle = (SELECT titleindex FROM made) "
                          "WHERE contenttitle = $2) SELECT titleindex FROM made");
        Prepare("drop", "DELETE FROM title WHERE titleindex = $1");
        Prepare("term", "SELECT substr(titletxt, 2, 1) FROM title WHERE titleindex = $1");
    }
    ~Floor() { PQfinish(m_conn); }
    std::string Run(const char* name, std::vector<std::string> values) {
        std::vector<const char*> pointers;
        for (const auto& value : values)
            pointers.push_back(value.c_str());
        PGresult* result =
            PQexecPrepared(m_conn, name, static_cast<int>(pointers.size()), pointers.data(), nullptr, nullptr, 0);
        const auto status = PQresultStatus(result);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "floor %s: %s", name, PQerrorMessage(m_conn));
            std::exit(1);
        }
        std::string first = PQntuples(result) && PQnfields(result) ? PQgetvalue(result, 0, 0) : "";
        PQclear(result);
        return first;
    }

private:
    void Prepare(const char* name, const char* sql) {
        PGresult* result = PQprepare(m_conn, name, sql, 0, nullptr);
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "floor %s: %s", name, PQerrorMessage(m_conn));
            std::exit(1);
        }
        PQclear(result);
    }
    PGconn* m_conn;
};

struct Figure {
    const char* action;
    double ms;
    double roundTrips;
    double floorMs;
    double floorRoundTrips;
};

void Print(const Figure& f, long records) {
    const auto at = [](double ms, double trips, double delay) { return ms + trips * delay; };
    std::printf("%-22s %8ld %9.2f %6.0f %9.2f %6.0f %6.2f %9.2f %9.2f %9.2f %9.2f\n", f.action, records, f.ms,
                f.roundTrips, f.floorMs, f.floorRoundTrips, f.ms / f.floorMs, at(f.ms, f.roundTrips, 1),
                at(f.floorMs, f.floorRoundTrips, 1), at(f.ms, f.roundTrips, 10), at(f.floorMs, f.floorRoundTrips, 10));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tamrix_server_bench CONNECTION RECORDS\n");
        return 2;
    }
    const std::string conninfo = argv[1];
    const long records = std::strtol(argv[2], nullptr, 10);
    TADOConnection connection(conninfo);
    connection.Open();
    TPostgresEngine& engine = *PostgresEngineOf(connection);
    Floor floor(conninfo);
    TADOQuery list("ADOQuery1", &connection);
    TADOQuery content("ADOQueryTemp", &connection);
    TADOQuery other("ADOQueryTemp2", &connection);
    CountWalk walk;
    list.AddObserver(&walk);
    std::string pane;
    // The main window's AfterScroll: the current record's paragraphs into the pane.
    list.AfterScroll = [&](TADOQuery& query) {
        Open(content, "Select * From Content Where ContentTitle = " +
                          std::to_string(query.FieldByName("TitleIndex").AsInteger()) + " Order By ContentIndex");
        if (content.IsEmpty() || query.ControlsDisabled())
            return;
        pane.clear();
        for (content.First(); !content.Eof(); content.Next())
            pane += content.FieldByName("ContentTxt").AsString() + "\r\n\r\n";
    };
    const auto measure = [&](const char* action, int runs, const std::function<void()>& work,
                             const std::function<void()>& floorWork, int floorTrips) {
        std::vector<double> times, floors;
        std::uint64_t trips = 0;
        work(); // statements prepared once
        floorWork();
        for (int i = 0; i < runs; ++i) {
            const std::uint64_t before = engine.RoundTrips();
            times.push_back(Milliseconds(work));
            trips = engine.RoundTrips() - before;
            floors.push_back(Milliseconds(floorWork));
        }
        Print({action, Median(times), double(trips), Median(floors), double(floorTrips)}, records);
    };

    std::printf("%-22s %8s %9s %6s %9s %6s %6s %9s %9s %9s %9s\n", "action", "records", "ms", "trips", "floor ms",
                "trips", "ratio", "1ms", "floor 1ms", "10ms", "floor 10ms");
    const int opens = records > 50000 ? 5 : 9;
    measure(
        "list open", opens, [&] { Open(list, "Select * From Title Where (TitleIndex > 0)"); },
        [&] {
            const std::string first = floor.Run("list", {});
            floor.Run("paragraphs", {first});
        },
        2);
    const long long key = records / 2;
    const std::string keyText = std::to_string(key);
    // One character of a title in the middle: a search that finds a part of the list.
    const std::string term = floor.Run("term", {keyText});
    measure(
        "search", opens,
        [&] { Open(list, "Select * From Title Where (TitleIndex > 0) And (InStr(TitleTxt,'" + term + "'))"); },
        [&] {
            const std::string first = floor.Run("search", {term});
            if (!first.empty())
                floor.Run("paragraphs", {first});
        },
        2);
    long long added = 0;
    measure(
        "add paragraph", 21,
        [&] {
            Open(other, "Select * From Content");
            other.Insert();
            other.FieldByName("ContentTitle").SetAsInteger(key);
            other.FieldByName("ContentTxt").SetAsString("基准段落");
            other.Post();
            added = other.FieldByName("ContentIndex").AsInteger();
            Open(content, "Select * From Content Where ContentTitle = " + keyText + " Order By ContentIndex");
            connection.ExecuteDirect("DELETE FROM content WHERE contentindex = " + std::to_string(added));
        },
        [&] {
            const std::string made = floor.Run("add and read", {keyText, "基准段落"});
            floor.Run("delete", {made});
        },
        2);
    const std::string addedText = floor.Run("add", {keyText, "基准段落"});
    bool flip = false;
    measure(
        "modify paragraph", 21,
        [&] {
            Open(content, "Select * From Content Where ContentIndex = " + addedText);
            content.Edit();
            content.FieldByName("ContentTxt").SetAsString(flip ? "一" : "二");
            content.Post();
            flip = !flip;
        },
        [&] {
            floor.Run("modify", {flip ? "一" : "二", addedText, flip ? "二" : "一"});
            flip = !flip;
        },
        1);
    floor.Run("delete", {addedText});
    measure(
        "delete paragraph", 21,
        [&] {
            const std::string made = floor.Run("add", {keyText, "基准段落"});
            Open(content, "Select * From Content Where ContentIndex = " + made);
            content.First();
            content.Delete();
            Open(content, "Select * From Content Where ContentTitle = " + keyText + " Order By ContentIndex");
        },
        [&] {
            const std::string made = floor.Run("add", {keyText, "基准段落"});
            floor.Run("delete and read", {made, keyText});
        },
        2); // the floor's own add counted: both sides add the paragraph they delete through the floor
    const std::string pending = std::to_string(connection.PendingKey());
    measure(
        "new record OK", 21,
        [&] {
            Open(other, "Select * From Title");
            TTransaction transaction(connection);
            other.Insert();
            other.FieldByName("TitleTxt").SetAsString("基准新记录");
            other.Post();
            const long long made = other.FieldByName("TitleIndex").AsInteger();
            Open(content, "Select * From Content Where ContentTitle = " + pending);
            transaction.Commit();
            connection.ExecuteDirect("DELETE FROM title WHERE titleindex = " + std::to_string(made));
        },
        [&] {
            const std::string made = floor.Run("record", {"基准新记录", pending});
            floor.Run("drop", {made});
        },
        2);
    return 0;
}
