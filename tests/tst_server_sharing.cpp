// Several desks on one server: editors composing new records at once keep apart their pending
// paragraphs, a client that died leaves keys the tool's check can tell, a server restarted in the
// middle of a session costs one action and nothing half-written, the search filter's substring
// test reads as on a file, and a server that refuses or lacks the tables says so. Runs only on a
// server (with-postgres.sh around it); on its own it skips.
#include "MessageBoxTestHelpers.h"
#include "PostgresEngine.h"
#include "PublicFunction.h"
#include "RecordSetTestHelpers.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace {

// The pending paragraphs an editor adds, as the note dialog adds them.
void addPending(TADOConnection& connection, const std::string& text) {
    TADOQuery query("ADOQueryTemp", &connection);
    openWith(query, "Select * From Content");
    query.Insert();
    query.FieldByName("ContentTitle").SetAsInteger(connection.PendingKey());
    query.FieldByName("ContentTxt").SetAsString(text);
    query.Post();
}

// The note dialog's OK for a new record: the record and the re-parenting of its pending paragraphs
// in one transaction.
qint64 storeNewRecord(TADOConnection& connection, const std::string& title) {
    TADOQuery record("ADOQueryTemp", &connection);
    TADOQuery pending("ADOQueryTemp2", &connection);
    openWith(record, "Select * From Title");
    TTransaction transaction(connection);
    record.Insert();
    record.FieldByName("TitleTxt").SetAsString(title);
    record.Post();
    const qint64 key = record.FieldByName("TitleIndex").AsInteger();
    openWith(pending, "Select * From Content Where ContentTitle = " + std::to_string(connection.PendingKey()));
    for (pending.First(); !pending.Eof(); pending.Next()) {
        pending.Edit();
        pending.FieldByName("ContentTitle").SetAsInteger(key);
        pending.Post();
    }
    transaction.Commit();
    return key;
}

// A role with the README's rights for the desks: SELECT, INSERT, UPDATE and DELETE on the two
// tables of db's schema, nothing else.
void createDeskRole(const TestDatabase& db, const QString& role, const QString& options) {
    const QString schema = db.path().section("search_path=", 1).chopped(1);
    db.exec(QStringLiteral("Drop Role If Exists %1; Create Role %1 %2").arg(role, options));
    db.exec(
        QStringLiteral("Grant Usage On Schema %1 To %2; Grant Select, Insert, Update, Delete On title, content To %2")
            .arg(schema, role));
}

// pg_ctl's restart, stop or start of the test's server.
int controlServer(const QString& action) {
    return QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), qEnvironmentVariable("TAMRIX_PG_CTL") +
                                                                                   " " + action + " >/dev/null"});
}

int restartServer() {
    return controlServer(QStringLiteral("restart"));
}

} // namespace

class TestServerSharing : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (!TestDatabase::onServer())
            QSKIP("needs a server (run under tests/support/with-postgres.sh)");
    }
    void editorsKeepTheirPendingParagraphsApart();
    void serverRestartCostsOneAction();
    void openQueryRaisesWhatTheServerConnectionMet();
    void substringFilterAsOnAFile_data();
    void substringFilterAsOnAFile();
    void refusedOrEmptyDatabaseSaysWhy();
    void fourTableRightsAreEnough();
    void listOpenRoundTripsDoNotGrowWithTheList();
    void workTickRunsWhileTheServerWorks();
    void passwordAskedWhenTheServerWantsOne();
    void transactionsFirstStatementFailingLeavesNothing_data();
    void transactionsFirstStatementFailingLeavesNothing();
    void walkAnswersHoldForTheListAsRead_data();
    void walkAnswersHoldForTheListAsRead();
};

