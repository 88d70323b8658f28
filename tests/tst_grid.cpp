// The record grid bound to a real record set: geometry and pixels that matter, the footer totals and
// their count walk, and every way the user moves the current row (mouse, keys, wheel, scroll bar),
// resizes and moves columns.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "AppShell.h"
#include "DBGridEh.h"
#include "DatabaseErrors.h"
#include "TestDatabase.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QStringList kMainColumns = {QStringLiteral("TitleIndex|编号|60|center|center|center|fvtStaticText|合计"),
                                  QStringLiteral("TitleTxt|标题|150|center|center|center|fvtCount|")};
const std::string kTitles = "Select * From Title Order By TitleIndex";

int textHeight() {
    return QFontMetrics(QApplication::font()).size(Qt::TextSingleLine, QStringLiteral("Wg")).height();
}
int titleHeight() {
    return textHeight() + 4;
}
int lineHeight() {
    return textHeight() + 4;
}
int lineTop(int line) {
    return titleHeight() + 1 + line * (lineHeight() + 1);
}
// Record lines that fit in a client area of this height, by the grid's rule.
int linesFor(int clientHeight) {
    return std::max(1, (clientHeight - (titleHeight() + 1) - (lineHeight() + 1) - 1) / (lineHeight() + 1));
}
constexpr int kFrame = 2; // the sunken border on each side
// A grid height whose client area holds exactly `lines` record lines, with `slack` pixels to spare.
int gridHeightFor(int lines, int slack = 3) {
    return titleHeight() + 1 + lines * (lineHeight() + 1) + (lineHeight() + 1) + 1 + slack + 2 * kFrame;
}

bool isDark(QRgb pixel) {
    return qGray(pixel) < 96;
}
// Any trace of text on the white window colour: the Song face draws thin, light digits.
bool isInk(QRgb pixel) {
    return qGray(pixel) < 200;
}
bool isPureBlack(QRgb pixel) {
    return (pixel & 0xFFFFFF) == 0;
}

int countPixels(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& wanted) {
    int count = 0;
    const QRect clipped = area.intersected(image.rect());
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
        for (int x = clipped.left(); x <= clipped.right(); ++x)
            count += wanted(image.pixel(x, y)) ? 1 : 0;
    return count;
}

// The window around the grid; counts context menu events that escape the grid.
class TestWindow : public QWidget {
public:
    int contextMenus = 0;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override {
        ++contextMenus;
        event->accept();
    }
};

// A grid showing the main window's columns over ADOQuery1 on its own database, beside a line edit that
// can take the focus away. Error boxes that a handler shows are closed and counted.
struct GridRig {
    TestDatabase db;
    TADOConnection connection;
    TADOQuery query;
    TestWindow window;
    TDBGridEh* grid;
    QLineEdit* other;
    QTimer boxCloser;
    int scrolls = 0;
    int dblClicks = 0;
    int errorBoxes = 0;
    std::function<void()> onScroll;

    explicit GridRig(int records, int height = gridHeightFor(10), int width = 260)
        : connection(db.path().toStdString()), query("ADOQuery1", &connection) {
        if (records > 0)
            db.exec(QStringLiteral("With Recursive n(i) As (Select 1 Union All Select i + 1 From n Where i < %1) "
                                   "Insert Into Title (TitleTxt) Select 'T' || i From n")
                        .arg(records));
        grid = new TDBGridEh(&window);
        // What uic generates for the dynamic property of the windows' .ui files.
        grid->setProperty("columns", QVariant(kMainColumns));
        grid->SetDataSet(&query);
        grid->setGeometry(0, 0, width, height);
        other = new QLineEdit(&window);
        other->setGeometry(0, height + 4, 100, 22);
        window.resize(width + 10, height + 30);
        query.AfterScroll = [this](TADOQuery&) {
            ++scrolls;
            if (onScroll)
                onScroll();
        };
        QObject::connect(grid, &TDBGridEh::OnDblClick, grid, [this](TDBGridEh* sender) {
            QCOMPARE(sender, grid);
            ++dblClicks;
        });
        QObject::connect(&boxCloser, &QTimer::timeout, &boxCloser, [this] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                ++errorBoxes;
                box->close();
            }
        });
        boxCloser.start(20);
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            qWarning("test window not active");
        grid->setFocus();
    }
    ~GridRig() { grid->SetDataSet(nullptr); }

    void open(const std::string& sql = kTitles) {
        query.Close();
        query.ClearSQL();
        query.AddSQL(sql);
        query.Open();
        QCoreApplication::processEvents();
    }
    QImage shot() const { return grid->viewport()->grab().toImage(); }
    int clientHeight() const { return grid->viewport()->height(); }
    int footerTop() const { return clientHeight() - (lineHeight() + 1); }
    QPoint lineCenter(int line, int x = 40) const { return QPoint(x, lineTop(line) + lineHeight() / 2); }
    QWidget* view() const { return grid->viewport(); }
    // Column 0 spans x 12 .. 71 while nothing is scrolled or moved.
    QRect column0(int top, int height) const { return QRect(12, top, 60, height); }
    QRect indicatorInside(int line) const { return QRect(1, lineTop(line) + 1, 9, lineHeight() - 2); }
};

} // namespace

