#include "sqlControler.h"

#include <QDebug>
#include <QFile>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

// Doubling the quote character keeps a name or value inside its quotes, so
// operator input can never end a literal and append a statement.
std::string doubled(const std::string &text, char quote)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == quote)
            out += quote;
    }
    return out;
}

bool isPlainIdentifier(const std::string &name)
{
    if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

std::string columnIdentifier(const std::string &name)
{
    return isPlainIdentifier(name) ? name : "\"" + doubled(name, '"') + "\"";
}

std::string sqlValue(const ColumnItem &item)
{
    if (item.doubleValue != 0.0)
        return std::to_string(item.doubleValue);
    if (item.intValue != 0)
        return std::to_string(item.intValue);
    return "'" + doubled(item.columnValue, '\'') + "'";
}

std::string dateText(std::time_t when)
{
    const std::tm *local = std::localtime(&when);
    std::ostringstream oss;
    oss << local->tm_year + 1900 << '-' << std::setw(2) << std::setfill('0') << local->tm_mon + 1 << '-' << std::setw(2)
        << std::setfill('0') << local->tm_mday;
    return oss.str();
}

// Streams the copy in chunks: production databases grow to gigabytes.
bool copyToSnapshot(QFile &source, const QString &target)
{
    QFile destination(target);
    if (!destination.open(QIODevice::WriteOnly)) {
        qDebug().noquote() << "无法打开目标文件：" + destination.errorString();
        return false;
    }
    constexpr qint64 chunkSize = 1 << 20;
    bool complete = true;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError) {
            qDebug().noquote() << "Reading the database failed:" << source.errorString();
            complete = false;
            break;
        }
        if (destination.write(chunk) != chunk.size()) {
            complete = false;
            break;
        }
    }
    if (complete && !destination.flush())
        complete = false;
    if (!complete) {
        if (destination.error() != QFileDevice::NoError)
            qDebug().noquote() << "Writing the snapshot failed:" << destination.errorString();
        destination.close();
        destination.remove();
        return false;
    }
    destination.close();
    return true;
}

int collectTableName(void *context, int argc, char **argv, char **columnNames)
{
    auto *tableList = static_cast<std::vector<std::string> *>(context);
    for (int i = 0; i < argc; ++i) {
        if (std::string(columnNames[i]) == "name")
            tableList->push_back(argv[i] ? argv[i] : "");
    }
    return 0;
}

int collectTableRow(void *context, int argc, char **argv, char **columnNames)
{
    auto *result = static_cast<std::vector<sqlDataStruct> *>(context);
    sqlDataStruct dataEntry;
    if (argc > 0 && argv[0])
        dataEntry.sn = argv[0];
    for (int i = 2; i < argc; ++i) {
        ColumnItem dataItem;
        dataItem.columnName = columnNames[i];
        if (argv[i])
            dataItem.columnValue = argv[i];
        dataEntry.columns.push_back(std::move(dataItem));
    }
    result->push_back(std::move(dataEntry));
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
    std::cerr << "SQL error: " << (errorMsg ? errorMsg : "") << std::endl;
    sqlite3_free(errorMsg);
}

} // namespace

sqlController::sqlController()
    : dbPath(".//sqlDatabase//QOR-database.db")
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
    const QString source = QString::fromStdString(dbPath);
    QString destinationFilePath;
    QFile sourceFile(source);
    if (!sourceFile.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "无法打开源文件： " + sourceFile.errorString();
    } else {
        const QString target = snapshotPath(source);
        if (target.isEmpty())
            qDebug().noquote() << "The database path has no \".db\" to name a snapshot after, so it is not copied:"
                               << source;
        else if (copyToSnapshot(sourceFile, target))
            destinationFilePath = target;
    }
    sourceFile.close();

    // Without a snapshot the empty path opens SQLite's private temporary
    // database: no tables, and nothing on disk to delete at close.
    dbPath = destinationFilePath.toStdString();
    if (sqlite3_open(dbPath.c_str(), &db) != SQLITE_OK)
        std::cout << "无法打开数据库 " << sqlite3_errmsg(db) << "path:" << dbPath;
}

