#include "DBGridEh.h"

#include "ADOQuery.h"
#include "AppShell.h"
#include "DBGridEhAccessible.h"
#include "DBGridEhSumList.h"

#include <QAccessible>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int IndicatorWidth = 11;
constexpr int DataLeft = IndicatorWidth + 1;
// A column edge grips the pointer from 3 pixels left of its line to 4 pixels right of it.
constexpr int EdgeGripLeft = 3;
constexpr int EdgeGripRight = 4;
constexpr int WheelNotch = 120;
constexpr int MarkWidth = 6;
// Room above and below a row's text, added to the font's height.
constexpr int RowTextPadding = 4;
// With this many records or more the list can scroll and the vertical bar shows.
constexpr int FewestRecordsToScroll = 3;
// The bar that marks where a dragged column would land.
constexpr int MoveTargetBarWidth = 3;
// The parts of a column's text in the columns property, in their order; the footer value takes the
// rest, separators included.
enum ColumnSpecPart {
    SpecFieldName,
    SpecTitle,
    SpecWidth,
    SpecAlignment,
    SpecTitleAlignment,
    SpecFooterAlignment,
    SpecFooterValueType,
    SpecFooterValue,
};
constexpr int MarkHeight = 11;

// The indicator marks, 6 by 11 pixels each.
constexpr const char* BrowseMark[MarkHeight] = {
    "#.....", "##....", "###...", "####..", "#####.", "######", "#####.", "####..", "###...", "##....", "#.....",
};
constexpr const char* EditMark[MarkHeight] = {
    "######", "..##..", "..##..", "..##..", "..##..", "..##..", "..##..", "..##..", "..##..", "..##..", "######",
};
constexpr const char* InsertMark[MarkHeight] = {
    "......", "......", "..##..", "#.##.#", ".####.", "..##..", ".####.", "#.##.#", "..##..", "......", "......",
};

Qt::Alignment AlignmentFromText(const QString& text) {
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("center") || value == QLatin1String("centre"))
        return Qt::AlignHCenter;
    if (value == QLatin1String("right"))
        return Qt::AlignRight;
    return Qt::AlignLeft;
}

QString AlignmentText(Qt::Alignment alignment) {
    if (alignment & Qt::AlignHCenter)
        return QStringLiteral("center");
    if (alignment & Qt::AlignRight)
        return QStringLiteral("right");
    return QStringLiteral("left");
}

TFooterValueType FooterTypeFromText(const QString& text) {
    const QString value = text.trimmed();
    if (value == QLatin1String("fvtStaticText"))
        return TFooterValueType::fvtStaticText;
    if (value == QLatin1String("fvtCount"))
        return TFooterValueType::fvtCount;
    return TFooterValueType::fvtNon;
}

QString FooterTypeText(TFooterValueType type) {
    switch (type) {
    case TFooterValueType::fvtStaticText:
        return QStringLiteral("fvtStaticText");
    case TFooterValueType::fvtCount:
        return QStringLiteral("fvtCount");
    case TFooterValueType::fvtNon:
        break;
    }
    return QStringLiteral("fvtNon");
}

} // namespace

// Passes the record set's notices to the grid's display.
class TDBGridEh::TGridDataLink : public TDataSetObserver {
public:
    explicit TGridDataLink(TDBGridEh& grid) : m_grid(grid) {}
    void DataSetNotice(TADOQuery&, TDataNotice notice) override { m_grid.DataSetNotice(notice); }

private:
    TDBGridEh& m_grid;
};

TDBGridEh::TDBGridEh(QWidget* parent)
    : QAbstractScrollArea(parent), m_link(std::make_unique<TGridDataLink>(*this)),
      m_sumList(std::make_unique<TDBGridEhSumList>([this] { FooterChanged(); })) {
    // Screen readers see the grid as a table of the whole list.
    static const bool accessible = [] {
        QAccessible::installFactory(&TAccessibleDBGridEh::Factory);
        return true;
    }();
    Q_UNUSED(accessible);
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    // The right button moves the current row and never opens a menu, neither here nor in a parent.
    setContextMenuPolicy(Qt::PreventContextMenu);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    viewport()->setMouseTracking(true);

    // The vertical bar stands for the current record's number, not for pixels: its actions become
    // record-set moves, and dragging the thumb moves nothing before it is released.
    QScrollBar* bar = verticalScrollBar();
    bar->setTracking(false);
    bar->setContextMenuPolicy(Qt::PreventContextMenu);
    bar->installEventFilter(this);
    connect(bar, &QAbstractSlider::actionTriggered, this, [this](int action) { ScrollBarAction(action); });
    connect(bar, &QAbstractSlider::sliderReleased, this, [this] { ScrollBarReleased(); });

    QScrollBar* columnsBar = horizontalScrollBar();
    columnsBar->setContextMenuPolicy(Qt::PreventContextMenu);
    columnsBar->setSingleStep(1);
    columnsBar->setPageStep(1);
    connect(columnsBar, &QAbstractSlider::valueChanged, this, [this](int value) { SetLeftCol(value); });
}

