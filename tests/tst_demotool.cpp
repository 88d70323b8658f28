// The database tool: the schema it creates, the demo data it generates, how it treats existing
// files, bad command lines and interruptions; export and import, backup and check.

#include "DemoDatabase.h"
#include "TestDatabase.h"
#include "ToolRun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>

namespace {

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

// Every record after the first skip ones, in key order: each field's type and bytes, then its
// paragraphs' types and bytes in reading order. Keys themselves are left out: import assigns new ones.
QString RecordsAndParagraphs(const TestDatabase& database, qint64 skip, bool nullAsEmpty) {
    QStringList fields;
    for (const char* name :
         {"TitleTxt", "Title1", "Title2", "Title3", "Title4", "Title5", "Title6", "Title7", "Title8"})
        fields << QStringLiteral("typeof(%1) || hex(%1)")
                      .arg(nullAsEmpty ? QStringLiteral("coalesce(%1, '')").arg(name) : QString(name));
    const QString paragraph =
        nullAsEmpty ? "typeof(coalesce(ContentTxt, '')) || hex(ContentTxt)" : "typeof(ContentTxt) || hex(ContentTxt)";
    return database.text(QStringLiteral("SELECT group_concat(line, char(10)) FROM (SELECT %1 || ' :' || "
                                        "coalesce((SELECT group_concat(p, ' ') FROM (SELECT %2 AS p FROM Content "
                                        "WHERE ContentTitle = Title.TitleIndex ORDER BY ContentIndex)), '') AS line "
                                        "FROM Title ORDER BY TitleIndex LIMIT -1 OFFSET %3)")
                             .arg(fields.join(" || ' ' || "), paragraph)
                             .arg(skip));
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
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
    void helpVersionAndOptionForms();
    void fillDemoAppendsToExistingRecords();
    void interruptedRunLeavesNoFiles_data();
    void interruptedRunLeavesNoFiles();
    void exportImportRoundTrip_data();
    void exportImportRoundTrip();
    void exportNeverDestroysAFile();
    void malformedImportChangesNothing_data();
    void malformedImportChangesNothing();
    void backupWhileAnotherConnectionWrites_data();
    void backupWhileAnotherConnectionWrites();
    void checkReportsDamage_data();
    void checkReportsDamage();
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
    QTest::newRow("unknown command") << QStringList{"create", "FILE"} << "unknown command 'create'";
    QTest::newRow("init without file") << QStringList{"init"} << "init needs FILE";
    QTest::newRow("demo without file") << QStringList{"demo", "5"} << "demo needs N FILE";
    QTest::newRow("demo without anything") << QStringList{"demo"} << "demo needs N FILE";
    QTest::newRow("extra argument") << QStringList{"init", "FILE", "other"} << "unexpected argument 'other'";
    QTest::newRow("backup without DEST") << QStringList{"backup", "FILE"} << "backup needs DB DEST";
    QTest::newRow("N not a number") << QStringList{"demo", "many", "FILE"} << "number of records";
    QTest::newRow("N negative") << QStringList{"demo", "--", "-5", "FILE"} << "number of records";
    QTest::newRow("N negative, read as an option") << QStringList{"demo", "-5", "FILE"} << "unknown option '-5'";
    QTest::newRow("N with a fraction") << QStringList{"demo", "1.5", "FILE"} << "number of records";
    QTest::newRow("N with trailing text") << QStringList{"demo", "12abc", "FILE"} << "number of records";
    QTest::newRow("N too large") << QStringList{"demo", "99999999999", "FILE"} << "number of records";
    QTest::newRow("N empty") << QStringList{"demo", "", "FILE"} << "number of records";
    QTest::newRow("unknown option") << QStringList{"init", "FILE", "--overwrite"} << "unknown option '--overwrite'";
    QTest::newRow("seed without value") << QStringList{"demo", "5", "FILE", "--seed"} << "'--seed' needs a value";
    QTest::newRow("value for --force") << QStringList{"init", "FILE", "--force=yes"} << "'--force' takes no value";
    QTest::newRow("option of another command")
        << QStringList{"init", "FILE", "--seed=3"} << "'--seed' does not apply to init";
    QTest::newRow("unknown format") << QStringList{"export", "FILE", "--format=xml"} << "unknown format 'xml'";
    QTest::newRow("markdown import") << QStringList{"import", "FILE", "in.md", "--format", "markdown"}
                                     << "cannot be imported";
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
    // One line, not the whole usage.
    QVERIFY2(run.err.endsWith(". Try 'tamrixdata-db --help'.\n") && run.err.count('\n') == 1, qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(QDir(database.dir()).isEmpty());
}

void TestDemoTool::helpVersionAndOptionForms() {
    ToolRun help = RunTool({"check", "--help"});
    QCOMPARE(help.exitCode, 0);
    for (const char* word : {"Usage:", "export", "import", "backup", "check", "--max-paragraphs", "Exit status"})
        QVERIFY2(help.out.contains(word), word);
    QVERIFY(help.err.isEmpty());
    ToolRun version = RunTool({"--version"});
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.startsWith(QStringLiteral("tamrixdata-db " TAMRIX_VERSION "\n")));

    // --opt=value and --opt value are the same; after "--" a name that starts with '-' is a file.
    TestDatabase one;
    TestDatabase two;
    QCOMPARE(RunOnFreshPath(one, {"demo", "--seed=42", "20", "FILE"}).exitCode, 0);
    QCOMPARE(RunOnFreshPath(two, {"demo", "20", "FILE", "--seed", "42"}).exitCode, 0);
    QCOMPARE(Dump(one), Dump(two));
    QCOMPARE(RunTool({"init", "--", "-dash.db"}, InFolder(one.dir())).exitCode, 0);
    QVERIFY(QFile::exists(one.dir() + "/-dash.db"));
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

void TestDemoTool::interruptedRunLeavesNoFiles_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// A run stopped while it fills its temporary database leaves neither that file nor its journal.
void TestDemoTool::interruptedRunLeavesNoFiles() {
    QFETCH(int, signalNumber);
    TestDatabase database;
    QFile::remove(database.path());
    QProcess process;
    // A test run in the background may have inherited SIGINT ignored, which the tool keeps.
    process.setChildProcessModifier([] {
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signal, SIG_DFL);
    });
    process.start(QStringLiteral(TAMRIX_DEMO_TOOL), {"demo", "50000000", database.path()});
    QVERIFY(process.waitForStarted(-1));
    QDir directory(database.dir());
    QTRY_VERIFY_WITH_TIMEOUT(!directory.entryList({"NoteData.db.tmp-*-journal"}, QDir::Files).isEmpty(), 30000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(directory.entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestDemoTool::exportImportRoundTrip_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("json") << "json";
    QTest::newRow("csv") << "csv";
}

// Export, then import into a database that already holds a record, gives back every record and
// paragraph in order: exactly in JSON, with NULL read back as empty text in CSV.
void TestDemoTool::exportImportRoundTrip() {
    QFETCH(QString, format);
    const bool json = format == "json";
    TestDatabase source;
    // Keys beyond 32 bits, 2^32 apart, so that a narrowed key would merge the two records.
    source.exec("INSERT INTO Title VALUES (5000000000, '标题 \"引号\", 逗号', '😀 emoji', '', NULL, "
                "'two' || char(13, 10) || 'lines', 'a,b', '\"', ' padded ', 'tab' || char(9) || 'nul' || "
                "CAST(X'00' AS TEXT) || 'end')");
    source.exec("INSERT INTO Title (TitleIndex, TitleTxt, Title1) VALUES (9294967296, '第二', '北京')");
    source.exec("INSERT INTO Title (TitleTxt) VALUES (NULL)"); // no paragraphs, every field NULL
    source.exec("INSERT INTO Content (ContentTitle, ContentTxt) VALUES (9294967296, '先'), (5000000000, "
                "'第一段' || char(13, 10) || '\"quoted\", and comma'), (9294967297, NULL), (5000000000, ''), "
                "(5000000000, NULL), (9294967296, '后'), (5000000000, 'last ' || char(10) || ' 😀')");
    if (json) // bytes that are not UTF-8 survive JSON's escapes (CSV import refuses them)
        source.exec("INSERT INTO Title (TitleTxt, Title1) VALUES ('bytes', CAST(X'41FFC0AF42' AS TEXT))");

    const QString file = source.dir() + "/export." + format;
    ToolRun exported = RunTool({"export", source.path(), file});
    QCOMPARE(exported.exitCode, 0);
    QCOMPARE(exported.err.contains("not valid UTF-8"), json);
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().contains("9294967296"));

    TestDatabase target;
    target.exec("INSERT INTO Title (TitleTxt) VALUES ('kept')");
    target.exec("INSERT INTO Content (ContentTitle, ContentTxt) VALUES (1, 'kept paragraph')");
    ToolRun imported = RunTool({"import", target.path(), file});
    QCOMPARE(imported.exitCode, 0);
    QVERIFY2(imported.out.contains(json ? "added 4 records with 7 paragraphs" : "added 3 records with 7 paragraphs"),
             qPrintable(imported.out));
    QCOMPARE(RecordsAndParagraphs(target, 1, !json), RecordsAndParagraphs(source, 0, !json));
    QCOMPARE(target.text("SELECT group_concat(TitleTxt || ':' || ContentTxt) FROM Content JOIN Title ON "
                         "TitleIndex = ContentTitle WHERE ContentTitle = 1"),
             QStringLiteral("kept:kept paragraph"));
}

// An export never replaces a file without --force, and never writes over the database it reads,
// even with --force or through a link.
void TestDemoTool::exportNeverDestroysAFile() {
    TestDatabase database;
    database.fillDemo(5);
    const QString out = database.dir() + "/notes.md";
    WriteFile(out, "precious");
    ToolRun refused = RunTool({"export", "--format=markdown", database.path(), out});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("already exists"), qPrintable(refused.err));
    QFile kept(out);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("precious"));

