#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class TDBGridEh;

// The record grid as assistive technology sees it: a table whose column headers are the column
// titles, whose rows are all the records of the list in their order (so a record's row is its
// position, and the table as long as the list), and whose cells hold the texts the grid shows for
// them; a paragraph's cell describes itself by the paragraph's first line. The current record is the
// selected row, its first shown cell the focused one; the footer totals are the table's description.
//
// Cell objects are made when asked for and kept while their row and column exist, up to a bound past
// which those out of sight go: what the table costs follows the cells asked for and the lines shown,
// never the length of the list.
class TAccessibleDBGridEh : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit TAccessibleDBGridEh(TDBGridEh* grid);
    ~TAccessibleDBGridEh() override;

    // Registered once for every TDBGridEh.
    static QAccessibleInterface* Factory(const QString& key, QObject* object);

    // What the grid tells assistive technology; nothing happens while none listens, nor for a grid
    // it has not asked about. The rows' texts or their number changed (open, close, a change of rows,
    // columns moved); announceCurrent tells the current row again, as after a move:
    static void ContentsChanged(TDBGridEh& grid, bool announceCurrent = true);
    // The current record moved; linesScrolled when the grid shows other records now:
    static void CurrentRowChanged(TDBGridEh& grid, bool linesScrolled);
    static void FooterChanged(TDBGridEh& grid);
    static void FocusEntered(TDBGridEh& grid);
    // Called while the grid is destroyed: its table goes before the grid's columns and lines, which
    // the table reads.
    static void GridDestroyed(TDBGridEh& grid);

    // QAccessibleInterface
    QAccessible::Role role() const override;
    QString text(QAccessible::Text t) const override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface*> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override;
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    // The selection is the record set's current row; only the grid's own moves change it.
    bool selectRow(int) override { return false; }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override;

    // A cell of the title row (row -1) or of a record; created on first use and kept until the row
    // or the column is gone, or until it is out of sight when many are kept.
    QAccessibleInterface* Cell(int row, int column) const;

private:
    TDBGridEh* Grid() const;
    static TAccessibleDBGridEh* Of(TDBGridEh& grid);
    void SendCurrentRow();
    void DropGoneCells();
    void DropCellsOutOfSight() const;

    const QObject* m_grid;
    mutable QHash<quint64, QAccessible::Id> m_cells;
    int m_rowsReported = 0;
    int m_columnsReported = 0;
    int m_currentReported = -1; // the row last announced as current
};
