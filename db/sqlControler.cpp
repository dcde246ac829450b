#include "sqlControler.h"
#include "console.h"
#include "dateText.h"
#include "snapshot.h"
#include "sqlText.h"

#include <QDebug>
#include <QFile>

#include <sqlite3.h>

#include <exception>

using namespace sqlText;

namespace {

const char defaultDatabase[] = ".//sqlDatabase//QOR-database.db";

int collectTableName(void *context, int argc, char **argv, char **columnNames)
{
    auto *tableList = static_cast<std::vector<std::string> *>(context);
    for (int i = 0; i < argc; ++i) {
        if (std::string(columnNames[i]) == "name")
            tableList->push_back(argv[i] ? argv[i] : "");
    }
    return 0;
}

// A row of a whole-table read as a record: the first column's value as the
// serial number, the second column left out, the rest as items. Assigning
// into an existing record reuses its strings' memory.
void fillRecord(sqlDataStruct &record, int argc, char **argv, char **columnNames)
{
    record.sn.assign(argc > 0 && argv[0] ? argv[0] : "");
    record.columns.resize(argc > 2 ? size_t(argc - 2) : 0);
    for (int i = 2; i < argc; ++i) {
        ColumnItem &item = record.columns[size_t(i - 2)];
        item.columnName.assign(columnNames[i]);
        item.columnValue.assign(argv[i] ? argv[i] : "");
    }
}

int collectTableRow(void *context, int argc, char **argv, char **columnNames)
{
    fillRecord(static_cast<std::vector<sqlDataStruct> *>(context)->emplace_back(), argc, argv, columnNames);
    return 0;
}

struct RowStream {
    sqlDataStruct record;
    const std::function<void(const sqlDataStruct &)> &onRow;
};

int streamTableRow(void *context, int argc, char **argv, char **columnNames)
{
    auto *stream = static_cast<RowStream *>(context);
    fillRecord(stream->record, argc, argv, columnNames);
    stream->onRow(stream->record);
    return 0;
}

int collectLookupRow(void *context, int argc, char **argv, char **columnNames)
{
    auto *rowData = static_cast<std::vector<ColumnItem> *>(context);
    for (int i = 0; i < argc; ++i) {
        ColumnItem data;
        data.columnName = columnNames[i];
        data.columnValue = argv[i] ? argv[i] : "NULL";
        rowData->push_back(std::move(data));
    }
    return 0;
}

void reportExecError(char *errorMsg)
{
    console::errLine(std::string("SQL error: ") + (errorMsg ? errorMsg : ""));
    sqlite3_free(errorMsg);
}

} // namespace

sqlController::sqlController()
    : dbPath(defaultDatabase)
    , db(nullptr)
{
}

QString sqlController::snapshotPath(const QString &sourcePath)
{
    const int extension = sourcePath.lastIndexOf(QStringLiteral(".db"), -1, Qt::CaseSensitive);
    if (extension < 0)
        return QString();
    return QString(sourcePath).insert(extension, QStringLiteral("-temp"));
}

void sqlController::initPara()
{
    // Opened again: the old snapshot goes first, and the copy is made from
    // the source, not from it.
    if (db)
        closeDatabase();
    const QString source = QString::fromStdString(dbPath);
    QString destinationFilePath;
    QFile sourceFile(source);
    if (!sourceFile.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "无法打开源文件： " + sourceFile.errorString();
    } else {
        const QString target = snapshotPath(source);
        if (target.isEmpty())
            qDebug().noquote() << QString::fromUtf8("数据库路径中没有 \".db\"，无法为快照命名，不复制：") + source;
        else if (takeSnapshot(source, target) != SnapshotResult::Failed)
            destinationFilePath = target;
    }
    sourceFile.close();

    // Without a snapshot the empty path opens SQLite's private temporary
    // database: no tables, and nothing on disk to delete at close.
    dbPath = destinationFilePath.toStdString();
    if (sqlite3_open(dbPath.c_str(), &db) != SQLITE_OK)
        console::out("无法打开数据库 " + std::string(sqlite3_errmsg(db)) + "path:" + dbPath);
}

// The connection is closed once: a second close, or a close before any
// open, does nothing. Afterwards dbPath names the source again, as before
// initPara, so the controller can be opened anew.
void sqlController::closeDatabase()
{
    if (db) {
        if (sqlite3_close(db) != SQLITE_OK) {
            // A statement still open keeps the file; it closes with the last.
            console::errLine("关闭数据库失败：" + std::string(sqlite3_errmsg(db)));
            sqlite3_close_v2(db);
        }
        db = nullptr;
    }
    // Before initPara dbPath still names the source, which is never deleted.
    if (!dbPath.empty() && dbPath != defaultDatabase)
        removeSnapshot(dbPath);
    dbPath = defaultDatabase;
}

