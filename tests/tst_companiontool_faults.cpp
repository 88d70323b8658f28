// The database tool against what other programs leave behind: other tools' schemas and triggers,
// a ContentTitle stored as text, damaged, locked, write-protected and full files, text CSV cannot
// carry, signals in the middle of an import, and inputs larger than memory should hold.

#include "TestDatabase.h"
#include "ToolRun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>

namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// Every row of both tables, keys included, as one text.
QString Everything(const TestDatabase& database) {
    return database.text("SELECT group_concat(TitleIndex || '|' || coalesce(TitleTxt, 'NULL'), ';') FROM Title") + "/" +
           database.text("SELECT group_concat(ContentTitle || '|' || coalesce(ContentTxt, 'NULL'), ';') FROM "
                         "(SELECT * FROM Content ORDER BY ContentIndex)");
}

// A message for a user: one line, no statement, no schema.
void VerifyPlainMessage(const ToolRun& run) {
    const QString all = run.out + run.err;
    static const QRegularExpression statement("SELECT |INSERT |CREATE |PRAGMA |UPDATE |DELETE ");
    QVERIFY2(!all.contains(statement), qPrintable(all));
    QVERIFY2(run.err.count('\n') <= 1, qPrintable(run.err));
}

// chattr +i makes a file or folder refuse writes even to root, who ignores permission bits.
bool Seal(const QString& path, bool sealed) {
    return QProcess::execute("chattr", {sealed ? "+i" : "-i", path}) == 0;
}