// Regression (a file keeps one pending key, 0): two desks composing at once saw, stored and deleted
// each other's pending paragraphs.
void TestServerSharing::editorsKeepTheirPendingParagraphsApart() {
    TestDatabase db;
    const std::string path = db.path().toStdString();
    TADOConnection first(path);
    auto second = std::make_unique<TADOConnection>(path);
    QVERIFY(first.PendingKey() < 0);
    QVERIFY(first.PendingKey() != second->PendingKey());
    QCOMPARE(first.PendingKey(), first.PendingKey());

    addPending(first, "first a");
    addPending(*second, "second a");
    addPending(first, "first b");
    const qint64 firstRecord = storeNewRecord(first, "from the first desk");
    QCOMPARE(db.scalar(QStringLiteral("Select Count(*) From Content Where ContentTitle = %1").arg(firstRecord)), 2);
    QCOMPARE(db.text(QStringLiteral("Select string_agg(ContentTxt, ',' Order By ContentIndex) From Content Where "
                                    "ContentTitle = %1")
                         .arg(firstRecord)),
             QString("first a,first b"));
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle < 0"), 1);

    // The second desk's pending paragraph belongs to a live editor: no leftover.
    QCOMPARE(db.scalar(QStringLiteral("Select Count(*) From (%1) AS l").arg(kLeftoverPendingKeys)), 0);
    const qint64 secondKey = second->PendingKey();
    second.reset(); // the client died before OK or Cancel
    QCOMPARE(db.scalar(QString(kLeftoverPendingKeys)), secondKey);
}

void TestServerSharing::serverRestartCostsOneAction() {
    RecordSetRig rig(3);
    auto& [db, connection, query] = rig;
    TADOQuery paragraph("ADOQueryTemp2", &connection);
    const auto addParagraph = [&](const std::string& text) {
        openWith(paragraph, "Select * From Content");
        paragraph.Insert();
        paragraph.FieldByName("ContentTitle").SetAsInteger(1);
        paragraph.FieldByName("ContentTxt").SetAsString(text);
        paragraph.Post();
    };
    addParagraph("before");
    openWith(query, "Select * From Title Where (TitleIndex > 0)");
    QCOMPARE(query.RecordCount(), 3);
    openWith(query, "Select * From Title Order By TitleIndex");
    QCOMPARE(query.RecordCount(), 3);
    QCOMPARE(restartServer(), 0);

    // The record and its paragraph go together: the lost connection leaves neither.
    TADOQuery record("ADOQueryTemp", &connection);
    const QString lost = raised([&] {
        openWith(record, "Select * From Title");
        TTransaction transaction(connection);
        record.Insert();
        record.FieldByName("TitleTxt").SetAsString("typed");
        record.Post();
        transaction.Commit();
    });
    QVERIFY2(lost.contains(QString::fromUtf8("连接已中断")) && !lost.contains("Select"), qPrintable(lost));
    QCOMPARE(db.scalar("Select Count(*) From Title"), 3);

    // The next action connects again and works.
    openWith(query, "Select * From Title Order By TitleIndex");
    QCOMPARE(query.RecordCount(), 3);
    query.Last();
    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("after the restart");
    QCOMPARE(raised([&] { query.Post(); }), QString());
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 3"), QString("after the restart"));

    // Regression: statements prepared before the restart were prepared again without the values
    // bound for their run: the paragraph's insert stored NULLs and the list with a bound number
    // came back empty.
    openWith(query, "Select * From Title Where (TitleIndex > 0)");
    QCOMPARE(query.RecordCount(), 3);
    addParagraph("after");
    QCOMPARE(db.text("Select string_agg(ContentTxt, ',' Order By ContentIndex) From Content Where ContentTitle = 1"),
             QString("before,after"));
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle Is Null Or ContentTxt Is Null"), 0);
}

