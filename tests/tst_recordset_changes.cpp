// Changing rows through a record set: insert, edit, post, cancel, delete, field assignment, and the
// optimistic conflicts with another process that changed or deleted a row since it was read.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "DatabaseErrors.h"
#include "DemoDatabase.h"
#include "Field.h"
#include "RecordSetTestHelpers.h"
#include "SqliteEngine.h"
#include "TestDatabase.h"

#include <QtTest>

#include <functional>
#include <string>
#include <vector>

namespace {

QString fieldText(TADOQuery& query, const char* name) {
    return qstr(query.FieldByName(name).AsString());
}

const QString kUpdateConflict =
    "EDatabaseError | Row cannot be located for updating. Some values may have been changed since it was last read";

using QueryAction = std::function<void(TADOQuery&)>;

} // namespace

Q_DECLARE_METATYPE(QueryAction)

class TestRecordsetChanges : public QObject {
    Q_OBJECT

private slots:
    void insertPostReadsNewKey();
    void insertStoresOneRowWithItsKey_data();
    void insertStoresOneRowWithItsKey();
    void insertOnlyOpenOfLargeTable();
    void restReadAfterAnotherProcessChangedTheTable();
    void postWritesOnlyModifiedColumns();
    void cancelKeepsStoredValues();
    void emptyTextVersusNull();
    void textIsCutToColumnLength_data();
    void textIsCutToColumnLength();
    void readOnlyFieldsRefuseAssignment();
    void wrongStateErrors();
    void deleteMovesToNeighbour_data();
    void deleteMovesToNeighbour();
    void deletionLoopsEmptyTheResult();
    void movesPostOrCancelImplicitly_data();
    void movesPostOrCancelImplicitly();
    void failedPostKeepsStateAndValues();
    void editOnEmptyResultStartsInsert();
    void reparentingWalkVisitsEveryRowOnce();
    void postAfterAnotherProcessChangedTheRowFails_data();
    void postAfterAnotherProcessChangedTheRowFails();
    void deleteOfRowDeletedElsewhereFails();
    void blobAndUtf16ValuesPost_data();
    void blobAndUtf16ValuesPost();
    void engineFailuresAreErrors();
};

void TestRecordsetChanges::insertPostReadsNewKey() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    addTitles(db, 3);
    db.exec("Delete From Title Where TitleIndex = 3"); // the next key is still 4, never 3 again
    openWith(query, "Select * From Title");
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    query.Insert();
    QCOMPARE(query.State(), TDataSetState::dsInsert);
    QCOMPARE(scrolls, 1);
    QCOMPARE(query.RecordCount(), 2);
    QVERIFY(query.FieldByName("TitleIndex").IsNull());
    QVERIFY(query.FieldByName("TitleTxt").IsNull());
    query.FieldByName("TitleTxt").SetAsString("新记事");
    query.FieldByName("Title3").SetAsString("c");
    QVERIFY(query.Modified());
    QCOMPARE(db.scalar("Select Count(*) From Title"), 2); // nothing written before post
    query.Post();

    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(scrolls, 1);
    QCOMPARE(query.RecordCount(), 3);
    QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), 4);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("新记事"));
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 4"), QString("新记事"));
    QCOMPARE(db.text("Select Title3 From Title Where TitleIndex = 4"), QString("c"));
    QCOMPARE(db.text("Select typeof(Title1) From Title Where TitleIndex = 4"), QString("null"));

    // A paragraph of that record: the integer owner and the key of the new paragraph.
    openWith(query, "Select * From Content");
    query.Insert();
    query.FieldByName("ContentTitle").SetAsInteger(4);
    query.FieldByName("ContentTxt").SetAsString("line 1\r\nline 2");
    query.Post();
    const int paragraph = query.FieldByName("ContentIndex").AsInteger();
    QCOMPARE(paragraph, 1);
    QCOMPARE(db.scalar("Select ContentTitle From Content Where ContentIndex = 1"), 4);
    QCOMPARE(db.text("Select typeof(ContentTitle) From Content"), QString("integer"));
    QCOMPARE(db.text("Select ContentTxt From Content"), QString("line 1\r\nline 2"));

    // The posted row stays in the result: a reopen of the same statement finds it again.
    query.Close();
    query.Open();
    QCOMPARE(query.RecordCount(), 1);
    QVERIFY(query.Locate("ContentIndex", paragraph));
}

