// Reading and moving through a record set: which moves fire AfterScroll, the two flags, the window of
// rows a grid shows, field lookup and kinds, and the errors of closed and empty record sets.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "DatabaseErrors.h"
#include "Field.h"
#include "RecordSetTestHelpers.h"
#include "TestDatabase.h"

#include <QtTest>

#include <climits>
#include <functional>
#include <vector>

namespace {

// An action on an open record set; its result is what the operation returned (moved rows, found).
using QueryAction = std::function<int(TADOQuery&)>;
constexpr int kAny = INT_MIN; // expectation not checked

const std::string kTitles = "Select * From Title Order By TitleIndex";

// A grid's footer totals: after every open it counts the rows with the record set's own moves,
// holding back change notices while it walks.
class CountingFooter : public TDataSetObserver {
public:
    void DataSetNotice(TADOQuery&, TDataNotice notice) override {
        if (m_walking)
            ++noticesWhileHeld;
        else if (m_releasing)
            releaseNotices.push_back(notice);
    }
    void AfterOpen(TADOQuery& query) override {
        m_walking = true;
        query.DisableControls();
        query.First();
        visitedKeys.clear();
        while (!query.Eof()) {
            visitedKeys.push_back(query.FieldByName("TitleIndex").AsInteger());
            query.Next();
        }
        query.First();
        m_walking = false;
        m_releasing = true;
        query.EnableControls();
        m_releasing = false;
    }

    std::vector<int> visitedKeys;
    int noticesWhileHeld = 0;
    std::vector<TDataNotice> releaseNotices;

private:
    bool m_walking = false;
    bool m_releasing = false;
};

class NoticeCounter : public TDataSetObserver {
public:
    void DataSetNotice(TADOQuery&, TDataNotice notice) override { notices.push_back(notice); }
    std::vector<TDataNotice> notices;
};

} // namespace

Q_DECLARE_METATYPE(QueryAction)

class TestRecordsetReading : public QObject {
    Q_OBJECT

private slots:
    void openFiresAfterScrollOnlyWithRows_data();
    void openFiresAfterScrollOnlyWithRows();
    void movesFireAfterScrollAndSetFlags_data();
    void movesFireAfterScrollAndSetFlags();
    void countWalkOfBoundGrid_data();
    void countWalkOfBoundGrid();
    void heldBackNoticesAreReleasedOnce();
    void windowOfRowsFollowsMoves_data();
    void windowOfRowsFollowsMoves();
    void cellTextOfWindowLines();
    void emptyResultReadsNullFields();
    void valuesReadAsTextAndInteger();
    void closedDatasetRaisesWithName_data();
    void closedDatasetRaisesWithName();
    void fieldLookupIgnoresCase();
    void fieldKindsFollowDeclaredTypes_data();
    void fieldKindsFollowDeclaredTypes();
    void statementWithoutResultSetStaysClosed();
    void parameterMarkersOnlyOutsideQuotes_data();
    void parameterMarkersOnlyOutsideQuotes();
    void statementLinesAndClosingOnChange();
};

void TestRecordsetReading::openFiresAfterScrollOnlyWithRows_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("expectedScrolls");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("one row") << 1 << 1;
    QTest::newRow("three rows") << 3 << 1;
}

void TestRecordsetReading::openFiresAfterScrollOnlyWithRows() {
    QFETCH(int, rows);
    QFETCH(int, expectedScrolls);
    RecordSetRig rig(rows);
    auto& [db, connection, query] = rig;
    int scrolls = 0;
    int recNoSeen = kAny;
    query.AfterScroll = [&](TADOQuery& q) {
        ++scrolls;
        recNoSeen = q.RecNo();
    };

    openWith(query, kTitles);
    QCOMPARE(scrolls, expectedScrolls);
    QVERIFY(query.Active());
    QCOMPARE(query.State(), TDataSetState::dsBrowse);
    QCOMPARE(query.RecordCount(), rows);
    QVERIFY(query.Bof());
    QCOMPARE(query.Eof(), rows == 0);
    QCOMPARE(query.RecNo(), rows == 0 ? -1 : 1);
    if (rows > 0)
        QCOMPARE(recNoSeen, 1);

    // Opening an open record set changes nothing, not even the current row.
    if (rows > 1) {
        query.Next();
        const int before = scrolls;
        query.Open();
        QCOMPARE(scrolls, before);
        QCOMPARE(query.RecNo(), 2);
    }
}