void sqlController::closeDatabase()
{
    sqlite3_close(db);
    if (!dbPath.empty())
        std::remove(dbPath.c_str());
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

std::vector<sqlDataStruct> sqlController::getTableData(const std::string &tableName)
{
    std::vector<sqlDataStruct> result;
    char *errorMsg = nullptr;
    const std::string query = "SELECT * FROM \"" + doubled(tableName, '"') + "\"";
    if (sqlite3_exec(db, query.c_str(), collectTableRow, &result, &errorMsg) != SQLITE_OK)
        reportExecError(errorMsg);
    return result;
}

sqlDataStruct sqlController::selectData(std::string sn, std::string tableName)
{
    const std::string query
        = "SELECT * FROM '" + doubled(tableName, '\'') + "' WHERE sn ='" + doubled(sn, '\'') + "' ; ";
    std::vector<ColumnItem> rowData;
    sqlDataStruct Respone;
    if (sqlite3_exec(db, query.c_str(), collectLookupRow, &rowData, nullptr) != SQLITE_OK) {
        std::cerr << "Failed to execute query: " << sqlite3_errmsg(db) << std::endl;
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
    const std::string sn = doubled(data.sn, '\'');
    const std::string query
        = "SELECT COUNT(*) FROM '" + doubled(getCurrentDate(), '\'') + "' WHERE sn = '" + sn + "'; ";
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) != SQLITE_OK
        || sqlite3_step(statement) != SQLITE_ROW) {
        // Reporting success here would claim a record was filed when nothing was.
        std::cout << "查询操作失败: " << sqlite3_errmsg(db) << ";" << query;
        sqlite3_finalize(statement);
        return false;
    }
    const int count = sqlite3_column_int(statement, 0);

    bool written = true;
    if (count >= 1) {
        std::string updateQuery = "UPDATE '" + doubled(getCurrentDate(), '\'') + "' SET send=1,";
        for (const ColumnItem &d : data.columns)
            updateQuery += columnIdentifier(d.columnName) + " = " + sqlValue(d) + ",";
        updateQuery.back() = ' ';
        updateQuery += "WHERE SN = '" + sn + "';";
        if (sqlite3_exec(db, updateQuery.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::cout << "更新操作失败: " << sqlite3_errmsg(db) << ";" << updateQuery;
            written = false;
        }
    } else {
        std::string insertQuery = "INSERT INTO '" + doubled(getCurrentDate(), '\'') + "' (send,SN,";
        for (const ColumnItem &d : data.columns)
            insertQuery += columnIdentifier(d.columnName) + ",";
        insertQuery.pop_back();
        insertQuery += ") VALUES (1,'" + sn + "',";
        for (const ColumnItem &d : data.columns)
            insertQuery += sqlValue(d) + ",";
        insertQuery.pop_back();
        insertQuery += " );";
        if (sqlite3_exec(db, insertQuery.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            std::cout << "插入操作失败: " << sqlite3_errmsg(db) << ";" << insertQuery;
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
            std::cerr << "无法准备查询: " << sqlite3_errmsg(db) << std::endl;
            return;
        }
        sqlite3_bind_text(stmt, 1, tableName.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto *stored = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
            if (sqlite3_strlike(expected.c_str(), stored ? stored : "", 0) != 0)
                std::cout << "table '" << tableName << "' exist ,but not true '" << expected << "'" << std::endl;
        }
        sqlite3_finalize(stmt);
    } catch (const std::exception &e) {
        std::cerr << "SQLite异常: " << e.what() << std::endl;
    }
}

std::string sqlController::getCurrentDate()
{
    return dateText(std::time(nullptr));
}

std::vector<std::string> sqlController::getFutureDates()
{
    std::vector<std::string> futureDates;
    const auto now = std::chrono::system_clock::now();
    for (int i = 0; i < 30; ++i) {
        const auto future = now + std::chrono::hours(24 * i);
        futureDates.push_back(dateText(std::chrono::system_clock::to_time_t(future)));
    }
    return futureDates;
}