// Every action opens its queries through OpenQuery, which swallows a failure and shows its own
// message. A connection lost or one that cannot be made is no failed statement: its one error box
// must say so (and the caller's use of the closed query must not follow with another).
void TestServerSharing::openQueryRaisesWhatTheServerConnectionMet() {
    RecordSetRig rig(2);
    auto& [db, connection, query] = rig;
    const QString list = QStringLiteral("Select * From Title");
    const QString failed = QStringLiteral("failed");
    QVERIFY(OpenQuery(query, list, failed));
    MessageBoxWatcher boxes;
    QCOMPARE(restartServer(), 0);
    const QString lost = raised([&] { OpenQuery(query, list, failed); });
    QVERIFY2(lost.contains(QString::fromUtf8("连接已中断")), qPrintable(lost));

    QCOMPARE(controlServer(QStringLiteral("stop")), 0);
    const QString unreachable = raised([&] { OpenQuery(query, list, failed); });
    QCOMPARE(controlServer(QStringLiteral("start")), 0);
    QVERIFY2(unreachable.contains(QString::fromUtf8("无法连接数据库服务器")), qPrintable(unreachable));
    QCOMPARE(boxes.Texts(), QStringList());

    // A statement that fails is still the caller's failure message.
    QVERIFY(!OpenQuery(query, QStringLiteral("Select * From NoSuchTable"), failed));
    QCOMPARE(boxes.Texts(), QStringList{failed});
    QVERIFY(OpenQuery(query, list, failed));
    QCOMPARE(query.RecordCount(), 2);
}

void TestServerSharing::substringFilterAsOnAFile_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("expected");
    QTest::newRow("as a condition") << "(InStr(TitleTxt,'1'))" << 2; // T1, T10
    QTest::newRow("compared") << "InStr(TitleTxt, 'T') = 1" << 10;
    QTest::newRow("quoted parenthesis") << "(instr(TitleTxt,')'))" << 0;
    QTest::newRow("in quoted text only") << "TitleTxt <> 'InStr(x)'" << 10;
    QTest::newRow("with another criterion") << "(InStr(TitleTxt,'T')) And (Title1 = 'a')" << 1;
}

void TestServerSharing::substringFilterAsOnAFile() {
    QFETCH(QString, filter);
    QFETCH(int, expected);
    RecordSetRig rig(10);
    auto& [db, connection, query] = rig;
    db.exec("Update Title Set Title1 = 'a' Where TitleIndex = 4");
    const QString error =
        raised([&] { openWith(query, "Select * From Title Where (TitleIndex > 0) And " + filter.toStdString()); });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(query.RecordCount(), expected);
}

void TestServerSharing::refusedOrEmptyDatabaseSaysWhy() {
    TestDatabase db;
    db.exec("Create Table Other (x int)");
    const std::string withoutTables = TestDatabase::server().toStdString() + " options='-csearch_path=nowhere'";
    TADOConnection empty(withoutTables);
    const QString noTables = raised([&] { empty.Open(); });
    QVERIFY2(noTables.contains("tamrixdata-db init") && noTables.contains("Title"), qPrintable(noTables));
    QVERIFY(!empty.Connected());

    TADOConnection refused(TestDatabase::server().toStdString() + " user=nobody_here");
    const QString login = raised([&] { refused.Open(); });
    QVERIFY2(login.contains("nobody_here"), qPrintable(login));
}

// The desks' role of the README: SELECT, INSERT, UPDATE and DELETE on the two tables, nothing else.
void TestServerSharing::fourTableRightsAreEnough() {
    TestDatabase db;
    createDeskRole(db, "desk_only", "Login");
    {
        TADOConnection desk(db.path().toStdString() + " user=desk_only");
        addPending(desk, "paragraph");
        const qint64 key = storeNewRecord(desk, "from the desk");
        TADOQuery query("ADOQuery1", &desk);
        openWith(query, "Select * From Title Where TitleIndex = " + std::to_string(key));
        query.Edit();
        query.FieldByName("Title1").SetAsString("edited");
        QCOMPARE(raised([&] { query.Post(); }), QString());
        QCOMPARE(db.scalar(QStringLiteral("Select Count(*) From Content Where ContentTitle = %1").arg(key)), 1);
        QCOMPARE(raised([&] { query.Delete(); }), QString());
        QCOMPARE(db.scalar("Select Count(*) From Title"), 0);
    }
    db.exec(QStringLiteral("Drop Owned By desk_only; Drop Role desk_only"));
}