void TestRecordsetReading::movesFireAfterScrollAndSetFlags_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<QueryAction>("setup");
    QTest::addColumn<QueryAction>("action");
    QTest::addColumn<int>("expectedResult");
    QTest::addColumn<int>("expectedScrolls");
    QTest::addColumn<int>("expectedRecNo");
    QTest::addColumn<int>("expectedBof"); // 0, 1 or kAny
    QTest::addColumn<int>("expectedEof");
    QTest::addColumn<int>("expectedCount");

    const QueryAction none = [](TADOQuery&) { return 0; };
    const QueryAction first = [](TADOQuery& q) { return q.First(), 0; };
    const QueryAction next = [](TADOQuery& q) { return q.Next(), 0; };
    const QueryAction last = [](TADOQuery& q) { return q.Last(), 0; };
    const auto moveBy = [](int n) { return QueryAction([n](TADOQuery& q) { return q.MoveBy(n); }); };
    const auto setRecNo = [](int n) { return QueryAction([n](TADOQuery& q) { return q.SetRecNo(n), 0; }); };
    const auto locate = [](const char* field, int key) {
        return QueryAction([field, key](TADOQuery& q) { return q.Locate(field, key) ? 1 : 0; });
    };
    const QueryAction lastThenBackToFirst = [](TADOQuery& q) { return q.Last(), q.MoveBy(-2); };
    const QueryAction insert = [](TADOQuery& q) { return q.Insert(), 0; };
    const QueryAction nextAndInsert = [](TADOQuery& q) { return q.Next(), q.Insert(), 0; };
    const QueryAction cancel = [](TADOQuery& q) { return q.Cancel(), 0; };
    const QueryAction edit = [](TADOQuery& q) { return q.Edit(), 0; };
    const QueryAction editAndAssign = [](TADOQuery& q) {
        q.Edit();
        q.FieldByName("TitleTxt").SetAsString("changed");
        return 0;
    };
    const QueryAction insertAndAssign = [](TADOQuery& q) {
        q.Insert();
        q.FieldByName("TitleTxt").SetAsString("new");
        return 0;
    };
    const QueryAction post = [](TADOQuery& q) { return q.Post(), 0; };
    const QueryAction remove = [](TADOQuery& q) { return q.Delete(), 0; };
    const QueryAction close = [](TADOQuery& q) { return q.Close(), 0; };

    // rows, setup, action, result, scrolls, RecNo, Bof, Eof, RecordCount
    QTest::newRow("first") << 3 << next << first << 0 << 1 << 1 << 1 << 0 << 3;
    QTest::newRow("first on empty") << 0 << none << first << 0 << 1 << -1 << 1 << 1 << 0;
    QTest::newRow("next inside") << 3 << none << next << 0 << 1 << 2 << 0 << 0 << 3;
    QTest::newRow("next at last row sets eof") << 3 << moveBy(2) << next << 0 << 1 << 3 << 0 << 1 << 3;
    QTest::newRow("next at eof does nothing") << 3 << last << next << 0 << 0 << 3 << 0 << 1 << 3;
    QTest::newRow("next on only row") << 1 << none << next << 0 << 1 << 1 << 0 << 1 << 1;
    QTest::newRow("next on empty") << 0 << none << next << 0 << 0 << -1 << 1 << 1 << 0;
    QTest::newRow("move by 0") << 3 << next << moveBy(0) << 0 << 0 << 2 << 0 << 0 << 3;
    QTest::newRow("move by +2") << 3 << none << moveBy(2) << 2 << 1 << 3 << 0 << 0 << 3;
    QTest::newRow("move by +5 stops at end") << 3 << none << moveBy(5) << 2 << 1 << 3 << 0 << 1 << 3;
    QTest::newRow("move by +1 at last row") << 3 << moveBy(2) << moveBy(1) << 0 << 1 << 3 << 0 << 1 << 3;
    QTest::newRow("move by +1 at eof") << 3 << last << moveBy(1) << 0 << 0 << 3 << 0 << 1 << 3;
    QTest::newRow("move by -1 at bof") << 3 << none << moveBy(-1) << 0 << 0 << 1 << 1 << 0 << 3;
    QTest::newRow("move by -1 from last") << 3 << last << moveBy(-1) << -1 << 1 << 2 << 0 << 0 << 3;
    QTest::newRow("move by -2 onto first row") << 3 << last << moveBy(-2) << -2 << 1 << 1 << 0 << 0 << 3;
    QTest::newRow("move by -1 at first row sets bof")
        << 3 << lastThenBackToFirst << moveBy(-1) << 0 << 1 << 1 << 1 << 0 << 3;
    QTest::newRow("move by -5 stops at start") << 3 << last << moveBy(-5) << -2 << 1 << 1 << 1 << 0 << 3;
    QTest::newRow("move by on empty") << 0 << none << moveBy(1) << 0 << 0 << -1 << 1 << 1 << 0;
    QTest::newRow("last") << 3 << none << last << 0 << 1 << 3 << 0 << 1 << 3;
    QTest::newRow("last on only row") << 1 << none << last << 0 << 1 << 1 << 0 << 1 << 1;
    QTest::newRow("last on empty") << 0 << none << last << 0 << 1 << -1 << 1 << 1 << 0;
    QTest::newRow("set recno to current") << 3 << none << setRecNo(1) << 0 << 0 << 1 << 1 << 0 << 3;
    QTest::newRow("set recno elsewhere") << 3 << none << setRecNo(3) << 0 << 1 << 3 << kAny << 0 << 3;
    QTest::newRow("locate found") << 3 << none << locate("TitleIndex", 2) << 1 << 1 << 2 << kAny << 0 << 3;
    QTest::newRow("locate lower-case field") << 3 << none << locate("titleindex", 3) << 1 << 1 << 3 << kAny << 0 << 3;
    QTest::newRow("locate not found") << 3 << next << locate("TitleIndex", 99) << 0 << 0 << 2 << 0 << 0 << 3;
    QTest::newRow("locate unknown field") << 3 << next << locate("NoSuch", 2) << 0 << 0 << 2 << 0 << 0 << 3;
    QTest::newRow("locate on empty") << 0 << none << locate("TitleIndex", 1) << 0 << 0 << -1 << 1 << 1 << 0;
    QTest::newRow("insert") << 3 << none << insert << 0 << 1 << -1 << kAny << kAny << 3;
    QTest::newRow("cancel of insert") << 3 << nextAndInsert << cancel << 0 << 1 << 2 << kAny << kAny << 3;
    QTest::newRow("cancel of edit") << 3 << editAndAssign << cancel << 0 << 0 << 1 << kAny << kAny << 3;
    QTest::newRow("edit") << 3 << none << edit << 0 << 0 << 1 << kAny << kAny << 3;
    QTest::newRow("edit on empty inserts") << 0 << none << edit << 0 << 1 << -1 << kAny << kAny << 0;
    QTest::newRow("post of edit") << 3 << editAndAssign << post << 0 << 0 << 1 << kAny << kAny << 3;
    QTest::newRow("post of insert") << 3 << insertAndAssign << post << 0 << 0 << kAny << kAny << kAny << 4;
    QTest::newRow("delete inside") << 3 << next << remove << 0 << 1 << 2 << kAny << 0 << 2;
    QTest::newRow("delete last row") << 3 << last << remove << 0 << 1 << 2 << kAny << kAny << 2;
    QTest::newRow("delete only row") << 1 << none << remove << 0 << 1 << -1 << 1 << 1 << 0;
    QTest::newRow("delete while inserting cancels") << 3 << nextAndInsert << remove << 0 << 1 << 2 << kAny << kAny << 3;
    QTest::newRow("close") << 3 << none << close << 0 << 0 << -1 << 1 << 1 << kAny;
}

