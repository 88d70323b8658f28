// tamrixdata-db on a server: a team's NoteData.db moved onto the server with its record numbers
// and taken home again by backup comes back record for record; a failed import changes nothing;
// init creates usable tables; check tells and --repair removes what a dead editor left, and never
// touches a live editor's paragraphs. Runs only on a server (with-postgres.sh around it).
#include "ADOConnection.h"
#include "RecordSetTestHelpers.h"
#include "TestDatabase.h"
#include "ToolRun.h"

#include <QtTest>

namespace {

// What the tool printed, on both streams.
QString printed(const ToolRun& run) {
    return run.out + run.err;
}

// Whether two files hold the same bytes, the difference shown when not.
bool sameFiles(const QString& a, const QString& b) {
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    const QByteArray left = first.readAll();
    const QByteArray right = second.readAll();
    if (left != right)
        qWarning("%s and %s differ", qPrintable(a), qPrintable(b));
    return left == right;
}

} // namespace

class TestServerTool : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (!TestDatabase::onServer())
            QSKIP("needs a server (run under tests/support/with-postgres.sh)");
    }
    void fileMovesOntoServerAndBackAsItWas();
    void initCreatesUsableTables();
    void checkRepairsOnlyDeadEditors();
    void mdbComesOntoServerAsIntoAFile();
};

void TestServerTool::fileMovesOntoServerAndBackAsItWas() {
    TestDatabase server;
    QTemporaryDir dir;
    const QString file = dir.filePath("NoteData.db");
    QCOMPARE(RunTool({"demo", "40", file}).exitCode, 0);
    // Gaps in the numbers stay gaps.
    QCOMPARE(RunTool({"export", file, dir.filePath("before.json")}).exitCode, 0);

    const ToolRun moved = RunTool({"import", "--keep-keys", server.path(), file});
    QVERIFY2(moved.exitCode == 0, qPrintable(printed(moved)));
    QCOMPARE(server.scalar("Select Max(TitleIndex) From Title"), 40);
    // New records go on after the moved ones.
    server.exec("Insert Into Title (TitleTxt) Values ('next')");
    QCOMPARE(server.scalar("Select TitleIndex From Title Where TitleTxt = 'next'"), 41);
    server.exec("Delete From Title Where TitleIndex = 41");

    // Moving it again would take numbers that are there: refused, nothing added.
    const ToolRun again = RunTool({"import", "--keep-keys", server.path(), file});
    QVERIFY2(again.exitCode == 1 && printed(again).contains("23505"), qPrintable(printed(again)));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 40);

    const QString home = dir.filePath("home.db");
    const ToolRun backup = RunTool({"backup", server.path(), home});
    QVERIFY2(backup.exitCode == 0, qPrintable(printed(backup)));
    QCOMPARE(RunTool({"export", home, dir.filePath("after.json")}).exitCode, 0);
    QVERIFY(sameFiles(dir.filePath("after.json"), dir.filePath("before.json")));
    QCOMPARE(RunTool({"check", home}).exitCode, 0);

    // The export straight from the server is the same.
    const ToolRun exported = RunTool({"export", server.path(), dir.filePath("server.json")});
    QVERIFY2(exported.exitCode == 0, qPrintable(printed(exported)));
    QVERIFY(sameFiles(dir.filePath("server.json"), dir.filePath("before.json")));
}

void TestServerTool::initCreatesUsableTables() {
    TestDatabase scratch;
    scratch.exec("Create Schema empty_for_init");
    const QString empty = TestDatabase::server() + " options='-csearch_path=empty_for_init'";
    const ToolRun made = RunTool({"init", empty});
    QVERIFY2(made.exitCode == 0, qPrintable(printed(made)));
    QCOMPARE(RunTool({"init", empty}).exitCode, 1); // never replaces the tables

    TADOConnection connection(empty.toStdString());
    TADOQuery query("ADOQuery1", &connection);
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("first");
    query.Post();
    QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), 1);
    QVERIFY(query.FieldByName("TitleIndex").ReadOnly());
    scratch.exec("Drop Schema empty_for_init Cascade");
}

