#include "sqlControler.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

const char defaultDatabase[] = ".//sqlDatabase//QOR-database.db";

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

// A short write sets no error; only writing the rest tells why (a full disk).
bool writeAll(QFile &destination, const QByteArray &chunk)
{
    for (qint64 written = 0; written < chunk.size();) {
        const qint64 n = destination.write(chunk.constData() + written, chunk.size() - written);
        if (n <= 0) {
            qDebug().noquote() << "Writing the snapshot failed:" << destination.errorString();
            return false;
        }
        written += n;
    }
    return true;
}

// Streams the copy in chunks: production databases grow to gigabytes. A
// fresh unbuffered handle per try, so a retry never sees stale data.
bool copyBytes(const QString &sourcePath, QFile &destination)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qDebug().noquote() << "Reading the database failed:" << source.errorString();
        return false;
    }
    constexpr qint64 chunkSize = 1 << 20;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError) {
            qDebug().noquote() << "Reading the database failed:" << source.errorString();
            return false;
        }
        if (chunk.isEmpty())
            break;
        if (!writeAll(destination, chunk))
            return false;
    }
    if (!destination.flush()) {
        qDebug().noquote() << "Writing the snapshot failed:" << destination.errorString();
        return false;
    }
    return true;
}

// What a writer changes with every commit in rollback mode: the file change
// counter in the header (bytes 24..27) and, often, the size. A -wal that
// comes or goes means a writer switched journal mode meanwhile.
struct SourceState {
    QByteArray changeCounter;
    qint64 size = -1;
    bool wal = false;
    bool operator==(const SourceState &other) const
    {
        return changeCounter == other.changeCounter && size == other.size && wal == other.wal;
    }
};

SourceState sourceState(const QString &path)
{
    SourceState state;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        state.changeCounter = file.read(100).mid(24, 4);
        state.size = file.size();
    }
    state.wal = QFile::exists(path + QStringLiteral("-wal"));
    return state;
}

// A non-empty rollback journal means a write transaction is open, and the
// main file may be half-written while it exists.
bool writeInProgress(const QString &path)
{
    return QFileInfo(path + QStringLiteral("-journal")).size() > 0;
}