// A JSON export of count small records, each with one paragraph.
QByteArray JsonRecords(int count) {
    QByteArray json = "[";
    for (int i = 0; i < count; ++i)
        json += (i ? ",\n" : "\n") + QByteArray(R"({"TitleTxt": "record )") + QByteArray::number(i) +
                R"(", "Title1": "北京", "Paragraphs": ["段落 )" + QByteArray::number(i) + "\"]}";
    return json + "\n]\n";
}

constexpr const char* CsvHeader =
    "TitleIndex,TitleTxt,Title1,Title2,Title3,Title4,Title5,Title6,Title7,Title8,Paragraph,ContentTxt\r\n";

QByteArray CsvLines(int records) {
    QByteArray csv = CsvHeader;
    for (int i = 1; i <= records; ++i) {
        const QByteArray key = QByteArray::number(i);
        csv += key + ",\"record, " + key + "\",北京,,,,,,,,1,first paragraph of record " + key + "\r\n";
        csv += key + ",\"record, " + key + "\",北京,,,,,,,,2,\"second, \"\"quoted\"\"\r\nparagraph\"\r\n";
    }
    return csv;
}

// The largest resident size the process reached, from /proc (0 once it is gone).
qint64 PeakResidentKilobytes(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

} // namespace

class TestCompanionToolFaults : public QObject {
    Q_OBJECT

private slots:
    void importChecksWhatTheDatabaseStored_data();
    void importChecksWhatTheDatabaseStored();
    void interruptedImportLeavesASoundFile_data();
    void interruptedImportLeavesASoundFile();
    void textContentTitleComparedAsTheProgramDoes_data();
    void textContentTitleComparedAsTheProgramDoes();
    void backupOfDamagedDatabaseWarns();
    void lockedDatabaseIsNotCalledDamaged();
    void failuresNameTheirCause_data();
    void failuresNameTheirCause();
    void csvRefusesTextItCannotCarry_data();
    void csvRefusesTextItCannotCarry();
    void importMemoryDoesNotGrowWithInput_data();
    void importMemoryDoesNotGrowWithInput();
};

void TestCompanionToolFaults::importChecksWhatTheDatabaseStored_data() {
    QTest::addColumn<QString>("schema");
    QTest::addColumn<QString>("message");
    const QString fields = "TitleTxt VARCHAR(255), Title1 VARCHAR(255), Title2 VARCHAR(255), Title3 VARCHAR(255), "
                           "Title4 VARCHAR(255), Title5 VARCHAR(255), Title6 VARCHAR(255), Title7 VARCHAR(255), "
                           "Title8 VARCHAR(255)";
    // A key column that is not the rowid stays NULL; the rowid then is an existing record's key.
    QTest::newRow("INT PRIMARY KEY") << "DROP TABLE Title; CREATE TABLE Title (TitleIndex INT PRIMARY KEY, " + fields +
                                            "); INSERT INTO Title (TitleIndex, TitleTxt) VALUES (1, 'existing')"
                                     << "gave a new record no key";
    QTest::newRow("trigger drops the record")
        << "CREATE TRIGGER NoTitles BEFORE INSERT ON Title BEGIN SELECT RAISE(IGNORE); END"
        << "did not store a record";
    QTest::newRow("trigger drops a paragraph")
        << "CREATE TRIGGER NoParagraphs BEFORE INSERT ON Content BEGIN SELECT RAISE(IGNORE); END"
        << "did not store a paragraph";
    QTest::newRow("trigger removes the record")
        << "CREATE TRIGGER Undo AFTER INSERT ON Title BEGIN DELETE FROM Title WHERE TitleIndex = NEW.TitleIndex; END"
        << "gone right after its insert";
    QTest::newRow("Title is a view")
        << "ALTER TABLE Title RENAME TO Titles; CREATE VIEW Title AS SELECT * FROM Titles; CREATE TRIGGER "
           "Through INSTEAD OF INSERT ON Title BEGIN INSERT INTO Titles (TitleTxt) VALUES (NEW.TitleTxt); END"
        << "Title is a view";
    QTest::newRow("largest key in use") << "INSERT INTO Title (TitleIndex, TitleTxt) VALUES (9223372036854775807, 'x')"
                                        << "no new key is left";
}

// An insert that stored no row, or a row without its key, fails the import with the reason and
// changes nothing, instead of counting a record that is not there or giving paragraphs to another.
void TestCompanionToolFaults::importChecksWhatTheDatabaseStored() {
    QFETCH(QString, schema);
    QFETCH(QString, message);
    TestDatabase database;
    database.exec(schema);
    const QString before = Everything(database);
    WriteFile(database.dir() + "/in.json", JsonRecords(3));
    ToolRun run = RunTool({"import", database.path(), database.dir() + "/in.json"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message) && run.err.contains("nothing was imported"), qPrintable(run.err));
    VerifyPlainMessage(run);
    QCOMPARE(Everything(database), before);
}

void TestCompanionToolFaults::interruptedImportLeavesASoundFile_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("fromPipe");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const QByteArray name = sigabbrev_np(signal);
        QTest::newRow(name + ", in a statement") << signal << false;
        QTest::newRow(name + ", waiting for input") << signal << true;
    }
}

// A signal during the import's transaction rolls it back: the tool exits 128 + signal, no journal
// is left, and the database file is sound on its own with only what it held before.
void TestCompanionToolFaults::interruptedImportLeavesASoundFile() {
    QFETCH(int, signalNumber);
    QFETCH(bool, fromPipe);
    TestDatabase database;
    database.fillDemo(20);
    const QString before = Everything(database);
    const QString input = database.dir() + "/in.json";
    if (!fromPipe)
        WriteFile(input, JsonRecords(600000));

    QProcess process;
    // A test run in the background may have inherited SIGINT ignored, which the tool keeps.
    process.setChildProcessModifier([] {
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signal, SIG_DFL);
    });
    process.start(QStringLiteral(TAMRIX_DEMO_TOOL), {"import", database.path(), fromPipe ? "-" : input});
    QVERIFY(process.waitForStarted(-1));
    if (fromPipe) {
        // The records so far are inserted; the tool then waits for the rest.
        const QByteArray start = JsonRecords(1000);
        process.write(start.left(start.size() - 3) + ",");
    }
    const QString journal = database.path() + "-journal";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(journal), 30000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 128 + signalNumber);
    QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains("nothing was imported"));
    QVERIFY(!QFile::exists(journal));

    // The file alone, as a user would copy it: SQLite's integrity check finds it sound.
    QTemporaryDir elsewhere;
    QVERIFY(QFile::copy(database.path(), elsewhere.filePath("NoteData.db")));
    ToolRun check = RunTool({"check", elsewhere.filePath("NoteData.db")});
    QVERIFY2(check.exitCode == 0 && check.out.contains("20 records"), qPrintable(check.out));
    QCOMPARE(Everything(database), before);
}

