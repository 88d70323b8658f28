// The settings file reader and OpenQuery, on real files and real databases; OpenQuery's failure box is
// the real one, answered from the event loop.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "MessageBoxTestHelpers.h"
#include "PublicFunction.h"
#include "TestDatabase.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString FailMessage = QStringLiteral("数据库打开失败");

void WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

} // namespace

class TestPublicFunction : public QObject {
    Q_OBJECT

private slots:
    void readIniString_data();
    void readIniString();
    void readIniStringWithoutUsableFile();
    void readIniStringRereadsTheFile();
    void openQueryOpensAndFills();
    void openQueryFailures_data();
    void openQueryFailures();
    void openQueryWhoseAfterScrollFails_data();
    void openQueryWhoseAfterScrollFails();
};

void TestPublicFunction::readIniString_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    const QString fallback = QStringLiteral("No");
    QTest::newRow("plain") << QByteArray("[TamrixData]\nRecordClear=Yes\n") << "Yes";
    QTest::newRow("lower case yes is returned as written") << QByteArray("[TamrixData]\nRecordClear=yes\n") << "yes";
    QTest::newRow("names ignore letter case") << QByteArray("[tamrixdata]\nRECORDCLEAR=Yes\n") << "Yes";
    QTest::newRow("blanks around names and value")
        << QByteArray("  [ TamrixData ]  \r\n \t RecordClear \t=  Yes  \r\n") << "Yes";
    QTest::newRow("double quotes") << QByteArray("[TamrixData]\nRecordClear=\" Yes \"\n") << " Yes ";
    QTest::newRow("single quotes") << QByteArray("[TamrixData]\nRecordClear='Yes'\n") << "Yes";
    QTest::newRow("unmatched quotes stay") << QByteArray("[TamrixData]\nRecordClear=\"Yes'\n") << "\"Yes'";
    QTest::newRow("value holding =") << QByteArray("[TamrixData]\nRecordClear=a=b\n") << "a=b";
    QTest::newRow("empty value is not the default") << QByteArray("[TamrixData]\nRecordClear=\n") << "";
    QTest::newRow("comment line") << QByteArray("[TamrixData]\n;RecordClear=Yes\n") << fallback;
    QTest::newRow("first key wins") << QByteArray("[TamrixData]\nRecordClear=Yes\nRecordClear=No2\n") << "Yes";
    QTest::newRow("first section wins") << QByteArray("[TamrixData]\nOther=1\n[TamrixData]\nRecordClear=Yes\n")
                                        << fallback;
    QTest::newRow("key in another section") << QByteArray("[Other]\nRecordClear=Yes\n[TamrixData]\n") << fallback;
    QTest::newRow("key before any section") << QByteArray("RecordClear=Yes\n[TamrixData]\n") << fallback;
    QTest::newRow("section name is not a prefix") << QByteArray("[TamrixDataX]\nRecordClear=Yes\n") << fallback;
    QTest::newRow("no key") << QByteArray("[TamrixData]\n") << fallback;
    QTest::newRow("empty file") << QByteArray() << fallback;
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF[TamrixData]\nRecordClear=Yes\n") << "Yes";
    QTest::newRow("utf-8 value") << QByteArray("[TamrixData]\nRecordClear=是的\n") << QStringLiteral("是的");
    QTest::newRow("bytes that are no utf-8 come back as they are")
        << QByteArray("[TamrixData]\nRecordClear=\xCA\xC7\n") << QString::fromLatin1("\xCA\xC7");
    QTest::newRow("long value cut to 1022 bytes")
        << QByteArray("[TamrixData]\nRecordClear=" + QByteArray(2000, 'x') + "\n") << QString(1022, QLatin1Char('x'));
    // 1022 is no multiple of 3: the character that would be split is left out whole.
    QTest::newRow("cut never splits a character")
        << QByteArray("[TamrixData]\nRecordClear=" + QByteArray("中").repeated(400) + "\n")
        << QStringLiteral("中").repeated(340);
}

void TestPublicFunction::readIniString() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("TamrixData.ini"));
    WriteFile(path, content);
    QCOMPARE(ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"), path),
             expected);
}

void TestPublicFunction::readIniStringWithoutUsableFile() {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("TamrixData.ini"));
    QCOMPARE(ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"), missing),
             QStringLiteral("No"));
    // A directory where the file should be cannot be read either.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("TamrixData.ini")));
    QCOMPARE(ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"), missing),
             QStringLiteral("No"));
    QCOMPARE(ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"), {}),
             QStringLiteral("No"));
}

