// tamrix_bench: what every user action costs on the demo databases, in time and in peak memory, each
// next to a floor measured in the same run: the tightest plain SQLite code doing the same observable
// work. Prints one table row per action and size.
//
//   tamrix_bench [--large] [--data DIR] [--only NAME]
//
// The actions run in the real windows (offscreen), driven as a user drives them: buttons clicked,
// dialogs filled in and confirmed, boxes answered at once (the time a box waits for its answer is not
// counted). --large adds the 1,000,000-record database. Demo databases are made once in DIR (default
// ./bench-data) with the project's demo generator (seed 7) and reused; every action that writes undoes
// itself (a paragraph is added, then deleted; a record is made, then deleted), so they stay as made.
#include "ADOQuery.h"
#include "AppShell.h"
#include "DBGridEh.h"
#include "DemoDatabase.h"
#include "Field.h"
#include "MainForm.h"
#include "MemoText.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "SqliteHandle.h"
#include "WindowSet.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

QString g_dataDir = "bench-data";
QString g_only;

// ---- output -------------------------------------------------------------------------------------

struct Row {
    QString figure;
    long long records;
    double seconds;
    double peakMegabytes;
    double floorSeconds = -1;
    QString target;
    QString note;
};

void PrintHeader() {
    std::printf("%-32s %9s %10s %9s %10s %7s  %-22s %s\n", "action", "records", "time (s)", "peak (MB)", "floor (s)",
                "ratio", "target", "note");
}

void Report(const Row& row) {
    const QString floor = row.floorSeconds > 0 ? QString::number(row.floorSeconds, 'f', 4) : QString("-");
    const QString ratio = row.floorSeconds > 0 ? QString::number(row.seconds / row.floorSeconds, 'f', 2) : QString("-");
    std::printf("%-32s %9lld %10.4f %9.1f %10s %7s  %-22s %s\n", qPrintable(row.figure), row.records, row.seconds,
                row.peakMegabytes, qPrintable(floor), qPrintable(ratio), qPrintable(row.target), qPrintable(row.note));
    std::fflush(stdout);
}

double Median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// ---- peak memory: growth of the resident set's high-water mark across an action --------------------

long StatusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    return 0;
}

class PeakMemory {
public:
    // Resets the high-water mark to the resident set of now.
    void Start() {
        std::ofstream("/proc/self/clear_refs") << "5";
        m_startKilobytes = StatusKilobytes("VmRSS");
    }
    double GrowthMegabytes() const { return std::max(0L, StatusKilobytes("VmHWM") - m_startKilobytes) / 1024.0; }

private:
    long m_startKilobytes = 0;
};

// ---- the clock of one action --------------------------------------------------------------------

// Times what the user waits for. Every message box is answered as soon as it shows (Yes for a
// confirmation, its only button otherwise); the clock stands still while it is up.
class ActionClock : public QObject {
public:
    ActionClock() { qApp->installEventFilter(this); }
    ~ActionClock() override { qApp->removeEventFilter(this); }

    void Start() {
        m_elapsed = 0;
        m_running = true;
        m_memory.Start();
        m_timer.start();
    }
    // Seconds counted since Start; the clock stops.
    double Stop() {
        if (m_running)
            m_elapsed += m_timer.nsecsElapsed();
        m_running = false;
        m_peak = m_memory.GrowthMegabytes();
        return m_elapsed / 1e9;
    }
    double Read() const { return (m_elapsed + (m_running ? m_timer.nsecsElapsed() : 0)) / 1e9; }
    double PeakMegabytes() const { return m_peak; }
    double PeakSoFar() const { return m_memory.GrowthMegabytes(); }
    int boxes = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (!box || event->type() != QEvent::Show)
            return false;
        ++boxes;
        if (m_running) {
            m_elapsed += m_timer.nsecsElapsed();
            m_running = false;
            m_resume = true;
        }
        QTimer::singleShot(0, box, [this, box] {
            if (m_resume) {
                m_resume = false;
                m_running = true;
                m_timer.start();
            }
            QAbstractButton* button = box->button(QMessageBox::Yes);
            (button ? button : box->buttons().constFirst())->click();
        });
        return false;
    }

private:
    QElapsedTimer m_timer;
    qint64 m_elapsed = 0;
    bool m_running = false;
    bool m_resume = false;
    PeakMemory m_memory;
    double m_peak = 0;
};

