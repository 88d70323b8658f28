// The database tool: the schema it creates, the demo data it generates, and how it treats existing
// files and bad command lines.

#include "DemoDatabase.h"
#include "TestDatabase.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun RunTool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(TAMRIX_DEMO_TOOL), arguments);
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1))
        qFatal("cannot run %s", TAMRIX_DEMO_TOOL);
    ToolRun run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Runs the tool on the test database's own file name after removing the file, so the test's
// helpers can then read what the tool made.
ToolRun RunOnFreshPath(const TestDatabase& database, QStringList arguments) {
    QFile::remove(database.path());
    for (QString& argument : arguments)
        argument.replace(QStringLiteral("FILE"), database.path());
    return RunTool(arguments);
}

// Every record with its fields and paragraphs, in storage order, as one text.
QString Dump(const TestDatabase& database) {
    return database.text("SELECT group_concat(TitleIndex || '|' || TitleTxt || '|' || Title1 || Title2 || Title3 || "
                         "Title4 || Title5 || Title6 || Title7 || Title8, char(10)) FROM Title") +
           database.text("SELECT group_concat(ContentTitle || '|' || ContentTxt, char(10)) FROM "
                         "(SELECT * FROM Content ORDER BY ContentIndex)");
}

bool IsChineseCharacter(QChar c) {
    return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF;
}

} // namespace

class TestDemoTool : public QObject {
    Q_OBJECT

private slots:
    void initCreatesSchemaWithoutRecords();
    void demoRecordsStayWithinBounds_data();
    void demoRecordsStayWithinBounds();
    void classificationValuesNarrowTheList();
    void seedDecidesTheData_data();
    void seedDecidesTheData();
    void existingFile_data();
    void existingFile();
    void failedRunLeavesNoFile();
    void badArguments_data();
    void badArguments();
    void helpPrintsUsage();
    void fillDemoAppendsToExistingRecords();
};

void TestDemoTool::initCreatesSchemaWithoutRecords() {
    TestDatabase database;
    ToolRun run = RunOnFreshPath(database, {"init", "FILE"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));

    QCOMPARE(database.text("SELECT group_concat(type || ' ' || name, ', ') FROM "
                           "(SELECT * FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name)"),
             QStringLiteral("index ContentByTitle, table Content, table Title"));
    QCOMPARE(database.text("SELECT group_concat(name, ',') FROM pragma_table_info('Title')"),
             QStringLiteral("TitleIndex,TitleTxt,Title1,Title2,Title3,Title4,Title5,Title6,Title7,Title8"));
    QCOMPARE(database.text("SELECT group_concat(name, ',') FROM pragma_table_info('Content')"),
             QStringLiteral("ContentIndex,ContentTitle,ContentTxt"));
    QCOMPARE(database.text("SELECT group_concat(name) FROM pragma_index_info('ContentByTitle')"),
             QStringLiteral("ContentTitle"));
    QCOMPARE(database.scalar("SELECT (SELECT count(*) FROM Title) + (SELECT count(*) FROM Content)"), 0);

    // The embedded copy must follow the schema file, or the tool would drift from the program.
    QFile schemaFile(QStringLiteral(TAMRIX_SCHEMA_FILE));
    QVERIFY(schemaFile.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromStdString(SchemaSql()), QString::fromUtf8(schemaFile.readAll()));
}

void TestDemoTool::demoRecordsStayWithinBounds_data() {
    QTest::addColumn<int>("records");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("maxParagraphs");
    QTest::newRow("no records") << 0 << QStringList() << 6;
    QTest::newRow("one record") << 1 << QStringList() << 6;
    QTest::newRow("default maximum") << 300 << QStringList() << 6;
    QTest::newRow("lowered maximum") << 100 << QStringList{"--max-paragraphs", "2"} << 2;
    QTest::newRow("no paragraphs") << 50 << QStringList{"--max-paragraphs", "0"} << 0;
}