// Mended faults: with a key the database does not number (INT PRIMARY KEY) the record was stored
// with a NULL key and took the engine's row number as its key; a trigger that dropped the row left
// the post reporting success; with the largest key taken the error spoke of a full disk.
void TestRecordsetChanges::insertStoresOneRowWithItsKey_data() {
    QTest::addColumn<QString>("schema");
    QTest::addColumn<qint64>("givenKey"); // 0: none given
    QTest::addColumn<QString>("error");
    QTest::addColumn<qint64>("storedKey");

    const QString ownKey = "Drop Table Title; Create Table Title (TitleIndex INT PRIMARY KEY, TitleTxt VARCHAR(255))";
    QTest::newRow("numbered by the database") << QString() << qint64(0) << QString() << qint64(1);
    QTest::newRow("own key given") << ownKey << qint64(70) << QString() << qint64(70);
    QTest::newRow("own key missing")
        << ownKey << qint64(0)
        << "EDatabaseError | Cannot add a row to table 'Title': its key column 'TitleIndex' has no value and the "
           "database does not assign one"
        << qint64(0);
    QTest::newRow("dropped by a trigger")
        << "Create Trigger DropTitle Before Insert On Title Begin Select Raise(Ignore); End" << qint64(0)
        << "EDatabaseError | The new row was not stored in table 'Title'" << qint64(0);
    QTest::newRow("through a view") << "Alter Table Title Rename To TitleData; "
                                       "Create View Title As Select * From TitleData; "
                                       "Create Trigger AddTitle Instead Of Insert On Title Begin "
                                       "Insert Into TitleData (TitleTxt) Values (new.TitleTxt); End"
                                    << qint64(0) << QString() << qint64(1);
    QTest::newRow("no key left") << "Insert Into Title (TitleIndex, TitleTxt) Values (9223372036854775807, 'last')"
                                 << qint64(0) << "EDatabaseError | No new key is left in table 'Title'" << qint64(0);
}

void TestRecordsetChanges::insertStoresOneRowWithItsKey() {
    QFETCH(QString, schema);
    QFETCH(qint64, givenKey);
    QFETCH(QString, error);
    QFETCH(qint64, storedKey);
    // Other tools' SQLite schemas (a key SQLite does not assign, triggers written for SQLite).
    if (TestDatabase::onServer())
        QSKIP("SQLite schemas");

    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    if (!schema.isEmpty())
        db.exec(schema);
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("new");
    if (givenKey != 0)
        query.FieldByName("TitleIndex").SetAsInteger(givenKey);

    QCOMPARE(raised([&] { query.Post(); }), error);
    if (error.isEmpty()) {
        QCOMPARE(query.State(), TDataSetState::dsBrowse);
        QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), storedKey);
        QCOMPARE(db.text(QStringLiteral("Select TitleTxt From Title Where TitleIndex = %1").arg(storedKey)),
                 QString("new"));
    } else {
        QCOMPARE(query.State(), TDataSetState::dsInsert);
        QCOMPARE(db.scalar("Select Count(*) From Title Where TitleTxt = 'new' Or TitleTxt Is Null"), 0);
    }
}

// An open only to insert (the editor's new record and new paragraph) reads a few rows of a large
// table, not the table: the inserted row is current with its new key, and a count or a search
// afterwards reads the table again and finds it there, still current.
void TestRecordsetChanges::insertOnlyOpenOfLargeTable() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    addTitles(db, 500);
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("new");
    query.Post();

    const int key = query.FieldByName("TitleIndex").AsInteger();
    QCOMPARE(key, 501);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("new"));
    QCOMPARE(query.RecordCount(), 501);
    QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), key);
    QCOMPARE(query.RecNo(), 501);
    query.First();
    QVERIFY(query.Locate("TitleIndex", key));
    QCOMPARE(fieldText(query, "TitleTxt"), QString("new"));
}

// An open on its own reads only a first part of a large result; the rest, needed after the open has
// ended and another process has changed the table, comes from the table as it is then. No row may
// appear twice or be skipped, and the current row stays the same record.
void TestRecordsetChanges::restReadAfterAnotherProcessChangedTheTable() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    addTitles(db, 500);
    openWith(query, "Select * From Title Order By TitleIndex");
    query.MoveBy(9);
    QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), 10);
    db.exec("Delete From Title Where TitleIndex In (5, 300)");
    db.exec("Insert Into Title (TitleTxt) Values ('T501')");

    QCOMPARE(query.RecordCount(), 499);
    QCOMPARE(query.FieldByName("TitleIndex").AsInteger(), 10);
    QCOMPARE(query.RecNo(), 9);
    std::vector<int> keys;
    for (query.First(); !query.Eof(); query.Next())
        keys.push_back(static_cast<int>(query.FieldByName("TitleIndex").AsInteger()));
    std::vector<int> expected;
    for (int key = 1; key <= 501; ++key)
        if (key != 5 && key != 300)
            expected.push_back(key);
    QCOMPARE(keys, expected);
}