TDBGridEh::~TDBGridEh() {
    SetDataSet(nullptr);
    TAccessibleDBGridEh::GridDestroyed(*this);
}

void TDBGridEh::SetDataSet(TADOQuery* dataSet) {
    if (dataSet == m_dataSet)
        return;
    if (m_dataSet) {
        m_sumList->SetDataSet(nullptr);
        m_dataSet->RemoveObserver(m_link.get());
    }
    m_dataSet = dataSet;
    if (m_dataSet) {
        m_dataSet->AddObserver(m_link.get());
        m_dataSet->SetBufferCount(LinesFit());
    }
    RebuildFieldIndexes();
    UpdateLayout();
    if (m_dataSet)
        m_sumList->SetDataSet(m_dataSet);
}

TADOQuery* TDBGridEh::DataSet() const {
    return m_dataSet;
}

void TDBGridEh::SetColumns(std::vector<TColumnEh> columns) {
    m_columns = std::move(columns);
    m_leftCol = 0;
    RebuildFieldIndexes();
    UpdateLayout();
}

const std::vector<TColumnEh>& TDBGridEh::Columns() const {
    return m_columns;
}

QStringList TDBGridEh::ColumnSpecs() const {
    QStringList specs;
    for (const TColumnEh& column : m_columns) {
        specs << QStringList{column.FieldName,
                             column.Title,
                             QString::number(column.Width),
                             AlignmentText(column.Alignment),
                             AlignmentText(column.TitleAlignment),
                             AlignmentText(column.FooterAlignment),
                             FooterTypeText(column.FooterValueType),
                             column.FooterValue}
                     .join(QLatin1Char('|'));
    }
    return specs;
}

void TDBGridEh::SetColumnSpecs(const QStringList& specs) {
    std::vector<TColumnEh> columns;
    for (const QString& columnText : specs) {
        const QStringList parts = columnText.split(QLatin1Char('|'));
        auto part = [&parts](int index) { return index < parts.size() ? parts.at(index) : QString(); };
        TColumnEh column;
        column.FieldName = part(SpecFieldName).trimmed();
        column.Title = part(SpecTitle);
        bool ok = false;
        const int width = part(SpecWidth).trimmed().toInt(&ok);
        if (ok && width >= 0)
            column.Width = width;
        column.Alignment = AlignmentFromText(part(SpecAlignment));
        column.TitleAlignment = AlignmentFromText(part(SpecTitleAlignment));
        column.FooterAlignment = AlignmentFromText(part(SpecFooterAlignment));
        column.FooterValueType = FooterTypeFromText(part(SpecFooterValueType));
        // A footer text may itself hold the separator.
        column.FooterValue =
            parts.size() > SpecFooterValue ? parts.mid(SpecFooterValue).join(QLatin1Char('|')) : QString();
        columns.push_back(std::move(column));
    }
    SetColumns(std::move(columns));
}

int TDBGridEh::FooterCount() const {
    return m_sumList->Count();
}

// ---------------------------------------------------------------------------------------------
// Geometry

int TDBGridEh::TitleHeight() const {
    // The title row is as high as a record line; the two names keep apart what each place measures.
    return LineHeight();
}

int TDBGridEh::LineHeight() const {
    return QFontMetrics(font()).size(Qt::TextSingleLine, "Wg").height() + RowTextPadding;
}

int TDBGridEh::LinesFit() const {
    const int step = LineHeight() + 1;
    const int room = viewport()->height() - (TitleHeight() + 1) - step - 1;
    return std::max(1, room / step);
}

int TDBGridEh::LineTop(int line) const {
    return TitleHeight() + 1 + line * (LineHeight() + 1);
}

int TDBGridEh::LinesShown() const {
    if (!DataSetOpen())
        return 0;
    return std::clamp(m_dataSet->WindowRowCount(), 0, LinesFit());
}

int TDBGridEh::FillerTop() const {
    return LineTop(LinesShown());
}

int TDBGridEh::FooterTop() const {
    return viewport()->height() - (LineHeight() + 1);
}

int TDBGridEh::ColumnLeft(int column) const {
    if (column < m_leftCol || column >= static_cast<int>(m_columns.size()))
        return -1;
    int x = DataLeft;
    for (int c = m_leftCol; c < column; ++c)
        x += m_columns[c].Width + 1;
    return x;
}