namespace {

// The main window's list open: the grid walks every row with controls disabled, and each row's
// AfterScroll opens that record's paragraphs (read past the first only outside the walk).
class CountWalk : public TDataSetObserver {
public:
    void DataSetNotice(TADOQuery&, TDataNotice) override {}
    void AfterOpen(TADOQuery& query) override {
        query.DisableControls();
        for (query.First(); !query.Eof(); query.Next()) {
        }
        query.First();
        query.EnableControls();
    }
};

struct ListOpen {
    std::uint64_t roundTrips;
    QStringList withParagraphs; // the keys the walk found paragraphs for
    QString shown;              // the current record's paragraphs after the open
};

// Records 1, 4, 7 ... have a paragraph each ("p" and the key); record 1 has a second one.
void addEveryThirdParagraph(const TestDatabase& db) {
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Select TitleIndex, 'p' || TitleIndex From Title "
            "Where TitleIndex % 3 = 1 Order By TitleIndex");
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (1, 'second')");
}

// firstStep runs at the walk's first row, after the list was read.
ListOpen openList(TADOConnection& connection, const std::string& sql = "Select * From Title Where (TitleIndex > 0)",
                  const std::function<void()>& firstStep = {}) {
    TADOQuery list("ADOQuery1", &connection);
    TADOQuery content("ADOQueryTemp", &connection);
    CountWalk walk;
    list.AddObserver(&walk);
    ListOpen result{};
    bool first = true;
    list.AfterScroll = [&](TADOQuery& query) {
        if (first && firstStep)
            firstStep();
        first = false;
        const std::int64_t key = query.FieldByName("TitleIndex").AsInteger();
        openWith(content,
                 "Select * From Content Where ContentTitle = " + std::to_string(key) + " Order By ContentIndex");
        if (content.IsEmpty())
            return;
        if (query.ControlsDisabled()) {
            result.withParagraphs << QString::number(key);
            return;
        }
        result.shown.clear();
        for (content.First(); !content.Eof(); content.Next())
            result.shown += QString::fromStdString(content.FieldByName("ContentTxt").AsString()) + "|";
    };
    const std::uint64_t before = PostgresEngineOf(connection)->RoundTrips();
    openWith(list, sql);
    result.roundTrips = PostgresEngineOf(connection)->RoundTrips() - before;
    result.withParagraphs.removeDuplicates(); // the walk passes the first row twice
    list.RemoveObserver(&walk);
    return result;
}

} // namespace

// Regression: each listed record cost the server one statement of its own in the count walk, so a
// list open took as many round trips as there are records.
void TestServerSharing::listOpenRoundTripsDoNotGrowWithTheList() {
    std::uint64_t roundTrips = 0;
    for (const int titles : {40, 400}) {
        RecordSetRig rig(titles);
        auto& [db, connection, query] = rig;
        addEveryThirdParagraph(db);
        connection.Open();
        openList(connection); // the statements prepared once
        const ListOpen open = openList(connection);
        QStringList expected;
        for (int key = 1; key <= titles; key += 3)
            expected << QString::number(key);
        QCOMPARE(open.withParagraphs, expected);
        QCOMPARE(open.shown, QString("p1|second|"));
        if (roundTrips == 0)
            roundTrips = open.roundTrips;
        QCOMPARE(open.roundTrips, roundTrips);
        QVERIFY2(open.roundTrips <= 8, qPrintable(QString::number(open.roundTrips)));

        // A statement without parameters comes in parts (an open only to insert reads the first);
        // a walk past the first part still meets every row once.
        TADOQuery whole("ADOQueryTemp2", &connection);
        CountWalk walk;
        whole.AddObserver(&walk);
        QSet<qint64> walked;
        whole.AfterScroll = [&](TADOQuery& q) { walked.insert(q.FieldByName("TitleIndex").AsInteger()); };
        openWith(whole, "Select * From Title Order By TitleIndex");
        QCOMPARE(walked.size(), titles);
        QCOMPARE(whole.RecordCount(), titles);
        whole.Last();
        QCOMPARE(whole.FieldByName("TitleIndex").AsInteger(), titles);
        whole.RemoveObserver(&walk);
    }
}