void TestRecordsetChanges::postWritesOnlyModifiedColumns() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    db.exec("Insert Into Title (TitleTxt, Title1, Title2) Values ('old', 'one', 'two')");
    openWith(query, "Select * From Title Where TitleIndex = 1");

    query.Edit();
    QVERIFY(!query.Modified());
    query.FieldByName("TitleTxt").SetAsString("new");
    query.FieldByName("Title1").Clear();
    // Another process changes a column this record set does not touch: no conflict, and its value stays.
    db.exec("Update Title Set Title2 = 'theirs' Where TitleIndex = 1");
    QCOMPARE(raised([&] { query.Post(); }), QString());

    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(db.text("Select TitleTxt From Title"), QString("new"));
    QCOMPARE(db.text("Select typeof(Title1) From Title"), QString("null"));
    QCOMPARE(db.text("Select Title2 From Title"), QString("theirs"));
    QVERIFY(query.FieldByName("Title1").IsNull());
    QCOMPARE(fieldText(query, "TitleTxt"), QString("new"));

    // A second edit of the same row compares with the values just posted, not the first read.
    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("newer");
    QCOMPARE(raised([&] { query.Post(); }), QString());
    QCOMPARE(db.text("Select TitleTxt From Title"), QString("newer"));
}

void TestRecordsetChanges::cancelKeepsStoredValues() {
    RecordSetRig rig(2);
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title Order By TitleIndex");

    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("draft");
    QCOMPARE(fieldText(query, "TitleTxt"), QString("draft"));
    query.Cancel();
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QVERIFY(!query.Modified());
    QCOMPARE(fieldText(query, "TitleTxt"), QString("T1"));
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 1"), QString("T1"));

    // Close discards an unposted row without writing it.
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("never stored");
    query.Close();
    QCOMPARE(db.scalar("Select Count(*) From Title"), 2);
    query.Open();
    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("never stored either");
    openWith(query, "Select * From Title");
    QCOMPARE(db.scalar("Select Count(*) From Title Where TitleTxt Like 'never%'"), 0);
}

void TestRecordsetChanges::emptyTextVersusNull() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title");
    query.Insert();
    query.FieldByName("TitleTxt").SetAsString("t");
    query.FieldByName("Title1").SetAsString("");
    query.Post();
    openWith(query, "Select * From Content");
    query.Insert();
    query.FieldByName("ContentTitle").SetAsInteger(1);
    query.FieldByName("ContentTxt").SetAsString("");
    QVERIFY(query.FieldByName("ContentTxt").IsNull());
    query.Post();

    QCOMPARE(db.text("Select typeof(Title1) From Title"), QString("text"));
    QCOMPARE(db.text("Select typeof(ContentTxt) From Content"), QString("null"));
    openWith(query, "Select * From Title");
    QVERIFY(!query.FieldByName("Title1").IsNull());
    QCOMPARE(fieldText(query, "Title1"), QString(""));
    openWith(query, "Select * From Content");
    QVERIFY(query.FieldByName("ContentTxt").IsNull());
    QCOMPARE(fieldText(query, "ContentTxt"), QString(""));

    // Editing a stored paragraph to the empty text also stores NULL.
    db.exec("Update Content Set ContentTxt = 'x'");
    openWith(query, "Select * From Content");
    query.Edit();
    query.FieldByName("ContentTxt").SetAsString("");
    query.Post();
    QCOMPARE(db.text("Select typeof(ContentTxt) From Content"), QString("null"));
}