int TDBGridEh::ColumnsWidth(int fromColumn) const {
    int width = 0;
    for (int c = fromColumn; c < static_cast<int>(m_columns.size()); ++c)
        width += m_columns[c].Width + 1;
    return width;
}

int TDBGridEh::ColumnsRight() const {
    return DataLeft + ColumnsWidth(m_leftCol);
}

int TDBGridEh::ColumnAt(int x) const {
    if (x < DataLeft)
        return -1;
    int left = DataLeft;
    for (int c = m_leftCol; c < static_cast<int>(m_columns.size()); ++c) {
        const int right = left + m_columns[c].Width + 1;
        if (x < right)
            return c;
        left = right;
    }
    return -1;
}

int TDBGridEh::LineAt(int y) const {
    const int top = LineTop(0);
    if (y < top || y >= FooterTop())
        return -1;
    const int line = (y - top) / (LineHeight() + 1);
    return line < LinesShown() ? line : -1;
}

int TDBGridEh::ColumnEdgeAt(int x) const {
    int best = -1;
    int bestDistance = 0;
    int left = DataLeft;
    for (int c = m_leftCol; c < static_cast<int>(m_columns.size()); ++c) {
        const int edge = left + m_columns[c].Width;
        if (x >= edge - EdgeGripLeft && x <= edge + EdgeGripRight) {
            const int distance = std::abs(x - edge);
            if (best < 0 || distance < bestDistance) {
                best = c;
                bestDistance = distance;
            }
        }
        left = edge + 1;
    }
    return best;
}

int TDBGridEh::MaxLeftCol() const {
    const int count = static_cast<int>(m_columns.size());
    const int room = viewport()->width() - DataLeft;
    for (int c = 0; c < count; ++c) {
        if (ColumnsWidth(c) <= room)
            return c;
    }
    return std::max(0, count - 1);
}

QRect TDBGridEh::LineRect(int line) const {
    return QRect(0, LineTop(line), viewport()->width(), LineHeight() + 1);
}

QRect TDBGridEh::FooterRect() const {
    return QRect(0, FooterTop(), viewport()->width(), LineHeight() + 1);
}

QRect TDBGridEh::CellRect(int line, int column) const {
    const int left = ColumnLeft(column);
    if (left < 0 || line < -1 || line >= LinesShown())
        return QRect();
    const QRect cell = line < 0 ? QRect(left, 0, m_columns[column].Width, TitleHeight())
                                : QRect(left, LineTop(line), m_columns[column].Width, LineHeight());
    return cell.intersected(viewport()->rect());
}

// ---------------------------------------------------------------------------------------------
// What the lines show

int TDBGridEh::CurrentLine() const {
    return DataSetOpen() ? m_dataSet->ActiveLine() : -1;
}

QString TDBGridEh::CellText(int line, int column) const {
    if (!DataSetOpen() || column < 0 || column >= static_cast<int>(m_fieldIndexes.size()))
        return QString();
    const int field = m_fieldIndexes[column];
    if (field < 0 || field >= m_dataSet->FieldCount())
        return QString();
    return QString::fromStdString(m_dataSet->DisplayTextAt(line, field));
}

int TDBGridEh::RowCount() const {
    return DataSetOpen() ? m_dataSet->ViewRowCount() : 0;
}

int TDBGridEh::TopRow() const {
    return DataSetOpen() ? m_dataSet->WindowTop() : -1;
}

int TDBGridEh::CurrentRow() const {
    const int line = CurrentLine();
    return line >= 0 ? TopRow() + line : -1;
}

QString TDBGridEh::RowCellText(int row, int column) const {
    if (!DataSetOpen() || column < 0 || column >= static_cast<int>(m_fieldIndexes.size()))
        return QString();
    const int field = m_fieldIndexes[column];
    if (field < 0 || field >= m_dataSet->FieldCount())
        return QString();
    return QString::fromStdString(m_dataSet->DisplayTextAtRow(row, field));
}

QString TDBGridEh::RowCellDescription(int row, int column) const {
    // Enough for a listener to tell paragraphs apart without hearing a whole page for each.
    constexpr int Beginning = 80;
    if (!DataSetOpen() || column < 0 || column >= static_cast<int>(m_fieldIndexes.size()))
        return QString();
    const int field = m_fieldIndexes[column];
    if (field < 0 || field >= m_dataSet->FieldCount() || m_dataSet->Fields(field).Kind() != TFieldKind::Memo)
        return QString();
    QString text = QString::fromStdString(m_dataSet->TextAtRow(row, field));
    const auto lineEnd = std::find_if(text.cbegin(), text.cend(), [](QChar c) { return c == u'\r' || c == u'\n'; });
    text.truncate(lineEnd - text.cbegin());
    if (text.size() > Beginning) {
        // Never between the two halves of a character outside the basic plane.
        text.truncate(text.at(Beginning - 1).isHighSurrogate() ? Beginning - 1 : Beginning);
        text += QChar(0x2026);
    }
    return text;
}