// Runs inside while the dialog that trigger opens is shown modally, then returns after trigger has.
void WhileModal(const std::function<void()>& trigger, const std::function<void()>& inside) {
    QTimer::singleShot(0, qApp, inside);
    trigger();
}

// ---- the floors: one connection, statements prepared once and reused ---------------------------------

class Floor {
public:
    explicit Floor(const QString& path) {
        // Without the connection's own mutex, as the program opens it: one thread uses it.
        if (m_database.Open(path.toStdString(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX) != SQLITE_OK)
            qFatal("floor: cannot open %s", qPrintable(path));
        m_db = m_database.Handle();
        sqlite3_busy_timeout(m_db, kBusyTimeoutMilliseconds);
    }
    ~Floor() {
        m_statements.clear(); // finalized before the connection closes
    }

    sqlite3_stmt* Statement(const std::string& sql) {
        auto& statement = m_statements[sql];
        if (!statement.Handle() && statement.Prepare(m_db, sql) != SQLITE_OK)
            qFatal("floor: %s: %s", sql.c_str(), sqlite3_errmsg(m_db));
        return statement.Handle();
    }
    // The content statement, which a count walk runs once per record: held, not looked up.
    sqlite3_stmt* Content() {
        if (!m_content)
            m_content = Statement(kContentSql);
        return m_content;
    }
    void Exec(const char* sql) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            qFatal("floor: %s: %s", sql, sqlite3_errmsg(m_db));
    }
    // Runs a statement that changes rows, with its parameters bound in order.
    using Value = std::variant<long long, std::string>;
    void Change(const std::string& sql, const std::vector<Value>& values, bool mustChange = true) {
        sqlite3_stmt* stmt = Statement(sql);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (const auto* text = std::get_if<std::string>(&values[i]))
                sqlite3_bind_text(stmt, int(i + 1), text->data(), int(text->size()), SQLITE_STATIC);
            else
                sqlite3_bind_int64(stmt, int(i + 1), std::get<long long>(values[i]));
        }
        if (sqlite3_step(stmt) != SQLITE_DONE)
            qFatal("floor: %s: %s", sql.c_str(), sqlite3_errmsg(m_db));
        if (mustChange && sqlite3_changes(m_db) == 0)
            qFatal("floor: %s changed nothing", sql.c_str());
        sqlite3_reset(stmt);
    }
    long long LastKey() const { return sqlite3_last_insert_rowid(m_db); }

    // Every row of the list (its key), and the titles of the lines a grid shows.
    std::vector<long long> ListKeys(const std::string& sql) {
        sqlite3_stmt* stmt = Statement(sql);
        std::vector<long long> keys;
        std::string shown;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            keys.push_back(sqlite3_column_int64(stmt, 0));
            if (keys.size() <= 32) {
                const auto* title = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
                shown.assign(title ? title : "");
            }
        }
        sqlite3_reset(stmt);
        return keys;
    }
    // Whether a record has a paragraph: what each step of a count walk learns.
    bool HasParagraph(long long key) {
        sqlite3_stmt* stmt = Content();
        sqlite3_bind_int64(stmt, 1, key);
        const bool any = sqlite3_step(stmt) == SQLITE_ROW;
        sqlite3_reset(stmt);
        return any;
    }
    // A record's paragraphs as the main window's pane shows them.
    std::string PaneText(long long key) {
        sqlite3_stmt* stmt = Content();
        sqlite3_bind_int64(stmt, 1, key);
        std::string pane;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
            pane += text ? text : "";
            pane += "\r\n\r\n";
        }
        sqlite3_reset(stmt);
        return pane;
    }
    // The editor's paragraph list: every paragraph's key and text (its walk shows each in turn).
    std::size_t ParagraphList(long long key) {
        sqlite3_stmt* stmt = Content();
        sqlite3_bind_int64(stmt, 1, key);
        std::size_t bytes = 0;
        std::string text;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* cell = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
            text.assign(cell ? cell : "");
            bytes += text.size() + std::size_t(sqlite3_column_int64(stmt, 0) > 0);
        }
        sqlite3_reset(stmt);
        return bytes;
    }
    // A list open as the main window does it, in one read transaction: the list, then the count
    // walk's N + 3 steps (rows 1..N, the last again, the first twice), of which only the last one's
    // paragraphs are read. Returns the keys.
    std::vector<long long> ListOpen(const std::string& listSql) {
        Exec("BEGIN");
        std::vector<long long> keys = ListKeys(listSql);
        if (!keys.empty()) {
            for (long long key : keys)
                HasParagraph(key);
            HasParagraph(keys.back());
            HasParagraph(keys.front());
            PaneText(keys.front());
        }
        Exec("COMMIT");
        return keys;
    }
    // The title row's nine texts.
    void TitleRow(long long key) {
        sqlite3_stmt* stmt = Statement("SELECT * FROM Title WHERE TitleIndex = ?");
        sqlite3_bind_int64(stmt, 1, key);
        std::string cells;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            for (int c = 1; c < 10; ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                cells += text ? text : "";
            }
        sqlite3_reset(stmt);
    }

    static constexpr const char* kContentSql = "SELECT * FROM Content WHERE ContentTitle = ? ORDER BY ContentIndex";