void TestRecordsetChanges::textIsCutToColumnLength_data() {
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("assigned");
    QTest::addColumn<QString>("expected");
    const QString latin300 = QString(300, QChar('x'));
    QString chinese300;
    for (int i = 0; i < 300; ++i)
        chinese300 += QChar(0x4E00 + i);
    QString emoji260;
    for (int i = 0; i < 130; ++i)
        emoji260 += QString::fromUtf8("😀a");

    QTest::newRow("title of 300 letters") << "Title"
                                          << "TitleTxt" << latin300 << latin300.left(255);
    QTest::newRow("title of 300 Chinese") << "Title"
                                          << "TitleTxt" << chinese300 << chinese300.left(255);
    QTest::newRow("title with non-BMP") << "Title"
                                        << "Title8" << emoji260 << emoji260.left(255 + 128);
    QTest::newRow("exactly the length") << "Short"
                                        << "S"
                                        << "abcde"
                                        << "abcde";
    QTest::newRow("letters") << "Short"
                             << "S"
                             << "abcdefg"
                             << "abcde";
    QTest::newRow("Chinese") << "Short"
                             << "S"
                             << "中文字符串测试"
                             << "中文字符串";
    QTest::newRow("non-BMP at the cut") << "Short"
                                        << "S"
                                        << "abcd😀ef"
                                        << "abcd😀";
    QTest::newRow("non-BMP throughout") << "Short"
                                        << "S"
                                        << "😀𠀀😀𠀀😀𠀀😀"
                                        << "😀𠀀😀𠀀😀";
    QTest::newRow("mixed") << "Short"
                           << "S"
                           << "a中😀𠀀bc"
                           << "a中😀𠀀b";
    QTest::newRow("combining mark counts apart") << "Short"
                                                 << "S"
                                                 << "abcde\u0301"
                                                 << "abcde";
}

void TestRecordsetChanges::textIsCutToColumnLength() {
    QFETCH(QString, table);
    QFETCH(QString, column);
    QFETCH(QString, assigned);
    QFETCH(QString, expected);
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    db.exec("Create Table Short (Id INTEGER PRIMARY KEY AUTOINCREMENT, S VARCHAR(5))");
    openWith(query, QStringLiteral("Select * From %1").arg(table).toStdString());

    query.Insert();
    TField& field = query.FieldByName(column.toStdString());
    QCOMPARE(raised([&] { field.SetAsString(assigned.toStdString()); }), QString());
    QCOMPARE(qstr(field.AsString()), expected);
    query.Post();

    const QString stored = db.text(QStringLiteral("Select %1 From %2").arg(column, table));
    QCOMPARE(stored, expected);
    QVERIFY2(stored.toUtf8() == expected.toUtf8(), "stored text is valid UTF-8");
    openWith(query, QStringLiteral("Select * From %1").arg(table).toStdString());
    QCOMPARE(qstr(query.FieldByName(column.toStdString()).AsString()), expected);
}

void TestRecordsetChanges::readOnlyFieldsRefuseAssignment() {
    RecordSetRig rig(1);
    auto& [db, connection, query] = rig;
    openWith(query, "Select *, TitleTxt || '!' As Shout From Title");

    query.Edit();
    QCOMPARE(raised([&] { query.FieldByName("TitleIndex").SetAsInteger(9); }),
             QString("EDatabaseError | Field 'TitleIndex' cannot be modified"));
    QCOMPARE(raised([&] { query.FieldByName("titleindex").SetAsString("9"); }),
             QString("EDatabaseError | Field 'TitleIndex' cannot be modified"));
    QCOMPARE(raised([&] { query.FieldByName("Shout").SetAsString("x"); }),
             QString("EDatabaseError | Field 'Shout' cannot be modified"));
    QVERIFY(!query.Modified());
    query.FieldByName("TitleTxt").SetAsString("ok");
    query.Post();
    QCOMPARE(db.scalar("Select TitleIndex From Title"), 1);
    QCOMPARE(db.text("Select TitleTxt From Title"), QString("ok"));

    query.Insert();
    QCOMPARE(raised([&] { query.FieldByName("TitleIndex").SetAsInteger(1); }),
             QString("EDatabaseError | Field 'TitleIndex' cannot be modified"));
}

