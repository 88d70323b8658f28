#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class TDBGridEh;

// The record grid as assistive technology sees it: a table whose column headers are the column
// titles, whose rows are the record lines the grid shows and whose cells hold the text each line
// shows. The current record's line is the selected row, its first shown cell the focused one. The
// footer totals are the table's description, and each row's description is its record's number
// among all records.
//
// Rows are the lines shown, not all records: the record set gives text only for its window of rows,
// and a table of every record would let one request for all children (which screen readers and
// inspectors make) create an object per record.
class TAccessibleDBGridEh : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit TAccessibleDBGridEh(TDBGridEh* grid);
    ~TAccessibleDBGridEh() override;

    // Registered once for every TDBGridEh.
    static QAccessibleInterface* Factory(const QString& key, QObject* object);

    // What the grid tells assistive technology; nothing happens while none listens, nor for a grid
    // it has not asked about. The lines' texts or their number changed (open, close, scrolling, a
    // change of rows, columns moved); announceCurrent tells the current line again, as after a move:
    static void ContentsChanged(TDBGridEh& grid, bool announceCurrent = true);
    // The current record moved to another line without the lines scrolling:
    static void CurrentLineChanged(TDBGridEh& grid, int oldLine);
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

    // A cell of the title row (line -1) or of a record line; created on first use and kept until the
    // line or the column is gone.
    QAccessibleInterface* Cell(int line, int column) const;

private:
    TDBGridEh* Grid() const;
    static TAccessibleDBGridEh* Of(TDBGridEh& grid);
    void SendCurrentLine(int oldLine) const;
    void DropGoneCells();

    const QObject* m_grid;
    mutable QHash<quint64, QAccessible::Id> m_cells;
    int m_rowsReported = 0;
    int m_columnsReported = 0;
};