void TestDemoTool::demoRecordsStayWithinBounds() {
    QFETCH(int, records);
    QFETCH(QStringList, options);
    QFETCH(int, maxParagraphs);
    TestDatabase database;
    ToolRun run = RunOnFreshPath(database, QStringList{"demo", QString::number(records), "FILE"} + options);
    QCOMPARE(run.exitCode, 0);

    QCOMPARE(database.scalar("SELECT count(*) FROM Title"), records);
    QCOMPARE(database.scalar("SELECT count(*) FROM Title WHERE TitleIndex <= 0"), 0);
    // Every paragraph belongs to a stored record; none is left pending.
    QCOMPARE(database.scalar("SELECT count(*) FROM Content WHERE ContentTitle NOT IN (SELECT TitleIndex FROM Title)"),
             0);
    const qint64 mostParagraphs =
        database.scalar("SELECT coalesce(max(n), 0) FROM (SELECT count(*) AS n FROM Content GROUP BY ContentTitle)");
    QVERIFY(mostParagraphs <= maxParagraphs);
    if (records >= 100)
        QCOMPARE(mostParagraphs, maxParagraphs);
    if (records >= 100 && maxParagraphs > 0)
        QVERIFY2(database.scalar("SELECT count(*) FROM Title WHERE TitleIndex NOT IN "
                                 "(SELECT ContentTitle FROM Content)") > 0,
                 "some records have no paragraphs");

    QCOMPARE(database.scalar("SELECT count(*) FROM Content WHERE length(ContentTxt) NOT BETWEEN 50 AND 2000 "
                             "OR ContentTxt IS NULL"),
             0);
    // Line breaks are CR LF pairs only, never a lone CR or LF.
    QCOMPARE(database.scalar("SELECT count(*) FROM Content WHERE instr(replace(ContentTxt, char(13, 10), ''), "
                             "char(10)) OR instr(replace(ContentTxt, char(13, 10), ''), char(13))"),
             0);
    if (records >= 300)
        QVERIFY(database.scalar("SELECT count(*) FROM Content WHERE instr(ContentTxt, char(13, 10))") > 0);

    QCOMPARE(database.scalar("SELECT count(*) FROM Title WHERE length(TitleTxt) NOT BETWEEN 10 AND 30 "
                             "OR TitleTxt IS NULL"),
             0);
    const QString titles = database.text("SELECT group_concat(TitleTxt, '') FROM Title");
    for (QChar c : titles)
        QVERIFY2(IsChineseCharacter(c), qPrintable(QStringLiteral("title character %1").arg(c)));
    // The record list keeps every row in memory: its text must stay small.
    QVERIFY(database.scalar("SELECT coalesce(max(length(CAST(TitleTxt || Title1 || Title2 || Title3 || Title4 || "
                            "Title5 || Title6 || Title7 || Title8 AS BLOB))), 0) FROM Title") <= 250);
}

void TestDemoTool::classificationValuesNarrowTheList() {
    TestDatabase database;
    database.fillDemo(1000, 7);
    for (int field = 1; field <= 8; ++field) {
        const QString column = QStringLiteral("Title%1").arg(field);
        QCOMPARE(database.scalar(QStringLiteral("SELECT count(*) FROM Title WHERE %1 IS NULL").arg(column)), 0);
        const qint64 values =
            database.scalar(QStringLiteral("SELECT count(DISTINCT %1) FROM Title WHERE %1 <> ''").arg(column));
        QVERIFY2(values >= 4 && values <= 20, qPrintable(column));
        const qint64 mostCommon = database.scalar(
            QStringLiteral("SELECT max(n) FROM (SELECT count(*) AS n FROM Title WHERE %1 <> '' GROUP BY %1)")
                .arg(column));
        QVERIFY2(mostCommon < 400, qPrintable(column));
        const qint64 empty = database.scalar(QStringLiteral("SELECT count(*) FROM Title WHERE %1 = ''").arg(column));
        if (field >= 5)
            QVERIFY2(empty > 300 && empty < 700, qPrintable(column));
        else
            QVERIFY2(empty < 200, qPrintable(column));
        QCOMPARE(database.scalar(
                     QStringLiteral("SELECT count(*) FROM Title WHERE length(%1) NOT IN (0, 2, 3, 4)").arg(column)),
                 0);
    }
}

void TestDemoTool::seedDecidesTheData_data() {
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("same seed") << QStringList{"--seed", "42"} << QStringList{"--seed", "42"} << true;
    QTest::newRow("default seed is 1") << QStringList() << QStringList{"--seed", "1"} << true;
    QTest::newRow("different seed") << QStringList{"--seed", "42"} << QStringList{"--seed", "43"} << false;
    QTest::newRow("largest seed") << QStringList{"--seed", "18446744073709551615"} << QStringList{"--seed", "0"}
                                  << false;
}

void TestDemoTool::seedDecidesTheData() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(bool, same);
    TestDatabase one;
    TestDatabase two;
    QCOMPARE(RunOnFreshPath(one, QStringList{"demo", "60", "FILE"} + first).exitCode, 0);
    QCOMPARE(RunOnFreshPath(two, QStringList{"demo", "60", "FILE"} + second).exitCode, 0);
    QCOMPARE(Dump(one) == Dump(two), same);
}

void TestDemoTool::existingFile_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<int>("recordsAfter");
    QTest::newRow("init refuses") << QStringList{"init", "FILE"} << false << 1;
    QTest::newRow("demo refuses") << QStringList{"demo", "5", "FILE"} << false << 1;
    QTest::newRow("init --force replaces") << QStringList{"init", "FILE", "--force"} << true << 0;
    QTest::newRow("demo --force replaces") << QStringList{"--force", "demo", "5", "FILE"} << true << 5;
}