QString TDBGridEh::FooterText(int column) const {
    if (!DataSetOpen() || column < 0 || column >= static_cast<int>(m_columns.size()))
        return QString();
    switch (m_columns[column].FooterValueType) {
    case TFooterValueType::fvtStaticText:
        return m_columns[column].FooterValue;
    case TFooterValueType::fvtCount:
        return QString::number(m_sumList->Count());
    case TFooterValueType::fvtNon:
        break;
    }
    return QString();
}

// ---------------------------------------------------------------------------------------------
// Following the record set

bool TDBGridEh::DataSetOpen() const {
    return m_dataSet && m_dataSet->Active();
}

void TDBGridEh::DataSetNotice(TDataNotice notice) {
    switch (notice) {
    case TDataNotice::LayoutChanged:
    case TDataNotice::DataSetChanged:
        // The release of held-back notices may stand for a close and reopen with other fields: the
        // field positions found before would then point past the new rows' cells.
        RebuildFieldIndexes();
        UpdateLayout();
        break;
    case TDataNotice::Scrolled: {
        const int active = DataSetOpen() ? m_dataSet->ActiveLine() : -1;
        const int recNo = DataSetOpen() ? m_dataSet->RecNo() : -1;
        const int top = recNo > 0 && active >= 0 ? recNo - active : 0;
        // A move within the lines repaints only the old and the new current line.
        const int oldLine = m_lastActiveLine;
        const bool linesScrolled = !(top > 0 && top == m_topRecNo && oldLine >= 0);
        if (linesScrolled) {
            viewport()->update();
        } else {
            viewport()->update(LineRect(oldLine));
            viewport()->update(LineRect(active));
        }
        UpdateScrollBars();
        TAccessibleDBGridEh::CurrentRowChanged(*this, linesScrolled);
        break;
    }
    case TDataNotice::RecordChanged:
    case TDataNotice::StateChanged:
    case TDataNotice::FieldChanged:
        // Post and cancel of an insert change the rows around the current one as well.
        UpdateScrollBars();
        viewport()->update();
        TAccessibleDBGridEh::ContentsChanged(*this, false);
        break;
    }
}

void TDBGridEh::FooterChanged() {
    viewport()->update(FooterRect());
    TAccessibleDBGridEh::FooterChanged(*this);
}

void TDBGridEh::RebuildFieldIndexes() {
    m_fieldIndexes.assign(m_columns.size(), -1);
    if (!DataSetOpen())
        return;
    for (size_t c = 0; c < m_columns.size(); ++c) {
        if (const TField* field = m_dataSet->FindField(m_columns[c].FieldName.toStdString()))
            m_fieldIndexes[c] = field->Index();
    }
}

void TDBGridEh::UpdateLayout() {
    if (m_dataSet && m_dataSet->BufferCount() != LinesFit())
        m_dataSet->SetBufferCount(LinesFit());
    UpdateScrollBars();
    viewport()->update();
    TAccessibleDBGridEh::ContentsChanged(*this);
}

void TDBGridEh::UpdateScrollBars() {
    if (m_updatingScrollBars)
        return;
    m_updatingScrollBars = true;
    const int count = DataSetOpen() ? m_dataSet->RecordCount() : 0;
    // Minimum 1, maximum count + V - 1 and page V leave the thumb free from 1 to count; with two
    // records or fewer the page covers the whole range and the bar is hidden.
    const bool showVertical = count >= FewestRecordsToScroll;
    setVerticalScrollBarPolicy(showVertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    const bool showHorizontal = DataLeft + ColumnsWidth(0) > viewport()->width();
    setHorizontalScrollBarPolicy(showHorizontal ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    // The horizontal bar takes height from the lines, so the page is read after it is placed.
    if (showVertical) {
        QScrollBar* bar = verticalScrollBar();
        const QSignalBlocker blocker(bar);
        bar->setRange(1, count);
        bar->setPageStep(std::max(1, LinesShown()));
        bar->setSingleStep(1);
        bar->setValue(std::max(1, m_dataSet->RecNo()));
    }
    // Changing a bar resizes the viewport, and the width decides which columns must scroll.
    const int maxLeft = showHorizontal ? MaxLeftCol() : 0;
    {
        QScrollBar* columnsBar = horizontalScrollBar();
        const QSignalBlocker blocker(columnsBar);
        columnsBar->setRange(0, maxLeft);
        if (m_leftCol > maxLeft)
            m_leftCol = maxLeft;
        columnsBar->setValue(m_leftCol);
    }
    if (DataSetOpen()) {
        m_lastActiveLine = m_dataSet->ActiveLine();
        const int recNo = m_dataSet->RecNo();
        m_topRecNo = recNo > 0 && m_lastActiveLine >= 0 ? recNo - m_lastActiveLine : 0;
    } else {
        m_lastActiveLine = -1;
        m_topRecNo = 0;
    }
    m_updatingScrollBars = false;
}

void TDBGridEh::SetLeftCol(int column) {
    column = std::clamp(column, 0, MaxLeftCol());
    if (column == m_leftCol)
        return;
    m_leftCol = column;
    {
        const QSignalBlocker blocker(horizontalScrollBar());
        horizontalScrollBar()->setValue(m_leftCol);
    }
    viewport()->update();
}

void TDBGridEh::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    Guarded([this] { UpdateLayout(); });
}

void TDBGridEh::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
        Guarded([this] { UpdateLayout(); });
}

