#pragma once

#include "TabulonClass.h"
#include "sqlControler.h"

#include <QMainWindow>
#include <QString>

#include <string>
#include <unordered_map>
#include <vector>

class QComboBox;
class QTableWidget;
class QVBoxLayout;

// The viewer's one window. Its constructor does all the start-up work, so
// the first day's table is in the grid before the window is first shown.
class Tabulon : public QMainWindow {
    Q_OBJECT

public:
    Tabulon(QWidget *parent = nullptr);
    ~Tabulon();

    bool readConfig(const QString &path);
    void initUi(std::vector<std::string> tableNames);
    void showTable(std::string tableName);
    void showSnResult(std::string tableName, std::string sn);

private:
    QVBoxLayout *mainLayout = nullptr;
    QTableWidget *tableWidget = nullptr;
    sqlController controller;
    std::unordered_map<QString, QString> hiddenColumns;
    std::unordered_map<QString, QString> displayNames;
    TabulonClass ui;

    void dropGrid();
    void placeGrid(QTableWidget *grid);
    void installKeys(QComboBox *dates);
    void refresh(QComboBox *dates);
    void copySelection(bool withHeaders);

    friend class tst_config;
    friend class tst_window;
};
