#include "Tabulon.h"

#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace {

// What QString::fromStdString makes of the bytes, sooner for the plain ASCII
// that nearly every cell holds.
QString cellText(const std::string &value)
{
    for (unsigned char c : value) {
        if (c >= 0x80)
            return QString::fromStdString(value);
    }
    return QString::fromLatin1(value.data(), int(value.size()));
}

// Day tables repeat most of their values within a column (states, stations,
// operators, small counters). Cells of equal text are made as copies of one
// item per text, so they share its text and data instead of each holding
// its own; a copy is a new item of the default type with the same data and
// flags. A column with too many distinct texts to gain anything stops
// collecting them.
class SharedCells {
public:
    QTableWidgetItem *make(const std::string &value)
    {
        if (!collecting)
            return new QTableWidgetItem(cellText(value));
        auto found = seen.find(value);
        if (found != seen.end())
            return new QTableWidgetItem(*found->second);
        if (seen.size() == limit) {
            collecting = false;
            seen.clear();
            return new QTableWidgetItem(cellText(value));
        }
        auto &prototype = seen[value];
        prototype = std::make_unique<QTableWidgetItem>(cellText(value));
        return new QTableWidgetItem(*prototype);
    }

private:
    static constexpr size_t limit = 4096;
    std::unordered_map<std::string, std::unique_ptr<QTableWidgetItem>> seen;
    bool collecting = true;
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

void Tabulon::showTable(std::string tableName)
{
    // The old grid is gone whatever the read brings, and dropping it first
    // lets the new rows reuse its memory.
    dropGrid();
    std::vector<sqlDataStruct> res = controller.getTableData(tableName);
    auto *grid = new QTableWidget;
    if (!res.empty())
        fillTable(grid, res);
    placeGrid(grid);
}

// Fills a grid that is not shown yet, so the model's per-cell change signal
// has nobody to tell: it reaches only this grid's view (nothing to repaint
// while hidden, no editor open), its headers (no size worked out yet), its
// sorting (off) and its itemChanged and cellChanged, which nothing can be
// connected to before the grid is placed.
void Tabulon::fillTable(QTableWidget *grid, std::vector<sqlDataStruct> &res)
{
    // Every record of one read carries the same column items in the same
    // order, so where each one goes is worked out once, from the first.
    // One configuration serves every day, so an "avoid" entry may name a
    // column this day lacks; only the columns actually shown are counted.
    const std::vector<ColumnItem> &first = res.front().columns;
    std::vector<int> target(first.size(), -1);
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
    grid->setRowCount(int(res.size()));

    std::vector<SharedCells> cells(first.size());
    const QSignalBlocker quiet(grid->model());
    for (size_t row = 0; row < res.size(); ++row) {
        sqlDataStruct &record = res[row];
        grid->setItem(int(row), 0, new QTableWidgetItem(cellText(record.sn)));
        const size_t count = std::min(record.columns.size(), target.size());
        for (size_t i = 0; i < count; ++i) {
            if (target[i] > 0)
                grid->setItem(int(row), target[i], cells[i].make(record.columns[i].columnValue));
        }
        // The row is in the grid; its record is not needed any more.
        record = sqlDataStruct();
    }
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