void TDBGridEh::scrollContentsBy(int, int) {
    // The bars stand for records and columns, not pixels; the display follows the record set.
}

// ---------------------------------------------------------------------------------------------
// Painting

void TDBGridEh::PaintRaised(QPainter& painter, const QRect& cell) const {
    painter.fillRect(cell, palette().color(QPalette::Button));
    if (cell.width() < 2 || cell.height() < 2)
        return;
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(cell.topLeft(), cell.topRight());
    painter.drawLine(cell.topLeft(), cell.bottomLeft());
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(cell.bottomLeft(), cell.bottomRight());
    painter.drawLine(cell.topRight(), cell.bottomRight());
}

void TDBGridEh::PaintCell(QPainter& painter, const QRect& cell, const QString& text, Qt::Alignment alignment) const {
    if (text.isEmpty() || cell.width() <= 0)
        return;
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text);
    int x = cell.left() + 2;
    if (alignment & Qt::AlignHCenter)
        x = cell.left() + cell.width() / 2 - textWidth / 2;
    else if (alignment & Qt::AlignRight)
        x = cell.left() + cell.width() - 2 - textWidth;
    painter.save();
    painter.setClipRect(cell, Qt::IntersectClip);
    painter.drawText(QPoint(x, cell.top() + 2 + metrics.ascent()), text);
    painter.restore();
}

void TDBGridEh::PaintIndicatorMark(QPainter& painter, const QRect& cell) const {
    const char* const* mark = BrowseMark;
    if (m_dataSet->State() == TDataSetState::dsEdit)
        mark = EditMark;
    else if (m_dataSet->State() == TDataSetState::dsInsert)
        mark = InsertMark;
    const int left = cell.right() - 2 - MarkWidth + 1;
    const int top = cell.top() + (cell.height() - MarkHeight) / 2;
    painter.setPen(Qt::black);
    for (int y = 0; y < MarkHeight; ++y) {
        for (int x = 0; x < MarkWidth; ++x) {
            if (mark[y][x] == '#')
                painter.drawPoint(left + x, top + y);
        }
    }
}

void TDBGridEh::PaintFocusRect(QPainter& painter, const QRect& rect) const {
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    QPolygon dots;
    for (int x = rect.left(); x <= rect.right(); ++x) {
        for (int y : {rect.top(), rect.bottom()}) {
            if ((x + y) % 2 == 0)
                dots << QPoint(x, y);
        }
    }
    for (int y = rect.top() + 1; y < rect.bottom(); ++y) {
        for (int x : {rect.left(), rect.right()}) {
            if ((x + y) % 2 == 0)
                dots << QPoint(x, y);
        }
    }
    painter.setPen(palette().color(QPalette::HighlightedText));
    painter.drawPoints(dots);
}

void TDBGridEh::paintEvent(QPaintEvent* event) {
    Guarded([&] { PaintGrid(event->rect()); });
}