void TestCompanionToolFaults::textContentTitleComparedAsTheProgramDoes_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("json") << "json";
    QTest::newRow("csv") << "csv";
}

// In another tool's "ContentTitle TEXT" column the program finds '2' as record 2's paragraph (by
// SQLite's affinity) and '02' as nobody's; export, check and the round trip agree with it.
void TestCompanionToolFaults::textContentTitleComparedAsTheProgramDoes() {
    QFETCH(QString, format);
    TestDatabase source;
    source.exec("DROP TABLE Content; CREATE TABLE Content (ContentIndex INTEGER PRIMARY KEY AUTOINCREMENT, "
                "ContentTitle TEXT, ContentTxt TEXT); CREATE INDEX ContentByTitle ON Content (ContentTitle)");
    source.exec("INSERT INTO Title (TitleTxt) VALUES ('one'), ('two')");
    source.exec("INSERT INTO Content (ContentTitle, ContentTxt) VALUES ('2', 'second a'), ('1', 'first'), "
                "(2, 'second b'), ('02', 'nobody''s'), ('0', 'pending')");
    QCOMPARE(source.scalar("SELECT count(*) FROM Content WHERE typeof(ContentTitle) = 'text'"), 5);

    ToolRun check = RunTool({"check", source.path()});
    QVERIFY2(check.out.contains("never shown, their ContentTitle not an integer: 1 (ContentIndex 4)"),
             qPrintable(check.out));
    QVERIFY2(check.out.contains("note: pending paragraphs") && check.out.contains("1 problem found"),
             qPrintable(check.out));

    const QString file = source.dir() + "/export." + format;
    ToolRun exported = RunTool({"export", source.path(), file});
    QCOMPARE(exported.exitCode, 0);
    QVERIFY2(exported.err.contains("not exported: 1 (see") && exported.err.contains("ContentTitle 0), not exported: 1"),
             qPrintable(exported.err));

    TestDatabase target;
    ToolRun imported = RunTool({"import", target.path(), file});
    QCOMPARE(imported.exitCode, 0);
    QVERIFY2(imported.out.contains("added 2 records with 3 paragraphs"), qPrintable(imported.out));
    QCOMPARE(target.text("SELECT group_concat(TitleTxt || ':' || ContentTxt, ';') FROM (SELECT TitleTxt, ContentTxt "
                         "FROM Content JOIN Title ON TitleIndex = ContentTitle ORDER BY ContentIndex)"),
             QStringLiteral("one:first;two:second a;two:second b"));
}

// The backup copies pages as they are: a damaged database gives a damaged copy, which is kept and
// reported with exit code 1.
void TestCompanionToolFaults::backupOfDamagedDatabaseWarns() {
    TestDatabase database;
    database.fillDemo(300);
    {
        QFile file(database.path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(3 * 4096 + 100));
        file.write(QByteArray(300, '\xff'));
    }
    const QString copy = database.dir() + "/copy.db";
    ToolRun run = RunTool({"backup", database.path(), copy});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("is damaged, and so is its copy") && run.err.contains("kept"), qPrintable(run.err));
    VerifyPlainMessage(run);
    QVERIFY(QFile::exists(copy));
    QCOMPARE(RunTool({"check", copy}).exitCode, 1);
}