private:
    // As long as the program waits for another process's lock.
    static constexpr int kBusyTimeoutMilliseconds = 5000;
    TSqliteDatabase m_database;
    sqlite3* m_db = nullptr;
    std::map<std::string, TSqliteStatement> m_statements;
    sqlite3_stmt* m_content = nullptr;
};

double Seconds(const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

// ---- the databases --------------------------------------------------------------------------------

// The demo database of count records in its own directory, made once.
QString DemoDirectory(int count) {
    const QString dir = QString("%1/%2").arg(g_dataDir).arg(count);
    QDir().mkpath(dir);
    const QString path = dir + "/NoteData.db";
    if (!QFileInfo::exists(path)) {
        std::fprintf(stderr, "making %s (seed 7) ...\n", qPrintable(path));
        DemoOptions options;
        options.seed = 7;
        CreateDemoDatabase(path.toStdString(), count, options, false);
    }
    return QFileInfo(dir).absoluteFilePath();
}

const QString kBenchTitle = QStringLiteral("基准新记录");
const std::string kListSql = "Select * From Title Where (TitleIndex > 0)";

// Removes what an interrupted earlier run may have left: its new records and their paragraphs.
void RemoveLeftovers(Floor& floor) {
    floor.Exec("BEGIN IMMEDIATE");
    floor.Change("DELETE FROM Content WHERE ContentTitle IN (SELECT TitleIndex FROM Title WHERE TitleTxt = ?) OR "
                 "ContentTitle = 0 OR ContentTxt = ?",
                 {kBenchTitle.toStdString(), std::string("基准段落")}, false);
    floor.Change("DELETE FROM Title WHERE TitleTxt = ?", {kBenchTitle.toStdString()}, false);
    floor.Exec("COMMIT");
}

// ---- the program, driven as a user drives it ---------------------------------------------------------

TADOQuery& List() {
    return *FormMain->ADOQuery1;
}

void Repaint() {
    QCoreApplication::processEvents();
    if (FormNote && FormNote->isVisible())
        FormNote->repaint();
    FormMain->repaint();
}

template <typename T> T* Child(QWidget* window, const char* name) {
    T* child = window->findChild<T*>(name);
    if (!child)
        qFatal("no %s", name);
    return child;
}

// Opens the search dialog, types the criteria and presses OK, which reopens the list.
double Search(ActionClock& clock, const QString& title, const QString& field1) {
    WhileModal([] { Child<QToolButton>(FormMain, "SpeedButton5")->click(); },
               [&] {
                   Child<QLineEdit>(FormSearch, "Edit1")->setText(title);
                   Child<QLineEdit>(FormSearch, "Edit2")->setText(field1);
                   clock.Start();
                   Child<QPushButton>(FormSearch, "BitBtn1")->click();
               });
    Repaint();
    return clock.Stop();
}

void DoubleClickGrid() {
    QWidget* viewport = Child<TDBGridEh>(FormMain, "DBGridEh1")->viewport();
    // On the title row: a double-click anywhere edits the current record.
    const QPointF at(30, 5);
    QMouseEvent press(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &press);
}

struct Figures {
    std::map<QString, std::vector<double>> seconds, peaks, floors;
    std::map<QString, QString> notes;
    void Add(const QString& name, double value, double peak, double floor = -1) {
        seconds[name].push_back(value);
        peaks[name].push_back(peak);
        if (floor >= 0)
            floors[name].push_back(floor);
    }
};

// The floors of the editor's paragraph actions on one record, in the editor's order of work: opening
// it, adding a paragraph, changing that paragraph (when `modify`), deleting it. The add and the delete
// refuse, as the editor does, a record or paragraph that is no longer the one shown; each check is a
// condition of the one statement.
struct ParagraphFloors {
    double open = 0, add = 0, modify = 0, remove = 0;
};
ParagraphFloors ParagraphActionFloors(Floor& floor, long long key, bool modify) {
    const std::string text("基准段落");
    ParagraphFloors floors;
    floors.open = Seconds([&] {
        floor.Exec("BEGIN");
        floor.TitleRow(key);
        floor.ParagraphList(key);
        floor.Exec("COMMIT");
    });
    long long added = 0;
    floors.add = Seconds([&] {
        floor.Change("INSERT INTO Content (ContentTitle, ContentTxt) SELECT ?1, ?2 WHERE EXISTS "
                     "(SELECT 1 FROM Title WHERE TitleIndex = ?1)",
                     {key, text});
        added = floor.LastKey();
        floor.ParagraphList(key);
    });
    if (modify)
        floors.modify = Seconds([&] {
            floor.Change("UPDATE Content SET ContentTxt = ? WHERE ContentIndex = ? AND ContentTxt IS ?",
                         {text, added, text});
        });
    floors.remove = Seconds([&] {
        floor.Change("DELETE FROM Content WHERE ContentIndex = ? AND ContentTitle = ? AND ContentTxt IS ?",
                     {added, key, text});
        floor.ParagraphList(key);
    });
    return floors;
}

// Adds, modifies and deletes a paragraph in the editor open on the current record, then confirms it
// with OK (the list reopens and finds the record again).
void EditRecordActions(ActionClock& clock, Floor& floor, Figures& figures, long long key) {
    // Floors first, in the same order of work.
    const ParagraphFloors floors = ParagraphActionFloors(floor, key, true);

    double openSeconds = 0, openPeak = 0, addSeconds = 0, addPeak = 0, modifySeconds = 0, modifyPeak = 0;
    double deleteSeconds = 0, deletePeak = 0;
    clock.Start();
    WhileModal(DoubleClickGrid, [&] {
        FormNote->repaint();
        openSeconds = clock.Stop();
        openPeak = clock.PeakMegabytes();
        auto* memo = Child<QPlainTextEdit>(FormNote, "Memo1");
        TADOQuery& paragraphs = *FormNote->ADOQuery1;

        // Presses an editor button and times it with the repaint that follows.
        const auto press = [&](const char* button, double& seconds, double& peak) {
            clock.Start();
            Child<QPushButton>(FormNote, button)->click();
            FormNote->repaint();
            seconds = clock.Stop();
            peak = clock.PeakMegabytes();
        };
        SetMemoText(memo, QStringLiteral("基准段落"));
        press("Button1", addSeconds, addPeak);
        // The user picks the new paragraph, the last one, in the paragraph list.
        paragraphs.Last();
        press("Button2", modifySeconds, modifyPeak);
        paragraphs.Last();
        press("Button3", deleteSeconds, deletePeak);

        clock.Start();
        Child<QPushButton>(FormNote, "Button4")->click();
    });
    Repaint();
    const double okSeconds = clock.Stop();
    const double okPeak = clock.PeakMegabytes();

    const double floorOk = Seconds([&] {
        floor.Exec("BEGIN IMMEDIATE");
        floor.TitleRow(key);
        floor.Change("UPDATE Title SET TitleTxt = TitleTxt WHERE TitleIndex = ?", {key});
        floor.Exec("COMMIT");
        floor.HasParagraph(0);
        floor.ListOpen(kListSql);
        floor.PaneText(key);
    });

    figures.Add("open the editor on a record", openSeconds, openPeak, floors.open);
    figures.Add("add a paragraph", addSeconds, addPeak, floors.add);
    figures.Add("modify a paragraph", modifySeconds, modifyPeak, floors.modify);
    figures.Add("delete a paragraph", deleteSeconds, deletePeak, floors.remove);
    figures.Add("OK on an existing record", okSeconds, okPeak, floorOk);
}

// A new record made with the editor and confirmed with OK; then deleted from the main window.
void NewAndDeleteRecord(ActionClock& clock, Floor& floor, Figures& figures) {
    long long made = 0;
    const double floorNew = Seconds([&] {
        floor.Exec("BEGIN IMMEDIATE");
        floor.Change("INSERT INTO Title (TitleTxt) VALUES (?)", {kBenchTitle.toStdString()});
        made = floor.LastKey();
        floor.HasParagraph(0);
        floor.Exec("COMMIT");
        floor.HasParagraph(0);
        floor.ListOpen(kListSql);
    });
    const double floorDelete = Seconds([&] {
        floor.Exec("BEGIN IMMEDIATE");
        floor.TitleRow(made);
        floor.Change("DELETE FROM Content WHERE ContentTitle = ?", {made}, false);
        floor.Change("DELETE FROM Title WHERE TitleIndex = ?", {made});
        floor.Exec("COMMIT");
        floor.ListOpen(kListSql);
    });

    double closedAt = 0, closedPeak = 0;
    const auto closed = QObject::connect(FormNote, &QDialog::finished, [&] {
        closedAt = clock.Read();
        closedPeak = clock.PeakSoFar();
    });
    WhileModal([] { Child<QToolButton>(FormMain, "SpeedButton1")->click(); },
               [&] {
                   for (QLineEdit* edit : FormNote->findChildren<QLineEdit*>())
                       edit->clear();
                   Child<QLineEdit>(FormNote, "Edit1")->setText(kBenchTitle);
                   clock.Start();
                   Child<QPushButton>(FormNote, "Button4")->click();
               });
    Repaint();
    const double newSeconds = clock.Stop();
    const double newPeak = clock.PeakMegabytes();
    QObject::disconnect(closed);

    // The user finds the new record (the list's last) and deletes it.
    List().Last();
    const long long newKey = List().FieldByName("TitleIndex").AsInteger();
    if (List().FieldByName("TitleTxt").AsString() != kBenchTitle.toStdString())
        qFatal("the new record is not the list's last");
    Repaint();
    clock.Start();
    Child<QToolButton>(FormMain, "SpeedButton2")->click();
    Repaint();
    const double deleteSeconds = clock.Stop();
    const double deletePeak = clock.PeakMegabytes();
    if (List().Locate("TitleIndex", int(newKey)))
        qFatal("the new record was not deleted");

    figures.Add("OK on a new record", newSeconds, newPeak, floorNew);
    figures.Add("  of which before the list reopen", closedAt, closedPeak);
    figures.Add("delete a record", deleteSeconds, deletePeak, floorDelete);
}

// Page Down presses and wheel notches on the main window's grid, each with the pane it shows.
void GridPaging(ActionClock& clock, Floor& floor, Figures& figures) {
    auto* grid = Child<TDBGridEh>(FormMain, "DBGridEh1");
    grid->setFocus();
    List().First();
    Repaint();
    std::vector<long long> shown;
    double seconds = 0;
    double peak = 0;
    constexpr int Steps = 50;
    for (const bool wheel : {false, true}) {
        for (int i = 0; i < Steps; ++i) {
            if (List().RecNo() == List().RecordCount()) {
                List().First();
                Repaint();
            }
            clock.Start();
            if (wheel) {
                const QPointF at(50, 50);
                QWheelEvent notch(at, grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                                  Qt::NoModifier, Qt::NoScrollPhase, false);
                QCoreApplication::sendEvent(grid->viewport(), &notch);
            } else {
                QTest::keyClick(grid, Qt::Key_PageDown);
            }
            Repaint();
            seconds += clock.Stop();
            peak = std::max(peak, clock.PeakMegabytes());
            shown.push_back(List().FieldByName("TitleIndex").AsInteger());
        }
    }
    const double floorSeconds = Seconds([&] {
        for (long long key : shown)
            floor.PaneText(key);
    });
    figures.Add("grid paging (per step)", seconds / double(shown.size()), peak, floorSeconds / double(shown.size()));
}

void PrintFigures(const Figures& figures, long long records, const std::vector<QString>& order,
                  const std::map<QString, QString>& targets) {
    for (const QString& name : order) {
        const auto found = figures.seconds.find(name);
        if (found == figures.seconds.end())
            continue;
        const auto floors = figures.floors.find(name);
        const auto target = targets.find(name);
        const auto note = figures.notes.find(name);
        Report({name, records, Median(found->second), Median(figures.peaks.at(name)),
                floors == figures.floors.end() ? -1 : Median(floors->second),
                target == targets.end() ? QString("-") : target->second,
                note == figures.notes.end() ? QString() : note->second});
    }
}

// A title substring and a field-one value that the demo data has.
std::pair<QString, QString> SearchCriteria(Floor& floor) {
    sqlite3_stmt* stmt = floor.Statement("SELECT Title1, substr(TitleTxt, 3, 2) FROM Title WHERE Title1 <> '' "
                                         "ORDER BY TitleIndex LIMIT 1");
    std::pair<QString, QString> criteria;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        criteria = {QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1))),
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)))};
    sqlite3_reset(stmt);
    return criteria;
}

