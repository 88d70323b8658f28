// The shared connection: connecting to a file that is missing, not a database or read-only, engine
// errors of statements, the round trip of long and unusual text, and transactions.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "DatabaseErrors.h"
#include "Field.h"
#include "RecordSetTestHelpers.h"
#include "ShareDM.h"
#include "SqliteEngine.h"
#include "TestDatabase.h"

#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <functional>
#include <string>

namespace {

// The primary result code of the EOleException that action raises; -1 when it raises none.
int oleErrorCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const EOleException& e) {
        return e.ErrorCode() & 0xff;
    } catch (...) {
    }
    return -1;
}

} // namespace

class TestConnection : public QObject {
    Q_OBJECT

private slots:
    void connectFailsWithoutCreatingAFile_data();
    void connectFailsWithoutCreatingAFile();
    void failedOpenLeavesQueryClosed_data();
    void failedOpenLeavesQueryClosed();
    void settingStatementIgnoresConnectError();
    void readOnlyFileRefusesChanges();
    void readOnlyPlaceIsNamed_data();
    void readOnlyPlaceIsNamed();
    void textSurvivesStoreAndReload_data();
    void textSurvivesStoreAndReload();
    void transactionRollsBackUnlessCommitted_data();
    void transactionRollsBackUnlessCommitted();
    void engineMessagesLoseTrailingStops_data();
    void engineMessagesLoseTrailingStops();
    void dataModuleConnectsOnFirstUse();
};

void TestConnection::connectFailsWithoutCreatingAFile_data() {
    QTest::addColumn<QByteArray>("fileContent"); // empty: no file at all
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("expectedCode");
    QTest::newRow("missing file") << QByteArray() << "EOleException | unable to open database file" << SQLITE_CANTOPEN;
    QTest::newRow("not a database") << QByteArray(4096, '\x5a').prepend("garbage, not a database\r\n")
                                    << "EOleException | file is not a database" << SQLITE_NOTADB;
}

void TestConnection::connectFailsWithoutCreatingAFile() {
    QFETCH(QByteArray, fileContent);
    QFETCH(QString, expected);
    QFETCH(int, expectedCode);
    TestDatabase good;
    QTemporaryDir dir;
    const QString path = dir.filePath("NoteData.db");
    if (!fileContent.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent);
    }
    TADOConnection connection(path.toStdString());

    QCOMPARE(raised([&] { connection.Open(); }), expected);
    QCOMPARE(oleErrorCode([&] { connection.Open(); }), expectedCode);
    QVERIFY(!connection.Connected());
    QCOMPARE(SqliteHandleOf(connection), nullptr);
    QCOMPARE(QFile::exists(path), !fileContent.isEmpty());
    if (!fileContent.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), fileContent); // the garbage is left as it was
    }

    // A later try connects once a database is there.
    QFile::remove(path);
    QVERIFY(QFile::copy(good.path(), path));
    QCOMPARE(raised([&] { connection.Open(); }), QString());
    QVERIFY(connection.Connected());
    QCOMPARE(raised([&] { connection.Open(); }), QString()); // connecting again changes nothing
}

void TestConnection::failedOpenLeavesQueryClosed_data() {
    QTest::addColumn<bool>("databaseExists");
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing database") << false << "Select * From Title"
                                      << "EOleException | unable to open database file";
    QTest::newRow("missing table") << true << "Select * From Nope"
                                   << "EOleException | no such table: Nope";
    QTest::newRow("rejected statement") << true << "Selec * From Title"
                                        << "EOleException | near \"Selec\": syntax error";
    QTest::newRow("unknown column") << true << "Select * From Title Where Nope = 1"
                                    << "EOleException | no such column: Nope";
}

void TestConnection::failedOpenLeavesQueryClosed() {
    QFETCH(bool, databaseExists);
    QFETCH(QString, statement);
    QFETCH(QString, expected);
    TestDatabase db;
    db.exec("Insert Into Title (TitleTxt) Values ('kept')");
    const QString path = databaseExists ? db.path() : db.dir() + "/Missing.db";
    TADOConnection connection(path.toStdString());
    TADOQuery query("ADOQuery1", &connection);
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    QCOMPARE(raised([&] { openWith(query, statement.toStdString()); }), expected);
    QVERIFY(!query.Active());
    QCOMPARE(query.FieldCount(), 0);
    QCOMPARE(scrolls, 0);
    QCOMPARE(connection.Connected(), databaseExists);
    QCOMPARE(raised([&] { query.RecordCount(); }),
             QString("EDatabaseError | ADOQuery1: Cannot perform this operation on a closed dataset"));
    QVERIFY(!QFile::exists(db.dir() + "/Missing.db"));
    QCOMPARE(db.scalar("Select Count(*) From Title"), 1);

    // The same record set opens a good statement afterwards.
    if (databaseExists) {
        openWith(query, "Select * From Title");
        QCOMPARE(query.RecordCount(), 1);
    }
}

