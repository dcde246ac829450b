#pragma once

#include <QString>

class QTableWidget;

// The grid's selection as a spreadsheet pastes it: the rows of the
// selection's bounds in grid order, cells separated by tabs, unselected
// cells inside the bounds as empty fields, a cell holding a tab, a line
// break or a double quote put in double quotes with inner quotes doubled.
// Beside it the same cells as an HTML table that marks every cell as text,
// so that a spreadsheet keeps serial numbers and codes such as 000123
// exactly as shown instead of turning them into numbers.
struct CopiedCells {
    QString text;
    QString html;
};

// With headers, the header texts of the bounds' columns come first.
CopiedCells copiedCells(const QTableWidget &grid, bool withHeaders);