void TestServerTool::checkRepairsOnlyDeadEditors() {
    TestDatabase server;
    auto live = std::make_unique<TADOConnection>(server.path().toStdString());
    auto dead = std::make_unique<TADOConnection>(server.path().toStdString());
    const qint64 liveKey = live->PendingKey();
    const qint64 deadKey = dead->PendingKey();
    server.exec(QStringLiteral("Insert Into Content (ContentTitle, ContentTxt) Values (%1, 'live'), (%2, 'dead'), "
                               "(%2, 'dead too')")
                    .arg(liveKey)
                    .arg(deadKey));
    QCOMPARE(RunTool({"check", server.path()}).exitCode, 0);
    dead.reset();

    const ToolRun found = RunTool({"check", server.path()});
    QVERIFY2(found.exitCode == 1 && printed(found).contains("2 pending paragraphs left"), qPrintable(printed(found)));
    QCOMPARE(server.scalar("Select Count(*) From Content"), 3);
    const ToolRun repaired = RunTool({"check", "--repair", server.path()});
    QVERIFY2(repaired.exitCode == 0 && printed(repaired).contains("removed 2"), qPrintable(printed(repaired)));
    QCOMPARE(server.text("Select string_agg(ContentTxt, ',') From Content"), QString("live"));

    // A paragraph without a record key (another tool wrote it) is never shown: told, and kept.
    server.exec("Insert Into Content (ContentTitle, ContentTxt) Values (Null, 'keyless')");
    const ToolRun keyless = RunTool({"check", "--repair", server.path()});
    QVERIFY2(keyless.exitCode == 1 && printed(keyless).contains("1 paragraphs never shown, their ContentTitle empty"),
             qPrintable(printed(keyless)));
    QCOMPARE(server.scalar("Select Count(*) From Content"), 2);
}

// An office's NoteData.mdb brought straight onto the server: the same records, numbers and paragraph
// order as imported into a file; what belongs to no record reported and left behind; --if-empty
// refuses a server that holds records; a second import takes new numbers.
void TestServerTool::mdbComesOntoServerAsIntoAFile() {
    TestDatabase server;
    QTemporaryDir dir;
    const QString mdb = QFINDTESTDATA("data/NoteData-sample.mdb");
    const QString file = dir.filePath("NoteData.db");
    QCOMPARE(RunTool({"init", file}).exitCode, 0);
    QCOMPARE(RunTool({"import", file, mdb}).exitCode, 0);

    const ToolRun moved = RunTool({"import", server.path(), mdb});
    QVERIFY2(moved.exitCode == 0, qPrintable(printed(moved)));
    QVERIFY2(printed(moved).contains("added 51 records with 431 paragraphs"), qPrintable(printed(moved)));
    QVERIFY2(printed(moved).contains("3 paragraphs belong to no record"), qPrintable(printed(moved)));
    QCOMPARE(RunTool({"export", file, dir.filePath("file.json")}).exitCode, 0);
    QCOMPARE(RunTool({"export", server.path(), dir.filePath("server.json")}).exitCode, 0);
    QVERIFY(sameFiles(dir.filePath("server.json"), dir.filePath("file.json")));
    QCOMPARE(RunTool({"check", server.path()}).exitCode, 0);

    const ToolRun refused = RunTool({"import", "--if-empty", server.path(), mdb});
    QVERIFY2(refused.exitCode == 1 && printed(refused).contains("nothing was imported"), qPrintable(printed(refused)));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 51);

    const qint64 largest = server.scalar("Select Max(TitleIndex) From Title");
    const ToolRun again = RunTool({"import", server.path(), mdb});
    QVERIFY2(again.exitCode == 0, qPrintable(printed(again)));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 102);
    QCOMPARE(server.scalar(QStringLiteral("Select Min(TitleIndex) From Title Where TitleIndex > %1").arg(largest)),
             largest + 1);
}

QTEST_GUILESS_MAIN(TestServerTool)
#include "tst_server_tool.moc"