void TDBGridEh::PaintGrid(const QRect& dirty) {
    QPainter painter(viewport());
    const QPalette& pal = palette();
    const QColor gridColor = pal.color(QPalette::Base);
    const QColor silver(0xC0, 0xC0, 0xC0);
    const QColor recordLines = gridColor == silver ? QColor(0x80, 0x80, 0x80) : silver;
    const QColor fixedLines = Qt::black;
    const int width = viewport()->width();
    const int titleHeight = TitleHeight();
    const int lineHeight = LineHeight();
    const int columnsRight = ColumnsRight();
    const int columnCount = static_cast<int>(m_columns.size());
    const bool open = DataSetOpen();
    painter.setFont(font());

    painter.fillRect(dirty, gridColor);

    // One row of cells: the indicator cell, the columns shown, each followed by its lines.
    auto paintRow = [&](int top, int height, auto&& paintIndicator, auto&& paintColumn, const QColor& indicatorLine,
                        const QColor& cellLine) {
        if (top + height < dirty.top() || top > dirty.bottom())
            return;
        paintIndicator(QRect(0, top, IndicatorWidth, height));
        painter.setPen(indicatorLine);
        painter.drawLine(IndicatorWidth, top, IndicatorWidth, top + height);
        painter.drawLine(0, top + height, IndicatorWidth - 1, top + height);
        int x = DataLeft;
        for (int c = m_leftCol; c < columnCount && x < width; ++c) {
            const int w = m_columns[c].Width;
            paintColumn(c, QRect(x, top, w, height));
            painter.setPen(cellLine);
            painter.drawLine(x + w, top, x + w, top + height);
            if (w > 0)
                painter.drawLine(x, top + height, x + w - 1, top + height);
            x += w + 1;
        }
    };

    // Title row.
    painter.setPen(pal.color(QPalette::ButtonText));
    paintRow(
        0, titleHeight, [&](const QRect& cell) { PaintRaised(painter, cell); },
        [&](int c, const QRect& cell) {
            PaintRaised(painter, cell);
            painter.setPen(pal.color(QPalette::ButtonText));
            PaintCell(painter, cell, m_columns[c].Title, m_columns[c].TitleAlignment);
        },
        fixedLines, fixedLines);

    // Record lines: only the window of rows the record set holds for the grid.
    const int shown = LinesShown();
    const int activeLine = open ? m_dataSet->ActiveLine() : -1;
    const bool focused = hasFocus();
    for (int line = 0; line < shown; ++line) {
        const int top = LineTop(line);
        const bool current = line == activeLine;
        const bool highlighted = current && focused;
        paintRow(
            top, lineHeight,
            [&](const QRect& cell) {
                PaintRaised(painter, cell);
                if (current)
                    PaintIndicatorMark(painter, cell);
            },
            [&](int c, const QRect& cell) {
                if (highlighted)
                    painter.fillRect(cell, pal.color(QPalette::Highlight));
                painter.setPen(pal.color(highlighted ? QPalette::HighlightedText : QPalette::Text));
                PaintCell(painter, cell, CellText(line, c), m_columns[c].Alignment);
            },
            fixedLines, recordLines);
        if (highlighted)
            PaintFocusRect(painter, QRect(DataLeft, top, std::min(columnsRight, width) - 1 - DataLeft, lineHeight));
    }

    // The filler band keeps the footer row against the bottom edge; its last pixel row closes it.
    const int footerTop = FooterTop();
    const int fillerTop = FillerTop();
    if (footerTop > fillerTop) {
        painter.fillRect(QRect(0, fillerTop, width, footerTop - fillerTop), gridColor);
        painter.setPen(recordLines);
        painter.drawLine(0, footerTop - 1, columnsRight - 1, footerTop - 1);
    }

    // Footer row, in the footer colour (the window colour) with record-cell lines.
    paintRow(
        footerTop, lineHeight, [&](const QRect& cell) { painter.fillRect(cell, gridColor); },
        [&](int c, const QRect& cell) {
            painter.fillRect(cell, gridColor);
            painter.setPen(pal.color(QPalette::Text));
            PaintCell(painter, cell, FooterText(c), m_columns[c].FooterAlignment);
        },
        recordLines, recordLines);
    if (columnsRight < width)
        painter.fillRect(QRect(columnsRight, footerTop, width - columnsRight, lineHeight + 1), gridColor);

    // Column resizing and moving draw over everything.
    if (m_pointerState == TPointerState::ColumnSizing) {
        painter.setPen(pal.color(QPalette::WindowText));
        painter.drawLine(m_sizingPos, 0, m_sizingPos, viewport()->height() - 1);
    } else if (m_pointerState == TPointerState::ColumnMoving && m_moveTarget >= 0 && m_moveTarget != m_dragColumn) {
        const int left = ColumnLeft(m_moveTarget);
        if (left >= 0) {
            const int x = m_moveTarget < m_dragColumn ? left - 1 : left + m_columns[m_moveTarget].Width - 1;
            painter.fillRect(QRect(x, 0, MoveTargetBarWidth, titleHeight + 1), pal.color(QPalette::Highlight));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Input

bool TDBGridEh::TakeFocus() {
    if (!isEnabled() || !(focusPolicy() & Qt::ClickFocus))
        return false;
    setFocus(Qt::MouseFocusReason);
    return hasFocus() || window()->focusWidget() == this;
}

void TDBGridEh::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
    TAccessibleDBGridEh::FocusEntered(*this);
}

void TDBGridEh::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    Guarded([this] { EndPointerState(false); });
    viewport()->update();
}

void TDBGridEh::hideEvent(QHideEvent* event) {
    QAbstractScrollArea::hideEvent(event);
    Guarded([this] { EndPointerState(false); });
}

void TDBGridEh::mousePressEvent(QMouseEvent* event) {
    event->accept();
    const QPoint pos = event->position().toPoint();
    const Qt::MouseButton button = event->button();
    Guarded([&] { HandlePress(pos, button); });
}

void TDBGridEh::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    const QPoint pos = event->position().toPoint();
    const Qt::MouseButton button = event->button();
    Guarded([&] {
        if (button != Qt::LeftButton) {
            HandlePress(pos, button);
            return;
        }
        if (!TakeFocus())
            return;
        EndPointerState(false);
        emit OnDblClick(this);
    });
}