// A database another program holds locked (here through the 5 s the tool waits) is reported as
// locked, not as damage.
void TestCompanionToolFaults::lockedDatabaseIsNotCalledDamaged() {
    TestDatabase database;
    database.fillDemo(5);
    sqlite3* holder = nullptr;
    QCOMPARE(sqlite3_open_v2(database.path().toUtf8().constData(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    QCOMPARE(sqlite3_exec(holder, "BEGIN EXCLUSIVE; DELETE FROM Content", nullptr, nullptr, nullptr), SQLITE_OK);
    ToolRun run = RunTool({"check", database.path()});
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("is locked by another program"), qPrintable(run.out + run.err));
    QVERIFY2(!(run.out + run.err).contains("integrity") && !(run.out + run.err).contains("damaged"),
             qPrintable(run.out + run.err));
    VerifyPlainMessage(run);
}

void TestCompanionToolFaults::failuresNameTheirCause_data() {
    QTest::addColumn<QString>("setup"); // what happens to the database before the run
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("shellPrefix");
    QTest::addColumn<QString>("cause");
    const QStringList import{"import", "DB", "IN"};
    QTest::newRow("full disk (size limit), import") << "" << import << "ulimit -f 64"
                                                    << "has reached the largest file size allowed";
    const QStringList importMdb{"import", "DB", "ACCESS"};
    QTest::newRow("full disk (size limit), .mdb import") << "" << importMdb << "ulimit -f 64"
                                                         << "has reached the largest file size allowed";
    QTest::newRow("write-protected file, .mdb import") << "seal file" << importMdb << ""
                                                       << "the database DB is write-protected";
    QTest::newRow("text file, .mdb import") << "text" << importMdb << ""
                                            << "DB is not a database";
    QTest::newRow("full disk (size limit), init") << "remove" << QStringList{"init", "DB"} << "ulimit -f 4"
                                                  << "has reached the largest file size allowed";
    QTest::newRow("write-protected file") << "seal file" << import << ""
                                          << "the database DB is write-protected";
    QTest::newRow("folder not writable") << "seal folder" << import << ""
                                         << "the folder DIR is not writable, and the journal";
    QTest::newRow("text file, export") << "text" << QStringList{"export", "DB"} << ""
                                       << "DB is not a database";
    QTest::newRow("text file, import") << "text" << import << ""
                                       << "DB is not a database";
    QTest::newRow("missing") << "remove" << import << ""
                             << "DB does not exist";
    QTest::newRow("damaged, export") << "damage" << QStringList{"export", "DB"} << ""
                                     << "DB is damaged";
}

// Each failure of the engine or the file system is told by its cause, naming the file or folder,
// and never with a statement or the schema.
void TestCompanionToolFaults::failuresNameTheirCause() {
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QString, shellPrefix);
    QFETCH(QString, cause);
    TestDatabase database;
    database.fillDemo(setup == "damage" ? 300 : 5);
    const QString input =
        QDir::tempPath() + "/tamrix-faults-" + QString::number(QCoreApplication::applicationPid()) + ".json";
    WriteFile(input, JsonRecords(2000));
    if (setup == "remove")
        QFile::remove(database.path());
    if (setup == "text")
        WriteFile(database.path(), "these are my notes, not a database\n");
    if (setup == "damage") {
        // The first page of the records' table, which every command reads.
        const qint64 page = database.scalar("SELECT rootpage FROM sqlite_master WHERE name = 'Title'");
        const qint64 pageSize = database.scalar("PRAGMA page_size");
        QFile file(database.path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek((page - 1) * pageSize));
        file.write(QByteArray(16, '\x5a'));
    }
    const QString sealed = setup == "seal file" ? database.path() : setup == "seal folder" ? database.dir() : "";
    if (!sealed.isEmpty() && !Seal(sealed, true))
        QSKIP("chattr +i is not available here");
    arguments.replaceInStrings("ACCESS", QFINDTESTDATA("data/NoteData-sample.mdb"));
    arguments.replaceInStrings("DB", database.path());
    arguments.replaceInStrings("IN", input);
    ToolRun run = RunTool(arguments, UnderShell(shellPrefix));
    if (!sealed.isEmpty())
        Seal(sealed, false);
    QFile::remove(input);
    QCOMPARE(run.exitCode, 1);
    cause.replace("DIR", database.dir()).replace("DB", database.path());
    QVERIFY2(run.err.contains(cause), qPrintable(run.err));
    VerifyPlainMessage(run);
}

void TestCompanionToolFaults::csvRefusesTextItCannotCarry_data() {
    QTest::addColumn<bool>("toFile");
    QTest::newRow("to a file") << true;
    QTest::newRow("to standard output") << false;
}

// CSV has no escape for bytes that are not UTF-8 and import refuses them: the export refuses
// instead of writing a file that does not come back, and names JSON, whose round trip keeps them.
void TestCompanionToolFaults::csvRefusesTextItCannotCarry() {
    QFETCH(bool, toFile);
    TestDatabase source;
    source.fillDemo(3);
    source.exec("INSERT INTO Title (TitleTxt, Title1) VALUES ('GBK', CAST(X'B1EACCE2' AS TEXT))");
    const QString csv = source.dir() + "/out.csv";
    ToolRun refused = RunTool(toFile ? QStringList{"export", source.path(), csv}
                                     : QStringList{"export", "--format=csv", source.path()});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("not UTF-8 (Title1)") && refused.err.contains("--format=json"),
             qPrintable(refused.err));
    QVERIFY(!QFile::exists(csv));
    QCOMPARE(QDir(source.dir()).entryList(QDir::Files), QStringList{"NoteData.db"});

    const QString json = source.dir() + "/out.json";
    QCOMPARE(RunTool({"export", source.path(), json}).exitCode, 0);
    TestDatabase target;
    QCOMPARE(RunTool({"import", target.path(), json}).exitCode, 0);
    QCOMPARE(target.text("SELECT hex(Title1) FROM Title WHERE TitleTxt = 'GBK'"), QStringLiteral("B1EACCE2"));
}