std::string SearchSql(const QString& title, const QString& field1) {
    return kListSql + " And (InStr(TitleTxt,'" + title.toStdString() + "')) And (Title1 = '" + field1.toStdString() +
           "')";
}

void BenchActions(int records) {
    const QString dir = DemoDirectory(records);
    Floor floor(dir + "/NoteData.db");
    RemoveLeftovers(floor);
    const auto [title, field1] = SearchCriteria(floor);
    const bool large = records >= 1000000;
    const int runs = large ? 3 : 5;

    QDir::setCurrent(dir);
    CreateWindowSet();
    FormMain->show(); // the show handler opens the list
    QCoreApplication::processEvents();
    ActionClock clock;
    Figures figures;
    const std::vector<long long> keys = floor.ListOpen(kListSql);
    const long long middleKey = keys[keys.size() / 2];

    for (int run = 0; run < runs; ++run) {
        const bool wanted = g_only.isEmpty() || g_only == "list";
        if (wanted) {
            const double floorList = Seconds([&] { floor.ListOpen(kListSql); });
            const double listSeconds = Search(clock, {}, {});
            figures.Add("list open (search, no criteria)", listSeconds, clock.PeakMegabytes(), floorList);

            const std::string searchSql = SearchSql(title, field1);
            std::size_t matched = 0;
            const double floorSearch = Seconds([&] { matched = floor.ListOpen(searchSql).size(); });
            const double searchSeconds = Search(clock, title, field1);
            figures.Add("search (title + field one)", searchSeconds, clock.PeakMegabytes(), floorSearch);
            figures.notes["search (title + field one)"] = QString("%1 records match").arg(matched);
            Search(clock, {}, {});
        }
        if (g_only.isEmpty() || g_only == "edit") {
            List().Locate("TitleIndex", int(middleKey));
            Repaint();
            EditRecordActions(clock, floor, figures, middleKey);
        }
        if (g_only.isEmpty() || g_only == "record")
            NewAndDeleteRecord(clock, floor, figures);
        if (g_only.isEmpty() || g_only == "grid")
            GridPaging(clock, floor, figures);
    }
    DestroyWindowSet();
    QCoreApplication::processEvents();

    const bool big = records >= 100000;
    const QString listTarget = big ? "<= 1.2 x floor" : "-";
    const QString smallTarget = large ? "< 0.020 s, < 2 MB" : "-";
    const QString withList = large ? "< 0.020 s + list open" : "-";
    PrintFigures(figures, records,
                 {"list open (search, no criteria)", "search (title + field one)", "open the editor on a record",
                  "add a paragraph", "modify a paragraph", "delete a paragraph", "OK on an existing record",
                  "OK on a new record", "  of which before the list reopen", "delete a record",
                  "grid paging (per step)"},
                 {{"list open (search, no criteria)", listTarget},
                  {"search (title + field one)", listTarget},
                  {"add a paragraph", smallTarget},
                  {"modify a paragraph", smallTarget},
                  {"delete a paragraph", smallTarget},
                  {"OK on a new record", withList},
                  {"  of which before the list reopen", smallTarget}});
}