void TestRecordsetReading::movesFireAfterScrollAndSetFlags() {
    QFETCH(int, rows);
    QFETCH(QueryAction, setup);
    QFETCH(QueryAction, action);
    QFETCH(int, expectedResult);
    QFETCH(int, expectedScrolls);
    QFETCH(int, expectedRecNo);
    QFETCH(int, expectedBof);
    QFETCH(int, expectedEof);
    QFETCH(int, expectedCount);

    RecordSetRig rig(rows);
    auto& [db, connection, query] = rig;
    openWith(query, kTitles);
    setup(query);
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    QCOMPARE(action(query), expectedResult);
    QCOMPARE(scrolls, expectedScrolls);
    if (expectedRecNo != kAny)
        QCOMPARE(query.RecNo(), expectedRecNo);
    if (expectedBof != kAny)
        QCOMPARE(query.Bof(), expectedBof == 1);
    if (expectedEof != kAny)
        QCOMPARE(query.Eof(), expectedEof == 1);
    if (expectedCount != kAny)
        QCOMPARE(query.RecordCount(), expectedCount);
}

void TestRecordsetReading::countWalkOfBoundGrid_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("expectedScrolls");
    QTest::newRow("empty") << 0 << 2;
    QTest::newRow("one row") << 1 << 4;
    QTest::newRow("two rows") << 2 << 5;
    QTest::newRow("seven rows") << 7 << 10;
}

void TestRecordsetReading::countWalkOfBoundGrid() {
    QFETCH(int, rows);
    QFETCH(int, expectedScrolls);
    RecordSetRig rig(rows);
    auto& [db, connection, query] = rig;
    query.SetBufferCount(3);
    CountingFooter footer;
    query.AddObserver(&footer);
    std::vector<int> scrolledTo;
    query.AfterScroll = [&](TADOQuery& q) { scrolledTo.push_back(q.RecNo()); };

    openWith(query, kTitles);

    QCOMPARE(int(scrolledTo.size()), expectedScrolls);
    std::vector<int> expectedKeys;
    for (int key = 1; key <= rows; ++key)
        expectedKeys.push_back(key);
    QCOMPARE(footer.visitedKeys, expectedKeys);
    QCOMPARE(footer.noticesWhileHeld, 0);
    QCOMPARE(int(footer.releaseNotices.size()), 1);
    QCOMPARE(footer.releaseNotices.front(), TDataNotice::DataSetChanged);
    QVERIFY(!query.ControlsDisabled());
    if (rows > 0) {
        // The open's own AfterScroll comes last, on the first row, which the grid shows on its top line.
        QCOMPARE(scrolledTo.back(), 1);
        QCOMPARE(query.RecNo(), 1);
        QCOMPARE(query.ActiveLine(), 0);
        QVERIFY(query.Bof());
        QVERIFY(!query.Eof());
    } else {
        QVERIFY(query.Bof() && query.Eof());
    }
    query.RemoveObserver(&footer);
}

