#include "Tabulon.h"

#include <QTableWidget>
#include <QVBoxLayout>

// Every refresh throws the old grid away and builds a fresh one in its place.
QTableWidget *Tabulon::replaceGrid()
{
    delete tableWidget;
    tableWidget = new QTableWidget;
    mainLayout->addWidget(tableWidget);
    return tableWidget;
}

void Tabulon::showTable(std::string tableName)
{
    std::vector<sqlDataStruct> res = controller.getTableData(tableName);
    QTableWidget *grid = replaceGrid();
    if (res.empty())
        return;

    // One configuration serves every day, so an "avoid" entry may name a
    // column this day lacks; only the columns actually shown are counted.
    std::vector<QString> headers;
    for (const ColumnItem &item : res.front().columns) {
        QString Name = QString::fromStdString(item.columnName);
        if (hiddenColumns.find(Name) != hiddenColumns.end())
            continue;
        auto it2 = displayNames.find(Name);
        if (it2 != displayNames.end())
            Name = it2->second;
        headers.push_back(Name);
    }
    grid->setColumnCount(1 + int(headers.size()));
    grid->setHorizontalHeaderItem(0, new QTableWidgetItem(QStringLiteral("SN")));
    int column = 1;
    for (const QString &Name : headers)
        grid->setHorizontalHeaderItem(column++, new QTableWidgetItem(Name));

    for (const sqlDataStruct &record : res) {
        const int row = grid->rowCount();
        grid->insertRow(row);
        grid->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(record.sn)));
        column = 1;
        for (const ColumnItem &item : record.columns) {
            if (hiddenColumns.find(QString::fromStdString(item.columnName)) != hiddenColumns.end())
                continue;
            grid->setItem(row, column++, new QTableWidgetItem(QString::fromStdString(item.columnValue)));
        }
    }
}

void Tabulon::showSnResult(std::string tableName, std::string sn)
{
    sqlDataStruct res = controller.selectData(sn, tableName);
    QTableWidget *grid = replaceGrid();

    if (res.sn.empty()) {
        grid->setColumnCount(1);
        grid->setHorizontalHeaderItem(0, new QTableWidgetItem(QStringLiteral("SN")));
        grid->insertRow(grid->rowCount());
        grid->setItem(0, 0, new QTableWidgetItem(QString::fromUtf8("找不到该数据！")));
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
}