// A record whose pane text is one line of the given size without a break opportunity (a pasted
// blob), shown by moving onto it in the grid.
void BenchLongLine() {
    const QString dir = g_dataDir + "/longline";
    QDir().mkpath(dir);
    const QString path = dir + "/NoteData.db";
    const std::vector<int> sizes{1 << 20, 10 << 20};
    if (!QFileInfo::exists(path)) {
        QFile::copy(DemoDirectory(1000) + "/NoteData.db", path);
        Floor floor(path);
        std::mt19937 random(7);
        const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int size : sizes) {
            std::string blob(std::size_t(size), 'a');
            for (char& c : blob)
                c = alphabet[random() % alphabet.size()];
            floor.Change("INSERT INTO Title (TitleTxt) VALUES (?)", {"一行 " + std::to_string(size >> 20) + " MB"});
            floor.Change("INSERT INTO Content (ContentTitle, ContentTxt) VALUES (?, ?)", {floor.LastKey(), blob});
        }
    }
    QDir::setCurrent(QFileInfo(dir).absoluteFilePath());
    CreateWindowSet();
    FormMain->show();
    QCoreApplication::processEvents();
    ActionClock clock;
    auto* grid = Child<TDBGridEh>(FormMain, "DBGridEh1");
    grid->setFocus();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::vector<double> seconds, peaks;
        for (int run = 0; run < 3; ++run) {
            List().Last();
            List().MoveBy(int(i) - int(sizes.size()));
            Repaint();
            clock.Start();
            QTest::keyClick(grid, Qt::Key_Down);
            Repaint();
            seconds.push_back(clock.Stop());
            peaks.push_back(clock.PeakMegabytes());
        }
        Report({QString("show a one-line text of %1 MB").arg(sizes[i] >> 20), 1002, Median(seconds), Median(peaks), -1,
                i == 0 ? "< 1 s" : "< 5 s", "the pane shows a paragraph without break opportunities"});
    }
    DestroyWindowSet();
    QCoreApplication::processEvents();
}

