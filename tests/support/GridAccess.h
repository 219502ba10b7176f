#pragma once
// Reads a grid as a screen reader does, through Qt's accessible table and the
// model behind the view, and uses its cells as a user does, with the mouse.
#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QString>
#include <QTest>

// The text of cell (col, row): what the accessible table reports for it, and
// what the model holds. When the two differ, a text that says so, so that a
// comparison with the expected text fails.
inline QString CellText(QAbstractItemView *grid, int col, int row)
{
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(grid);
    if (!table || !table->tableInterface())
        return QStringLiteral("<no accessible table>");
    QAccessibleInterface *cell = table->tableInterface()->cellAt(row, col);
    if (!cell)
        return QStringLiteral("<no accessible cell %1,%2>").arg(col).arg(row);
    const QString spoken = cell->text(QAccessible::Name);
    const QString held = grid->model()->index(row, col).data().toString();
    if (spoken != held)
        return QStringLiteral("<reader hears '%1', model holds '%2'>").arg(spoken, held);
    return spoken;
}

inline QPoint CellCentre(QAbstractItemView *grid, int col, int row)
{
    return grid->visualRect(grid->model()->index(row, col)).center();
}

inline void ClickCell(QAbstractItemView *grid, int col, int row, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseClick(grid->viewport(), button, {}, CellCentre(grid, col, row));
}

inline void DoubleClickCell(QAbstractItemView *grid, int col, int row, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseDClick(grid->viewport(), button, {}, CellCentre(grid, col, row));
}

// The selected cell as (col, row).
inline QPoint CurrentCell(QAbstractItemView *grid)
{
    return {grid->currentIndex().column(), grid->currentIndex().row()};
}
