#include "DBGridEhAccessible.h"

#include "DBGridEh.h"

#include <QAccessibleTableCellInterface>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

quint64 CellKey(int row, int column) {
    return (quint64(quint32(row + 1)) << 32) | quint32(column);
}
int KeyRow(quint64 key) {
    return int(quint32(key >> 32)) - 1;
}
int KeyColumn(quint64 key) {
    return int(quint32(key));
}

constexpr qsizetype KeptCells = 1024;

// The grids someone has asked about, with their tables. A grid nobody asked about has nothing to tell.
QHash<const QObject*, TAccessibleDBGridEh*>& Tables() {
    static QHash<const QObject*, TAccessibleDBGridEh*> tables;
    return tables;
}

void Send(QAccessibleInterface* target, QAccessible::Event type) {
    if (!target)
        return;
    QAccessibleEvent event(target, type);
    QAccessible::updateAccessibility(&event);
}

// One title cell (row -1) or record cell. It stands for a position in the list, not for a record:
// its text is whatever the list holds there now.
class TAccessibleDBGridEhCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    TAccessibleDBGridEhCell(TDBGridEh* grid, int row, int column) : m_grid(grid), m_row(row), m_column(column) {}

    int Row() const { return m_row; }
    int Column() const { return m_column; }
    const TDBGridEh* Grid() const { return m_grid; }

    bool isValid() const override {
        return m_grid && m_column < static_cast<int>(m_grid->Columns().size()) && m_row < m_grid->RowCount();
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_grid ? m_grid->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_grid.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        if (!isValid())
            return QString();
        if (t == QAccessible::Name)
            return m_row < 0 ? m_grid->Columns()[m_column].Title : m_grid->RowCellText(m_row, m_column);
        if (t == QAccessible::Description && m_row >= 0)
            return m_grid->RowCellDescription(m_row, m_column);
        return QString();
    }
    void setText(QAccessible::Text, const QString&) override {}

    // The cell as the grid shows it, in viewport coordinates; empty for a record scrolled out of sight.
    QRect ShownRect() const {
        const int line = m_row < 0 ? -1 : m_row - m_grid->TopRow();
        if (m_row >= 0 && (m_grid->TopRow() < 0 || line < 0))
            return QRect();
        return m_grid->CellRect(line, m_column);
    }

    QRect rect() const override {
        if (!isValid())
            return QRect();
        const QRect cell = ShownRect();
        return cell.isEmpty() ? QRect() : QRect(m_grid->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }

    QAccessible::Role role() const override { return m_row < 0 ? QAccessible::ColumnHeader : QAccessible::Cell; }

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) {
            state.invalid = true;
            return state;
        }
        if (!m_grid->isVisible() || ShownRect().isEmpty()) {
            state.invisible = true;
            state.offscreen = true;
        }
        state.disabled = !m_grid->isEnabled();
        if (m_row >= 0) {
            state.readOnly = true;
            state.selectable = true;
            state.focusable = true;
            state.selected = isSelected();
            state.focused = state.selected && m_grid->hasFocus() && m_column == FocusColumn(*m_grid);
        }
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface && m_row >= 0)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // QAccessibleTableCellInterface
    bool isSelected() const override { return isValid() && m_row >= 0 && m_row == m_grid->CurrentRow(); }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        if (auto* grid = static_cast<TAccessibleDBGridEh*>(table()))
            return {grid->Cell(-1, m_column)};
        return {};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return m_column; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    // The cell that takes the focus in a row: the first column in sight.
    static int FocusColumn(const TDBGridEh& grid) {
        return std::clamp(grid.LeftCol(), 0, std::max(0, static_cast<int>(grid.Columns().size()) - 1));
    }

private:
    QPointer<TDBGridEh> m_grid;
    const int m_row;
    const int m_column;
};

} // namespace

TAccessibleDBGridEh::TAccessibleDBGridEh(TDBGridEh* grid) : QAccessibleWidget(grid, QAccessible::Table), m_grid(grid) {
    m_rowsReported = rowCount();
    m_columnsReported = columnCount();
    m_currentReported = Grid()->CurrentRow();
    Tables().insert(grid, this);
}

TAccessibleDBGridEh::~TAccessibleDBGridEh() {
    // The grid may be gone already: its address is the key.
    Tables().remove(m_grid);
    for (const QAccessible::Id id : std::as_const(m_cells))
        QAccessible::deleteAccessibleInterface(id);
}

QAccessibleInterface* TAccessibleDBGridEh::Factory(const QString& key, QObject* object) {
    if (key == QLatin1String("TDBGridEh")) {
        if (auto* grid = qobject_cast<TDBGridEh*>(object))
            return new TAccessibleDBGridEh(grid);
    }
    return nullptr;
}

TDBGridEh* TAccessibleDBGridEh::Grid() const {
    return static_cast<TDBGridEh*>(widget());
}