void TestConnection::settingStatementIgnoresConnectError() {
    TestDatabase db;
    const QString path = db.dir() + "/Later.db";
    TADOConnection connection(path.toStdString());
    TADOQuery query("ADOQueryTemp", &connection);

    QCOMPARE(raised([&] {
                 query.ClearSQL();
                 query.AddSQL("Select * From Title");
             }),
             QString());
    QVERIFY(!connection.Connected());
    QCOMPARE(raised([&] { query.Open(); }), QString("EOleException | unable to open database file"));
    QVERIFY(!query.Active());

    // The next open tries again.
    QVERIFY(QFile::copy(db.path(), path));
    QCOMPARE(raised([&] { query.Open(); }), QString());
    QVERIFY(query.Active());
    QVERIFY(connection.Connected());
    QCOMPARE(query.RecordCount(), 0);
}

void TestConnection::readOnlyFileRefusesChanges() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    db.exec("Insert Into Title (TitleTxt) Values ('stored')");
    QVERIFY(QFile::setPermissions(db.path(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    // Root ignores permission bits; an immutable file (chattr +i) refuses writes even to root.
    bool immutable = false;
    {
        QFile probe(db.path());
        if (probe.open(QIODevice::ReadWrite)) {
            probe.close();
            immutable = QProcess::execute("chattr", {"+i", db.path()}) == 0;
            if (!immutable)
                QSKIP("file permissions are not enforced for this user and chattr +i is not available");
        }
    }
    const auto mutableAgain = qScopeGuard([&] {
        if (immutable)
            QProcess::execute("chattr", {"-i", db.path()});
    });
    openWith(query, "Select * From Title");
    QCOMPARE(QString::fromStdString(query.FieldByName("TitleTxt").AsString()), QString("stored"));

    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("changed");
    const QString editError = raised([&] { query.Post(); });
    QVERIFY2(editError.startsWith("EDatabaseError | ") || editError.startsWith("EOleException | "),
             qPrintable(editError));
    QCOMPARE(query.State(), TDataSetState::dsEdit);
    query.Cancel();

    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("new");
    QVERIFY(!raised([&] { query.Post(); }).isEmpty());
    QCOMPARE(query.State(), TDataSetState::dsInsert);
    QCOMPARE(query.RecordCount(), 1);
    query.Cancel();
    QVERIFY(!raised([&] { query.Delete(); }).isEmpty());
    QCOMPARE(query.RecordCount(), 1);

    if (immutable)
        QCOMPARE(QProcess::execute("chattr", {"-i", db.path()}), 0);
    immutable = false;
    QVERIFY(QFile::setPermissions(db.path(), QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(db.text("Select TitleTxt From Title"), QString("stored"));
    QCOMPARE(db.scalar("Select Count(*) From Title"), 1);
}

// Mended fault: a change in a folder where no file can be made (SQLite cannot make its journal)
// said "attempt to write a readonly database", which sent the user to the file.
void TestConnection::readOnlyPlaceIsNamed_data() {
    QTest::addColumn<bool>("folder"); // the folder read-only, else the file
    QTest::addColumn<QString>("expected");
    QTest::newRow("file") << false << "EDatabaseError | The database file FILE is read-only";
    QTest::newRow("folder")
        << true << "EDatabaseError | The database FILE cannot be changed: its folder FOLDER is not writable";
}

void TestConnection::readOnlyPlaceIsNamed() {
    QFETCH(bool, folder);
    QFETCH(QString, expected);
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    const QString locked = folder ? db.dir() : db.path();
    // Root ignores permission bits; an immutable file or folder (chattr +i) refuses writes even to root.
    if (QProcess::execute("chattr", {"+i", locked}) != 0)
        QSKIP("chattr +i is not available");
    const auto unlock = qScopeGuard([&] { QProcess::execute("chattr", {"-i", locked}); });
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("new");
    QCOMPARE(raised([&] { query.Post(); }), QString(expected).replace("FILE", db.path()).replace("FOLDER", db.dir()));
    QCOMPARE(query.State(), TDataSetState::dsInsert);
}

void TestConnection::textSurvivesStoreAndReload_data() {
    QTest::addColumn<QString>("text");
    QString paragraph;
    const QString line = QString::fromUtf8("第一段文字 with ASCII, 😀 and 𠀀 — ");
    for (qsizetype bytes = 0; bytes < 1024 * 1024;) {
        const QString piece = line + QString::number(paragraph.size()) + "\r\n";
        paragraph += piece;
        bytes += piece.toUtf8().size();
    }
    QTest::newRow("1 MB paragraph") << paragraph;
    QTest::newRow("non-BMP characters") << QString::fromUtf8("😀𠀀 grin and ideograph U+20000");
    QTest::newRow("outside code page 936") << QString::fromUtf8("한국어 ÆØÅ ß Ωμέγα ∮ \u200b עברית");
    QTest::newRow("quotes and control characters") << QString::fromUtf8("it's \"quoted\" `x` :p ::q\t\r\nend");
}

void TestConnection::textSurvivesStoreAndReload() {
    QFETCH(QString, text);
    const std::string value = text.toStdString();
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;

    openWith(query, "Select * From Content");
    query.Insert();
    query.FieldByName("ContentTitle").SetAsInteger(1);
    query.FieldByName("ContentTxt").SetAsString(value);
    query.Post();
    const int key = query.FieldByName("ContentIndex").AsInteger();
    QVERIFY(query.FieldByName("ContentTxt").AsString() == value);
    // A title field keeps what fits in its length.
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString(text.left(100).toStdString());
    query.Post();
    query.Close();

    TADOConnection reopened(db.path().toStdString());
    TADOQuery again("ADOQueryTemp", &reopened);
    openWith(again, "Select * From Content Where ContentIndex = " + std::to_string(key));
    QCOMPARE(again.RecordCount(), 1);
    const std::string readBack = again.FieldByName("ContentTxt").AsString();
    QCOMPARE(readBack.size(), value.size());
    QVERIFY(readBack == value);
    QCOMPARE(db.text("Select typeof(ContentTxt) From Content"), QString("text"));
    QVERIFY(db.text("Select ContentTxt From Content") == text);
    openWith(again, "Select TitleTxt From Title");
    QCOMPARE(QString::fromStdString(again.FieldByName("TitleTxt").AsString()), text.left(100));
}

void TestConnection::transactionRollsBackUnlessCommitted_data() {
    QTest::addColumn<bool>("commit");
    QTest::newRow("committed") << true;
    QTest::newRow("left without commit") << false;
}

void TestConnection::transactionRollsBackUnlessCommitted() {
    QFETCH(bool, commit);
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title");
    {
        TTransaction transaction(connection);
        QVERIFY(connection.InTransaction());
        QVERIFY(!raised([&] { connection.BeginTrans(); }).isEmpty());
        QVERIFY(connection.InTransaction());
        query.Insert();
        query.FieldByName("TitleTxt").SetAsString("inside");
        query.Post();
        openWith(query, "Select * From Content");
        query.Insert();
        query.FieldByName("ContentTitle").SetAsInteger(1);
        query.Post();
        if (commit)
            transaction.Commit();
    }
    QVERIFY(!connection.InTransaction());
    QCOMPARE(db.scalar("Select Count(*) From Title"), commit ? 1 : 0);
    QCOMPARE(db.scalar("Select Count(*) From Content"), commit ? 1 : 0);

    // The connection goes on writing outside any transaction.
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("after");
    query.Post();
    QCOMPARE(db.scalar("Select Count(*) From Title Where TitleTxt = 'after'"), 1);
    connection.RollbackTrans(); // nothing running: no error
    QCOMPARE(db.scalar("Select Count(*) From Title Where TitleTxt = 'after'"), 1);
}

void TestConnection::engineMessagesLoseTrailingStops_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::newRow("clean") << "file is not a database"
                           << "file is not a database";
    QTest::newRow("full stop") << "disk full."
                               << "disk full";
    QTest::newRow("stops, blanks and line breaks") << "locked. . \r\n\t"
                                                   << "locked";
    QTest::newRow("inner stops kept") << "near \"a.b\": v1.2 syntax error"
                                      << "near \"a.b\": v1.2 syntax error";
    QTest::newRow("only stops") << "..."
                                << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestConnection::engineMessagesLoseTrailingStops() {
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(CleanEngineMessage(message.toStdString())), expected);
}

void TestConnection::dataModuleConnectsOnFirstUse() {
    TestDatabase db;
    db.exec("Insert Into Title (TitleTxt) Values ('one')");
    const QString previousDirectory = QDir::currentPath();
    const auto restoreDirectory = qScopeGuard([&] { QDir::setCurrent(previousDirectory); });
    db.makeCurrent();
    TShareDataModule module; // the bare name, found in the current directory
    QVERIFY(!module.ADOConnection1.Connected());
    QCOMPARE(QString::fromStdString(module.ADOQueryTemp.Name()), QString("ADOQueryTemp"));
    QCOMPARE(module.ADOQueryTemp2.Connection(), &module.ADOConnection1);

    openWith(module.ADOQueryTemp, "Select * From Title");
    QVERIFY(module.ADOConnection1.Connected());
    openWith(module.ADOQueryTemp2, "Select * From Title");
    module.ADOQueryTemp.Edit();
    module.ADOQueryTemp.FieldByName("TitleTxt").SetAsString("edited");
    module.ADOQueryTemp.Post();
    // A record set sees another's change only after it is opened again.
    QCOMPARE(QString::fromStdString(module.ADOQueryTemp2.FieldByName("TitleTxt").AsString()), QString("one"));
    module.ADOQueryTemp2.Close();
    module.ADOQueryTemp2.Open();
    QCOMPARE(QString::fromStdString(module.ADOQueryTemp2.FieldByName("TitleTxt").AsString()), QString("edited"));
    // Closing every record set keeps the connection.
    module.ADOQueryTemp.Close();
    module.ADOQueryTemp2.Close();
    QVERIFY(module.ADOConnection1.Connected());
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