void TestPublicFunction::readIniStringRereadsTheFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("TamrixData.ini"));
    const auto read = [&] {
        return ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"), path);
    };
    QCOMPARE(read(), QStringLiteral("No"));
    WriteFile(path, "[TamrixData]\nRecordClear=Yes\n");
    QCOMPARE(read(), QStringLiteral("Yes"));
    WriteFile(path, "[TamrixData]\nRecordClear=Later\n");
    QCOMPARE(read(), QStringLiteral("Later"));
    QVERIFY(QFile::remove(path));
    QCOMPARE(read(), QStringLiteral("No"));
}

void TestPublicFunction::openQueryOpensAndFills() {
    TestDatabase db;
    db.exec(QStringLiteral("INSERT INTO Title (TitleTxt) VALUES ('one'), ('two'), ('three')"));
    TADOConnection connection(db.path().toStdString());
    TADOQuery query("ADOQuery1", &connection);
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };
    MessageBoxWatcher answerer;
    QVERIFY(OpenQuery(query, QStringLiteral("Select * From Title Where TitleIndex > 1"), FailMessage));
    QVERIFY(query.Active());
    QCOMPARE(query.RecordCount(), 2);
    QCOMPARE(query.SQL().size(), std::size_t(1));
    QVERIFY(scrolls >= 1);
    // Reopening replaces the statement rather than adding a line to it.
    QVERIFY(OpenQuery(query, QStringLiteral("Select * From Title"), FailMessage));
    QCOMPARE(query.RecordCount(), 3);
    QCOMPARE(query.SQL().size(), std::size_t(1));
    QCoreApplication::processEvents();
    QVERIFY(answerer.Texts().isEmpty());
}

void TestPublicFunction::openQueryFailures_data() {
    QTest::addColumn<bool>("missingDatabase");
    QTest::addColumn<QString>("sql");
    QTest::newRow("missing database") << true << "Select * From Title";
    QTest::newRow("unknown table") << false << "Select * From NoSuchTable";
    QTest::newRow("syntax error") << false << "Select * Fron Title";
    QTest::newRow("no result set") << false << "Delete From Title Where TitleIndex = 0";
}

void TestPublicFunction::openQueryFailures() {
    QFETCH(bool, missingDatabase);
    QFETCH(QString, sql);
    TestDatabase db;
    db.exec(QStringLiteral("INSERT INTO Title (TitleTxt) VALUES ('one')"));
    const QString path = missingDatabase ? db.dir() + QStringLiteral("/elsewhere/NoteData.db") : db.path();
    TADOConnection connection(path.toStdString());
    TADOQuery query("ADOQuery1", &connection);
    MessageBoxWatcher answerer;
    if (!missingDatabase) {
        // A failure also leaves a query that was open before closed.
        QVERIFY(OpenQuery(query, QStringLiteral("Select * From Title"), FailMessage));
        QVERIFY(query.Active());
    }
    QVERIFY(!OpenQuery(query, sql, FailMessage));
    QVERIFY(!query.Active());
    QCOMPARE(answerer.Texts(), QStringList{FailMessage});
    QCOMPARE(answerer.Captions(), QStringList{ApplicationTitle()});
    QVERIFY(!QFile::exists(path) || !missingDatabase);
    // The caller's next use of the closed query raises, for the top-level error box to show.
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, query.RecordCount());
    QCOMPARE(db.scalar(QStringLiteral("SELECT COUNT(*) FROM Title")), 1);
}

void TestPublicFunction::openQueryWhoseAfterScrollFails_data() {
    QTest::addColumn<bool>("nested");
    QTest::newRow("handler raises") << false;
    // The main window's handler reopens a scratch query and uses it although that open failed.
    QTest::newRow("nested OpenQuery fails") << true;
}

void TestPublicFunction::openQueryWhoseAfterScrollFails() {
    QFETCH(bool, nested);
    TestDatabase db;
    db.exec(QStringLiteral("INSERT INTO Title (TitleTxt) VALUES ('one'), ('two')"));
    TADOConnection connection(db.path().toStdString());
    TADOQuery query("ADOQuery1", &connection);
    TADOQuery scratch("ADOQueryTemp", &connection);
    query.AfterScroll = [&](TADOQuery&) {
        if (!nested)
            throw EDatabaseError("ADOQuery1: handler failed");
        OpenQuery(scratch, QStringLiteral("Select * From Missing"), FailMessage);
        scratch.RecordCount();
    };
    MessageBoxWatcher answerer;
    QVERIFY(!OpenQuery(query, QStringLiteral("Select * From Title"), FailMessage));
    // The open itself went through: the query stays open and filled.
    QVERIFY(query.Active());
    QCOMPARE(query.RecordCount(), 2);
    QCOMPARE(answerer.Texts(), nested ? QStringList({FailMessage, FailMessage}) : QStringList{FailMessage});
}

QTEST_MAIN(TestPublicFunction)
#include "tst_publicfunction.moc"