QAccessible::Role TAccessibleDBGridEh::role() const {
    return QAccessible::Table;
}

QString TAccessibleDBGridEh::text(QAccessible::Text t) const {
    if (t != QAccessible::Description || !Grid()->accessibleDescription().isEmpty())
        return QAccessibleWidget::text(t);
    // The footer row, as a sighted user reads it under the columns.
    QStringList footer;
    for (int column = 0; column < columnCount(); ++column) {
        const QString text = Grid()->FooterText(column);
        if (!text.isEmpty())
            footer << text;
    }
    return footer.join(QLatin1Char(' '));
}

int TAccessibleDBGridEh::columnCount() const {
    return static_cast<int>(Grid()->Columns().size());
}

int TAccessibleDBGridEh::rowCount() const {
    return Grid()->RowCount();
}

// Children: the title row's cells, then each record's cells, row by row.
int TAccessibleDBGridEh::childCount() const {
    return columnCount() * (rowCount() + 1);
}

QAccessibleInterface* TAccessibleDBGridEh::child(int index) const {
    const int columns = columnCount();
    if (index < 0 || index >= childCount() || columns == 0)
        return nullptr;
    return Cell(index / columns - 1, index % columns);
}

int TAccessibleDBGridEh::indexOfChild(const QAccessibleInterface* child) const {
    const auto* cell = dynamic_cast<const TAccessibleDBGridEhCell*>(child);
    if (!cell || cell->Grid() != Grid() || !cell->isValid())
        return -1;
    return (cell->Row() + 1) * columnCount() + cell->Column();
}

QAccessibleInterface* TAccessibleDBGridEh::childAt(int x, int y) const {
    const QPoint point = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
    const int top = Grid()->TopRow();
    for (int line = -1; line < Grid()->LinesShown(); ++line) {
        for (int column = 0; column < columnCount(); ++column) {
            if (Grid()->CellRect(line, column).contains(point))
                return Cell(line < 0 ? -1 : top + line, column);
        }
    }
    return nullptr;
}

QAccessibleInterface* TAccessibleDBGridEh::focusChild() const {
    const int row = Grid()->CurrentRow();
    if (!Grid()->hasFocus() || row < 0 || columnCount() == 0)
        return nullptr;
    return Cell(row, TAccessibleDBGridEhCell::FocusColumn(*Grid()));
}

void* TAccessibleDBGridEh::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessibleInterface* TAccessibleDBGridEh::cellAt(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return nullptr;
    return Cell(row, column);
}

QAccessibleInterface* TAccessibleDBGridEh::Cell(int row, int column) const {
    const quint64 key = CellKey(row, column);
    if (const auto found = m_cells.constFind(key); found != m_cells.cend()) {
        if (QAccessibleInterface* cell = QAccessible::accessibleInterface(*found))
            return cell;
    }
    if (m_cells.size() >= KeptCells)
        DropCellsOutOfSight();
    auto* cell = new TAccessibleDBGridEhCell(Grid(), row, column);
    m_cells.insert(key, QAccessible::registerAccessibleInterface(cell));
    return cell;
}

// A cell is kept so that an assistive technology asking again gets the same object; but walking a
// long list must not pile up one per record, so past a few screens' worth the cells neither shown
// nor current go (one asked for again is made anew).
void TAccessibleDBGridEh::DropCellsOutOfSight() const {
    const int top = Grid()->TopRow();
    const int lines = Grid()->LinesShown();
    const int current = Grid()->CurrentRow();
    for (auto it = m_cells.begin(); it != m_cells.end();) {
        const int row = KeyRow(it.key());
        if (row < 0 || row == current || (top >= 0 && row >= top && row < top + lines)) {
            ++it;
        } else {
            QAccessible::deleteAccessibleInterface(it.value());
            it = m_cells.erase(it);
        }
    }
}

int TAccessibleDBGridEh::selectedCellCount() const {
    return Grid()->CurrentRow() >= 0 ? columnCount() : 0;
}

QList<QAccessibleInterface*> TAccessibleDBGridEh::selectedCells() const {
    QList<QAccessibleInterface*> cells;
    const int row = Grid()->CurrentRow();
    if (row >= 0) {
        for (int column = 0; column < columnCount(); ++column)
            cells << Cell(row, column);
    }
    return cells;
}

QString TAccessibleDBGridEh::columnDescription(int column) const {
    return column >= 0 && column < columnCount() ? Grid()->Columns()[column].Title : QString();
}

QString TAccessibleDBGridEh::rowDescription(int row) const {
    return row >= 0 && row < rowCount() ? QString::number(row + 1) : QString();
}

int TAccessibleDBGridEh::selectedRowCount() const {
    return Grid()->CurrentRow() >= 0 ? 1 : 0;
}