// A busy writer holds its journal most of the time; copying then is wasted,
// so give it a moment to finish the transaction.
void waitForQuietSource(const QString &path)
{
    for (int i = 0; i < 200 && writeInProgress(path); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void removeSideFiles(const QString &path)
{
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

// The byte copy takes no lock, so the production line is never held up.
// Instead it checks the header before and after, and copies again while a
// commit may have torn the copy. The order of the checks matters: header
// then journal before the copy, journal then header after it.
bool byteCopySnapshot(const QString &source, QFile &destination)
{
    constexpr int tries = 5;
    for (int attempt = 1;; ++attempt) {
        if (!destination.open(QIODevice::WriteOnly)) {
            qDebug().noquote() << "无法打开目标文件：" + destination.errorString();
            return false;
        }
        waitForQuietSource(source);
        const SourceState before = sourceState(source);
        const bool busyBefore = writeInProgress(source);
        const bool copied = copyBytes(source, destination);
        destination.close();
        if (!copied) {
            destination.remove();
            return false;
        }
        const bool busyAfter = writeInProgress(source);
        const SourceState after = sourceState(source);
        if (!busyBefore && !busyAfter && before == after)
            return true;
        if (attempt == tries) {
            qDebug().noquote() << "The snapshot may be inconsistent: the database kept changing while it was copied";
            return true;
        }
        qDebug().noquote() << QStringLiteral(
            "The database changed while it was copied (%1); copying again (try %2 of %3)")
                                  .arg(before == after ? QStringLiteral("a write was in progress")
                                                       : QStringLiteral("a commit landed"))
                                  .arg(attempt + 1)
                                  .arg(tries);
    }
}

// Bytes 18 and 19 of the header are 2 for a database in WAL mode.
bool hasWalHeader(const QString &path)
{
    QFile file(path);
    const QByteArray header = file.open(QIODevice::ReadOnly) ? file.read(20) : QByteArray();
    return header.size() == 20 && header.startsWith("SQLite format 3") && header[18] == 2 && header[19] == 2;
}

// A copy of a WAL-mode database would grow its own -wal and -shm beside it
// when opened; switched to rollback mode it stays one plain file.
bool leaveWalMode(sqlite3 *snapshot)
{
    char *error = nullptr;
    const int rc = sqlite3_exec(snapshot, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, &error);
    if (rc != SQLITE_OK)
        qDebug().noquote() << "The snapshot could not leave WAL mode:" << (error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

void leaveWalMode(const QString &path)
{
    if (!hasWalHeader(path))
        return;
    sqlite3 *snapshot = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &snapshot, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        leaveWalMode(snapshot);
    sqlite3_close(snapshot);
}

enum class Backup { Done, Failed, SourceUnreadable };

// Reading through SQLite is the first thing that opens the source's -shm;
// where that cannot be done (say, a read-only folder) the byte copy is the
// only way left, though it misses the commits still in the -wal.
sqlite3 *openSourceReadOnly(const QString &path)
{
    sqlite3 *source = nullptr;
    int rc = sqlite3_open_v2(path.toUtf8().constData(), &source, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(source, 2000);
        rc = sqlite3_exec(source, "SELECT COUNT(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK)
        return source;
    qDebug().noquote() << "The database cannot be read through SQLite (" + QString::fromUtf8(sqlite3_errmsg(source))
            + "); copying its bytes instead, without the commits in its -wal";
    sqlite3_close(source);
    return nullptr;
}

// Copies every page in one step, inside one read transaction, so the
// snapshot holds exactly the transactions committed when it began. The
// source's busy handler is not consulted by the backup, hence the retries.
int runBackup(sqlite3 *from, sqlite3 *to)
{
    sqlite3_backup *backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup)
        return sqlite3_errcode(to);
    constexpr int busyRetries = 50;
    int rc = SQLITE_OK;
    for (int retry = 1;; ++retry) {
        rc = sqlite3_backup_step(backup, -1);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || retry > busyRetries)
            break;
        qDebug().noquote() << QStringLiteral("The database is busy; retrying the snapshot (%1)").arg(retry);
        sqlite3_sleep(20);
    }
    sqlite3_backup_finish(backup);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

Backup backupSnapshot(const QString &source, const QString &target)
{
    sqlite3 *from = openSourceReadOnly(source);
    if (!from)
        return Backup::SourceUnreadable;
    sqlite3 *to = nullptr;
    Backup outcome = Backup::Failed;
    if (sqlite3_open_v2(target.toUtf8().constData(), &to, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        qDebug().noquote() << "Taking the snapshot failed:" << sqlite3_errmsg(to);
    } else if (const int rc = runBackup(from, to); rc != SQLITE_OK) {
        qDebug().noquote() << "Taking the snapshot failed:" << sqlite3_errstr(rc);
    } else if (leaveWalMode(to)) {
        outcome = Backup::Done;
    }
    sqlite3_close(to);
    sqlite3_close(from);
    return outcome;
}

// A snapshot beside the source, read only from there. With a -wal beside the
// source the recent commits live in it, which only SQLite itself can merge.
bool takeSnapshot(const QString &source, const QString &target)
{
    QFile destination(target);
    if (!destination.open(QIODevice::WriteOnly)) {
        qDebug().noquote() << "无法打开目标文件：" + destination.errorString();
        return false;
    }
    destination.close();
    // A journal or WAL left beside an earlier snapshot would be played into
    // the new copy when it is opened.
    removeSideFiles(target);
    // A -wal beside a file that is no WAL database is a stray one: reading
    // it through SQLite would only leave a -shm behind.
    if (QFile::exists(source + QStringLiteral("-wal")) && hasWalHeader(source)) {
        const Backup outcome = backupSnapshot(source, target);
        if (outcome == Backup::Done)
            return true;
        if (outcome == Backup::Failed) {
            destination.remove();
            removeSideFiles(target);
            return false;
        }
    }
    if (!byteCopySnapshot(source, destination))
        return false;
    leaveWalMode(target);
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

// Builds each record in place and each item straight from its texts, in one
// allocation of the row's size.
int collectTableRow(void *context, int argc, char **argv, char **columnNames)
{
    auto *result = static_cast<std::vector<sqlDataStruct> *>(context);
    sqlDataStruct &dataEntry = result->emplace_back();
    if (argc > 0 && argv[0])
        dataEntry.sn = argv[0];
    if (argc > 2)
        dataEntry.columns.reserve(size_t(argc - 2));
    for (int i = 2; i < argc; ++i)
        dataEntry.columns.push_back(ColumnItem{columnNames[i], 0, 0.0, argv[i] ? argv[i] : ""});
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
        else if (takeSnapshot(source, target))
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
    // Before initPara dbPath still names the source, which is never deleted.
    if (dbPath.empty() || dbPath == defaultDatabase)
        return;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        std::remove((dbPath + suffix).c_str());
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
