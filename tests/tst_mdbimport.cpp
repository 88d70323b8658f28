// The import of the earlier Windows version's NoteData.mdb: every value arrives as it was stored, keys
// are kept in an empty database and moved in one that holds records, and a file that cannot be read
// whole changes nothing.

#include "TestDatabase.h"
#include "ToolRun.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>
#include <sys/types.h>

namespace {

QString Sample() {
    return QFINDTESTDATA("data/NoteData-sample.mdb");
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// One stored value: null, or its bytes.
struct Value {
    bool null = true;
    QByteArray bytes;
    bool operator==(const Value&) const = default;
};

// The row of table whose key column holds key, column by column; empty when there is none.
QList<Value> StoredRow(const QString& database, const QString& table, const QStringList& columns,
                       const QString& keyColumn, qint64 key) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(database.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const QByteArray sql =
        QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?").arg(columns.join(", "), table, keyColumn).toUtf8();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr);
    sqlite3_bind_int64(statement, 1, key);
    QList<Value> row;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        for (int i = 0; i < columns.size(); ++i) {
            Value value;
            value.null = sqlite3_column_type(statement, i) == SQLITE_NULL;
            if (sqlite3_column_type(statement, i) == SQLITE_INTEGER)
                value.bytes = QByteArray::number(sqlite3_column_int64(statement, i));
            else
                value.bytes = QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, i)),
                                         sqlite3_column_bytes(statement, i));
            row << value;
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return row;
}

// Compares every row of the sample's expected list with the database, byte for byte; returns the
// first difference, empty when there is none. Also gives the largest record key the file uses, of a
// record or of a paragraph's owner.
QString DifferenceFromExpected(const TestDatabase& database, qint64* largestKey = nullptr) {
    QFile expected(QFINDTESTDATA("data/NoteData-sample.expected.jsonl"));
    if (!expected.open(QIODevice::ReadOnly))
        return "cannot read the expected rows";
    const QStringList titleColumns = {"TitleIndex", "TitleTxt", "Title1", "Title2", "Title3",
                                      "Title4",     "Title5",   "Title6", "Title7", "Title8"};
    const QStringList contentColumns = {"ContentIndex", "ContentTitle", "ContentTxt"};
    qint64 records = 0;
    qint64 paragraphs = 0;
    qint64 largest = 0;
    while (!expected.atEnd()) {
        const QJsonObject row = QJsonDocument::fromJson(expected.readLine()).object();
        const bool isTitle = row.value("table").toString() == "Title";
        const QStringList& columns = isTitle ? titleColumns : contentColumns;
        QList<Value> wanted;
        for (const QString& column : columns) {
            const QJsonValue value = row.value(column);
            if (value.isDouble())
                wanted << Value{false, QByteArray::number(value.toInteger())};
            else if (value.isString())
                wanted << Value{false, value.toString().toUtf8()};
            else
                wanted << Value{};
        }
        const qint64 key = row.value(columns.first()).toInteger();
        if (StoredRow(database.path(), isTitle ? "Title" : "Content", columns, columns.first(), key) != wanted)
            return QStringLiteral("%1 %2 differs").arg(columns.first()).arg(key);
        (isTitle ? records : paragraphs)++;
        largest = std::max(largest, row.value(isTitle ? "TitleIndex" : "ContentTitle").toInteger());
    }
    if (database.scalar("SELECT count(*) FROM Title") != records ||
        database.scalar("SELECT count(*) FROM Content") != paragraphs)
        return "more rows than the file holds";
    if (largestKey)
        *largestKey = largest;
    return QString();
}

} // namespace

class TestMdbImport : public QObject {
    Q_OBJECT

private slots:
    void importIntoAnEmptyDatabaseKeepsEveryValueAndKey();
    void importIntoADatabaseWithRecordsMovesTheKeys();
    void textLongerThanItsColumnIsKeptWholeAndReported();
    void aFileThatCannotBeReadWholeChangesNothing_data();
    void aFileThatCannotBeReadWholeChangesNothing();
    void aSignalRollsTheImportBack_data();
    void aSignalRollsTheImportBack();
};