void TestRecordsetChanges::wrongStateErrors() {
    RecordSetRig rig(1);
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title");

    const QString notEditing = "EDatabaseError | ADOQuery1: Dataset not in edit or insert mode";
    QCOMPARE(raised([&] { query.Post(); }), notEditing);
    QCOMPARE(raised([&] { query.FieldByName("TitleTxt").SetAsString("x"); }), notEditing);
    QCOMPARE(raised([&] { query.FieldByName("TitleTxt").SetAsInteger(1); }), notEditing);
    QCOMPARE(raised([&] { query.FieldByName("TitleTxt").Clear(); }), notEditing);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("T1"));
    QVERIFY(!query.Modified());

    // Edit while editing keeps the values assigned so far.
    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("kept");
    query.Edit();
    QCOMPARE(query.State(), TDataSetState::dsEdit);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("kept"));
    query.Post();
    QCOMPARE(db.text("Select TitleTxt From Title"), QString("kept"));

    // Results that cannot be written back: no table at all, or a table without its key column.
    openWith(query, "Select 'a:b' As x");
    QCOMPARE(raised([&] { query.Edit(); }), QString("EDatabaseError | ADOQuery1: Cannot modify a read-only dataset"));
    QCOMPARE(raised([&] { query.Insert(); }), QString("EDatabaseError | ADOQuery1: Cannot modify a read-only dataset"));
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    openWith(query, "Select TitleTxt From Title");
    QCOMPARE(raised([&] { query.Edit(); }), QString("EDatabaseError | ADOQuery1: Cannot modify a read-only dataset"));

    openWith(query, "Select * From Title Where TitleIndex = 0");
    QCOMPARE(raised([&] { query.Delete(); }),
             QString("EDatabaseError | ADOQuery1: Cannot perform this operation on an empty dataset"));
}

void TestRecordsetChanges::deleteMovesToNeighbour_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("deletedRecNo");
    QTest::addColumn<QString>("expectedTitle"); // empty: no row left
    QTest::addColumn<int>("expectedRecNo");
    QTest::newRow("first of three") << 3 << 1 << "T2" << 1;
    QTest::newRow("middle of three") << 3 << 2 << "T3" << 2;
    QTest::newRow("last of three") << 3 << 3 << "T2" << 2;
    QTest::newRow("last of two") << 2 << 2 << "T1" << 1;
    QTest::newRow("only row") << 1 << 1 << "" << -1;
}

void TestRecordsetChanges::deleteMovesToNeighbour() {
    QFETCH(int, rows);
    QFETCH(int, deletedRecNo);
    QFETCH(QString, expectedTitle);
    QFETCH(int, expectedRecNo);
    RecordSetRig rig(rows, "ADOQueryTemp2");
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title Order By TitleIndex");
    query.SetRecNo(deletedRecNo);
    int scrolls = 0;
    QString titleSeen = "(no AfterScroll)";
    query.AfterScroll = [&](TADOQuery& q) {
        ++scrolls;
        titleSeen = fieldText(q, "TitleTxt");
    };

    query.Delete();
    QCOMPARE(scrolls, 1);
    QCOMPARE(titleSeen, expectedTitle);
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(query.RecordCount(), rows - 1);
    QCOMPARE(query.RecNo(), expectedRecNo);
    QCOMPARE(fieldText(query, "TitleTxt"), expectedTitle);
    QCOMPARE(db.scalar(QStringLiteral("Select Count(*) From Title Where TitleIndex = %1").arg(deletedRecNo)), 0);
    QCOMPARE(db.scalar("Select Count(*) From Title"), rows - 1);
    if (rows == 1) {
        QVERIFY(query.Bof() && query.Eof());
        QVERIFY(query.FieldByName("TitleIndex").IsNull());
    }
}

void TestRecordsetChanges::deletionLoopsEmptyTheResult() {
    RecordSetRig rig(0, "ADOQueryTemp2");
    auto& [db, connection, query] = rig;
    for (int i = 0; i < 5; ++i)
        db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (7, 'p')");
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (8, 'other record')");

    // Deleting the first row while the count is above zero.
    openWith(query, "Select * From Content Where ContentTitle = 7");
    for (int guard = 0; query.RecordCount() > 0 && guard < 10; ++guard) {
        query.First();
        query.Delete();
    }
    QCOMPARE(query.RecordCount(), 0);
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 7"), 0);

    // Deleting from the first row until the end flag is set.
    for (int i = 0; i < 4; ++i)
        db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (7, 'p')");
    openWith(query, "Select * From Content Where ContentTitle = 7");
    query.First();
    for (int guard = 0; !query.Eof() && guard < 10; ++guard)
        query.Delete();
    QVERIFY(query.Bof() && query.Eof());
    QCOMPARE(query.RecordCount(), 0);
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 7"), 0);
    QCOMPARE(db.scalar("Select Count(*) From Content"), 1);
}