void TestRecordsetReading::heldBackNoticesAreReleasedOnce() {
    RecordSetRig rig(4);
    auto& [db, connection, query] = rig;
    openWith(query, kTitles);
    NoticeCounter counter;
    query.AddObserver(&counter);
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    query.Next();
    QVERIFY2(!counter.notices.empty(), "a move is told to bound controls");

    counter.notices.clear();
    query.DisableControls();
    query.DisableControls();
    query.Next();
    query.Last();
    query.First();
    query.EnableControls();
    QVERIFY(query.ControlsDisabled());
    QCOMPARE(int(counter.notices.size()), 0);
    QCOMPARE(scrolls, 4); // AfterScroll is not held back
    query.EnableControls();
    QVERIFY(!query.ControlsDisabled());
    QCOMPARE(int(counter.notices.size()), 1);
    QCOMPARE(counter.notices.front(), TDataNotice::DataSetChanged);
    query.RemoveObserver(&counter);

    // A removed observer hears nothing more.
    counter.notices.clear();
    query.Next();
    QCOMPARE(int(counter.notices.size()), 0);
}

void TestRecordsetReading::windowOfRowsFollowsMoves_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QueryAction>("moves");
    QTest::addColumn<int>("expectedRecNo");
    QTest::addColumn<int>("expectedLine");
    QTest::addColumn<QString>("expectedTopTitle");
    QTest::addColumn<int>("expectedWindowRows");

    const auto nexts = [](int count) {
        return QueryAction([count](TADOQuery& q) {
            for (int i = 0; i < count; ++i)
                q.Next();
            return 0;
        });
    };
    const auto then = [](QueryAction a, QueryAction b) {
        return QueryAction([a, b](TADOQuery& q) { return a(q), b(q); });
    };
    const auto moveBy = [](int n) {
        return QueryAction([n](TADOQuery& q) {
            q.MoveBy(n);
            return 0;
        });
    };
    const QueryAction last = [](TADOQuery& q) { return q.Last(), 0; };
    const QueryAction first = [](TADOQuery& q) { return q.First(), 0; };
    const auto locate = [](int key) {
        return QueryAction([key](TADOQuery& q) { return q.Locate("TitleIndex", key) ? 0 : 1; });
    };
    const auto setRecNo = [](int n) { return QueryAction([n](TADOQuery& q) { return q.SetRecNo(n), 0; }); };
    const QueryAction editPost = [](TADOQuery& q) {
        q.Edit();
        q.FieldByName("Title1").SetAsString("x");
        q.Post();
        return 0;
    };
    const QueryAction remove = [](TADOQuery& q) { return q.Delete(), 0; };

    // rows, lines, moves, RecNo, ActiveLine, title on the top line, WindowRowCount
    QTest::newRow("open") << 10 << 4 << nexts(0) << 1 << 0 << "T1" << 4;
    QTest::newRow("next within lines") << 10 << 4 << nexts(3) << 4 << 3 << "T1" << 4;
    QTest::newRow("next past bottom line") << 10 << 4 << nexts(4) << 5 << 3 << "T2" << 4;
    QTest::newRow("back within lines") << 10 << 4 << then(nexts(4), moveBy(-1)) << 4 << 2 << "T2" << 4;
    QTest::newRow("back past top line") << 10 << 4 << then(nexts(4), moveBy(-4)) << 1 << 0 << "T1" << 4;
    QTest::newRow("jump past bottom line") << 10 << 4 << moveBy(6) << 7 << 3 << "T4" << 4;
    QTest::newRow("last on bottom line") << 10 << 4 << last << 10 << 3 << "T7" << 4;
    QTest::newRow("up within lines from last") << 10 << 4 << then(last, moveBy(-3)) << 7 << 0 << "T7" << 4;
    QTest::newRow("up past top from last") << 10 << 4 << then(last, moveBy(-4)) << 6 << 0 << "T6" << 4;
    QTest::newRow("first on top line") << 10 << 4 << then(last, first) << 1 << 0 << "T1" << 4;
    QTest::newRow("locate in the middle") << 10 << 4 << locate(5) << 5 << 1 << "T4" << 4;
    QTest::newRow("locate middle of five lines") << 10 << 5 << locate(5) << 5 << 2 << "T3" << 5;
    QTest::newRow("locate middle of even lines") << 10 << 6 << locate(6) << 6 << 2 << "T4" << 6;
    QTest::newRow("locate first row") << 10 << 5 << locate(1) << 1 << 0 << "T1" << 5;
    QTest::newRow("locate with one row above") << 10 << 5 << locate(2) << 2 << 1 << "T1" << 5;
    QTest::newRow("locate last row fills from above") << 10 << 4 << locate(10) << 10 << 3 << "T7" << 4;
    QTest::newRow("locate next to last fills from above") << 10 << 4 << locate(9) << 9 << 2 << "T7" << 4;
    QTest::newRow("set recno places like locate") << 10 << 4 << setRecNo(6) << 6 << 1 << "T5" << 4;
    QTest::newRow("fewer rows than lines") << 3 << 5 << last << 3 << 2 << "T1" << 3;
    QTest::newRow("locate with fewer rows than lines") << 3 << 5 << locate(3) << 3 << 2 << "T1" << 3;
    QTest::newRow("post keeps the line") << 10 << 4 << then(nexts(4), editPost) << 5 << 3 << "T2" << 4;
    QTest::newRow("delete keeps the line") << 10 << 4 << then(nexts(2), remove) << 3 << 2 << "T1" << 4;
    QTest::newRow("one line") << 10 << 1 << then(nexts(4), moveBy(-2)) << 3 << 0 << "T3" << 1;
}

