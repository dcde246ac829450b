#pragma once

#include "sqlDataStruct.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

struct sqlite3;

// The program's only access to the database. It never works on the source
// file: initPara copies it to a snapshot beside it and every statement runs
// on that copy, which closeDatabase deletes again.
class sqlController {
public:
    sqlController();

    // Copies the source to its snapshot and opens that; called again, it
    // closes the open snapshot first and takes a new one from the source.
    void initPara();
    // Closes the connection and deletes the snapshot; safe to call again.
    void closeDatabase();

    std::vector<std::string> getTableNames();
    std::vector<sqlDataStruct> getTableData(const std::string &tableName);
    // The same rows as getTableData, each handed to onRow as soon as it is
    // read instead of all kept until the end, in a record reused for the
    // next row: a large day then never lives twice in memory.
    void readTableRows(const std::string &tableName, const std::function<void(const sqlDataStruct &)> &onRow);

    sqlDataStruct selectData(std::string sn, std::string tableName);
    int checktSn(std::string sn);

    bool addData(sqlDataStruct data);
    void checkTable(sqlite3 *db, std::string tableName, std::string expected);
    std::string getCurrentDate();
    std::vector<std::string> getFutureDates();

    // "-temp" goes before the last ".db" of the source path; empty when the
    // path holds no ".db", since no distinct snapshot name exists then.
    static QString snapshotPath(const QString &sourcePath);

private:
    void readWholeTable(const std::string &tableName, int (*callback)(void *, int, char **, char **), void *context);

    std::string dbPath;
    sqlite3 *db;
};
