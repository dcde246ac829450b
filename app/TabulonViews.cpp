#include "Tabulon.h"

#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_map>

namespace {

// A plain item: whatever reads it through the model (its item data, the
// mime data of a drag, a stream) gets its text, as from any other item.
QTableWidgetItem *cell(const std::string &text)
{
    return new QTableWidgetItem(QString::fromStdString(text));
}

// Fills a new grid row by row while the day is read, before the grid is
// shown. Every record of one read carries the same column items in the same
// order, so where each one goes is worked out once, from the first. One
// configuration serves every day, so an "avoid" entry may name a column this
// day lacks; only the columns actually shown are counted.
class DayGrid {
public:
    DayGrid(QTableWidget *grid, const std::unordered_map<QString, QString> &hiddenColumns,
        const std::unordered_map<QString, QString> &displayNames)
        : grid(grid)
        , hiddenColumns(hiddenColumns)
        , displayNames(displayNames)
    {
    }

    void add(const sqlDataStruct &record)
    {
        if (rows == 0)
            setUpColumns(record.columns);
        if (rows == grid->rowCount())
            grid->setRowCount(std::max(1024, rows * 2));
        // The model's per-cell change signal has nobody to tell while the
        // grid is not shown: it reaches only this grid's view (nothing to
        // repaint while hidden, no editor open), its headers (no size worked
        // out yet), its sorting (off) and its itemChanged and cellChanged,
        // which nothing can be connected to before the grid is placed. Row
        // counts change with the signals on, so that view and headers learn
        // of them.
        const QSignalBlocker quiet(grid->model());
        grid->setItem(rows, 0, cell(record.sn));
        const size_t count = std::min(record.columns.size(), target.size());
        for (size_t i = 0; i < count; ++i) {
            if (target[i] > 0)
                grid->setItem(rows, target[i], cell(record.columns[i].columnValue));
        }
        ++rows;
    }

    // The rows were added in steps; the grid keeps just those read.
    void finish()
    {
        if (grid->rowCount() != rows)
            grid->setRowCount(rows);
    }

private:
    void setUpColumns(const std::vector<ColumnItem> &first)
    {
        target.assign(first.size(), -1);
        std::vector<QString> headers;
        for (size_t i = 0; i < first.size(); ++i) {
            QString Name = QString::fromStdString(first[i].columnName);
            if (hiddenColumns.find(Name) != hiddenColumns.end())
                continue;
            auto it2 = displayNames.find(Name);
            if (it2 != displayNames.end())
                Name = it2->second;
            headers.push_back(Name);
            target[i] = int(headers.size());
        }
        grid->setColumnCount(1 + int(headers.size()));
        grid->setHorizontalHeaderItem(0, new QTableWidgetItem(QStringLiteral("SN")));
        for (size_t column = 0; column < headers.size(); ++column)
            grid->setHorizontalHeaderItem(int(column) + 1, new QTableWidgetItem(headers[column]));
    }

    QTableWidget *grid;
    const std::unordered_map<QString, QString> &hiddenColumns;
    const std::unordered_map<QString, QString> &displayNames;
    std::vector<int> target;
    int rows = 0;
};

} // namespace

void Tabulon::dropGrid()
{
    delete tableWidget;
    tableWidget = nullptr;
}

// The new grid takes the old one's place below the query row.
void Tabulon::placeGrid(QTableWidget *grid)
{
    tableWidget = grid;
    mainLayout->addWidget(grid);
}

// The old grid is gone whatever the read brings. Dropping it first, and
// putting each row into the new grid as soon as it is read, lets the new
// day reuse the old one's memory and never hold the day twice.
void Tabulon::showTable(std::string tableName)
{
    dropGrid();
    auto *grid = new QTableWidget;
    DayGrid day(grid, hiddenColumns, displayNames);
    controller.readTableRows(tableName, [&day](const sqlDataStruct &record) {
        day.add(record);
    });
    day.finish();
    placeGrid(grid);
}

void Tabulon::showSnResult(std::string tableName, std::string sn)
{
    dropGrid();
    sqlDataStruct res = controller.selectData(sn, tableName);
    auto *grid = new QTableWidget;

    if (res.sn.empty()) {
        grid->setColumnCount(1);
        grid->setHorizontalHeaderItem(0, new QTableWidgetItem(QStringLiteral("SN")));
        grid->insertRow(grid->rowCount());
        grid->setItem(0, 0, new QTableWidgetItem(QString::fromUtf8("找不到该数据！")));
        placeGrid(grid);
        return;
    }

    // As in the day view, hidden entries for columns this day lacks must not
    // cost a shown column.
    std::vector<const ColumnItem *> shown;
    for (const ColumnItem &item : res.columns) {
        if (hiddenColumns.find(QString::fromStdString(item.columnName)) == hiddenColumns.end())
            shown.push_back(&item);
    }
    grid->setColumnCount(int(shown.size()));
    int column = 0;
    for (const ColumnItem *item : shown) {
        QString Name = QString::fromStdString(item->columnName);
        auto it2 = displayNames.find(Name);
        if (it2 != displayNames.end())
            Name = it2->second;
        grid->setHorizontalHeaderItem(column++, new QTableWidgetItem(Name));
    }
    const int row = grid->rowCount();
    grid->insertRow(row);
    column = 0;
    for (const ColumnItem *item : shown)
        grid->setItem(row, column++, new QTableWidgetItem(QString::fromStdString(item->columnValue)));
    placeGrid(grid);
}