// One record of 1,000 paragraphs and one of 20,000 (demo paragraphs, about 300 characters), and one
// of 200 MB of text (20,000 paragraphs of about 10 KB, demo sentences), in a copy of 8,000 demo
// records whose paragraphs they took. Returns the database's directory; keys are the last three.
QString ParagraphsDirectory() {
    const QString dir = g_dataDir + "/paragraphs";
    QDir().mkpath(dir);
    const QString path = dir + "/NoteData.db";
    if (QFileInfo::exists(path))
        return QFileInfo(dir).absoluteFilePath();
    std::fprintf(stderr, "making %s ...\n", qPrintable(path));
    const QString building = path + ".building";
    QFile::remove(building);
    DemoOptions options;
    options.seed = 7;
    CreateDemoDatabase(building.toStdString(), 8000, options, false);
    {
        Floor floor(building);
        floor.Exec("BEGIN IMMEDIATE");
        std::vector<std::string> texts;
        sqlite3_stmt* read = floor.Statement("SELECT ContentTxt FROM Content ORDER BY ContentIndex");
        while (sqlite3_step(read) == SQLITE_ROW)
            texts.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(read, 0)));
        sqlite3_reset(read);
        if (texts.size() < 21000)
            qFatal("the demo records have only %zu paragraphs", texts.size());
        const auto first = [&](int skip, int count, const char* title) {
            floor.Change("INSERT INTO Title (TitleTxt) VALUES (?)", {std::string(title)});
            floor.Change("UPDATE Content SET ContentTitle = ? WHERE ContentIndex IN (SELECT ContentIndex FROM "
                         "Content ORDER BY ContentIndex LIMIT ? OFFSET ?)",
                         {floor.LastKey(), (long long)count, (long long)skip});
        };
        first(0, 1000, "一千段落");
        first(1000, 20000, "两万段落");
        floor.Change("INSERT INTO Title (TitleTxt) VALUES (?)", {std::string("两亿字节")});
        const long long big = floor.LastKey();
        std::size_t next = 0;
        for (int i = 0; i < 20000; ++i) {
            std::string paragraph;
            while (paragraph.size() < 10000) {
                paragraph += texts[next++ % texts.size()];
                paragraph += "\r\n";
            }
            floor.Change("INSERT INTO Content (ContentTitle, ContentTxt) VALUES (?, ?)", {big, paragraph});
        }
        floor.Exec("COMMIT");
    }
    QFile::rename(building, path);
    return QFileInfo(dir).absoluteFilePath();
}