void TDBGridEh::HandlePress(const QPoint& pos, Qt::MouseButton button) {
    if (!TakeFocus())
        return;
    if (m_pointerState != TPointerState::Normal || !DataSetOpen())
        return;
    if (pos.y() <= TitleHeight()) {
        if (button == Qt::LeftButton) {
            const int edgeColumn = ColumnEdgeAt(pos.x());
            if (edgeColumn >= 0) {
                const int edge = ColumnLeft(edgeColumn) + m_columns[edgeColumn].Width;
                m_pointerState = TPointerState::ColumnSizing;
                m_dragButton = button;
                m_dragColumn = edgeColumn;
                m_sizingOffset = edge - pos.x();
                m_sizingPos = edge;
                viewport()->update();
                return;
            }
        }
        const int column = ColumnAt(pos.x());
        if (column >= 0 && (button == Qt::LeftButton || button == Qt::RightButton)) {
            m_pointerState = TPointerState::ColumnMoving;
            m_dragButton = button;
            m_dragColumn = column;
            m_moveTarget = column;
        }
        return;
    }
    const int line = LineAt(pos.y());
    if (line < 0 || pos.x() >= ColumnsRight())
        return;
    const int active = m_dataSet->ActiveLine();
    if (active >= 0 && line != active)
        m_dataSet->MoveBy(line - active);
}

void TDBGridEh::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    const QPoint pos = event->position().toPoint();
    Guarded([&] { HandleMove(pos); });
}

void TDBGridEh::HandleMove(const QPoint& pos) {
    switch (m_pointerState) {
    case TPointerState::ColumnSizing:
        m_sizingPos = pos.x() + m_sizingOffset;
        viewport()->update();
        break;
    case TPointerState::ColumnMoving: {
        int target = ColumnAt(pos.x());
        if (target < 0)
            target = pos.x() < DataLeft ? m_leftCol : static_cast<int>(m_columns.size()) - 1;
        if (target != m_moveTarget) {
            m_moveTarget = target;
            viewport()->update();
        }
        break;
    }
    case TPointerState::Normal: {
        const bool onEdge = DataSetOpen() && pos.y() <= TitleHeight() && ColumnEdgeAt(pos.x()) >= 0;
        viewport()->setCursor(onEdge ? Qt::SplitHCursor : Qt::ArrowCursor);
        break;
    }
    }
}

void TDBGridEh::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (m_pointerState != TPointerState::Normal && event->button() == m_dragButton)
        Guarded([this] { EndPointerState(true); });
}

void TDBGridEh::EndPointerState(bool apply) {
    const TPointerState state = m_pointerState;
    m_pointerState = TPointerState::Normal;
    m_dragButton = Qt::NoButton;
    if (state == TPointerState::Normal)
        return;
    const int column = m_dragColumn;
    m_dragColumn = -1;
    if (apply && state == TPointerState::ColumnSizing && column >= 0 && column < static_cast<int>(m_columns.size())) {
        // Left or Right during the drag may have scrolled the column out of sight: nothing to measure.
        const int left = ColumnLeft(column);
        const int newWidth = m_sizingPos - left;
        if (left >= 0 && newWidth > 1)
            m_columns[column].Width = newWidth;
    } else if (apply && state == TPointerState::ColumnMoving && column >= 0 && m_moveTarget >= 0 &&
               m_moveTarget != column && m_moveTarget < static_cast<int>(m_columns.size())) {
        // The column takes its title, cells and footer along.
        TColumnEh moved = std::move(m_columns[column]);
        m_columns.erase(m_columns.begin() + column);
        m_columns.insert(m_columns.begin() + m_moveTarget, std::move(moved));
        RebuildFieldIndexes();
        TAccessibleDBGridEh::ContentsChanged(*this);
    }
    m_moveTarget = -1;
    UpdateScrollBars();
    viewport()->update();
}

void TDBGridEh::keyPressEvent(QKeyEvent* event) {
    if (m_pointerState != TPointerState::Normal && event->key() == Qt::Key_Escape) {
        event->accept();
        Guarded([this] { EndPointerState(false); });
        return;
    }
    Guarded([&] { HandleKey(event); });
}