void TestRecordsetChanges::movesPostOrCancelImplicitly_data() {
    QTest::addColumn<bool>("inserting");
    QTest::addColumn<bool>("assign");
    QTest::addColumn<QueryAction>("move");
    QTest::addColumn<int>("expectedRows");
    QTest::addColumn<QString>("expectedSecondTitle");

    const QueryAction first = [](TADOQuery& q) { q.First(); };
    const QueryAction next = [](TADOQuery& q) { q.Next(); };
    const QueryAction moveBy = [](TADOQuery& q) { q.MoveBy(-1); };
    const QueryAction last = [](TADOQuery& q) { q.Last(); };
    const QueryAction locate = [](TADOQuery& q) { q.Locate("TitleIndex", 1); };
    const QueryAction insert = [](TADOQuery& q) { q.Insert(), q.Cancel(); };

    QTest::newRow("edit, assign, first posts") << false << true << first << 3 << "assigned";
    QTest::newRow("edit, assign, next posts") << false << true << next << 3 << "assigned";
    QTest::newRow("edit, assign, move by posts") << false << true << moveBy << 3 << "assigned";
    QTest::newRow("edit, assign, last posts") << false << true << last << 3 << "assigned";
    QTest::newRow("edit, assign, locate posts") << false << true << locate << 3 << "assigned";
    QTest::newRow("edit, assign, insert posts") << false << true << insert << 3 << "assigned";
    QTest::newRow("edit, next cancels") << false << false << next << 3 << "T2";
    QTest::newRow("edit, locate cancels") << false << false << locate << 3 << "T2";
    QTest::newRow("insert, assign, first posts") << true << true << first << 4 << "T2";
    QTest::newRow("insert, assign, locate posts") << true << true << locate << 4 << "T2";
    QTest::newRow("insert, first cancels") << true << false << first << 3 << "T2";
    QTest::newRow("insert, next cancels") << true << false << next << 3 << "T2";
}

void TestRecordsetChanges::movesPostOrCancelImplicitly() {
    QFETCH(bool, inserting);
    QFETCH(bool, assign);
    QFETCH(QueryAction, move);
    QFETCH(int, expectedRows);
    QFETCH(QString, expectedSecondTitle);
    RecordSetRig rig(3);
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title Order By TitleIndex");
    query.Next();
    if (inserting)
        query.Insert();
    else
        query.Edit();
    if (assign)
        query.FieldByName("TitleTxt").SetAsString("assigned");

    QCOMPARE(raised([&] { move(query); }), QString());
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QVERIFY(!query.Modified());
    QCOMPARE(query.RecordCount(), expectedRows);
    QCOMPARE(db.scalar("Select Count(*) From Title"), expectedRows);
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 2"), expectedSecondTitle);
    if (inserting && assign)
        QCOMPARE(db.scalar("Select Count(*) From Title Where TitleTxt = 'assigned'"), 1);
}

