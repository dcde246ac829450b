#include "snapshot.h"
#include "fileCopy.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// What a writer changes with every commit in rollback mode: the file change
// counter in the header (bytes 24..27) and, often, the size. A -wal that
// comes or goes means a writer switched journal mode meanwhile; one that
// changes size, a commit in WAL mode.
struct SourceState {
    QByteArray changeCounter;
    qint64 size = -1;
    qint64 walSize = -1;
    bool operator==(const SourceState &other) const
    {
        return changeCounter == other.changeCounter && size == other.size && walSize == other.walSize;
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
    const QFileInfo wal(path + QStringLiteral("-wal"));
    state.walSize = wal.exists() ? wal.size() : -1;
    return state;
}

// A rollback journal is live while its header is: SQLite writes the header
// before it touches the main file, which may be half-written from then on
// until the commit. In PERSIST mode the journal stays after each commit with
// its header zeroed, and in TRUNCATE mode it stays empty: no transaction.
bool writeInProgress(const QString &path)
{
    QFile journal(path + QStringLiteral("-journal"));
    if (!journal.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray header = journal.read(8);
    return header.count('\0') != header.size();
}

// A busy writer holds its journal most of the time; copying then is wasted,
// so give it 20 ms to finish the transaction. Bounded by the clock, not by a
// count of sleeps: a short sleep lasts a whole timer tick on Windows (about
// 15.6 ms), or nothing at all where it is rounded down.
constexpr std::chrono::milliseconds quietWait(20);

void waitForQuietSource(const QString &path)
{
    const auto deadline = std::chrono::steady_clock::now() + quietWait;
    while (writeInProgress(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// The files SQLite may keep beside a database it has open.
const char *const sideFiles[] = {"-journal", "-wal", "-shm"};

void removeSideFiles(const QString &path)
{
    for (const char *suffix : sideFiles)
        QFile::remove(path + QLatin1String(suffix));
}

// A WAL database whose latest commits SQLite cannot read here has them in
// its -wal: copied beside the snapshot, it is played into the copy when the
// copy leaves WAL mode. The -wal goes first: a checkpoint between the two
// copies then only repeats in the main file what the -wal holds.
FileCopy copyFiles(const QString &source, const QString &target, bool withWal)
{
    if (withWal) {
        const FileCopy wal = copyToNewFile(source + QStringLiteral("-wal"), target + QStringLiteral("-wal"));
        if (wal.status != FileCopy::Done)
            return wal;
    }
    return copyToNewFile(source, target);
}

// Says why a copy failed; a partial copy is not left behind.
void reportFailedCopy(const FileCopy &copy, const QString &target)
{
    if (copy.status == FileCopy::TargetNotCreated) {
        qDebug().noquote() << "无法打开目标文件：" + copy.error;
        return;
    }
    qDebug().noquote() << (copy.status == FileCopy::ReadFailed ? QString::fromUtf8("读取数据库失败：")
                                                               : QString::fromUtf8("写入快照失败："))
            + copy.error;
    QFile::remove(target);
    removeSideFiles(target);
}

// The byte copy takes no lock, so the production line is never held up.
// Instead it checks the header before and after, and copies again while a
// commit may have torn the copy. The order of the checks matters: header
// then journal before the copy, journal then header after it.
SnapshotResult byteCopySnapshot(const QString &source, const QString &target, bool withWal)
{
    constexpr int tries = 5;
    for (int attempt = 1;; ++attempt) {
        waitForQuietSource(source);
        const SourceState before = sourceState(source);
        const bool busyBefore = writeInProgress(source);
        const FileCopy copy = copyFiles(source, target, withWal);
        if (copy.status != FileCopy::Done) {
            reportFailedCopy(copy, target);
            return SnapshotResult::Failed;
        }
        const bool busyAfter = writeInProgress(source);
        const SourceState after = sourceState(source);
        if (!busyBefore && !busyAfter && before == after)
            return SnapshotResult::Taken;
        if (attempt == tries) {
            qDebug().noquote() << QString::fromUtf8("快照可能不一致：复制期间数据库一直在变化");
            return SnapshotResult::Unsure;
        }
        qDebug().noquote() << QString::fromUtf8("数据库在复制期间%1，重新复制：第 %2 次，共 %3 次")
                                  .arg(before == after ? QString::fromUtf8("有写入未完成")
                                                       : QString::fromUtf8("有新的提交"))
                                  .arg(attempt + 1)
                                  .arg(tries);
        // The earlier try is this program's own.
        QFile::remove(target);
        removeSideFiles(target);
    }
}

// The snapshot is a file this program has just created; a link slipped in
// its place since is not followed.
#ifdef SQLITE_OPEN_NOFOLLOW
constexpr int snapshotOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
#else
constexpr int snapshotOpenFlags = SQLITE_OPEN_READWRITE;
#endif

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
        qDebug().noquote() << QString::fromUtf8("快照无法退出 WAL 模式：")
                + QString::fromUtf8(error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

void leaveWalMode(const QString &path)
{
    if (!hasWalHeader(path))
        return;
    sqlite3 *snapshot = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &snapshot, snapshotOpenFlags, nullptr) == SQLITE_OK)
        leaveWalMode(snapshot);
    sqlite3_close(snapshot);
}

enum class Backup { Done, Failed, SourceUnreadable };

// Reading through SQLite is the first thing that opens the source's -shm;
// where that cannot be done (say, a read-only folder, or on Windows a -shm
// that cannot be made) the byte copy of the file and its -wal is the only
// way left.
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
    qDebug().noquote() << QString::fromUtf8("无法通过 SQLite 读取数据库：") + QString::fromUtf8(sqlite3_errmsg(source))
            + QString::fromUtf8("；改为复制文件及其 -wal");
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
        qDebug().noquote() << QString::fromUtf8("数据库正忙，重试快照：第 %1 次").arg(retry);
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
    if (sqlite3_open_v2(target.toUtf8().constData(), &to, snapshotOpenFlags, nullptr) != SQLITE_OK) {
        qDebug().noquote() << QString::fromUtf8("创建快照失败：") + QString::fromUtf8(sqlite3_errmsg(to));
    } else if (const int rc = runBackup(from, to); rc != SQLITE_OK) {
        qDebug().noquote() << QString::fromUtf8("创建快照失败：") + QString::fromUtf8(sqlite3_errstr(rc));
    } else if (leaveWalMode(to)) {
        outcome = Backup::Done;
    }
    sqlite3_close(to);
    sqlite3_close(from);
    return outcome;
}

// Whatever stands at the snapshot's path goes first: an old snapshot, or a
// link someone left there (removing a link never touches what it points
// to). A folder stays; creating the snapshot then fails on it.
bool clearTarget(const QString &target)
{
    const QFileInfo info(target);
    if ((!info.exists() && !info.isSymLink()) || (info.isDir() && !info.isSymLink()))
        return true;
    QFile standing(target);
    if (standing.remove())
        return true;
    qDebug().noquote() << "无法打开目标文件：" + standing.errorString();
    return false;
}

} // namespace

// With a -wal beside the source the recent commits live in it, which only
// SQLite itself can merge.
SnapshotResult takeSnapshot(const QString &source, const QString &target)
{
    if (!clearTarget(target))
        return SnapshotResult::Failed;
    // A journal or WAL left beside an earlier snapshot would be played into
    // the new copy when it is opened.
    removeSideFiles(target);
    // A -wal beside a file that is no WAL database is a stray one: reading
    // it through SQLite would only leave a -shm behind.
    bool withWal = false;
    if (QFile::exists(source + QStringLiteral("-wal")) && hasWalHeader(source)) {
        const FileCopy created = createNewFile(target, source);
        if (created.status != FileCopy::Done) {
            reportFailedCopy(created, target);
            return SnapshotResult::Failed;
        }
        const Backup outcome = backupSnapshot(source, target);
        if (outcome == Backup::Done)
            return SnapshotResult::Taken;
        QFile::remove(target);
        removeSideFiles(target);
        if (outcome == Backup::Failed)
            return SnapshotResult::Failed;
        withWal = true;
    }
    const SnapshotResult copied = byteCopySnapshot(source, target, withWal);
    if (copied != SnapshotResult::Failed)
        leaveWalMode(target);
    return copied;
}

void removeSnapshot(const std::string &target)
{
    std::remove(target.c_str());
    for (const char *suffix : sideFiles)
        std::remove((target + suffix).c_str());
}