void TDBGridEh::HandleKey(QKeyEvent* event) {
    if (!DataSetOpen()) {
        event->ignore();
        return;
    }
    const Qt::KeyboardModifiers modifiers =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const bool control = modifiers == Qt::ControlModifier;
    const bool plain = modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier;
    if (!control && !plain) {
        event->ignore();
        return;
    }
    TADOQuery& dataSet = *m_dataSet;
    const int shown = std::max(1, LinesShown());
    event->accept();
    switch (event->key()) {
    case Qt::Key_Up:
        control ? static_cast<void>(dataSet.MoveBy(-dataSet.ActiveLine())) : static_cast<void>(dataSet.MoveBy(-1));
        break;
    case Qt::Key_Down:
        control ? static_cast<void>(dataSet.MoveBy(LinesFit() - 1 - dataSet.ActiveLine()))
                : static_cast<void>(dataSet.MoveBy(1));
        break;
    case Qt::Key_PageUp:
        control ? static_cast<void>(dataSet.MoveBy(-dataSet.ActiveLine())) : static_cast<void>(dataSet.MoveBy(-shown));
        break;
    case Qt::Key_PageDown:
        control ? static_cast<void>(dataSet.MoveBy(LinesFit() - 1 - dataSet.ActiveLine()))
                : static_cast<void>(dataSet.MoveBy(shown));
        break;
    case Qt::Key_Home:
        dataSet.First();
        break;
    case Qt::Key_End:
        dataSet.Last();
        break;
    case Qt::Key_Left:
        if (!control)
            SetLeftCol(m_leftCol - 1);
        break;
    case Qt::Key_Right:
        if (!control)
            SetLeftCol(m_leftCol + 1);
        break;
    default:
        event->ignore();
        break;
    }
}

void TDBGridEh::wheelEvent(QWheelEvent* event) {
    event->accept();
    Guarded([&] { HandleWheel(event); });
}

void TDBGridEh::HandleWheel(QWheelEvent* event) {
    if (!hasFocus() || !DataSetOpen()) {
        m_wheelDelta = 0;
        return;
    }
    // Some platforms turn the wheel sideways while Alt is held; the grid ignores held keys.
    const QPoint angle = event->angleDelta();
    m_wheelDelta += angle.y() != 0 ? angle.y() : angle.x();
    while (std::abs(m_wheelDelta) >= WheelNotch) {
        // Towards the user (negative) moves down the list.
        const int step = m_wheelDelta < 0 ? 1 : -1;
        m_wheelDelta += step * WheelNotch;
        m_dataSet->MoveBy(step);
    }
}

bool TDBGridEh::eventFilter(QObject* watched, QEvent* event) {
    if (watched == verticalScrollBar()) {
        if (event->type() == QEvent::Wheel) {
            wheelEvent(static_cast<QWheelEvent*>(event));
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            // Using the bar first gives the grid the focus.
            if (!TakeFocus())
                return true;
        }
    }
    return QAbstractScrollArea::eventFilter(watched, event);
}

void TDBGridEh::ScrollBarAction(int action) {
    QScrollBar* bar = verticalScrollBar();
    if (action == QAbstractSlider::SliderMove || action == QAbstractSlider::SliderNoAction)
        return;
    Guarded([&] {
        if (!DataSetOpen())
            return;
        TADOQuery& dataSet = *m_dataSet;
        const int shown = std::max(1, LinesShown());
        switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            dataSet.MoveBy(-(dataSet.ActiveLine() + 1));
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            dataSet.MoveBy(LinesShown() - dataSet.ActiveLine());
            break;
        case QAbstractSlider::SliderPageStepSub:
            dataSet.MoveBy(-shown);
            break;
        case QAbstractSlider::SliderPageStepAdd:
            dataSet.MoveBy(shown);
            break;
        case QAbstractSlider::SliderToMinimum:
            dataSet.First();
            break;
        case QAbstractSlider::SliderToMaximum:
            dataSet.Last();
            break;
        default:
            break;
        }
    });
    // The slider applies this position when the action returns: it shows where the record set is.
    if (DataSetOpen())
        bar->setSliderPosition(std::max(1, m_dataSet->RecNo()));
}

void TDBGridEh::ScrollBarReleased() {
    QScrollBar* bar = verticalScrollBar();
    const int position = bar->sliderPosition();
    Guarded([&] {
        if (!DataSetOpen())
            return;
        TADOQuery& dataSet = *m_dataSet;
        if (position <= 1)
            dataSet.First();
        else if (position >= dataSet.RecordCount())
            dataSet.Last();
        else
            dataSet.SetRecNo(position);
    });
    if (DataSetOpen()) {
        const QSignalBlocker blocker(bar);
        bar->setValue(std::max(1, m_dataSet->RecNo()));
    }
}
