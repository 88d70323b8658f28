// tamrixdata-db on a server: a team's NoteData.db moved onto the server with its record numbers
// and taken home again by backup comes back record for record; a failed import changes nothing;
// init creates usable tables; check tells and --repair removes what a dead editor left, and never
// touches a live editor's paragraphs. Runs only on a server (with-postgres.sh around it).
#include "ADOConnection.h"
#include "RecordSetTestHelpers.h"
#include "TestDatabase.h"

#include <QProcess>
#include <QtTest>

namespace {

struct ToolRun {
    int status;
    QString output;
};

ToolRun runTool(const QStringList& arguments) {
    QProcess tool;
    tool.start(QStringLiteral(TAMRIX_DEMO_TOOL), arguments);
    if (!tool.waitForFinished(120000))
        return {-1, QStringLiteral("did not finish")};
    return {tool.exitCode(), QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError())};
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
    QCOMPARE(runTool({"demo", "40", file}).status, 0);
    // Gaps in the numbers stay gaps.
    QCOMPARE(runTool({"export", file, dir.filePath("before.json")}).status, 0);

    const ToolRun moved = runTool({"import", "--keep-keys", server.path(), file});
    QVERIFY2(moved.status == 0, qPrintable(moved.output));
    QCOMPARE(server.scalar("Select Max(TitleIndex) From Title"), 40);
    // New records go on after the moved ones.
    server.exec("Insert Into Title (TitleTxt) Values ('next')");
    QCOMPARE(server.scalar("Select TitleIndex From Title Where TitleTxt = 'next'"), 41);
    server.exec("Delete From Title Where TitleIndex = 41");

    // Moving it again would take numbers that are there: refused, nothing added.
    const ToolRun again = runTool({"import", "--keep-keys", server.path(), file});
    QVERIFY2(again.status == 1 && again.output.contains("23505"), qPrintable(again.output));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 40);

    const QString home = dir.filePath("home.db");
    const ToolRun backup = runTool({"backup", server.path(), home});
    QVERIFY2(backup.status == 0, qPrintable(backup.output));
    QCOMPARE(runTool({"export", home, dir.filePath("after.json")}).status, 0);
    QVERIFY(sameFiles(dir.filePath("after.json"), dir.filePath("before.json")));
    QCOMPARE(runTool({"check", home}).status, 0);

    // The export straight from the server is the same.
    const ToolRun exported = runTool({"export", server.path(), dir.filePath("server.json")});
    QVERIFY2(exported.status == 0, qPrintable(exported.output));
    QVERIFY(sameFiles(dir.filePath("server.json"), dir.filePath("before.json")));
}

void TestServerTool::initCreatesUsableTables() {
    TestDatabase scratch;
    scratch.exec("Create Schema empty_for_init");
    const QString empty = TestDatabase::server() + " options='-csearch_path=empty_for_init'";
    const ToolRun made = runTool({"init", empty});
    QVERIFY2(made.status == 0, qPrintable(made.output));
    QCOMPARE(runTool({"init", empty}).status, 1); // never replaces the tables

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
    QCOMPARE(runTool({"check", server.path()}).status, 0);
    dead.reset();

    const ToolRun found = runTool({"check", server.path()});
    QVERIFY2(found.status == 1 && found.output.contains("2 pending paragraphs left"), qPrintable(found.output));
    QCOMPARE(server.scalar("Select Count(*) From Content"), 3);
    const ToolRun repaired = runTool({"check", "--repair", server.path()});
    QVERIFY2(repaired.status == 0 && repaired.output.contains("removed 2"), qPrintable(repaired.output));
    QCOMPARE(server.text("Select string_agg(ContentTxt, ',') From Content"), QString("live"));

    // A paragraph without a record key (another tool wrote it) is never shown: told, and kept.
    server.exec("Insert Into Content (ContentTitle, ContentTxt) Values (Null, 'keyless')");
    const ToolRun keyless = runTool({"check", "--repair", server.path()});
    QVERIFY2(keyless.status == 1 && keyless.output.contains("1 paragraphs never shown, their ContentTitle empty"),
             qPrintable(keyless.output));
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
    QCOMPARE(runTool({"init", file}).status, 0);
    QCOMPARE(runTool({"import", file, mdb}).status, 0);

    const ToolRun moved = runTool({"import", server.path(), mdb});
    QVERIFY2(moved.status == 0, qPrintable(moved.output));
    QVERIFY2(moved.output.contains("added 51 records with 431 paragraphs"), qPrintable(moved.output));
    QVERIFY2(moved.output.contains("3 paragraphs belong to no record"), qPrintable(moved.output));
    QCOMPARE(runTool({"export", file, dir.filePath("file.json")}).status, 0);
    QCOMPARE(runTool({"export", server.path(), dir.filePath("server.json")}).status, 0);
    QVERIFY(sameFiles(dir.filePath("server.json"), dir.filePath("file.json")));
    QCOMPARE(runTool({"check", server.path()}).status, 0);

    const ToolRun refused = runTool({"import", "--if-empty", server.path(), mdb});
    QVERIFY2(refused.status == 1 && refused.output.contains("nothing was imported"), qPrintable(refused.output));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 51);

    const qint64 largest = server.scalar("Select Max(TitleIndex) From Title");
    const ToolRun again = runTool({"import", server.path(), mdb});
    QVERIFY2(again.status == 0, qPrintable(again.output));
    QCOMPARE(server.scalar("Select Count(*) From Title"), 102);
    QCOMPARE(server.scalar(QStringLiteral("Select Min(TitleIndex) From Title Where TitleIndex > %1").arg(largest)),
             largest + 1);
}

QTEST_GUILESS_MAIN(TestServerTool)
#include "tst_server_tool.moc"