// Regression: a statement the server took long over left the program without its busy pointer, the
// work tick running only between statements.
void TestServerSharing::workTickRunsWhileTheServerWorks() {
    RecordSetRig rig(1);
    auto& [db, connection, query] = rig;
    int ticks = 0;
    connection.SetWorkTick([&] { ++ticks; });
    openWith(query, "Select pg_sleep(0.5), TitleTxt From Title");
    QCOMPARE(query.FieldByName("TitleTxt").AsString(), std::string("T1"));
    QVERIFY2(ticks > 0, "no tick while the server slept");
}

// The server wants a password libpq's own sources lack: the prompt is asked once for each connect and
// its answer used; a wrong answer or none is refused with the server's reason and asks no more; a
// password libpq finds itself (here PGPASSWORD) asks nothing.
void TestServerSharing::passwordAskedWhenTheServerWantsOne() {
    TestDatabase db;
    createDeskRole(db, "desk_password", "Login Password 'secret'");
    QFile hba(qEnvironmentVariable("TAMRIX_PG_DATA") + "/pg_hba.conf");
    QVERIFY(hba.open(QIODevice::ReadOnly));
    const QByteArray trusting = hba.readAll();
    hba.close();
    const auto writeRules = [&](const QByteArray& rules) {
        QVERIFY(hba.open(QIODevice::WriteOnly | QIODevice::Truncate));
        hba.write(rules);
        hba.close();
        QCOMPARE(QProcess::execute("/bin/sh", {"-c", qEnvironmentVariable("TAMRIX_PG_CTL") + " reload >/dev/null"}), 0);
    };
    int asked = 0;
    std::optional<std::string> answer;
    SetPasswordPrompt([&](const std::string&) {
        ++asked;
        return answer;
    });
    const auto restore = qScopeGuard([&] {
        SetPasswordPrompt({});
        writeRules(trusting);
    });
    writeRules("local all desk_password scram-sha-256\n" + trusting);
    const std::string desk = db.path().toStdString() + " user=desk_password";
    const auto connect = [&](std::optional<std::string> given) {
        answer = std::move(given);
        asked = 0;
        TADOConnection connection(desk);
        return raised([&] { connection.Open(); });
    };
    // The reload takes effect a moment after pg_ctl returns.
    QTRY_VERIFY(!connect(std::nullopt).isEmpty());
    QCOMPARE(asked, 1);
    QVERIFY2(connect(std::nullopt).contains("无法连接数据库服务器"), qPrintable(connect(std::nullopt)));
    const QString wrong = connect("wrong");
    QVERIFY2(wrong.contains("password authentication failed"), qPrintable(wrong));
    QCOMPARE(asked, 1);
    QCOMPARE(connect("secret"), QString());
    QCOMPARE(asked, 1);
    qputenv("PGPASSWORD", "secret");
    const QString fromLibpq = connect(std::nullopt);
    qunsetenv("PGPASSWORD");
    QCOMPARE(fromLibpq, QString());
    QCOMPARE(asked, 0);
}

// A transaction's BEGIN travels with its first statement: when that statement fails, the server's
// reason is raised (not the pipeline's), nothing is written, and the connection goes on.
void TestServerSharing::transactionsFirstStatementFailingLeavesNothing_data() {
    QTest::addColumn<bool>("prepared");
    QTest::newRow("a record set's insert") << true;
    QTest::newRow("a direct statement") << false;
}