void TestDemoTool::existingFile() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, replaced);
    QFETCH(int, recordsAfter);
    TestDatabase database;
    database.exec("INSERT INTO Title (TitleTxt) VALUES ('marker')");
    // A journal left by a crash beside the old file must not be played back into the new one.
    QFile staleJournal(database.path() + "-journal");
    QVERIFY(staleJournal.open(QIODevice::WriteOnly));
    staleJournal.write(QByteArray(512, 'x'));
    staleJournal.close();

    for (QString& argument : arguments)
        argument.replace(QStringLiteral("FILE"), database.path());
    ToolRun run = RunTool(arguments);
    if (replaced) {
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!QFile::exists(staleJournal.fileName()));
    } else {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("already exists") && run.err.contains("--force"), qPrintable(run.err));
        QFile::remove(staleJournal.fileName());
        QCOMPARE(database.text("SELECT TitleTxt FROM Title"), QStringLiteral("marker"));
    }
    QCOMPARE(database.scalar("SELECT count(*) FROM Title"), recordsAfter);
    QCOMPARE(QDir(database.dir()).entryList(QDir::Files), QStringList{"NoteData.db"});
}

void TestDemoTool::failedRunLeavesNoFile() {
    TestDatabase database;
    const QString missingDirectory = database.dir() + "/missing/NoteData.db";
    ToolRun run = RunTool({"demo", "3", missingDirectory});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(missingDirectory), qPrintable(run.err));
    QVERIFY(!QFile::exists(missingDirectory));

    // A directory in the file's place is not replaced even with --force.
    const QString directory = database.dir() + "/taken";
    QVERIFY(QDir(database.dir()).mkdir("taken"));
    QCOMPARE(RunTool({"init", directory, "--force"}).exitCode, 1);
    QVERIFY(QFileInfo(directory).isDir());
    QCOMPARE(QDir(database.dir()).entryList(QDir::Files), QStringList{"NoteData.db"});
}

void TestDemoTool::badArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("nothing") << QStringList() << "no command";
    QTest::newRow("unknown command") << QStringList{"create", "FILE"} << "unknown command create";
    QTest::newRow("init without file") << QStringList{"init"} << "no FILE";
    QTest::newRow("demo without file") << QStringList{"demo", "5"} << "N and FILE";
    QTest::newRow("demo without anything") << QStringList{"demo"} << "N and FILE";
    QTest::newRow("extra argument") << QStringList{"init", "FILE", "other"} << "unexpected argument other";
    QTest::newRow("N not a number") << QStringList{"demo", "many", "FILE"} << "number of records";
    QTest::newRow("N negative") << QStringList{"demo", "-5", "FILE"} << "number of records";
    QTest::newRow("N with a fraction") << QStringList{"demo", "1.5", "FILE"} << "number of records";
    QTest::newRow("N with trailing text") << QStringList{"demo", "12abc", "FILE"} << "number of records";
    QTest::newRow("N too large") << QStringList{"demo", "99999999999", "FILE"} << "number of records";
    QTest::newRow("N empty") << QStringList{"demo", "", "FILE"} << "number of records";
    QTest::newRow("unknown option") << QStringList{"init", "FILE", "--overwrite"} << "unknown option --overwrite";
    QTest::newRow("seed without value") << QStringList{"demo", "5", "FILE", "--seed"} << "--seed needs a value";
    QTest::newRow("seed not a number") << QStringList{"demo", "5", "FILE", "--seed", "x"} << "seed";
    QTest::newRow("seed negative") << QStringList{"demo", "5", "FILE", "--seed", "-1"} << "seed";
    QTest::newRow("paragraphs above 6") << QStringList{"demo", "5", "FILE", "--max-paragraphs", "7"}
                                        << "paragraph maximum";
    QTest::newRow("paragraphs negative") << QStringList{"demo", "5", "FILE", "--max-paragraphs", "-1"}
                                         << "paragraph maximum";
}

void TestDemoTool::badArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    TestDatabase database;
    ToolRun run = RunOnFreshPath(database, arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY2(run.err.contains("Usage:"), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(QDir(database.dir()).isEmpty());
}

void TestDemoTool::helpPrintsUsage() {
    ToolRun run = RunTool({"--help"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains("Usage:") && run.out.contains("--max-paragraphs"));
    QVERIFY(run.err.isEmpty());
}

void TestDemoTool::fillDemoAppendsToExistingRecords() {
    TestDatabase database;
    database.exec("INSERT INTO Title (TitleTxt) VALUES ('kept')");
    database.fillDemo(20, 3);
    database.fillDemo(20, 3);
    QCOMPARE(database.scalar("SELECT count(*) FROM Title"), 41);
    QCOMPARE(database.text("SELECT TitleTxt FROM Title WHERE TitleIndex = 1"), QStringLiteral("kept"));
    QCOMPARE(database.text("SELECT TitleTxt FROM Title WHERE TitleIndex = 2"),
             database.text("SELECT TitleTxt FROM Title WHERE TitleIndex = 22"));
    QCOMPARE(database.scalar("SELECT count(*) FROM Content WHERE ContentTitle NOT BETWEEN 2 AND 41"), 0);

    // Without a database there is nothing to append to, and none is created.
    const std::string missing = (database.dir() + "/absent.db").toStdString();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, FillDemoRecords(missing, 1, DemoOptions()));
    QVERIFY(!QFile::exists(QString::fromStdString(missing)));
}

QTEST_GUILESS_MAIN(TestDemoTool)
#include "tst_demotool.moc"