void TestRecordsetReading::windowOfRowsFollowsMoves() {
    QFETCH(int, rows);
    QFETCH(int, lines);
    QFETCH(QueryAction, moves);
    QFETCH(int, expectedRecNo);
    QFETCH(int, expectedLine);
    QFETCH(QString, expectedTopTitle);
    QFETCH(int, expectedWindowRows);

    RecordSetRig rig(rows);
    auto& [db, connection, query] = rig;
    query.SetBufferCount(lines);
    openWith(query, kTitles);
    QCOMPARE(moves(query), 0);

    QCOMPARE(query.RecNo(), expectedRecNo);
    QCOMPARE(query.ActiveLine(), expectedLine);
    QCOMPARE(query.WindowRowCount(), expectedWindowRows);
    const int titleTxt = query.FieldByName("TitleTxt").Index();
    QCOMPARE(QString::fromStdString(query.TextAt(0, titleTxt)), expectedTopTitle);
    // The window is consecutive rows of the result with the current row on the active line.
    const int topKey = std::stoi(query.TextAt(0, 0));
    for (int line = 1; line < query.WindowRowCount(); ++line)
        QVERIFY(std::stoi(query.TextAt(line, 0)) > topKey);
    QCOMPARE(query.TextAt(query.ActiveLine(), titleTxt), query.FieldByName("TitleTxt").AsString());
}

void TestRecordsetReading::cellTextOfWindowLines() {
    RecordSetRig rig;
    auto& [db, connection, query] = rig;
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (-7, 'first paragraph')");
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (12, NULL)");
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (NULL, '')");
    query.SetBufferCount(5);
    openWith(query, "Select * From Content Order By ContentIndex");

    QCOMPARE(query.WindowRowCount(), 3);
    const int owner = query.FieldByName("ContentTitle").Index();
    const int text = query.FieldByName("ContentTxt").Index();
    QCOMPARE(qstr(query.TextAt(0, owner)), QString("-7"));
    QCOMPARE(qstr(query.DisplayTextAt(0, owner)), QString("-7"));
    QCOMPARE(qstr(query.TextAt(0, text)), QString("first paragraph"));
    QCOMPARE(qstr(query.DisplayTextAt(0, text)), QString("(MEMO)"));
    QVERIFY(query.IsNullAt(1, text));
    QCOMPARE(qstr(query.TextAt(1, text)), QString());
    QCOMPARE(qstr(query.DisplayTextAt(1, text)), QString("(Memo)"));
    // An empty text written by another program is a value, not NULL.
    QVERIFY(!query.IsNullAt(2, text));
    QCOMPARE(qstr(query.DisplayTextAt(2, text)), QString("(MEMO)"));
    QVERIFY(query.IsNullAt(2, owner));
    QCOMPARE(qstr(query.DisplayTextAt(2, owner)), QString());

    query.Close();
    QCOMPARE(query.WindowRowCount(), 0);
    QCOMPARE(query.ActiveLine(), -1);
}