    const QString link = database.dir() + "/link.db";
    QVERIFY(QFile::link(database.path(), link));
    for (const QString& target : {database.path(), link}) {
        ToolRun itself = RunTool({"export", "--force", database.path(), target});
        QCOMPARE(itself.exitCode, 1);
        QVERIFY2(itself.err.contains("the database itself"), qPrintable(itself.err));
    }
    QCOMPARE(RunTool({"check", database.path()}).exitCode, 0);
    QCOMPARE(RunTool({"export", "--force", "--format=markdown", database.path(), out}).exitCode, 0);
}

void TestDemoTool::malformedImportChangesNothing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");
    const QByteArray record = R"({"TitleTxt": "good", "Paragraphs": ["p"]})";
    QTest::newRow("json: wrong type in the second record")
        << "in.json"
        << "[\n" + record + ",\n {\"TitleTxt\": \"x\", \"Title2\": 5}\n]"
        << "in.json:3:30: record 2: \"Title2\" must be a string or null";
    QTest::newRow("json: unknown member") << "in.json"
                                          << "[" + record + ", {\"Titel1\": \"x\"}]"
                                          << "unknown member \"Titel1\"";
    QTest::newRow("json: cut short") << "in.json"
                                     << "[" + record + ", {\"TitleTxt\": \"x"
                                     << "not closed";
    QTest::newRow("json: not an array") << "in.json" << QByteArray(R"({"TitleTxt": "x"})") << "JSON array";
    const QByteArray header = "TitleIndex,TitleTxt,Title1,Title2,Title3,Title4,Title5,Title6,Title7,Title8,"
                              "Paragraph,ContentTxt\r\n";
    const QByteArray line = "7,good,,,,,,,,,1,p\r\n";
    QTest::newRow("csv: missing cell") << "in.csv" << header + line + "8,short,,,,,,,,1,p\r\n"
                                       << "in.csv:3:1: 11 cells";
    QTest::newRow("csv: open quote") << "in.csv" << header + line + "8,\"open,,,,,,,,,1,p\r\n"
                                     << "not closed";
    QTest::newRow("csv: not UTF-8") << "in.csv" << header + line + "8,\xB1\xEA\xCC\xE2,,,,,,,,,1,p\r\n"
                                    << "in.csv:3:3: the text is not valid UTF-8";
    QTest::newRow("csv: paragraphs out of order")
        << "in.csv" << header + line + "7,good,,,,,,,,,3,p\r\n7,good,,,,,,,,,2,p\r\n"
        << "follows paragraph 3";
    QTest::newRow("csv: record split") << "in.csv" << header + line + "8,x,,,,,,,,,,\r\n" + line
                                       << "record 7 appears again";
    QTest::newRow("csv: no header") << "in.csv" << line << "in.csv:1:1: the first line must name the columns";
}

