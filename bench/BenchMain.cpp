// tamrix_bench: speed and memory figures of the program on demo databases, each next to a floor
// measured in the same run with plain SQLite. Prints one table row per figure and size.
//
//   tamrix_bench [--large] [--data DIR] [--only NAME]
//
// --large adds the 1,000,000-record list open. Demo databases are made once in DIR (default
// ./bench-data) with the project's demo generator and reused by later runs.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "AppShell.h"
#include "DBGridEh.h"
#include "DemoDatabase.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "WindowSet.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QString g_dataDir = "bench-data";
QString g_only;

struct Row {
    QString figure;
    long long size;
    double value;
    QString unit;
    double floor = -1;
    double target = -1; // ratio target, -1 when none
    QString note;
};
std::vector<Row> g_rows;

void PrintRow(const Row& row) {
    QString ratio = row.floor > 0 ? QString::number(row.value / row.floor, 'f', 2) : QString("-");
    QString floor = row.floor > 0 ? QString::number(row.floor, 'f', 3) : QString("-");
    QString target = row.target > 0 ? QString("<= %1").arg(row.target, 0, 'f', 2) : QString("-");
    std::printf("%-34s %10lld %12.3f %-8s %12s %7s %8s  %s\n", qPrintable(row.figure), row.size, row.value,
                qPrintable(row.unit), qPrintable(floor), qPrintable(ratio), qPrintable(target), qPrintable(row.note));
    std::fflush(stdout);
}

void Report(Row row) {
    PrintRow(row);
    g_rows.push_back(std::move(row));
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A demo database of count records in its own directory, made once.
QString DemoDirectory(int count, int maxParagraphs) {
    const QString dir = QString("%1/%2-p%3").arg(g_dataDir).arg(count).arg(maxParagraphs);
    QDir().mkpath(dir);
    const QString path = dir + "/NoteData.db";
    if (!QFileInfo::exists(path)) {
        std::fprintf(stderr, "making %s ...\n", qPrintable(path));
        DemoOptions options;
        options.seed = 7;
        options.maxParagraphs = maxParagraphs;
        CreateDemoDatabase(path.toStdString(), count, options, false);
    }
    return QFileInfo(dir).absoluteFilePath();
}

// ---- the floors: plain SQLite, each statement prepared from its own text ------------------------

struct RawDatabase {
    sqlite3* db = nullptr;
    explicit RawDatabase(const QString& path) {
        sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~RawDatabase() { sqlite3_close_v2(db); }
};

// Runs sql and copies every column of every row; calls onRow with the statement for more.
int RawQuery(sqlite3* db, const std::string& sql, const std::function<void(sqlite3_stmt*)>& onRow) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        qFatal("floor statement failed: %s", sqlite3_errmsg(db));
    int rows = 0;
    std::vector<std::string> cells;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(stmt);
        cells.resize(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            cells[static_cast<std::size_t>(c)].assign(text ? text : "");
        }
        if (onRow)
            onRow(stmt);
        ++rows;
    }
    sqlite3_finalize(stmt);
    return rows;
}

// The list statement, then the content statement for every step of the count walk and the open:
// rows 1..N, the last again, then the first twice.
double FloorListOpen(const QString& dir, const std::string& listSql) {
    RawDatabase raw(dir + "/NoteData.db");
    QElapsedTimer timer;
    timer.start();
    std::vector<long long> keys;
    RawQuery(raw.db, listSql, [&](sqlite3_stmt* stmt) { keys.push_back(sqlite3_column_int64(stmt, 0)); });
    std::vector<long long> walk = keys;
    if (!keys.empty()) {
        walk.push_back(keys.back());
        walk.push_back(keys.front());
        walk.push_back(keys.front());
    }
    std::string pane;
    for (long long key : walk) {
        pane.clear();
        RawQuery(raw.db,
                 "Select * From Content Where ContentTitle = " + std::to_string(key) + " Order By ContentIndex\r\n",
                 [&](sqlite3_stmt* stmt) {
                     const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
                     pane += text ? text : "";
                     pane += "\r\n\r\n";
                 });
    }
    return timer.nsecsElapsed() / 1e9;
}

// ---- the program ---------------------------------------------------------------------------------

void OpenWindowSet(const QString& dir) {
    QDir::setCurrent(dir);
    CreateWindowSet();
    FormMain->show(); // the show handler loads the list once
    QCoreApplication::processEvents();
}

void CloseWindowSet() {
    DestroyWindowSet();
    QCoreApplication::processEvents();
}

double TimeRefresh() {
    QElapsedTimer timer;
    timer.start();
    FormMain->RefreshTitleList();
    QCoreApplication::processEvents(); // includes the repaint a user waits for
    return timer.nsecsElapsed() / 1e9;
}

void SetSearch(const QString& title, const QString& field1) {
    FormSearch->SearchTitle = title;
    FormSearch->SearchField1 = field1;
}

const std::string kListSql = "Select * From Title Where (TitleIndex > 0)\r\n";