void TestRecordsetReading::emptyResultReadsNullFields() {
    RecordSetRig rig(2, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    query.SetBufferCount(4);
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };
    openWith(query, "Select * From Title Where TitleIndex = 99");

    QCOMPARE(scrolls, 0);
    QCOMPARE(query.RecordCount(), 0);
    QVERIFY(query.Bof() && query.Eof());
    QCOMPARE(query.RecNo(), -1);
    QCOMPARE(query.WindowRowCount(), 0);
    QCOMPARE(query.ActiveLine(), -1);
    QCOMPARE(query.FieldCount(), 10);
    for (int i = 0; i < query.FieldCount(); ++i) {
        const TField& field = query.Fields(i);
        QVERIFY(field.IsNull());
        QCOMPARE(qstr(field.AsString()), QString());
        QCOMPARE(field.AsInteger(), 0);
    }
    QCOMPARE(&query.FieldByName("title8"), &query.Fields(9));
    QCOMPARE(raised([&] { query.Delete(); }),
             QString("EDatabaseError | ADOQueryTemp: Cannot perform this operation on an empty dataset"));
}

void TestRecordsetReading::valuesReadAsTextAndInteger() {
    RecordSetRig rig;
    auto& [db, connection, query] = rig;
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (-2147483648, '  keeps blanks  ')");
    db.exec("Insert Into Content (ContentTitle, ContentTxt) Values (2147483647, NULL)");
    openWith(query, "Select * From Content Order By ContentIndex");

    const TField& owner = query.FieldByName("ContentTitle");
    const TField& text = query.FieldByName("ContentTxt");
    QCOMPARE(qstr(owner.AsString()), QString("-2147483648"));
    QCOMPARE(owner.AsInteger(), INT_MIN);
    QCOMPARE(qstr(text.AsString()), QString("  keeps blanks  "));
    QCOMPARE(query.FieldByName("ContentIndex").AsInteger(), 1);
    query.Next();
    QCOMPARE(qstr(owner.AsString()), QString("2147483647"));
    QCOMPARE(owner.AsInteger(), INT_MAX);
    QVERIFY(text.IsNull());
    QCOMPARE(qstr(text.AsString()), QString());
    QCOMPARE(text.AsInteger(), 0);
    QCOMPARE(qstr(query.FieldByName("ContentIndex").AsString()), QString("2"));

    // Regression: integers were cut to 32 bits, so key 4294967297 read as 1 and acted on record 1.
    // A value that holds no integer raises rather than turning into some other record's key.
    if (TestDatabase::onServer()) // a server's integer column holds integers only
        db.exec("Insert Into Content (ContentTitle) Values (4294967297)");
    else
        db.exec("Insert Into Content (ContentTitle) Values (4294967297), (2.5), ('x')");
    openWith(query, "Select * From Content Where ContentIndex > 2 Order By ContentIndex");
    QCOMPARE(query.FieldByName("ContentTitle").AsInteger(), Q_INT64_C(4294967297));
    QVERIFY(!query.Locate("ContentTitle", 1));
    QVERIFY(query.Locate("ContentTitle", Q_INT64_C(4294967297)));
    if (TestDatabase::onServer())
        return;
    query.Next();
    QCOMPARE(raised([&] { query.FieldByName("ContentTitle").AsInteger(); }),
             QString("EDatabaseError | '2.5' is not a valid integer value"));
    query.Next();
    QCOMPARE(raised([&] { query.FieldByName("ContentTitle").AsInteger(); }),
             QString("EDatabaseError | 'x' is not a valid integer value"));
}

void TestRecordsetReading::closedDatasetRaisesWithName_data() {
    QTest::addColumn<QueryAction>("operation");
    QTest::addColumn<QString>("expected");
    const QString closed = "EDatabaseError | ADOQuery1: Cannot perform this operation on a closed dataset";
    QTest::newRow("record count") << QueryAction([](TADOQuery& q) { return q.RecordCount(); }) << closed;
    QTest::newRow("first") << QueryAction([](TADOQuery& q) { return q.First(), 0; }) << closed;
    QTest::newRow("next") << QueryAction([](TADOQuery& q) { return q.Next(), 0; }) << closed;
    QTest::newRow("move by") << QueryAction([](TADOQuery& q) { return q.MoveBy(1); }) << closed;
    QTest::newRow("last") << QueryAction([](TADOQuery& q) { return q.Last(), 0; }) << closed;
    QTest::newRow("locate") << QueryAction([](TADOQuery& q) { return int(q.Locate("TitleIndex", 1)); }) << closed;
    QTest::newRow("edit") << QueryAction([](TADOQuery& q) { return q.Edit(), 0; }) << closed;
    QTest::newRow("insert") << QueryAction([](TADOQuery& q) { return q.Insert(), 0; }) << closed;
    QTest::newRow("delete") << QueryAction([](TADOQuery& q) { return q.Delete(), 0; }) << closed;
    QTest::newRow("post") << QueryAction([](TADOQuery& q) { return q.Post(), 0; })
                          << "EDatabaseError | ADOQuery1: Dataset not in edit or insert mode";
    QTest::newRow("field by name") << QueryAction([](TADOQuery& q) { return q.FieldByName("TitleIndex").Index(); })
                                   << "EDatabaseError | ADOQuery1: Field 'TitleIndex' not found";
}