std::vector<std::string> sqlController::getTableNames()
{
    std::vector<std::string> tableList;
    char *errorMsg = nullptr;
    if (sqlite3_exec(db, "SELECT name FROM sqlite_master WHERE type='table';", collectTableName, &tableList, &errorMsg)
        != SQLITE_OK)
        reportExecError(errorMsg);
    return tableList;
}

void sqlController::readWholeTable(
    const std::string &tableName, int (*callback)(void *, int, char **, char **), void *context)
{
    char *errorMsg = nullptr;
    const std::string query = "SELECT * FROM " + quotedIdentifier(tableName);
    if (sqlite3_exec(db, query.c_str(), callback, context, &errorMsg) != SQLITE_OK)
        reportExecError(errorMsg);
}

std::vector<sqlDataStruct> sqlController::getTableData(const std::string &tableName)
{
    std::vector<sqlDataStruct> result;
    readWholeTable(tableName, collectTableRow, &result);
    return result;
}

void sqlController::readTableRows(const std::string &tableName, const std::function<void(const sqlDataStruct &)> &onRow)
{
    RowStream stream{sqlDataStruct(), onRow};
    readWholeTable(tableName, streamTableRow, &stream);
}

sqlDataStruct sqlController::selectData(std::string sn, std::string tableName)
{
    const std::string query = "SELECT * FROM " + quotedLiteral(tableName) + " WHERE sn =" + quotedLiteral(sn) + " ; ";
    std::vector<ColumnItem> rowData;
    sqlDataStruct Respone;
    if (sqlite3_exec(db, query.c_str(), collectLookupRow, &rowData, nullptr) != SQLITE_OK) {
        console::errLine("Failed to execute query: " + std::string(sqlite3_errmsg(db)));
        return Respone;
    }
    Respone.sn = sn;
    Respone.columns = std::move(rowData);
    Respone.tableName = tableName;
    return Respone;
}

int sqlController::checktSn(std::string)
{
    return 0;
}

bool sqlController::addData(sqlDataStruct data)
{
    if (data.sn.empty()) {
        qDebug() << "[INFO] "
                 << " SN empty!";
        return false;
    }
    // One date for the count and the write: a call that runs across midnight
    // must not count in one day's table and write into the next one's.
    const std::string day = quotedLiteral(getCurrentDate());
    const std::string sn = quotedLiteral(data.sn);
    const std::string query = "SELECT COUNT(*) FROM " + day + " WHERE sn = " + sn + "; ";
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) != SQLITE_OK
        || sqlite3_step(statement) != SQLITE_ROW) {
        // Reporting success here would claim a record was filed when nothing was.
        console::out("查询操作失败: " + std::string(sqlite3_errmsg(db)) + ";" + query);
        sqlite3_finalize(statement);
        return false;
    }
    const int count = sqlite3_column_int(statement, 0);

    bool written = true;
    if (count >= 1) {
        std::string updateQuery = "UPDATE " + day + " SET send=1,";
        for (const ColumnItem &d : data.columns)
            updateQuery += columnIdentifier(d.columnName) + " = " + itemValue(d) + ",";
        updateQuery.back() = ' ';
        updateQuery += "WHERE SN = " + sn + ";";
        if (sqlite3_exec(db, updateQuery.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            console::out("更新操作失败: " + std::string(sqlite3_errmsg(db)) + ";" + updateQuery);
            written = false;
        }
    } else {
        std::string insertQuery = "INSERT INTO " + day + " (send,SN,";
        for (const ColumnItem &d : data.columns)
            insertQuery += columnIdentifier(d.columnName) + ",";
        insertQuery.pop_back();
        insertQuery += ") VALUES (1," + sn + ",";
        for (const ColumnItem &d : data.columns)
            insertQuery += itemValue(d) + ",";
        insertQuery.pop_back();
        insertQuery += " );";
        if (sqlite3_exec(db, insertQuery.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            console::out("插入操作失败: " + std::string(sqlite3_errmsg(db)) + ";" + insertQuery);
            written = false;
        }
    }
    sqlite3_finalize(statement);
    return written;
}

void sqlController::checkTable(sqlite3 *db, std::string tableName, std::string expected)
{
    try {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type='table' AND name=?", -1, &stmt, nullptr)
            != SQLITE_OK) {
            console::errLine("无法准备查询: " + std::string(sqlite3_errmsg(db)));
            return;
        }
        sqlite3_bind_text(stmt, 1, tableName.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *stored = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
            if (sqlite3_strlike(expected.c_str(), stored ? stored : "", 0) != 0)
                console::outLine("table '" + tableName + "' exist ,but not true '" + expected + "'");
        }
        sqlite3_finalize(stmt);
    } catch (const std::exception &e) {
        console::errLine(std::string("SQLite异常: ") + e.what());
    }
}

std::string sqlController::getCurrentDate()
{
    return dateText::localDate(dateText::now());
}

std::vector<std::string> sqlController::getFutureDates()
{
    return dateText::consecutiveDates(dateText::now(), 30);
}