void TestDemoTool::malformedImportChangesNothing() {
    QFETCH(QString, name);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);
    TestDatabase database;
    database.fillDemo(3);
    const QString before = RecordsAndParagraphs(database, 0, false);
    WriteFile(database.dir() + "/" + name, input);
    ToolRun run = RunTool({"import", "NoteData.db", name}, InFolder(database.dir()));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message) && run.err.contains("nothing was imported"), qPrintable(run.err));
    QCOMPARE(RecordsAndParagraphs(database, 0, false), before);
    QCOMPARE(database.scalar("SELECT count(*) FROM Title"), 3);
}

void TestDemoTool::backupWhileAnotherConnectionWrites_data() {
    QTest::addColumn<QString>("journalMode");
    QTest::newRow("rollback journal") << "DELETE";
    QTest::newRow("write-ahead log") << "WAL";
}

// The copy holds what was committed, not what another connection is still writing, and it never
// replaces an existing file without --force.
void TestDemoTool::backupWhileAnotherConnectionWrites() {
    QFETCH(QString, journalMode);
    TestDatabase database;
    database.fillDemo(200);
    database.exec("PRAGMA journal_mode=" + journalMode);
    sqlite3* writer = nullptr;
    QCOMPARE(sqlite3_open_v2(database.path().toUtf8().constData(), &writer, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    // In write-ahead mode the committed record stays in the log while the writer is open.
    QCOMPARE(sqlite3_exec(writer,
                          "INSERT INTO Title (TitleTxt) VALUES ('committed'); "
                          "BEGIN IMMEDIATE; INSERT INTO Title (TitleTxt) VALUES ('uncommitted'); "
                          "DELETE FROM Content WHERE ContentIndex <= 100",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);
    const QString copy = database.dir() + "/copy.db";
    ToolRun run = RunTool({"backup", database.path(), copy});
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    ToolRun check = RunTool({"check", copy});
    QCOMPARE(check.exitCode, 0);
    QVERIFY2(check.out.contains("201 records"), qPrintable(check.out));

    WriteFile(copy, "precious");
    ToolRun again = RunTool({"backup", database.path(), copy});
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.err.contains("already exists"), qPrintable(again.err));
    QFile kept(copy);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("precious"));
    kept.close();
    QCOMPARE(RunTool({"backup", "--force", database.path(), copy}).exitCode, 0);
    QCOMPARE(RunTool({"check", copy}).exitCode, 0);
    QCOMPARE(RunTool({"backup", "--force", database.path(), database.path()}).exitCode, 1);
}

void TestDemoTool::checkReportsDamage_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("sound") << "" << 0 << "10 records, ";
    QTest::newRow("orphaned paragraph") << "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (999, 'lost')" << 1
                                        << "paragraphs whose record no longer exists, which the next new records "
                                           "would take over: 1 (ContentIndex ";
    QTest::newRow("orphaned paragraph below the last key given is no problem")
        << "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (5, 'lost'); DELETE FROM Title WHERE TitleIndex = 5"
        << 0 << "note: paragraphs whose record no longer exists, kept apart";
    QTest::newRow("missing table") << "DROP TABLE Content" << 1 << "table Content is missing";
    QTest::newRow("record never listed") << "UPDATE Title SET TitleIndex = 0 WHERE TitleIndex = 3; "
                                            "UPDATE Content SET ContentTitle = 0 WHERE ContentTitle = 3"
                                         << 1 << "records never listed, their TitleIndex below 1 or not an integer: 1";
    QTest::newRow("key that is not an integer") << "UPDATE Content SET ContentTitle = 'x' WHERE ContentIndex = 1" << 1
                                                << "paragraphs never shown, their ContentTitle not an integer: 1 "
                                                   "(ContentIndex 1)";
    QTest::newRow("pending paragraph is no problem")
        << "INSERT INTO Content (ContentTitle, ContentTxt) VALUES (0, 'pending')" << 0 << "note: pending paragraphs";
}

void TestDemoTool::checkReportsDamage() {
    QFETCH(QString, damage);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    TestDatabase database;
    database.fillDemo(10);
    if (!damage.isEmpty())
        database.exec(damage);
    ToolRun run = RunTool({"check", database.path()});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(message), qPrintable(run.out));
    QVERIFY2(run.out.endsWith(exitCode == 0 ? "no problems found\n" : "1 problem found\n"), qPrintable(run.out));
}

QTEST_GUILESS_MAIN(TestDemoTool)
#include "tst_demotool.moc"