void TestRecordsetReading::closedDatasetRaisesWithName() {
    QFETCH(QueryAction, operation);
    QFETCH(QString, expected);
    RecordSetRig rig(2);
    auto& [db, connection, query] = rig;
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    // Never opened.
    QCOMPARE(raised([&] { operation(query); }), expected);
    // After a failed open: this is how a failed OpenQuery surfaces again in the windows.
    QVERIFY(raised([&] { openWith(query, "Select * From NoSuchTable"); }).startsWith("EOleException | "));
    QCOMPARE(raised([&] { operation(query); }), expected);
    // After a close.
    openWith(query, kTitles);
    query.Close();
    QCOMPARE(query.FieldCount(), 0);
    const int scrollsBefore = scrolls;
    QCOMPARE(raised([&] { operation(query); }), expected);
    QCOMPARE(scrolls, scrollsBefore);
    QVERIFY(!query.Active());
}

void TestRecordsetReading::fieldLookupIgnoresCase() {
    RecordSetRig rig(1, "ADOQueryTemp2");
    auto& [db, connection, query] = rig;
    QCOMPARE(query.FindField("TitleIndex"), nullptr);
    openWith(query, kTitles);

    QCOMPARE(qstr(query.FieldByName("titleindex").FieldName()), QString("TitleIndex"));
    QCOMPARE(qstr(query.FieldByName("TITLETXT").AsString()), QString("T1"));
    QCOMPARE(query.FindField("tItLe3"), &query.Fields(4));
    QCOMPARE(query.FindField("Title9"), nullptr);
    QCOMPARE(query.FindField(""), nullptr);
    QCOMPARE(raised([&] { query.FieldByName("titleTXTx"); }),
             QString("EDatabaseError | ADOQueryTemp2: Field 'titleTXTx' not found"));
    QCOMPARE(raised([&] { query.FieldByName("标题"); }),
             QString("EDatabaseError | ADOQueryTemp2: Field '标题' not found"));
}

void TestRecordsetReading::fieldKindsFollowDeclaredTypes_data() {
    QTest::addColumn<QString>("select");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("readOnly");
    const QString title = "Select * From Title";
    const QString kinds = "Select * From Kinds";
    const auto kind = [](TFieldKind k) { return int(k); };
    QTest::newRow("autoincrement key") << title << "TitleIndex" << kind(TFieldKind::AutoInc) << 0 << true;
    QTest::newRow("varchar title") << title << "TitleTxt" << kind(TFieldKind::Text) << 255 << false;
    QTest::newRow("eighth field") << title << "Title8" << kind(TFieldKind::Text) << 255 << false;
    QTest::newRow("content key") << "Select * From Content"
                                 << "ContentIndex" << kind(TFieldKind::AutoInc) << 0 << true;
    QTest::newRow("owner integer") << "Select * From Content"
                                   << "ContentTitle" << kind(TFieldKind::Integer) << 0 << false;
    QTest::newRow("long text") << "Select * From Content"
                               << "ContentTxt" << kind(TFieldKind::Memo) << 0 << false;
    QTest::newRow("rowid alias") << kinds << "K" << kind(TFieldKind::AutoInc) << 0 << true;
    QTest::newRow("int") << kinds << "A" << kind(TFieldKind::Integer) << 0 << false;
    QTest::newRow("char(n)") << kinds << "B" << kind(TFieldKind::Text) << 3 << false;
    QTest::newRow("text(n)") << kinds << "C" << kind(TFieldKind::Text) << 7 << false;
    QTest::newRow("memo") << kinds << "D" << kind(TFieldKind::Memo) << 0 << false;
    QTest::newRow("longtext") << kinds << "E" << kind(TFieldKind::Memo) << 0 << false;
    QTest::newRow("clob") << kinds << "F" << kind(TFieldKind::Memo) << 0 << false;
    QTest::newRow("lower-case varchar") << kinds << "H" << kind(TFieldKind::Text) << 9 << false;
    QTest::newRow("integer expression") << "Select TitleIndex, TitleIndex + 1 As NextKey From Title"
                                        << "NextKey" << kind(TFieldKind::Integer) << 0 << true;
    QTest::newRow("text expression") << "Select TitleIndex, TitleTxt || '!' As Shout From Title"
                                     << "Shout" << kAny << kAny << true;
}

void TestRecordsetReading::fieldKindsFollowDeclaredTypes() {
    QFETCH(QString, select);
    QFETCH(QString, field);
    QFETCH(int, kind);
    QFETCH(int, size);
    QFETCH(bool, readOnly);
    if (TestDatabase::onServer())
        QSKIP("the declared types are SQLite's free spellings");
    RecordSetRig rig;
    auto& [db, connection, query] = rig;
    db.exec("Create Table Kinds (K INTEGER PRIMARY KEY, A INT, B CHAR(3), C TEXT(7), D MEMO, E LONGTEXT, "
            "F CLOB, H varchar(9))");
    db.exec("Insert Into Kinds (A, B, C, D, E, F, H) Values (1, 'b', 'c', 'd', 'e', 'f', 'h')");
    addTitles(db, 1);
    openWith(query, select.toStdString());

    const TField& f = query.FieldByName(field.toStdString());
    if (kind != kAny)
        QCOMPARE(int(f.Kind()), kind);
    if (size != kAny)
        QCOMPARE(f.Size(), size);
    QCOMPARE(f.ReadOnly(), readOnly);
}

