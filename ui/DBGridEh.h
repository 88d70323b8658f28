#pragma once

#include <QAbstractScrollArea>
#include <QStringList>

#include <memory>
#include <vector>

class TADOQuery;
class TDBGridEhSumList;
enum class TDataNotice;

enum class TFooterValueType { fvtNon, fvtStaticText, fvtCount };

// One column of the grid as the window's .ui file describes it.
struct TColumnEh {
    QString FieldName;
    QString Title;
    int Width = 64;
    Qt::Alignment Alignment = Qt::AlignLeft;
    Qt::Alignment TitleAlignment = Qt::AlignLeft;
    Qt::Alignment FooterAlignment = Qt::AlignLeft;
    TFooterValueType FooterValueType = TFooterValueType::fvtNon;
    QString FooterValue;
};

// The read-only record grid: title row, indicator column, one line per record of the bound record
// set, a footer row of totals. It moves the record set by mouse, keys, wheel and scroll bar.
class TDBGridEh : public QAbstractScrollArea {
    Q_OBJECT
    // Columns as data from the .ui file, one string per column:
    // "FieldName|Title|Width|cell alignment|title alignment|footer alignment|footer kind|footer value"
    // with alignments left, center or right and footer kinds fvtNon, fvtStaticText or fvtCount.
    Q_PROPERTY(QStringList columns READ ColumnSpecs WRITE SetColumnSpecs)

public:
    explicit TDBGridEh(QWidget* parent = nullptr);
    ~TDBGridEh() override;

    // Binds the grid to its record set (once, when the window is created). nullptr unbinds; a window
    // whose record set dies before the grid unbinds it first. Binding to an open record set counts
    // its rows at once.
    void SetDataSet(TADOQuery* dataSet);
    TADOQuery* DataSet() const;

    void SetColumns(std::vector<TColumnEh> columns);
    const std::vector<TColumnEh>& Columns() const;
    QStringList ColumnSpecs() const;
    void SetColumnSpecs(const QStringList& specs);

    // The footer count shared by every fvtCount column.
    int FooterCount() const;
    // Record lines that fit in the grid (at least 1); the record set's window has this many rows.
    int LinesFit() const;
    // The first column shown after the indicator (columns scroll by whole columns).
    int LeftCol() const { return m_leftCol; }

    // What the grid shows, as painted and as told to assistive technology. Lines count from the top
    // record line; columns are indexes into Columns().
    int LinesShown() const;  // record lines with a record, 0 while closed
    int CurrentLine() const; // the current record's line, -1 for none
    QString CellText(int line, int column) const;
    QString FooterText(int column) const;
    // A cell in viewport coordinates, clipped to the viewport; line -1 is the title row. Empty for a
    // column scrolled out of sight or a line not shown.
    QRect CellRect(int line, int column) const;

    // The whole list, as assistive technology is told it: rows are positions in the list from 0, the
    // top line shows row TopRow() (-1 while nothing is shown).
    int RowCount() const;
    int TopRow() const;
    int CurrentRow() const;
    QString RowCellText(int row, int column) const;
    // For a paragraph (a Memo cell, which shows only "(MEMO)"): its first line, cut short.
    QString RowCellDescription(int row, int column) const;

signals:
    // A left double-click anywhere in the grid.
    void OnDblClick(TDBGridEh* sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    class TGridDataLink;
    friend class TGridDataLink;
    enum class TPointerState { Normal, ColumnSizing, ColumnMoving };

    // Geometry: one source for painting and for finding what lies under the mouse.
    int TitleHeight() const; // the title row without its line
    int LineHeight() const;  // a record line or the footer row without its line
    int LineTop(int line) const;
    int FillerTop() const;
    int FooterTop() const;
    int ColumnLeft(int column) const; // -1 for a column scrolled out to the left
    int ColumnsRight() const;         // first x right of the last shown column's line
    int ColumnsWidth(int fromColumn) const;
    int ColumnAt(int x) const;     // the data column under x, -1 for none
    int LineAt(int y) const;       // the record line under y, -1 for none
    int ColumnEdgeAt(int x) const; // the column whose right edge grips x, -1 for none
    int MaxLeftCol() const;
    QRect LineRect(int line) const;
    QRect FooterRect() const;

    // Display.
    void DataSetNotice(TDataNotice notice);
    void FooterChanged();
    void UpdateLayout();
    void UpdateScrollBars();
    void RebuildFieldIndexes();
    void SetLeftCol(int column);
    void PaintGrid(const QRect& dirty);
    void PaintCell(QPainter& painter, const QRect& cell, const QString& text, Qt::Alignment alignment) const;
    void PaintRaised(QPainter& painter, const QRect& cell) const;
    void PaintIndicatorMark(QPainter& painter, const QRect& cell) const;
    void PaintFocusRect(QPainter& painter, const QRect& rect) const;

    // Input.
    bool TakeFocus();
    bool DataSetOpen() const;
    void HandlePress(const QPoint& pos, Qt::MouseButton button);
    void HandleMove(const QPoint& pos);
    void HandleKey(QKeyEvent* event);
    void HandleWheel(QWheelEvent* event);
    void ScrollBarAction(int action);
    void ScrollBarReleased();
    void EndPointerState(bool apply);

    TADOQuery* m_dataSet = nullptr;
    std::unique_ptr<TGridDataLink> m_link;
    std::unique_ptr<TDBGridEhSumList> m_sumList;
    std::vector<TColumnEh> m_columns;
    std::vector<int> m_fieldIndexes; // per column, -1 when the record set has no such field
    int m_leftCol = 0;
    int m_wheelDelta = 0;
    int m_topRecNo = 0; // record number on the top line at the last notice, to repaint only what moved
    int m_lastActiveLine = -1;
    bool m_updatingScrollBars = false;

    TPointerState m_pointerState = TPointerState::Normal;
    Qt::MouseButton m_dragButton = Qt::NoButton;
    int m_dragColumn = -1;
    int m_sizingPos = 0;    // x of the line that follows the pointer while resizing
    int m_sizingOffset = 0; // from the pointer to that line
    int m_moveTarget = -1;  // where a moved column would drop
};