void BenchListOpen(const std::vector<int>& sizes) {
    for (int n : sizes) {
        const QString dir = DemoDirectory(n, n >= 1000000 ? 1 : 6);
        OpenWindowSet(dir);
        const int runs = n >= 1000000 ? 1 : 3;
        std::vector<double> real, floor;
        for (int i = 0; i < runs; ++i) {
            floor.push_back(FloorListOpen(dir, kListSql));
            real.push_back(TimeRefresh());
        }
        CloseWindowSet();
        Report({"list open (RefreshTitleList)", n, Median(real), "s", Median(floor), n == 100000 ? 1.5 : -1,
                "floor: raw SQLite list + N+3 content statements"});
    }
}

void BenchSearch(int n) {
    const QString dir = DemoDirectory(n, 6);
    // A title substring and a field-one value that the demo data has.
    RawDatabase raw(dir + "/NoteData.db");
    std::string field1;
    std::string title;
    RawQuery(raw.db, "Select Title1, substr(TitleTxt, 2, 1) From Title Where Title1 <> '' Limit 1",
             [&](sqlite3_stmt* s) {
                 field1 = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
                 title = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
             });
    const std::string sql = "Select * From Title Where (TitleIndex > 0) And (InStr(TitleTxt,'" + title +
                            "')) And (Title1 = '" + field1 + "')\r\n";
    OpenWindowSet(dir);
    SetSearch(QString::fromStdString(title), QString::fromStdString(field1));
    std::vector<double> real, floor;
    for (int i = 0; i < 3; ++i) {
        floor.push_back(FloorListOpen(dir, sql));
        real.push_back(TimeRefresh());
    }
    const int matched = FormMain->ADOQuery1->RecordCount();
    SetSearch({}, {});
    CloseWindowSet();
    Report({"search (title + field one)", n, Median(real), "s", Median(floor), 1.5,
            QString("%1 records match").arg(matched)});
}

// Resident memory of the process (VmRSS), in bytes.
std::size_t ResidentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Memory an open list of all records holds, per row: the growth of the resident set across the
// open. SQLite's page cache is warmed first with the same statement run directly on the connection,
// so what grows is the record set's snapshot.
void BenchMemory(const std::vector<int>& sizes) {
    for (int n : sizes) {
        const QString dir = DemoDirectory(n, n >= 1000000 ? 0 : 6);
        TADOConnection connection((dir + "/NoteData.db").toStdString());
        connection.Open();
        sqlite3_exec(connection.Handle(), "Select * From Title Where (TitleIndex > 0)", nullptr, nullptr, nullptr);
        const auto before = ResidentBytes();
        TADOQuery list("ADOQuery1", &connection);
        list.AddSQL(kListSql.substr(0, kListSql.size() - 2));
        list.Open();
        const auto after = ResidentBytes();
        const double perRow = double(after - before) / std::max(1, list.RecordCount());
        // What the same rows hold as text, for comparison.
        RawDatabase raw(dir + "/NoteData.db");
        double textBytes = 0;
        RawQuery(raw.db,
                 "Select avg(coalesce(length(CAST(TitleTxt AS BLOB)),0)+coalesce(length(CAST(Title1 AS BLOB)),0)+"
                 "coalesce(length(CAST(Title2 AS BLOB)),0)+coalesce(length(CAST(Title3 AS BLOB)),0)+"
                 "coalesce(length(CAST(Title4 AS BLOB)),0)+coalesce(length(CAST(Title5 AS BLOB)),0)+"
                 "coalesce(length(CAST(Title6 AS BLOB)),0)+coalesce(length(CAST(Title7 AS BLOB)),0)+"
                 "coalesce(length(CAST(Title8 AS BLOB)),0)) From Title",
                 [&](sqlite3_stmt* s) { textBytes = sqlite3_column_double(s, 0); });
        Report({"memory of an open list", n, perRow, "B/row", -1, -1,
                QString("target <= 250 B/row; the rows' text averages %1 B").arg(textBytes, 0, 'f', 0)});
    }
}

// The editor's OK for a new record with three pending paragraphs, against fetching the Title table
// and inserting one row.
void BenchNewRecord(int n) {
    const QString dir = DemoDirectory(n, 6);
    const QString copy = QString("%1/newrecord-%2").arg(g_dataDir).arg(n);
    QDir(copy).removeRecursively();
    QDir().mkpath(copy);
    QFile::copy(dir + "/NoteData.db", copy + "/NoteData.db");
    const QString absCopy = QFileInfo(copy).absoluteFilePath();
    OpenWindowSet(absCopy);
    std::vector<double> real, floor;
    for (int i = 0; i < 3; ++i) {
        {
            RawDatabase raw(absCopy + "/NoteData.db");
            QElapsedTimer timer;
            timer.start();
            RawQuery(raw.db, "Select * From Title\r\n", nullptr);
            sqlite3_exec(raw.db, "Insert Into Title (TitleTxt) Values ('floor')", nullptr, nullptr, nullptr);
            floor.push_back(timer.nsecsElapsed() / 1e9);
        }
        real.push_back(-1);
        FormNote->EditTitleIndex = 0;
        FormNote->show();
        QCoreApplication::processEvents();
        auto* memo = FormNote->findChild<QPlainTextEdit*>("Memo1");
        auto* add = FormNote->findChild<QPushButton*>("Button1");
        auto* ok = FormNote->findChild<QPushButton*>("Button4");
        auto* title = FormNote->findChild<QLineEdit*>("Edit1");
        if (!memo || !add || !ok || !title) {
            FormNote->hide();
            break;
        }
        for (int p = 0; p < 3; ++p) {
            SetMemoText(memo, QString("段落 %1").arg(p));
            add->click();
        }
        title->setText("新记录");
        QElapsedTimer timer;
        timer.start();
        ok->click();
        real.back() = timer.nsecsElapsed() / 1e9;
        QCoreApplication::processEvents();
        FormNote->hide();
    }
    CloseWindowSet();
    if (!real.empty() && real.back() >= 0)
        Report({"new record (editor OK)", n, Median(real), "s", Median(floor), 1.5,
                "floor: fetch Title table + insert one row"});
}