// Every row the expected list holds, byte for byte: CJK, emoji (surrogate pairs in the file), CR LF,
// NULL apart from the empty text, 100 KB memos, and the keys with their gaps.
void TestMdbImport::importIntoAnEmptyDatabaseKeepsEveryValueAndKey() {
    TestDatabase database;
    ToolRun run = RunTool({"import", database.path(), Sample()});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("keys kept"), qPrintable(run.out));
    QVERIFY2(run.out.contains("2 pending paragraphs"), qPrintable(run.out));
    QVERIFY2(run.out.contains("1 paragraph whose record is gone"), qPrintable(run.out));

    qint64 largestKey = 0;
    QCOMPARE(DifferenceFromExpected(database, &largestKey), QString());
    ToolRun check = RunTool({"check", database.path()});
    QVERIFY2(check.exitCode == 0, qPrintable(check.out));

    // The next record follows every key in the file, including the record key of the paragraph
    // whose record is gone, which it must not take over.
    database.exec("INSERT INTO Title (TitleTxt) VALUES ('next')");
    QVERIFY(database.scalar("SELECT max(TitleIndex) FROM Title") > largestKey);
    QCOMPARE(database.scalar("SELECT count(*) FROM Content WHERE ContentTitle = "
                             "(SELECT max(TitleIndex) FROM Title)"),
             0);
}

// A second import into the same database: new keys past its own, each paragraph with its record and
// in its order; --keep-keys refuses there, as every key is taken, and where a gone record's key is.
void TestMdbImport::importIntoADatabaseWithRecordsMovesTheKeys() {
    TestDatabase database;
    QCOMPARE(RunTool({"import", database.path(), Sample()}).exitCode, 0);
    const qint64 titleOffset = database.scalar("SELECT seq FROM sqlite_sequence WHERE name = 'Title'");
    const qint64 contentOffset = database.scalar("SELECT max(ContentIndex) FROM Content");

    ToolRun run = RunTool({"import", database.path(), Sample()});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("TitleIndex +%1, ContentIndex +%2").arg(titleOffset).arg(contentOffset)),
             qPrintable(run.out));
    QCOMPARE(database.scalar("SELECT count(*) FROM Title"), 102);
    QCOMPARE(database.scalar("SELECT count(*) FROM Content"), 868);
    QCOMPARE(
        database.scalar(
            QStringLiteral(
                "SELECT count(*) FROM Title a JOIN Title b ON b.TitleIndex = a.TitleIndex + %1 WHERE a.TitleTxt IS "
                "b.TitleTxt AND a.Title1 IS b.Title1 AND a.Title2 IS b.Title2 AND a.Title3 IS b.Title3 AND a.Title4 "
                "IS b.Title4 AND a.Title5 IS b.Title5 AND a.Title6 IS b.Title6 AND a.Title7 IS b.Title7 AND "
                "a.Title8 IS b.Title8")
                .arg(titleOffset)),
        51);
    // Pending paragraphs stay pending; every other one follows its record's new key.
    QCOMPARE(database.scalar(QStringLiteral("SELECT count(*) FROM Content a JOIN Content b ON b.ContentIndex = "
                                            "a.ContentIndex + %1 WHERE a.ContentTxt IS b.ContentTxt AND "
                                            "b.ContentTitle = CASE a.ContentTitle WHEN 0 THEN 0 ELSE "
                                            "a.ContentTitle + %2 END")
                                 .arg(contentOffset)
                                 .arg(titleOffset)),
             434);

    const QByteArray before = ReadFile(database.path());
    run = RunTool({"import", "--keep-keys", database.path(), Sample()});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("is already taken"), qPrintable(run.err));
    QCOMPARE(ReadFile(database.path()), before);

    // With the keys kept, a paragraph whose record is gone (ContentTitle 999999 in the sample) must
    // not join the database's own record of that key.
    TestDatabase taken;
    taken.exec("INSERT INTO Title (TitleIndex, TitleTxt) VALUES (999999, 'mine')");
    const QByteArray takenBefore = ReadFile(taken.path());
    run = RunTool({"import", "--keep-keys", taken.path(), Sample()});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("its record key 999999 is taken"), qPrintable(run.err));
    QCOMPARE(ReadFile(taken.path()), takenBefore);
}