void TestServerSharing::transactionsFirstStatementFailingLeavesNothing() {
    QFETCH(bool, prepared);
    RecordSetRig rig(2);
    auto& [db, connection, query] = rig;
    db.exec("Create Function refuse_taken() Returns trigger Language plpgsql As $$ Begin If New.TitleTxt = 'taken' "
            "Then Raise Exception 'refused here'; End If; Return New; End $$");
    db.exec("Create Trigger refuse_taken Before Insert On Title For Each Row Execute Function refuse_taken()");
    TADOQuery other("ADOQueryTemp", &connection);
    openWith(other, "Select * From Title Where TitleIndex = 1");
    // Its statement prepared before: in the transaction it runs at once, with the BEGIN.
    other.Insert();
    other.FieldByName("TitleTxt").SetAsString("before");
    other.Post();
    QString error;
    {
        TTransaction transaction(connection);
        error = raised([&] {
            if (!prepared) {
                connection.ExecuteDirect("Insert Into Title (TitleTxt) Values ('taken')");
                return;
            }
            other.Insert();
            other.FieldByName("TitleTxt").SetAsString("taken");
            other.Post();
        });
        if (error.isEmpty())
            transaction.Commit();
    }
    QVERIFY2(error.contains("refused here"), qPrintable(error));
    QVERIFY(!connection.Engine().InTransaction());
    QCOMPARE(db.scalar("Select Count(*) From Title"), 3);
    openWith(query, "Select * From Title Order By TitleIndex");
    QCOMPARE(query.RecordCount(), 3);
    TTransaction again(connection);
    connection.ExecuteDirect("Insert Into Title (TitleTxt) Values ('next')");
    again.Commit();
    QCOMPARE(db.scalar("Select Count(*) From Title"), 4);
}

// The walk's paragraphs are answered for the whole list at once, the server running the list's
// statement again: the answers must be those of the list as it was read (another desk changing
// paragraphs during the walk changes nothing), cover rows not fetched yet, and come from the values
// read when the statement names its key twice.
void TestServerSharing::walkAnswersHoldForTheListAsRead_data() {
    QTest::addColumn<QString>("list");
    QTest::newRow("with a parameter") << "Select * From Title Where (TitleIndex > 0)";
    QTest::newRow("without one, in parts") << "Select * From Title Order By TitleIndex";
    QTest::newRow("key named twice") << "Select TitleIndex, TitleIndex, TitleTxt From Title Where (TitleIndex > 0)";
    QTest::newRow("ended by a semicolon") << "Select * From Title Where TitleIndex > 0 Order By TitleIndex Desc ;";
}

void TestServerSharing::walkAnswersHoldForTheListAsRead() {
    QFETCH(QString, list);
    const int titles = 300;
    RecordSetRig rig(titles);
    auto& [db, connection, query] = rig;
    addEveryThirdParagraph(db);
    connection.Open();
    TADOConnection other(db.path().toStdString());
    other.Open();
    // Record 2 gains a paragraph and record 4 loses its own, at the walk's first step.
    const ListOpen open = openList(connection, list.toStdString(), [&] {
        other.ExecuteDirect("Insert Into Content (ContentTitle, ContentTxt) Values (2, 'late')");
        other.ExecuteDirect("Delete From Content Where ContentTitle = 4");
    });
    QSet<QString> expected;
    for (int key = 1; key <= titles; key += 3)
        expected << QString::number(key);
    const QStringList found = open.withParagraphs;
    QCOMPARE(QSet<QString>(found.begin(), found.end()), expected);
    QCOMPARE(found.size(), expected.size());

    // The next open reads the database as it is now.
    expected.remove("4");
    expected << "2";
    const QStringList now = openList(connection, list.toStdString()).withParagraphs;
    QCOMPARE(QSet<QString>(now.begin(), now.end()), expected);
}

QTEST_MAIN(TestServerSharing)
#include "tst_server_sharing.moc"