void TestCompanionToolFaults::importMemoryDoesNotGrowWithInput_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("fromPipe");
    QTest::newRow("csv file") << "csv" << false;
    QTest::newRow("csv through a pipe") << "csv" << true;
    QTest::newRow("json file") << "json" << false;
}

// Import reads its input as a stream: eight times the records (a few hundred thousand lines) take
// no more memory than a small input, from a file or a pipe. The peak is the kernel's high-water
// mark of the tool's resident memory, read while it runs.
void TestCompanionToolFaults::importMemoryDoesNotGrowWithInput() {
    QFETCH(QString, format);
    QFETCH(bool, fromPipe);
#ifdef __SANITIZE_ADDRESS__
    QSKIP("the address sanitizer keeps freed memory in quarantine, so resident memory grows with any run");
#endif
    qint64 peaks[2] = {0, 0};
    const int records[2] = {25000, 200000};
    for (int run = 0; run < 2; ++run) {
        TestDatabase database;
        const QString input = database.dir() + "/in." + format;
        WriteFile(input, format == "csv" ? CsvLines(records[run]) : JsonRecords(records[run]));
        QProcess feeder;
        QProcess tool;
        if (fromPipe) {
            feeder.setStandardOutputProcess(&tool);
            feeder.start("cat", {input});
        }
        tool.start(QStringLiteral(TAMRIX_DEMO_TOOL), {"import", database.path(), fromPipe ? "-" : input});
        QVERIFY(tool.waitForStarted(-1));
        const qint64 pid = tool.processId();
        while (!tool.waitForFinished(5))
            peaks[run] = std::max(peaks[run], PeakResidentKilobytes(pid));
        feeder.waitForFinished(-1);
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(database.scalar("SELECT count(*) FROM Title"), records[run]);
        QVERIFY(peaks[run] > 0);
    }
    QVERIFY2(peaks[1] < peaks[0] + 8 * 1024, qPrintable(QStringLiteral("peak %1 kB for %2 records, %3 kB for %4")
                                                            .arg(peaks[0])
                                                            .arg(records[0])
                                                            .arg(peaks[1])
                                                            .arg(records[1])));
}

QTEST_GUILESS_MAIN(TestCompanionToolFaults)
#include "tst_companiontool_faults.moc"