void TestRecordsetReading::statementWithoutResultSetStaysClosed() {
    RecordSetRig rig(1, "ADOQueryTemp");
    auto& [db, connection, query] = rig;
    int scrolls = 0;
    query.AfterScroll = [&](TADOQuery&) { ++scrolls; };

    QCOMPARE(raised([&] { openWith(query, "Update Title Set Title1 = 'x'"); }),
             QString("EDatabaseError | ADOQueryTemp: CommandText does not return a result set"));
    QVERIFY(!query.Active());
    QCOMPARE(query.FieldCount(), 0);
    QCOMPARE(scrolls, 0);
    QVERIFY(connection.Connected());
    // The record set is usable again with a statement that does return rows.
    openWith(query, kTitles);
    QCOMPARE(query.RecordCount(), 1);
}

void TestRecordsetReading::parameterMarkersOnlyOutsideQuotes_data() {
    QTest::addColumn<QString>("select");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("expectedNull");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("colon inside apostrophes") << "Select 'a:b' As x"
                                              << "x" << false << "a:b";
    QTest::newRow("doubled colon inside apostrophes") << "Select 'a::b' As x"
                                                      << "x" << false << "a::b";
    QTest::newRow("colon after doubled apostrophe") << "Select 'it''s :x' As x"
                                                    << "x" << false << "it's :x";
    QTest::newRow("colon inside quotation marks") << "Select 'v' As \"a:b\""
                                                  << "a:b" << false << "v";
    QTest::newRow("colon inside grave accents") << "Select 'w' As `c:d`"
                                                << "c:d" << false << "w";
    // Regression: any quote character ended quoted text, so these colons became parameter markers.
    QTest::newRow("quotation mark and colon inside apostrophes") << "Select 'a\":b`:c' As x"
                                                                 << "x" << false << "a\":b`:c";
    QTest::newRow("marker without value") << "Select :p As x"
                                          << "x" << true << "";
    QTest::newRow("marker ends at comma") << "Select Coalesce(:p, 'none') As x"
                                          << "x" << false << "none";
    QTest::newRow("marker ends at parenthesis") << "Select Coalesce('z', :p) As x"
                                                << "x" << false << "z";
    QTest::newRow("quoted text after a marker") << "Select :p As x, 'q:r' As y"
                                                << "y" << false << "q:r";
}

void TestRecordsetReading::parameterMarkersOnlyOutsideQuotes() {
    QFETCH(QString, select);
    QFETCH(QString, field);
    QFETCH(bool, expectedNull);
    QFETCH(QString, expectedText);
    if (TestDatabase::onServer() && select.contains('`'))
        QSKIP("grave accents quote names in SQLite only");
    RecordSetRig rig;
    auto& [db, connection, query] = rig;
    const QString error = raised([&] { openWith(query, select.toStdString()); });
    QVERIFY2(error.isEmpty(), qPrintable(error));

    QCOMPARE(query.RecordCount(), 1);
    const TField& f = query.FieldByName(field.toStdString());
    QCOMPARE(f.IsNull(), expectedNull);
    QCOMPARE(QString::fromStdString(f.AsString()), expectedText);
    QVERIFY(f.ReadOnly());
}

void TestRecordsetReading::statementLinesAndClosingOnChange() {
    RecordSetRig rig(3);
    auto& [db, connection, query] = rig;
    QVERIFY(!connection.Connected());
    query.ClearSQL();
    query.AddSQL("Select *");
    QVERIFY2(connection.Connected(), "setting a statement connects the connection");
    query.AddSQL("From Title");
    query.AddSQL("Where TitleIndex > 1");
    QCOMPARE(qstr(query.SQLText()), QString("Select *\r\nFrom Title\r\nWhere TitleIndex > 1\r\n"));
    query.Open();
    QCOMPARE(query.RecordCount(), 2);

    // Every change of the statement closes the record set first.
    query.AddSQL("And TitleIndex < 3");
    QVERIFY(!query.Active());
    QCOMPARE(query.FieldCount(), 0);
    query.Open();
    QCOMPARE(query.RecordCount(), 1);
    query.ClearSQL();
    QVERIFY(!query.Active());
    QVERIFY(query.SQL().empty());
    QVERIFY(connection.Connected());
}

QTEST_GUILESS_MAIN(TestRecordsetReading)
#include "tst_recordset_reading.moc"