// A database whose columns are narrower than the file's text: nothing is cut, and the summary says
// which texts are longer.
void TestMdbImport::textLongerThanItsColumnIsKeptWholeAndReported() {
    TestDatabase database;
    database.exec("DROP TABLE Title");
    database.exec("CREATE TABLE Title (TitleIndex INTEGER PRIMARY KEY AUTOINCREMENT, TitleTxt VARCHAR(255), "
                  "Title1 VARCHAR(2), Title2 VARCHAR(2), Title3 VARCHAR(2), Title4 VARCHAR(2), Title5 VARCHAR(2), "
                  "Title6 VARCHAR(2), Title7 VARCHAR(2), Title8 VARCHAR(2))");
    ToolRun run = RunTool({"import", database.path(), Sample()});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("longer than its column, kept whole: Title.Title"), qPrintable(run.out));
    QCOMPARE(DifferenceFromExpected(database), QString());
}

void TestMdbImport::aFileThatCannotBeReadWholeChangesNothing_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    const QByteArray sample = ReadFile(Sample());
    auto patched = [&](qsizetype offset, const QString& text) {
        QByteArray bytes = sample;
        const QByteArray utf16(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        bytes.replace(offset, utf16.size(), utf16);
        return bytes;
    };
    const qsizetype tableName = sample.indexOf(QByteArray("C\0o\0n\0t\0e\0n\0t\0", 14));
    const qsizetype columnName = sample.indexOf(QByteArray("C\0o\0n\0t\0e\0n\0t\0T\0x\0t\0", 20));
    QVERIFY(tableName > 0 && columnName > 0);
    QByteArray password = sample;
    password[0x42] = static_cast<char>(password[0x42] ^ 0x5A);

    QTest::newRow("cut inside a page") << sample.left(sample.size() / 2 + 100) << QStringList()
                                       << "the file ends inside page";
    QTest::newRow("cut after a page") << sample.left(4096 * 60) << QStringList() << "past the end of the file";
    QTest::newRow("table renamed") << patched(tableName, "Contenx") << QStringList() << "has no table Content";
    QTest::newRow("column renamed") << patched(columnName, "ContentTxx") << QStringList()
                                    << "table Content has no column ContentTxt";
    QTest::newRow("password") << password << QStringList() << "is password-protected";
    QTest::newRow("not an Access file") << QByteArray("TitleIndex,TitleTxt\n1,a\n") << QStringList()
                                        << "is not an Access database";
    QTest::newRow("--keep-keys on a taken key")
        << sample << QStringList{"--keep-keys"} << "TitleIndex 5 is already taken";
}

// Damage, a missing table or column, a password, or a key that is taken: one line naming it, exit
// status 1, and the database exactly as it was (it already holds record 5, so a write would show).
void TestMdbImport::aFileThatCannotBeReadWholeChangesNothing() {
    QFETCH(QByteArray, file);
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    TestDatabase database;
    database.exec("INSERT INTO Title (TitleIndex, TitleTxt) VALUES (5, 'mine')");
    const QString input = database.dir() + "/NoteData.mdb";
    WriteFile(input, file);
    const QByteArray before = ReadFile(database.path());

    ToolRun run = RunTool(QStringList{"import"} + options + QStringList{database.path(), input});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.err.count('\n'), 1);
    QCOMPARE(run.out, QString());
    QCOMPARE(ReadFile(database.path()), before);
    QVERIFY(!QFile::exists(database.path() + "-journal"));
}

void TestMdbImport::aSignalRollsTheImportBack_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// Ctrl+C, SIGTERM or SIGHUP in the middle of the inserts: the transaction is rolled back, no journal
// is left, and the status is the shell's 128 + signal. A trigger that counts 8 million rows per
// record keeps the import busy long enough to be caught in the middle.
void TestMdbImport::aSignalRollsTheImportBack() {
    QFETCH(int, signal);
    TestDatabase database;
    database.exec("CREATE TABLE Pad (n)");
    database.exec("WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 200) "
                  "INSERT INTO Pad SELECT n FROM c");
    database.exec("CREATE TRIGGER Slow AFTER INSERT ON Title BEGIN SELECT count(*) FROM Pad a, Pad b, Pad c; END");
    const QByteArray before = ReadFile(database.path());

    QProcess process;
    process.start(QStringLiteral(TAMRIX_DEMO_TOOL), {"import", database.path(), Sample()});
    QVERIFY(process.waitForStarted(-1));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(database.path() + "-journal"), 10000);
    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 128 + signal);
    QCOMPARE(ReadFile(database.path()), before);
    QVERIFY(!QFile::exists(database.path() + "-journal"));
}

QTEST_GUILESS_MAIN(TestMdbImport)
#include "tst_mdbimport.moc"