void TestRecordsetChanges::failedPostKeepsStateAndValues() {
    RecordSetRig rig(0, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    db.exec("Create Table Strict (Id INTEGER PRIMARY KEY AUTOINCREMENT, Name VARCHAR(20) NOT NULL, "
            "Amount INTEGER)");
    db.exec("Insert Into Strict (Name, Amount) Values ('first', 1)");
    openWith(query, "Select * From Strict");
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    query.Insert();
    query.FieldByName("Amount").SetAsInteger(42);
    const QString error = raised([&] { query.Post(); });
    // The engine's own words: SQLite says "NOT NULL", a server "not-null".
    QVERIFY2(error.startsWith("EDatabaseError | ") && error.toUpper().replace('-', ' ').contains("NOT NULL"),
             qPrintable(error));
    QVERIFY2(!error.endsWith('.'), qPrintable(error));
    QCOMPARE(query.State(), TDataSetState::dsInsert);
    QCOMPARE(query.FieldByName("Amount").AsInteger(), 42);
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(db.scalar("Select Count(*) From Strict"), 1);

    // A move posts again and fails again while the cause persists.
    QCOMPARE(raised([&] { query.First(); }), error);
    QCOMPARE(query.State(), TDataSetState::dsInsert);
    QCOMPARE(scrolls, 1); // only the insert's

    query.FieldByName("Name").SetAsString("second");
    QCOMPARE(raised([&] { query.Post(); }), QString());
    QCOMPARE(query.RecordCount(), 2);
    QCOMPARE(db.scalar("Select Amount From Strict Where Name = 'second'"), 42);
    // The key the database gave the row (a server's identity also counts the failed inserts).
    QCOMPARE(query.FieldByName("Id").AsInteger(), db.scalar("Select Id From Strict Where Name = 'second'"));

    // The same for an edit that the database refuses.
    QVERIFY(query.Locate("Id", 1));
    query.Edit();
    query.FieldByName("Name").Clear();
    query.FieldByName("Amount").SetAsInteger(7);
    QVERIFY(raised([&] { query.Post(); }).toUpper().replace('-', ' ').contains("NOT NULL"));
    QCOMPARE(query.State(), TDataSetState::dsEdit);
    QVERIFY(query.FieldByName("Name").IsNull());
    QCOMPARE(query.FieldByName("Amount").AsInteger(), 7);
    QCOMPARE(db.scalar("Select Amount From Strict Where Id = 1"), 1);
    query.Cancel();
    QCOMPARE(fieldText(query, "Name"), QString("first"));
}

void TestRecordsetChanges::editOnEmptyResultStartsInsert() {
    RecordSetRig rig;
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Content Where ContentTitle = 5");
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    query.Edit();
    QCOMPARE(query.State(), TDataSetState::dsInsert);
    QCOMPARE(scrolls, 1);
    query.FieldByName("ContentTitle").SetAsInteger(5);
    query.Post();
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(query.RecNo(), 1);
    QVERIFY(!query.Eof());
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 5"), 1);
}

void TestRecordsetChanges::reparentingWalkVisitsEveryRowOnce() {
    RecordSetRig rig(0, "ADOQueryTemp2");
    auto& [db, connection, query] = rig;
    for (int i = 0; i < 4; ++i)
        db.exec(QStringLiteral("Insert Into Content (ContentTitle, ContentTxt) Values (0, 'pending %1')").arg(i));
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (3, 'stored')");
    openWith(query, "Select * From Content Where ContentTitle = 0");

    std::vector<int> visited;
    query.First();
    for (int guard = 0; !query.Eof() && guard < 10; ++guard) {
        visited.push_back(query.FieldByName("ContentIndex").AsInteger());
        query.Edit();
        query.FieldByName("ContentTitle").SetAsInteger(9);
        query.Post();
        query.Next();
    }
    QCOMPARE(visited, (std::vector<int>{1, 2, 3, 4}));
    QVERIFY(query.Eof());
    QCOMPARE(query.RecordCount(), 4);
    QCOMPARE(query.FieldByName("ContentTitle").AsInteger(), 9); // edited rows stay in the result
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 9"), 4);
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 0"), 0);
    QCOMPARE(db.scalar("Select Count(*) From Content Where ContentTitle = 3"), 1);
}

void TestRecordsetChanges::postAfterAnotherProcessChangedTheRowFails_data() {
    QTest::addColumn<QString>("otherProcess");
    QTest::addColumn<QString>("expectedStored"); // TitleTxt of row 1 afterwards; empty: row gone
    QTest::newRow("same column changed") << "Update Title Set TitleTxt = 'theirs' Where TitleIndex = 1"
                                         << "theirs";
    QTest::newRow("same column set to NULL") << "Update Title Set TitleTxt = NULL Where TitleIndex = 1"
                                             << "";
    QTest::newRow("row deleted") << "Delete From Title Where TitleIndex = 1"
                                 << "";
}

void TestRecordsetChanges::postAfterAnotherProcessChangedTheRowFails() {
    QFETCH(QString, otherProcess);
    QFETCH(QString, expectedStored);
    RecordSetRig rig(2, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title Order By TitleIndex");

    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("mine");
    query.FieldByName("Title4").SetAsString("mine too");
    db.exec(otherProcess);
    QCOMPARE(raised([&] { query.Post(); }), kUpdateConflict);

    QCOMPARE(query.State(), TDataSetState::dsEdit);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("mine"));
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 1"), expectedStored);
    QCOMPARE(db.scalar("Select Count(*) From Title Where Title4 Is Not Null"), 0);
    QCOMPARE(db.text("Select TitleTxt From Title Where TitleIndex = 2"), QString("T2"));
    QCOMPARE(raised([&] { query.Next(); }), kUpdateConflict); // the implicit post fails the same way
    QCOMPARE(query.RecNo(), 1);
    query.Cancel();
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(query.RecordCount(), 2);
}

void TestRecordsetChanges::deleteOfRowDeletedElsewhereFails() {
    RecordSetRig rig(3, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    openWith(query, "Select * From Title Order By TitleIndex");
    query.Next();
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    db.exec("Delete From Title Where TitleIndex = 2");
    QCOMPARE(raised([&] { query.Delete(); }), QString("EDatabaseError | Row cannot be located for deletion"));
    QCOMPARE(scrolls, 0);
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(query.RecordCount(), 3);
    QCOMPARE(query.RecNo(), 2);
    QCOMPARE(fieldText(query, "TitleTxt"), QString("T2"));
    QCOMPARE(db.scalar("Select Count(*) From Title"), 2);

    // The record set goes on working: the next row deletes normally.
    query.Next();
    query.Delete();
    QCOMPARE(db.scalar("Select Count(*) From Title"), 1);
    QCOMPARE(query.RecordCount(), 2);
}

// Mended fault: a BLOB, and every text of a UTF-16 database, was kept as raw bytes and compared as
// UTF-8 text, so each post of such a row failed with the update conflict although nobody had changed
// it. Values keep their storage class; text reads as UTF-8 whatever the database's encoding.
void TestRecordsetChanges::blobAndUtf16ValuesPost_data() {
    QTest::addColumn<QString>("encoding");
    QTest::newRow("UTF-8 database") << "UTF-8";
    QTest::newRow("UTF-16 database") << "UTF-16le";
}

void TestRecordsetChanges::blobAndUtf16ValuesPost() {
    QFETCH(QString, encoding);
    TestDatabase scratch;
    const QString path = scratch.dir() + "/other.db";
    {
        // As an import script would write it.
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        const std::string sql = "PRAGMA encoding = '" + encoding.toStdString() + "';" + SchemaSql() +
                                "Insert Into Title (TitleTxt, Title1, Title2) Values ('标题', X'00FF41', 'kept');";
        QCOMPARE(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    TADOConnection connection(path.toStdString());
    TADOQuery query("ADOQueryTemp", &connection);
    openWith(query, "Select * From Title");
    QCOMPARE(fieldText(query, "TitleTxt"), QString("标题"));
    QCOMPARE(query.FieldByName("Title1").AsString(), std::string("\0\xFF"
                                                                 "A",
                                                                 3));

    query.Edit();
    query.FieldByName("TitleTxt").SetAsString("新标题");
    query.FieldByName("Title1").SetAsString("now text");
    QCOMPARE(raised([&] { query.Post(); }), QString());

    TADOConnection other(path.toStdString());
    TADOQuery check("check", &other);
    openWith(check, "Select TitleTxt || '|' || Title1 || '|' || typeof(Title1) || '|' || Title2 As v From Title");
    QCOMPARE(fieldText(check, "v"), QString("新标题|now text|text|kept"));
}

// Mended faults: a text over the engine's length limit was bound as NULL while post reported success;
// a schema read cut short was remembered as the table's schema (no key: read-only for the connection's
// life); and a handler that prepared many statements during an open made the statement cache finalize
// the statement that open still held (an invalid read the sanitizer build reports).
void TestRecordsetChanges::engineFailuresAreErrors() {
    RecordSetRig rig(1, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    connection.Open();

    // SQLite's own interruption and length limit (a server has neither).
    if (!TestDatabase::onServer()) {
        sqlite3_progress_handler(
            SqliteHandleOf(connection), 1, [](void*) { return 1; }, nullptr);
        QCOMPARE(raised([&] { openWith(query, "Select * From Title"); }), QString("EOleException | interrupted"));
        sqlite3_progress_handler(SqliteHandleOf(connection), 0, nullptr, nullptr);
        openWith(query, "Select * From Title");
        QCOMPARE(raised([&] { query.Edit(); }), QString());

        const int limit = sqlite3_limit(SqliteHandleOf(connection), SQLITE_LIMIT_LENGTH, 100);
        query.FieldByName("Title1").SetAsString(std::string(200, 'x'));
        QCOMPARE(raised([&] { query.Post(); }), QString("EDatabaseError | string or blob too big"));
        QCOMPARE(query.State(), TDataSetState::dsEdit);
        QCOMPARE(db.scalar("Select Count(*) From Title Where Title1 Is Not Null"), 0);
        query.Cancel();
        sqlite3_limit(SqliteHandleOf(connection), SQLITE_LIMIT_LENGTH, limit);
    }

    TADOQuery other("ADOQueryTemp2", &connection);
    query.AfterScroll = [&](TADOQuery&) {
        for (int i = 0; i < 100; ++i)
            openWith(other, "Select " + std::to_string(i) + " As n");
    };
    openWith(query, "Select * From Title Where TitleTxt = 'T1'");
    QCOMPARE(fieldText(query, "TitleTxt"), QString("T1"));
    QCOMPARE(fieldText(other, "n"), QString("99"));
}

QTEST_GUILESS_MAIN(TestRecordsetChanges)
#include "tst_recordset_changes.moc"