// A grid over one database's list, shown and focused, as the benchmark drives it.
struct GridRig {
    TADOConnection connection;
    TADOQuery query{"ADOQuery1", &connection};
    TDBGridEh grid;
    qint64 nanoseconds = 0;

    explicit GridRig(const QString& dir) : connection((dir + "/NoteData.db").toStdString()) {
        grid.SetColumnSpecs({"TitleIndex|编号|60|center|center|center|fvtStaticText|合计",
                             "TitleTxt|标题|150|center|center|center|fvtCount|"});
        grid.SetDataSet(&query);
        grid.resize(249, 330);
        grid.show();
        query.AddSQL(kListSql.substr(0, kListSql.size() - 2));
        query.Open();
        grid.setFocus();
        QCoreApplication::processEvents();
    }
    ~GridRig() { grid.SetDataSet(nullptr); }

    // Times one step and its repaint. Every timed step must move: at the end of a short list the
    // grid goes back to the first row outside the clock.
    void Timed(const std::function<void(TDBGridEh&)>& step) {
        if (query.Eof() || query.RecNo() == query.RecordCount()) {
            query.First();
            grid.viewport()->repaint();
        }
        QElapsedTimer timer;
        timer.start();
        step(grid);
        grid.viewport()->repaint();
        nanoseconds += timer.nsecsElapsed();
    }
};

void PageDown(TDBGridEh& grid) {
    QTest::keyClick(&grid, Qt::Key_PageDown);
}

void WheelNotch(TDBGridEh& grid) {
    const QPointF at(50, 50);
    QWheelEvent wheel(at, grid.viewport()->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(grid.viewport(), &wheel);
}

// Page Down and wheel notches on a grid over 1,000,000 rows against the same over 1,000 rows. The
// two grids take their steps in turn, so both meet the same state of the machine.
void BenchGrid() {
    GridRig few(DemoDirectory(1000, 0));
    GridRig many(DemoDirectory(1000000, 0));
    std::vector<double> fewRuns, manyRuns;
    for (int run = 0; run < 3; ++run) {
        few.nanoseconds = many.nanoseconds = 0;
        for (const auto& step : {PageDown, WheelNotch}) {
            for (int i = 0; i < 1000; ++i) {
                few.Timed(step);
                many.Timed(step);
            }
        }
        fewRuns.push_back(few.nanoseconds / 1e9);
        manyRuns.push_back(many.nanoseconds / 1e9);
    }
    Report({"grid: 1000 PgDn + 1000 wheel", 1000000, Median(manyRuns), "s", Median(fewRuns), 1.2,
            "floor: the same over 1,000 rows"});
}

bool Wanted(const char* name) {
    return g_only.isEmpty() || g_only == name;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallProgramFont();
    bool large = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--large")
            large = true;
        else if (args[i] == "--data" && i + 1 < args.size())
            g_dataDir = args[++i];
        else if (args[i] == "--only" && i + 1 < args.size())
            g_only = args[++i];
        else {
            std::fprintf(stderr,
                         "usage: tamrix_bench [--large] [--data DIR] [--only list|memory|newrecord|search|grid]\n");
            return 2;
        }
    }
    QDir().mkpath(g_dataDir);
    g_dataDir = QFileInfo(g_dataDir).absoluteFilePath();
    std::printf("cores: %u\n", std::thread::hardware_concurrency());
    std::printf("%-34s %10s %12s %-8s %12s %7s %8s  %s\n", "figure", "records", "value", "unit", "floor", "ratio",
                "target", "note");
    std::vector<int> sizes{1000, 10000, 100000};
    if (large)
        sizes.push_back(1000000);
    if (Wanted("list"))
        BenchListOpen(sizes);
    if (Wanted("memory"))
        BenchMemory({100000, 1000000});
    if (Wanted("newrecord"))
        BenchNewRecord(100000);
    if (Wanted("search"))
        BenchSearch(100000);
    if (Wanted("grid"))
        BenchGrid();
    return 0;
}