// Opening the editor, adding a paragraph and deleting one on records of 1,000 and 20,000 paragraphs,
// each against the floor of reading the record's paragraph rows once (with the one change); then
// showing the record of 200 MB in the main window's pane and in the editor, peak against its bytes.
void BenchParagraphs() {
    const QString dir = ParagraphsDirectory();
    Floor floor(dir + "/NoteData.db");
    RemoveLeftovers(floor);
    const std::vector<long long> keys = floor.ListOpen(kListSql);
    const long long bigKey = keys.back();
    const std::vector<std::pair<long long, QString>> records{
        {keys[keys.size() - 3], "1,000 par."}, {keys[keys.size() - 2], "20,000 par."}, {bigKey, "20,000 x 10 KB"}};
    QDir::setCurrent(dir);
    CreateWindowSet();
    FormMain->show();
    QCoreApplication::processEvents();
    ActionClock clock;
    Figures figures;
    std::vector<QString> order;
    std::map<QString, QString> targets;

    // The record of 200 MB: moved onto in the grid, then opened in the editor. The editor's peak is
    // the growth since before the pane took the record: both hold it at once.
    sqlite3_stmt* sum = floor.Statement("SELECT sum(length(CAST(ContentTxt AS BLOB))) FROM Content WHERE "
                                        "ContentTitle = ?");
    sqlite3_bind_int64(sum, 1, bigKey);
    sqlite3_step(sum);
    const double textMegabytes = double(sqlite3_column_int64(sum, 0)) / (1 << 20);
    sqlite3_reset(sum);
    const QString pane = "show a record of 200 MB (pane)";
    const QString editor = "  then the editor on it";
    order.insert(order.end(), {pane, editor});
    auto* grid = Child<TDBGridEh>(FormMain, "DBGridEh1");
    // Once, first: a later run would find the memory of the earlier one still held.
    {
        List().Locate("TitleIndex", bigKey - 1);
        Repaint();
        grid->setFocus();
        const double before = StatusKilobytes("VmRSS") / 1024.0;
        clock.Start();
        QTest::keyClick(grid, Qt::Key_Down);
        Repaint();
        const double paneSeconds = clock.Stop();
        const double panePeak = clock.PeakMegabytes();
        figures.Add(pane, paneSeconds, panePeak);
        const double shown = StatusKilobytes("VmRSS") / 1024.0 - before;
        clock.Start();
        WhileModal(DoubleClickGrid, [&] {
            FormNote->repaint();
            const double editorSeconds = clock.Stop();
            figures.Add(editor, editorSeconds, std::max(panePeak, shown + clock.PeakMegabytes()));
            FormNote->close();
        });
        Repaint();
    }
    for (const QString& name : {pane, editor}) {
        figures.notes[name] = QString("%1 MB of text; peak %2 bytes per byte")
                                  .arg(textMegabytes, 0, 'f', 1)
                                  .arg(Median(figures.peaks[name]) / textMegabytes, 0, 'f', 2);
        targets[name] = "< 3 bytes per byte";
    }
    for (const auto& [key, size] : records) {
        const QString open = "open the editor, " + size;
        const QString add = "add a paragraph, " + size;
        const QString remove = "delete a paragraph, " + size;
        order.insert(order.end(), {open, add, remove});
        for (const QString& name : {open, add, remove})
            targets[name] = "<= floor x 1.5";
        for (int run = 0; run < 5; ++run) {
            const ParagraphFloors floors = ParagraphActionFloors(floor, key, false);
            List().Locate("TitleIndex", key);
            Repaint();
            clock.Start();
            WhileModal(DoubleClickGrid, [&] {
                FormNote->repaint();
                const double openSeconds = clock.Stop();
                figures.Add(open, openSeconds, clock.PeakMegabytes(), floors.open);
                const auto press = [&](const char* button, const QString& name, double floorSeconds) {
                    clock.Start();
                    Child<QPushButton>(FormNote, button)->click();
                    FormNote->repaint();
                    const double seconds = clock.Stop();
                    figures.Add(name, seconds, clock.PeakMegabytes(), floorSeconds);
                };
                SetMemoText(Child<QPlainTextEdit>(FormNote, "Memo1"), QStringLiteral("基准段落"));
                press("Button1", add, floors.add);
                FormNote->ADOQuery1->Last(); // the new paragraph, which the user picks
                press("Button3", remove, floors.remove);
                FormNote->close();
            });
            Repaint();
        }
    }

    DestroyWindowSet();
    QCoreApplication::processEvents();
    PrintFigures(figures, keys.size(), order, targets);
}

} // namespace

// The offscreen platform's notes on window hints say nothing about the figures.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && message.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietMessages);
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
            std::fprintf(
                stderr,
                "usage: tamrix_bench [--large] [--data DIR] [--only list|edit|record|grid|paragraphs|longline]\n");
            return 2;
        }
    }
    QDir().mkpath(g_dataDir);
    g_dataDir = QFileInfo(g_dataDir).absoluteFilePath();
    std::printf("cores: %u; time: median of 5 runs (3 at 1,000,000 records); peak: growth of the resident set's "
                "high-water mark during the action\n",
                std::thread::hardware_concurrency());
    PrintHeader();
    std::vector<int> sizes{1000, 100000};
    if (large)
        sizes.push_back(1000000);
    if (g_only != "longline" && g_only != "paragraphs")
        for (int records : sizes)
            BenchActions(records);
    if (g_only.isEmpty() || g_only == "paragraphs")
        BenchParagraphs();
    if (g_only.isEmpty() || g_only == "longline")
        BenchLongLine();
    return 0;
}