QList<int> TAccessibleDBGridEh::selectedRows() const {
    const int row = Grid()->CurrentRow();
    return row >= 0 ? QList<int>{row} : QList<int>{};
}

bool TAccessibleDBGridEh::isRowSelected(int row) const {
    return row >= 0 && row == Grid()->CurrentRow();
}

void TAccessibleDBGridEh::modelChange(QAccessibleTableModelChangeEvent*) {
    DropGoneCells();
}

void TAccessibleDBGridEh::DropGoneCells() {
    // Cells of rows or columns that are gone are dropped; the others stand for the same places.
    const int rows = rowCount();
    const int columns = columnCount();
    for (auto it = m_cells.begin(); it != m_cells.end();) {
        if (KeyRow(it.key()) >= rows || KeyColumn(it.key()) >= columns) {
            QAccessible::deleteAccessibleInterface(it.value());
            it = m_cells.erase(it);
        } else {
            ++it;
        }
    }
}

TAccessibleDBGridEh* TAccessibleDBGridEh::Of(TDBGridEh& grid) {
    return QAccessible::isActive() ? Tables().value(&grid) : nullptr;
}

void TAccessibleDBGridEh::ContentsChanged(TDBGridEh& grid, bool announceCurrent) {
    TAccessibleDBGridEh* table = Of(grid);
    if (!table)
        return;
    const int rows = table->rowCount();
    const int columns = table->columnCount();
    const bool shapeChanged = rows != table->m_rowsReported || columns != table->m_columnsReported;
    table->m_rowsReported = rows;
    table->m_columnsReported = columns;
    table->DropGoneCells();
    QAccessibleTableModelChangeEvent change(table, shapeChanged ? QAccessibleTableModelChangeEvent::ModelReset
                                                                : QAccessibleTableModelChangeEvent::DataChanged);
    if (!shapeChanged && rows > 0 && columns > 0) {
        change.setFirstRow(0);
        change.setLastRow(rows - 1);
        change.setFirstColumn(0);
        change.setLastColumn(columns - 1);
    }
    QAccessible::updateAccessibility(&change);

    // The cells an assistive technology already knows may show other texts now. (The events may
    // make it ask for more cells, so the list is taken first.)
    QList<QAccessible::Id> known;
    for (auto it = table->m_cells.cbegin(); it != table->m_cells.cend(); ++it) {
        if (KeyRow(it.key()) >= 0)
            known << it.value();
    }
    for (const QAccessible::Id id : std::as_const(known))
        Send(QAccessible::accessibleInterface(id), QAccessible::NameChanged);
    if (shapeChanged)
        Send(table, QAccessible::ObjectReorder);
    // A field being edited or a row posted leaves the current row where it is: no new announcement.
    if (announceCurrent)
        table->SendCurrentRow();
}

void TAccessibleDBGridEh::CurrentRowChanged(TDBGridEh& grid, bool linesScrolled) {
    TAccessibleDBGridEh* table = Of(grid);
    if (!table)
        return;
    // The list itself may have changed behind the move (a statement run again on first need).
    if (table->rowCount() != table->m_rowsReported || table->columnCount() != table->m_columnsReported) {
        ContentsChanged(grid);
        return;
    }
    // Scrolling changes which cells are on the screen, not what any cell holds.
    if (linesScrolled)
        Send(table, QAccessible::VisibleDataChanged);
    table->SendCurrentRow();
}

void TAccessibleDBGridEh::FooterChanged(TDBGridEh& grid) {
    if (TAccessibleDBGridEh* table = Of(grid))
        Send(table, QAccessible::DescriptionChanged);
}

void TAccessibleDBGridEh::FocusEntered(TDBGridEh& grid) {
    if (!Of(grid))
        return;
    // The widget's own focus event follows this focus-in; the current cell must come after it.
    QTimer::singleShot(0, &grid, [grid = QPointer<TDBGridEh>(&grid)] {
        if (TAccessibleDBGridEh* table = grid && grid->hasFocus() ? Of(*grid) : nullptr)
            Send(table->focusChild(), QAccessible::Focus);
    });
}

void TAccessibleDBGridEh::GridDestroyed(TDBGridEh& grid) {
    if (TAccessibleDBGridEh* table = Tables().value(&grid))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(table));
}

void TAccessibleDBGridEh::SendCurrentRow() {
    const int row = Grid()->CurrentRow();
    const int old = std::exchange(m_currentReported, row);
    if (old >= 0 && old != row && old < rowCount()) {
        for (int column = 0; column < columnCount(); ++column)
            Send(Cell(old, column), QAccessible::SelectionRemove);
    }
    if (row < 0)
        return;
    for (int column = 0; column < columnCount(); ++column)
        Send(Cell(row, column), QAccessible::SelectionAdd);
    if (Grid()->hasFocus())
        Send(focusChild(), QAccessible::Focus);
}