class TestGrid : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InstallProgramFont(); }

    void columnsComeFromUiData();
    void linesFitTheHeight_data();
    void linesFitTheHeight();
    void recordCounts_data();
    void recordCounts();
    void closedRecordSetShowsOnlyTitles();
    void footerStandsAgainstBottomEdge();
    void markOnlyOnCurrentLineAndHighlightOnlyWithFocus();
    void footerCountFollowsChanges();
    void keys_data();
    void keys();
    void tabLeavesTheGrid();
    void columnsScrollSideways();
    void pressesMoveTheCurrentRow_data();
    void pressesMoveTheCurrentRow();
    void rightClickOpensNoMenu();
    void doubleClick_data();
    void doubleClick();
    void columnResize_data();
    void columnResize();
    void columnMoveKeepsFooter();
    void escapeCancelsDrag();
    void wheel();
    void verticalScrollBar_data();
    void verticalScrollBar();
    void scrollBarTakesFocus();
    void errorInMoveReachesErrorBox();
    void reopenWithOtherFieldsWhileHeldBack();
    void lineColoursAndStateMarks();
    void screenshot();
};

void TestGrid::columnsComeFromUiData() {
    TDBGridEh grid;
    grid.setProperty("columns",
                     QVariant(QStringList{kMainColumns.at(0), kMainColumns.at(1),
                                          QStringLiteral("ContentTxt|段落|x|right|left|RIGHT|fvtStaticText|a|b")}));
    const auto& columns = grid.Columns();
    QCOMPARE(columns.size(), size_t(3));
    QCOMPARE(columns[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(columns[0].Title, QStringLiteral("编号"));
    QCOMPARE(columns[0].Width, 60);
    QCOMPARE(columns[0].Alignment, Qt::Alignment(Qt::AlignHCenter));
    QCOMPARE(columns[0].FooterValueType, TFooterValueType::fvtStaticText);
    QCOMPARE(columns[0].FooterValue, QStringLiteral("合计"));
    QCOMPARE(columns[1].FooterValueType, TFooterValueType::fvtCount);
    QCOMPARE(columns[1].FooterValue, QString());
    // A bad width keeps the default; a footer text may hold the separator.
    QCOMPARE(columns[2].Width, 64);
    QCOMPARE(columns[2].Alignment, Qt::Alignment(Qt::AlignRight));
    QCOMPARE(columns[2].TitleAlignment, Qt::Alignment(Qt::AlignLeft));
    QCOMPARE(columns[2].FooterAlignment, Qt::Alignment(Qt::AlignRight));
    QCOMPARE(columns[2].FooterValue, QStringLiteral("a|b"));
    QCOMPARE(grid.property("columns").toStringList().mid(0, 2), kMainColumns);
}

void TestGrid::linesFitTheHeight_data() {
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("lines");
    QTest::newRow("exactly one line") << gridHeightFor(1, 0) << 1;
    QTest::newRow("one pixel short of two") << gridHeightFor(2, 0) - 1 << 1;
    QTest::newRow("two lines") << gridHeightFor(2, 0) << 2;
    QTest::newRow("ten lines and slack") << gridHeightFor(10, lineHeight()) << 10;
    QTest::newRow("too small still one") << 30 << 1;
}

void TestGrid::linesFitTheHeight() {
    QFETCH(int, height);
    QFETCH(int, lines);
    GridRig rig(40, height);
    rig.open();
    QCOMPARE(rig.clientHeight(), height - 2 * kFrame);
    QCOMPARE(linesFor(rig.clientHeight()), lines);
    QCOMPARE(rig.grid->LinesFit(), lines);
    QCOMPARE(rig.query.BufferCount(), lines);
    QCOMPARE(rig.query.WindowRowCount(), lines);

    // Growing the grid asks the record set for more lines.
    rig.grid->resize(rig.grid->width(), height + 3 * (lineHeight() + 1));
    QCoreApplication::processEvents();
    QCOMPARE(rig.query.BufferCount(), linesFor(rig.clientHeight()));
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::recordCounts_data() {
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("scrollsDuringOpen");
    QTest::addColumn<bool>("scrollBar");
    // The count walk moves first, next per row and first again; the open's own AfterScroll follows
    // when there is a row.
    QTest::newRow("empty") << 0 << 2 << false;
    QTest::newRow("one") << 1 << 4 << false;
    QTest::newRow("two") << 2 << 5 << false;
    QTest::newRow("three that fit") << 3 << 6 << true;
    QTest::newRow("more than fit") << 25 << 28 << true;
}

void TestGrid::recordCounts() {
    QFETCH(int, records);
    QFETCH(int, scrollsDuringOpen);
    QFETCH(bool, scrollBar);
    GridRig rig(records);
    rig.open();
    QCOMPARE(rig.scrolls, scrollsDuringOpen);
    QCOMPARE(rig.grid->FooterCount(), records);
    QCOMPARE(rig.query.RecNo(), records > 0 ? 1 : -1);
    QCOMPARE(rig.query.ActiveLine(), records > 0 ? 0 : -1);
    QCOMPARE(rig.grid->verticalScrollBar()->isVisible(), scrollBar);
    if (scrollBar) {
        QCOMPARE(rig.grid->verticalScrollBar()->value(), 1); // thumb at the top
        QCOMPARE(rig.grid->verticalScrollBar()->maximum(), records);
    }
    const QImage image = rig.shot();
    QCOMPARE(countPixels(image, rig.indicatorInside(0), isPureBlack) > 0, records > 0);
    // The footer reads "合计" and the count, also for an empty result.
    QVERIFY(countPixels(image, rig.column0(rig.footerTop(), lineHeight()), isDark) > 0);
    QVERIFY(countPixels(image, QRect(73, rig.footerTop(), 150, lineHeight()), isInk) > 0);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::closedRecordSetShowsOnlyTitles() {
    GridRig rig(5);
    auto checkBlank = [&rig] {
        const QImage image = rig.shot();
        QVERIFY(countPixels(image, rig.column0(1, titleHeight() - 2), isDark) > 0); // the caption
        QCOMPARE(countPixels(image, rig.indicatorInside(0), isPureBlack), 0);
        QCOMPARE(countPixels(image, QRect(0, titleHeight() + 1, image.width(), image.height()), isDark), 0);
        QVERIFY(!rig.grid->verticalScrollBar()->isVisible());
        QCOMPARE(rig.grid->FooterCount(), 0);
    };
    checkBlank(); // before the first open

    // Keys, wheel and presses do nothing while closed; a double-click is still reported.
    QTest::keyClick(rig.grid, Qt::Key_Down);
    QTest::keyClick(rig.grid, Qt::Key_End);
    QTest::mouseClick(rig.view(), Qt::LeftButton, {}, rig.lineCenter(2));
    QTest::mouseDClick(rig.view(), Qt::LeftButton, {}, rig.lineCenter(2));
    QCOMPARE(rig.dblClicks, 1);
    QCOMPARE(rig.scrolls, 0);

    rig.open();
    QCOMPARE(rig.grid->FooterCount(), 5);
    // Changing the statement closes the record set: the grid shows no rows and no totals.
    rig.query.ClearSQL();
    QCoreApplication::processEvents();
    checkBlank();
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::footerStandsAgainstBottomEdge() {
    GridRig rig(1, gridHeightFor(6, 7));
    rig.open();
    const QImage image = rig.shot();
    const int height = image.height();
    const QRect footerCell = rig.column0(rig.footerTop(), lineHeight());
    QVERIFY(countPixels(image, footerCell, isDark) > 0);
    // The footer's line is the last pixel row; the filler band above the footer is blank.
    QCOMPARE(countPixels(image, QRect(12, height - 1, 60, 1), [](QRgb p) { return qGray(p) < 240; }), 60);
    const int fillerTop = lineTop(1);
    QCOMPARE(countPixels(image, QRect(0, fillerTop, 220, rig.footerTop() - 1 - fillerTop), isDark), 0);
    // The one record line shows its number.
    QVERIFY(countPixels(image, rig.column0(lineTop(0), lineHeight()), isInk) > 0);
}

void TestGrid::markOnlyOnCurrentLineAndHighlightOnlyWithFocus() {
    GridRig rig(6);
    rig.open();
    QTest::mouseClick(rig.view(), Qt::LeftButton, {}, rig.lineCenter(3));
    QCOMPARE(rig.query.RecNo(), 4);
    const QRgb highlight = rig.grid->palette().color(QPalette::Highlight).rgb();
    auto highlighted = [highlight](QRgb p) { return (p & 0xFFFFFF) == (highlight & 0xFFFFFF); };

    QImage image = rig.shot();
    for (int line = 0; line < 6; ++line) {
        QCOMPARE(countPixels(image, rig.indicatorInside(line), isPureBlack) > 0, line == 3);
        QCOMPARE(countPixels(image, rig.column0(lineTop(line) + 1, lineHeight() - 2), highlighted) > 0, line == 3);
    }

    rig.other->setFocus();
    QTRY_VERIFY(!rig.grid->hasFocus());
    image = rig.shot();
    QVERIFY(countPixels(image, rig.indicatorInside(3), isPureBlack) > 0);
    QCOMPARE(countPixels(image, rig.column0(lineTop(3), lineHeight()), highlighted), 0);

    // Clicking the current line gives the focus back and moves nothing.
    const int scrolls = rig.scrolls;
    QTest::mouseClick(rig.view(), Qt::LeftButton, {}, rig.lineCenter(3));
    QVERIFY(rig.grid->hasFocus());
    QCOMPARE(rig.scrolls, scrolls);
    QVERIFY(countPixels(rig.shot(), rig.column0(lineTop(3), lineHeight()), highlighted) > 0);
}

void TestGrid::footerCountFollowsChanges() {
    GridRig rig(0);
    for (int i = 1; i <= 4; ++i)
        rig.db.exec(QStringLiteral("Insert Into Content (ContentTitle, ContentTxt) Values (0, 'p%1')").arg(i));
    rig.grid->SetColumnSpecs({QStringLiteral("ContentTxt|段落内容|120|center|center|center|fvtCount|")});
    rig.open("Select * From Content Where ContentTitle = 0");
    QCOMPARE(rig.grid->FooterCount(), 4);

    rig.query.Edit();
    rig.query.FieldByName("ContentTxt").SetAsString("changed");
    rig.query.Post();
    QCOMPARE(rig.grid->FooterCount(), 4);

    rig.query.Insert();
    rig.query.FieldByName("ContentTitle").SetAsInteger(0);
    rig.query.Post();
    QCOMPARE(rig.grid->FooterCount(), 5);

    rig.query.Delete();
    QCOMPARE(rig.grid->FooterCount(), 4);

    rig.query.Close();
    QCOMPARE(rig.grid->FooterCount(), 0);

    // Bound to a record set that is already open, the totals count at once.
    rig.open("Select * From Content Where ContentTitle = 0");
    rig.grid->SetDataSet(nullptr);
    QCOMPARE(rig.grid->FooterCount(), 0);
    rig.grid->SetDataSet(&rig.query);
    QCOMPARE(rig.grid->FooterCount(), 4);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::keys_data() {
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("recNo");
    QTest::addColumn<int>("activeLine");
    // The grid shows 10 lines.
    QTest::newRow("down") << 100 << "Down" << 2 << 1;
    QTest::newRow("shift down") << 100 << "Shift+Down" << 2 << 1;
    QTest::newRow("up at first stays") << 100 << "Up" << 1 << 0;
    QTest::newRow("down at last stays") << 100 << "End, Down" << 100 << 9;
    QTest::newRow("page down") << 100 << "PgDown" << 11 << 9;
    QTest::newRow("page down twice") << 100 << "PgDown, PgDown" << 21 << 9;
    QTest::newRow("page down and up") << 100 << "PgDown, PgUp" << 1 << 0;
    QTest::newRow("end") << 100 << "End" << 100 << 9;
    QTest::newRow("end home") << 100 << "End, Home" << 1 << 0;
    QTest::newRow("ctrl end, ctrl home") << 100 << "Ctrl+End, Ctrl+Home" << 1 << 0;
    QTest::newRow("ctrl end") << 100 << "Ctrl+End" << 100 << 9;
    QTest::newRow("ctrl down: bottom line") << 100 << "Ctrl+Down" << 10 << 9;
    QTest::newRow("ctrl page down: bottom line") << 100 << "Down, Ctrl+PgDown" << 10 << 9;
    QTest::newRow("ctrl up: top line") << 100 << "PgDown, Up, Up, Ctrl+Up" << 2 << 0;
    QTest::newRow("ctrl page up: top line") << 100 << "Down, Down, Ctrl+PgUp" << 1 << 0;
    QTest::newRow("few: page down by lines shown") << 5 << "PgDown" << 5 << 4;
    QTest::newRow("few: ctrl down stops at last") << 5 << "Ctrl+Down" << 5 << 4;
    QTest::newRow("no editing keys") << 100 << "Ins, Del, Ctrl+Del, F2, A, Ctrl+C, Return, Esc, Ctrl+Left" << 1 << 0;
}

void TestGrid::keys() {
    QFETCH(int, records);
    QFETCH(QString, keys);
    QFETCH(int, recNo);
    QFETCH(int, activeLine);
    GridRig rig(records);
    rig.open();
    QCOMPARE(rig.grid->LinesFit(), 10);
    QVERIFY(rig.grid->hasFocus());
    for (const QString& key : keys.split(QLatin1Char(','))) {
        const QKeyCombination combination = QKeySequence::fromString(key.trimmed())[0];
        QTest::keyClick(rig.grid, combination.key(), combination.keyboardModifiers());
    }
    QCOMPARE(rig.query.RecNo(), recNo);
    QCOMPARE(rig.query.ActiveLine(), activeLine);
    QCOMPARE(rig.query.RecordCount(), records);
    QCOMPARE(rig.query.State(), TDataSetState::dsBrowse);
    QCOMPARE(rig.grid->verticalScrollBar()->value(), recNo);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::tabLeavesTheGrid() {
    GridRig rig(5);
    rig.open();
    QTest::keyClick(rig.grid, Qt::Key_Tab);
    QTRY_VERIFY(rig.other->hasFocus());
    QCOMPARE(rig.query.RecNo(), 1);
}

void TestGrid::columnsScrollSideways() {
    // Wide enough for both columns: Left and Right do nothing and there is no horizontal bar.
    GridRig wide(5, gridHeightFor(10), 260);
    wide.open();
    QVERIFY(!wide.grid->horizontalScrollBar()->isVisible());
    QTest::keyClick(wide.grid, Qt::Key_Right);
    QCOMPARE(wide.grid->LeftCol(), 0);

    GridRig narrow(5, gridHeightFor(10), 150);
    narrow.open();
    QVERIFY(narrow.grid->horizontalScrollBar()->isVisible());
    QTest::keyClick(narrow.grid, Qt::Key_Right);
    QCOMPARE(narrow.grid->LeftCol(), 1);
    QTest::keyClick(narrow.grid, Qt::Key_Right); // the last column shows whole already
    QCOMPARE(narrow.grid->LeftCol(), 1);
    QCOMPARE(narrow.grid->horizontalScrollBar()->value(), 1);
    // Scrolled, the first column shown is TitleTxt: a press there still moves the row.
    QTest::mouseClick(narrow.view(), Qt::LeftButton, {}, narrow.lineCenter(2, 30));
    QCOMPARE(narrow.query.RecNo(), 3);
    QTest::keyClick(narrow.grid, Qt::Key_Left);
    QCOMPARE(narrow.grid->LeftCol(), 0);
    QCOMPARE(narrow.query.RecNo(), 3);
}

void TestGrid::pressesMoveTheCurrentRow_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("recNo");
    QTest::addColumn<int>("scrolls");
    QTest::newRow("left on a line") << int(Qt::LeftButton) << "line 3" << 4 << 1;
    QTest::newRow("right on a line") << int(Qt::RightButton) << "line 2" << 3 << 1;
    QTest::newRow("middle on a line") << int(Qt::MiddleButton) << "line 1" << 2 << 1;
    QTest::newRow("left on an indicator cell") << int(Qt::LeftButton) << "indicator 4" << 5 << 1;
    QTest::newRow("on the current line") << int(Qt::LeftButton) << "line 0" << 1 << 0;
    QTest::newRow("on the filler band") << int(Qt::LeftButton) << "filler" << 1 << 0;
    QTest::newRow("on the footer") << int(Qt::LeftButton) << "footer" << 1 << 0;
    QTest::newRow("right of the columns") << int(Qt::LeftButton) << "right 3" << 1 << 0;
    QTest::newRow("on the indicator title") << int(Qt::LeftButton) << "corner" << 1 << 0;
}

void TestGrid::pressesMoveTheCurrentRow() {
    QFETCH(int, button);
    QFETCH(QString, where);
    QFETCH(int, recNo);
    QFETCH(int, scrolls);
    GridRig rig(6);
    rig.open();
    rig.scrolls = 0;
    const QStringList parts = where.split(QLatin1Char(' '));
    const int line = parts.size() > 1 ? parts.at(1).toInt() : 0;
    QPoint pos;
    if (parts.at(0) == QLatin1String("line"))
        pos = rig.lineCenter(line);
    else if (parts.at(0) == QLatin1String("indicator"))
        pos = rig.lineCenter(line, 5);
    else if (parts.at(0) == QLatin1String("right"))
        pos = rig.lineCenter(line, 240);
    else if (parts.at(0) == QLatin1String("filler"))
        pos = rig.lineCenter(7);
    else if (parts.at(0) == QLatin1String("footer"))
        pos = QPoint(40, rig.footerTop() + 3);
    else
        pos = QPoint(5, 5);
    QTest::mouseClick(rig.view(), Qt::MouseButton(button), {}, pos);
    QCOMPARE(rig.query.RecNo(), recNo);
    QCOMPARE(rig.scrolls, scrolls);
    QCOMPARE(rig.grid->Columns()[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(rig.grid->Columns()[0].Width, 60);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::rightClickOpensNoMenu() {
    GridRig rig(6);
    rig.open();
    QTest::mouseClick(rig.view(), Qt::RightButton, {}, rig.lineCenter(2));
    QCOMPARE(rig.query.RecNo(), 3);
    QContextMenuEvent event(QContextMenuEvent::Mouse, rig.lineCenter(2), rig.view()->mapToGlobal(rig.lineCenter(2)));
    QApplication::sendEvent(rig.view(), &event);
    QCOMPARE(rig.window.contextMenus, 0);
    QVERIFY(!QApplication::activePopupWidget());
}

void TestGrid::doubleClick_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("recNo");
    QTest::addColumn<int>("scrolls");
    QTest::newRow("title") << "title" << 1 << 0;
    QTest::newRow("footer") << "footer" << 1 << 0;
    QTest::newRow("filler") << "filler" << 1 << 0;
    QTest::newRow("right of the columns") << "right" << 1 << 0;
    QTest::newRow("current line") << "line 0" << 1 << 0;
    QTest::newRow("another line: moves first") << "line 2" << 3 << 1;
}

void TestGrid::doubleClick() {
    QFETCH(QString, where);
    QFETCH(int, recNo);
    QFETCH(int, scrolls);
    GridRig rig(4);
    rig.open();
    rig.scrolls = 0;
    QPoint pos(40, 5);
    if (where == QLatin1String("footer"))
        pos = QPoint(40, rig.footerTop() + 3);
    else if (where == QLatin1String("filler"))
        pos = rig.lineCenter(6);
    else if (where == QLatin1String("right"))
        pos = rig.lineCenter(1, 240);
    else if (where.startsWith(QLatin1String("line")))
        pos = rig.lineCenter(where.mid(5).toInt());
    int recNoAtDblClick = 0;
    QObject::connect(rig.grid, &TDBGridEh::OnDblClick, rig.grid, [&] { recNoAtDblClick = rig.query.RecNo(); });
    // Through the window system, which turns the second press into a double-click.
    QTest::mouseDClick(rig.window.windowHandle(), Qt::LeftButton, {}, rig.view()->mapTo(&rig.window, pos));
    QCOMPARE(rig.dblClicks, 1);
    QCOMPARE(recNoAtDblClick, recNo);
    QCOMPARE(rig.query.RecNo(), recNo);
    QCOMPARE(rig.scrolls, scrolls);
    QCOMPARE(rig.grid->Columns()[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::columnResize_data() {
    QTest::addColumn<int>("pressX");
    QTest::addColumn<int>("releaseX");
    QTest::addColumn<int>("width0");
    QTest::addColumn<int>("width1");
    // Column 0 spans x 12 .. 71; its line stands at 72.
    QTest::newRow("wider from the line") << 72 << 92 << 80 << 150;
    QTest::newRow("grip 3 left of the line") << 69 << 79 << 70 << 150;
    QTest::newRow("grip 4 right of the line") << 76 << 66 << 50 << 150;
    QTest::newRow("two pixels left") << 72 << 14 << 2 << 150;
    QTest::newRow("one pixel keeps the width") << 72 << 13 << 60 << 150;
    QTest::newRow("nothing left keeps the width") << 72 << 5 << 60 << 150;
    QTest::newRow("second column") << 223 << 173 << 60 << 100;
}

void TestGrid::columnResize() {
    QFETCH(int, pressX);
    QFETCH(int, releaseX);
    QFETCH(int, width0);
    QFETCH(int, width1);
    GridRig rig(3);
    rig.open();
    const int y = titleHeight() / 2;
    QTest::mousePress(rig.view(), Qt::LeftButton, {}, QPoint(pressX, y));
    QTest::mouseMove(rig.view(), QPoint((pressX + releaseX) / 2, y + 30));
    QTest::mouseMove(rig.view(), QPoint(releaseX, y + 30));
    QTest::mouseRelease(rig.view(), Qt::LeftButton, {}, QPoint(releaseX, y + 30));
    QCOMPARE(rig.grid->Columns()[0].Width, width0);
    QCOMPARE(rig.grid->Columns()[1].Width, width1);
    QCOMPARE(rig.grid->Columns()[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(rig.query.RecNo(), 1);
}

void TestGrid::columnMoveKeepsFooter() {
    GridRig rig(3);
    rig.open();
    const int y = titleHeight() / 2;
    QTest::mousePress(rig.view(), Qt::LeftButton, {}, QPoint(140, y));
    QTest::mouseMove(rig.view(), QPoint(80, y));
    QTest::mouseMove(rig.view(), QPoint(30, y));
    QTest::mouseRelease(rig.view(), Qt::LeftButton, {}, QPoint(30, y));
    const auto& columns = rig.grid->Columns();
    QCOMPARE(columns[0].FieldName, QStringLiteral("TitleTxt"));
    QCOMPARE(columns[0].FooterValueType, TFooterValueType::fvtCount);
    QCOMPARE(columns[1].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(columns[1].FooterValue, QStringLiteral("合计"));
    QCOMPARE(rig.grid->ColumnSpecs(), (QStringList{kMainColumns.at(1), kMainColumns.at(0)}));

    // The cells came along: the count in the first column's footer, "合计" and the numbers in the
    // second.
    const QImage image = rig.shot();
    QVERIFY(countPixels(image, QRect(12, rig.footerTop(), 150, lineHeight()), isInk) > 0);
    QVERIFY(countPixels(image, QRect(163, rig.footerTop(), 60, lineHeight()), isDark) > 0);
    QVERIFY(countPixels(image, QRect(163, lineTop(0), 60, lineHeight()), isInk) > 0);

    // A right press also moves; a release on its own place changes nothing.
    QTest::mousePress(rig.view(), Qt::RightButton, {}, QPoint(190, y));
    QTest::mouseMove(rig.view(), QPoint(200, y));
    QTest::mouseRelease(rig.view(), Qt::RightButton, {}, QPoint(200, y));
    QCOMPARE(rig.grid->Columns()[1].FieldName, QStringLiteral("TitleIndex"));
    QTest::mousePress(rig.view(), Qt::RightButton, {}, QPoint(190, y));
    QTest::mouseMove(rig.view(), QPoint(60, y));
    QTest::mouseRelease(rig.view(), Qt::RightButton, {}, QPoint(60, y));
    QCOMPARE(rig.grid->Columns()[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(rig.query.RecNo(), 1);
}

void TestGrid::escapeCancelsDrag() {
    GridRig rig(3);
    rig.open();
    const int y = titleHeight() / 2;
    QTest::mousePress(rig.view(), Qt::LeftButton, {}, QPoint(72, y));
    QTest::mouseMove(rig.view(), QPoint(120, y));
    QTest::keyClick(rig.grid, Qt::Key_Escape);
    QTest::mouseRelease(rig.view(), Qt::LeftButton, {}, QPoint(120, y));
    QCOMPARE(rig.grid->Columns()[0].Width, 60);

    QTest::mousePress(rig.view(), Qt::LeftButton, {}, QPoint(140, y));
    QTest::mouseMove(rig.view(), QPoint(30, y));
    QTest::keyClick(rig.grid, Qt::Key_Escape);
    QTest::mouseRelease(rig.view(), Qt::LeftButton, {}, QPoint(30, y));
    QCOMPARE(rig.grid->Columns()[0].FieldName, QStringLiteral("TitleIndex"));
    QCOMPARE(rig.query.RecNo(), 1);
}

void TestGrid::wheel() {
    GridRig rig(30);
    rig.open();
    const QPoint pos = rig.lineCenter(1);
    auto turn = [&rig, pos](int delta, Qt::KeyboardModifiers modifiers = {}) {
        QWheelEvent event(pos, rig.view()->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(rig.view(), &event);
    };
    rig.scrolls = 0;
    turn(-120); // towards the user
    QCOMPARE(rig.query.RecNo(), 2);
    turn(-360, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(rig.query.RecNo(), 5);
    turn(120);
    QCOMPARE(rig.query.RecNo(), 4);
    QCOMPARE(rig.scrolls, 5);
    turn(-60);
    QCOMPARE(rig.query.RecNo(), 4); // half a notch waits for the other half
    turn(-60);
    QCOMPARE(rig.query.RecNo(), 5);

    rig.other->setFocus();
    QTRY_VERIFY(!rig.grid->hasFocus());
    turn(-120);
    QCOMPARE(rig.query.RecNo(), 5);

    // Over the scroll bar the wheel still moves records, one per notch.
    rig.grid->setFocus();
    QWheelEvent onBar(QPointF(5, 20), QPointF(), QPoint(), QPoint(0, -120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(rig.grid->verticalScrollBar(), &onBar);
    QCOMPARE(rig.query.RecNo(), 6);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::verticalScrollBar_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("recNo");
    QTest::addColumn<int>("activeLine");
    const int noAction = int(QAbstractSlider::SliderNoAction);
    // 100 records in 10 lines.
    QTest::newRow("arrow down from the top line") << "" << int(QAbstractSlider::SliderSingleStepAdd) << 11 << 9;
    QTest::newRow("arrow down from the bottom line") << "End" << int(QAbstractSlider::SliderSingleStepAdd) << 100 << 9;
    QTest::newRow("arrow up from the bottom line") << "End" << int(QAbstractSlider::SliderSingleStepSub) << 90 << 0;
    QTest::newRow("arrow up at the first") << "" << int(QAbstractSlider::SliderSingleStepSub) << 1 << 0;
    QTest::newRow("page down") << "" << int(QAbstractSlider::SliderPageStepAdd) << 11 << 9;
    QTest::newRow("page up") << "End" << int(QAbstractSlider::SliderPageStepSub) << 90 << 0;
    QTest::newRow("bottom") << "" << int(QAbstractSlider::SliderToMaximum) << 100 << 9;
    QTest::newRow("top") << "End" << int(QAbstractSlider::SliderToMinimum) << 1 << 0;
    QTest::newRow("thumb released in the middle") << "thumb 50" << noAction << 50 << -1;
    QTest::newRow("thumb released at the end") << "thumb 100" << noAction << 100 << 9;
    QTest::newRow("thumb released at the start") << "End, thumb 1" << noAction << 1 << 0;
    QTest::newRow("thumb dragged, not released") << "drag 50" << noAction << 1 << 0;
}

void TestGrid::verticalScrollBar() {
    QFETCH(QString, setup);
    QFETCH(int, action);
    QFETCH(int, recNo);
    QFETCH(int, activeLine);
    GridRig rig(100);
    rig.open();
    QScrollBar* bar = rig.grid->verticalScrollBar();
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->pageStep(), 10);
    for (const QString& step : setup.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList words = step.trimmed().split(QLatin1Char(' '));
        if (words.at(0) == QLatin1String("End")) {
            QTest::keyClick(rig.grid, Qt::Key_End);
        } else {
            bar->setSliderDown(true);
            bar->setSliderPosition(words.at(1).toInt());
            if (words.at(0) == QLatin1String("thumb"))
                bar->setSliderDown(false);
        }
    }
    if (action != int(QAbstractSlider::SliderNoAction))
        bar->triggerAction(QAbstractSlider::SliderAction(action));
    QCOMPARE(rig.query.RecNo(), recNo);
    if (activeLine >= 0)
        QCOMPARE(rig.query.ActiveLine(), activeLine);
    QCOMPARE(bar->value(), recNo);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::scrollBarTakesFocus() {
    GridRig rig(100);
    rig.open();
    rig.other->setFocus();
    QTRY_VERIFY(!rig.grid->hasFocus());
    // A press on the bar's lower arrow: the grid takes the focus and the record below the bottom
    // line becomes current.
    QScrollBar* bar = rig.grid->verticalScrollBar();
    const QPoint arrow(bar->width() / 2, bar->height() - 3);
    QTest::mousePress(bar, Qt::LeftButton, {}, arrow);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, arrow);
    QVERIFY(rig.grid->hasFocus());
    QCOMPARE(rig.query.RecNo(), 11);
    QCOMPARE(bar->value(), 11);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::errorInMoveReachesErrorBox() {
    GridRig rig(5);
    rig.open();
    rig.onScroll = [] { throw EDatabaseError("content pane failed"); };
    QTest::keyClick(rig.grid, Qt::Key_Down);
    QCOMPARE(rig.errorBoxes, 1);
    // The move stays done and the grid goes on following its record set.
    QCOMPARE(rig.query.RecNo(), 2);
    QCOMPARE(rig.grid->verticalScrollBar()->value(), 2);
    QTest::mouseClick(rig.view(), Qt::LeftButton, {}, rig.lineCenter(3));
    QCOMPARE(rig.errorBoxes, 2);
    QCOMPARE(rig.query.RecNo(), 4);
    rig.onScroll = nullptr;
    QTest::keyClick(rig.grid, Qt::Key_End);
    QCOMPARE(rig.query.RecNo(), 5);
    QCOMPARE(rig.errorBoxes, 2);
}

void TestGrid::reopenWithOtherFieldsWhileHeldBack() {
    // Regression: the release of held-back notices did not look up the fields again, so after a
    // reopen with fewer columns the grid read cells past the end of each row.
    GridRig rig(4);
    rig.open();
    rig.query.DisableControls();
    rig.query.Close();
    rig.query.ClearSQL();
    rig.query.AddSQL("Select TitleTxt From Title Order By TitleIndex");
    rig.query.Open();
    rig.query.EnableControls();
    rig.other->setFocus(); // the current line unhighlighted
    QTRY_VERIFY(!rig.grid->hasFocus());
    QCOMPARE(rig.query.FieldCount(), 1);
    const QImage image = rig.shot();
    // TitleIndex is no field of the new result: its cells stay blank; TitleTxt shows its text.
    QCOMPARE(countPixels(image, rig.column0(lineTop(0), lineHeight()), isInk), 0);
    QVERIFY(countPixels(image, QRect(73, lineTop(0), 150, lineHeight()), isInk) > 0);
    QCOMPARE(rig.grid->FooterCount(), 4);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::lineColoursAndStateMarks() {
    GridRig rig(3);
    rig.open();
    rig.other->setFocus(); // no highlight over the lines looked at
    QTRY_VERIFY(!rig.grid->hasFocus());
    const int recordLineY = lineTop(1) + lineHeight() / 2;
    auto rgb = [](const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFF; };
    QImage image = rig.shot();
    // Column 0's line stands at x 72: black between title cells, silver between record cells; the
    // indicator column's line is black on every line.
    QCOMPARE(rgb(image, 72, titleHeight() / 2), 0x000000u);
    QCOMPARE(rgb(image, 72, recordLineY), 0xC0C0C0u);
    QCOMPARE(rgb(image, 11, recordLineY), 0x000000u);
    QCOMPARE(rgb(image, 40, lineTop(1) + lineHeight()), 0xC0C0C0u);
    QCOMPARE(rgb(image, 72, rig.footerTop() + 3), 0xC0C0C0u);

    // The mark on the current line follows the record set's state.
    auto mark = [&rig](int line) {
        QString pattern;
        const QImage shot = rig.shot();
        const QRect cell = rig.indicatorInside(line);
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x)
                pattern += isPureBlack(shot.pixel(x, y)) ? QLatin1Char('#') : QLatin1Char('.');
        return pattern;
    };
    const QString browse = mark(0);
    rig.query.Edit();
    const QString edit = mark(0);
    rig.query.Cancel();
    QCOMPARE(mark(0), browse);
    rig.query.Next();
    rig.query.Insert();
    const QString insert = mark(1);
    QCOMPARE(mark(0).count(QLatin1Char('#')), 0);
    rig.query.Cancel();
    for (const QString& pattern : {browse, edit, insert})
        QVERIFY(pattern.count(QLatin1Char('#')) > 6);
    QVERIFY(browse != edit && edit != insert && insert != browse);

    // On a silver grid colour the record lines turn grey to stay visible.
    QPalette silverGrid = rig.grid->palette();
    silverGrid.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    rig.grid->setPalette(silverGrid);
    image = rig.shot();
    QCOMPARE(rgb(image, 72, recordLineY), 0x808080u);
    QCOMPARE(rgb(image, 72, titleHeight() / 2), 0x000000u);
    QCOMPARE(rig.errorBoxes, 0);
}

void TestGrid::screenshot() {
    // Run with TAMRIX_GRID_SHOT=<file.png> under a real X server to look at the grid.
    const QString file = qEnvironmentVariable("TAMRIX_GRID_SHOT");
    if (file.isEmpty())
        QSKIP("TAMRIX_GRID_SHOT not set");
    GridRig rig(40, gridHeightFor(12, 6), 300);
    rig.open();
    QTest::keyClick(rig.grid, Qt::Key_PageDown);
    QTest::keyClick(rig.grid, Qt::Key_Up);
    QTest::qWait(200);
    QVERIFY(rig.window.grab().save(file));
}

QTEST_MAIN(TestGrid)
#include "tst_grid.moc"
