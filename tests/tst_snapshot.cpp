#include "fileCopy.h"
#include "snapshot.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace testsupport;

namespace {

constexpr int rowsPerCommit = 7;
constexpr int baseRows = 7 * 5000;

QString source()
{
    return QString::fromLatin1(sourcePath());
}

QString target()
{
    return QString::fromLatin1(snapshotFile());
}

int countRows(const std::string &file)
{
    const QStringList rows = queryRows(file, "SELECT COUNT(*) FROM \"2024-03-05\";");
    return rows.size() == 1 ? rows.front().toInt() : -1;
}

// The snapshot and every side file SQLite could leave beside it.
QStringList snapshotFiles()
{
    QStringList present;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString path = target() + QLatin1String(suffix);
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            present << path;
    }
    return present;
}

int countLines(const LogCapture &log, const QString &text)
{
    int count = 0;
    for (const LogLine &line : log.lines)
        count += line.message.contains(text) ? 1 : 0;
    return count;
}

QString messages(const LogCapture &log)
{
    QStringList all;
    for (const LogLine &line : log.lines)
        all << line.message;
    return all.join('\n');
}

const char *resultName(SnapshotResult result)
{
    switch (result) {
    case SnapshotResult::Taken:
        return "taken";
    case SnapshotResult::Unsure:
        return "unsure";
    case SnapshotResult::Failed:
        return "failed";
    }
    return "?";
}

// A second connection that commits transactions of exactly rowsPerCommit
// rows, flat out as a line gone mad would, or with a pause between commits
// as a real line does. A rollback journal's mode (PERSIST, TRUNCATE) is the
// connection's own, so the writer sets it itself.
class Writer {
public:
    Writer(const std::string &file, std::chrono::milliseconds pause = std::chrono::milliseconds(0),
        const QString &journalMode = QString())
        : pause(pause)
        , journalMode(journalMode.toStdString())
        , thread([this, file] {
            run(file);
        })
    {
    }
    ~Writer()
    {
        stop = true;
        thread.join();
    }
    std::atomic<int> committed{0};
    std::atomic<int> failed{0};
    std::string error;

private:
    std::chrono::milliseconds pause;
    std::string journalMode;
    std::atomic<bool> stop{false};
    std::thread thread;

    void run(const std::string &file)
    {
        sqlite3 *db = nullptr;
        sqlite3_stmt *insert = nullptr;
        const std::string mode = journalMode.empty() ? "" : "PRAGMA journal_mode=" + journalMode + ";";
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK
            || sqlite3_exec(db, mode.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK
            || sqlite3_prepare_v2(
                   db, "INSERT INTO \"2024-03-05\" VALUES(?, 0, 'measured value');", -1, &insert, nullptr)
                != SQLITE_OK) {
            error = sqlite3_errmsg(db);
            stop = true;
        }
        sqlite3_busy_timeout(db, 5000);
        const std::string begin = "BEGIN IMMEDIATE; UPDATE tally SET n = n + " + std::to_string(rowsPerCommit) + ";";
        for (int n = 0; !stop; ++n) {
            bool ok = sqlite3_exec(db, begin.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
            for (int i = 0; ok && i < rowsPerCommit; ++i) {
                const std::string sn = "SN" + std::to_string(n) + "-" + std::to_string(i);
                sqlite3_bind_text(insert, 1, sn.c_str(), -1, SQLITE_TRANSIENT);
                ok = sqlite3_step(insert) == SQLITE_DONE;
                sqlite3_reset(insert);
            }
            if (ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK) {
                ++committed;
            } else {
                ++failed;
                sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
            }
            for (auto waited = std::chrono::milliseconds(0); waited < pause && !stop;
                 waited += std::chrono::milliseconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
};

// What is wrong with the snapshot, or nothing: SQLite must accept it, it
// must hold whole transactions only (the tally sits on an early page, the new
// rows on the last ones, so a copy torn by a commit shows them out of step)
// and, committed data never being lost, at least what was committed before.
QString snapshotFault(int committedBefore)
{
    const QStringList integrity = queryRows(snapshotFile(), "PRAGMA integrity_check;");
    if (integrity != QStringList{"ok"})
        return "integrity: " + integrity.join(' ').left(200);
    const int rows = countRows(snapshotFile());
    const QString tally = queryRows(snapshotFile(), "SELECT n FROM tally;").join(',');
    if (rows % rowsPerCommit != 0 || tally != QString::number(rows))
        return QStringLiteral("%1 rows, tally %2").arg(rows).arg(tally);
    if (rows < baseRows + committedBefore * rowsPerCommit)
        return QStringLiteral("%1 rows, %2 commits before").arg(rows).arg(committedBefore);
    return QString();
}

// A source in the given journal mode whose latest commit sits in its -wal
// when the mode is WAL: the connection that made it stays open until the
// object goes, so that the -wal stays.
class Source {
public:
    Source(const QString &journalMode, const std::string &sql)
    {
        error = makeSourceDatabase("PRAGMA journal_mode=" + journalMode.toStdString() + ";" + sql);
        if (error.empty() && sqlite3_open(sourcePath(), &connection) == SQLITE_OK)
            sqlite3_exec(connection,
                "PRAGMA wal_autocheckpoint=0; CREATE TABLE latest(x); INSERT INTO latest VALUES(1);", nullptr, nullptr,
                nullptr);
    }
    ~Source()
    {
        sqlite3_close(connection);
    }
    bool inWalMode() const
    {
        return QFile::exists(source() + "-wal");
    }
    std::string error;

private:
    sqlite3 *connection = nullptr;
};

#ifdef Q_OS_UNIX
// Sets the process's umask for a test and puts the old one back.
class Umask {
public:
    explicit Umask(mode_t mask)
        : previous(::umask(mask))
    {
    }
    ~Umask()
    {
        ::umask(previous);
    }

private:
    mode_t previous;
};

int modeOf(const QString &path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}
#endif

// SQLite's lock-byte page lies at 1 GiB; its first 512 bytes are the ones
// SQLite locks (and never reads or writes).
constexpr qint64 lockBytesStart = 0x40000000;
constexpr qint64 lockBytesSize = 512;
constexpr qint64 largePage = 65536;
constexpr quint32 lockPage = quint32(lockBytesStart / largePage) + 1;

void putBigEndian(QByteArray &bytes, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i));
}

bool writeAt(const QString &path, qint64 offset, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) && file.write(bytes) == bytes.size();
}

// A database just over 1 GiB, sparse, whose day tables lie beyond the
// lock-byte page: pages 2 up to the lock page are free (page 2 the freelist
// trunk listing the rest, which stay holes), and the lock page is filled
// with bytes SQLite would never write there. Empty on success, else what
// went wrong.
QString makeDatabaseBeyondLockBytes()
{
    QDir().mkpath(QStringLiteral("sqlDatabase"));
    const std::string made = execSql(sourcePath(), "PRAGMA page_size=65536; PRAGMA user_version=1;");
    QFile file(source());
    if (!made.empty() || QFileInfo(source()).size() != largePage)
        return QStringLiteral("one page: ") + QString::fromStdString(made);
    // The header counts every page up to the lock page; SQLite appends the
    // tables after them.
    QByteArray header = fileBytes(source()).left(100);
    putBigEndian(header, 28, lockPage);
    if (!writeAt(source(), 0, header) || !file.resize(qint64(lockPage) * largePage))
        return QStringLiteral("growing the file failed");
    const std::string days = execSql(sourcePath(),
        "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, value TEXT);"
        "CREATE TABLE \"2024-03-06\"(sn TEXT, send INTEGER, value TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
        "INSERT INTO \"2024-03-05\" SELECT 'SN5-' || i, i % 2, 'measured ' || i FROM n;"
        "INSERT INTO \"2024-03-06\" SELECT 'SN6-' || rowid, 0, value FROM \"2024-03-05\";");
    if (!days.empty())
        return QString::fromStdString(days);
    // The pages before the lock page go onto the freelist.
    const quint32 leaves = lockPage - 3;
    QByteArray trunk(int(largePage), '\0');
    putBigEndian(trunk, 4, leaves);
    for (quint32 i = 0; i < leaves; ++i)
        putBigEndian(trunk, int(8 + 4 * i), 3 + i);
    header = fileBytes(source()).left(100);
    putBigEndian(header, 32, 2);
    putBigEndian(header, 36, leaves + 1);
    if (!writeAt(source(), 0, header) || !writeAt(source(), largePage, trunk)
        || !writeAt(source(), lockBytesStart, QByteArray(int(largePage), char(0xA5))))
        return QStringLiteral("writing the freelist failed");
    const QStringList check = queryRows(sourcePath(), "PRAGMA integrity_check;");
    return check == QStringList{"ok"} ? QString() : "integrity: " + check.join(' ').left(300);
}

// The byte ranges in which two files differ, "from..to" each; a longer
// file's tail is one of them.
QString differences(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open both");
    QStringList found;
    constexpr qint64 chunk = 1 << 22;
    for (qint64 offset = 0;; offset += chunk) {
        const QByteArray x = first.read(chunk);
        const QByteArray y = second.read(chunk);
        if (x != y) {
            const int common = int(std::min(x.size(), y.size()));
            int from = 0;
            while (from < common && x[from] == y[from])
                ++from;
            int to = int(std::max(x.size(), y.size()));
            while (to > from && to <= common && x[to - 1] == y[to - 1])
                --to;
            found << QStringLiteral("%1..%2").arg(offset + from).arg(offset + to);
        }
        if (x.size() < chunk || y.size() < chunk)
            return found.join(QStringLiteral(", "));
    }
}

} // namespace

class tst_snapshot : public QObject {
    Q_OBJECT
private slots:
    void copiesEveryByte_data();
    void copiesEveryByte();
    void permissionsNoWiderThanSource_data();
    void permissionsNoWiderThanSource();
    void linkAtSnapshotPathIsNotFollowed_data();
    void linkAtSnapshotPathIsNotFollowed();
    void newFileRefusesWhatStandsThere_data();
    void newFileRefusesWhatStandsThere();
    void copiesAroundLockBytes();
    void fullDisk();
    void concurrentWriter_data();
    void concurrentWriter();
    void quietSourceNeedsNoRetry_data();
    void quietSourceNeedsNoRetry();
    void walCommitsAreSeen();
    void openWriteIsWaitedForBriefly();
    void staleJournalBesideSnapshotIsNotPlayed();
    void walLeftByAWriterThatDied_data();
    void walLeftByAWriterThatDied();
    void walHeldInExclusiveLockingMode();
};

void tst_snapshot::copiesEveryByte_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("staleSnapshot");
    QTest::newRow("empty file") << QString() << false;
    QTest::newRow("one small table") << "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a TEXT);"
                                        "INSERT INTO \"2024-03-05\" VALUES('X1', 1, '中文');"
                                     << false;
    QTest::newRow("several megabytes") << "CREATE TABLE t(a BLOB); INSERT INTO t VALUES(randomblob(3500000));" << false;
    // Larger than the source, so a copy that does not truncate leaves a tail.
    QTest::newRow("larger snapshot left by an earlier run")
        << "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);" << true;
}

// The snapshot is byte for byte the source, and removing it leaves nothing.
void tst_snapshot::copiesEveryByte()
{
    QFETCH(QString, sql);
    QFETCH(bool, staleSnapshot);
    WorkDir dir;
    if (sql.isEmpty())
        QVERIFY(writeFile(source(), QByteArray()));
    else
        QCOMPARE(makeSourceDatabase(sql.toStdString()), std::string());
    if (staleSnapshot) {
        QCOMPARE(execSql(snapshotFile(),
                     "CREATE TABLE stale(sn TEXT, v BLOB);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)"
                     "INSERT INTO stale SELECT i, randomblob(500) FROM n;"),
            std::string());
        QVERIFY(fileBytes(target()).size() > fileBytes(source()).size());
    }
    const QByteArray before = fileBytes(source());

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(messages(log), QString());
    QCOMPARE(fileBytes(target()), before);
    removeSnapshot(snapshotFile());
    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(source()), before);
}

void tst_snapshot::permissionsNoWiderThanSource_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<int>("sourceMode");
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("snapshotMode");
    for (const char *mode : {"DELETE", "WAL"}) {
        const QString copy = QString::fromLatin1(mode) == "WAL" ? "online backup" : "byte copy";
        QTest::addRow("owner only (0600), %s", qPrintable(copy)) << mode << 0600 << 022 << 0600;
        QTest::addRow("group may read (0640), %s", qPrintable(copy)) << mode << 0640 << 022 << 0640;
        QTest::addRow("everyone may read, umask 077, %s", qPrintable(copy)) << mode << 0644 << 077 << 0600;
        // The owner keeps writing its own copy; no one else gains anything.
        QTest::addRow("read-only for all (0444), %s", qPrintable(copy)) << mode << 0444 << 022 << 0644;
    }
}

// While the viewer runs, and after a kill until the next start, the
// snapshot lies beside the source: no one may read it who cannot read the
// source.
void tst_snapshot::permissionsNoWiderThanSource()
{
#ifndef Q_OS_UNIX
    QSKIP("the snapshot takes its folder's access rules here");
#else
    QFETCH(QString, journalMode);
    QFETCH(int, sourceMode);
    QFETCH(int, umask);
    QFETCH(int, snapshotMode);
    WorkDir dir;
    const Umask mask{mode_t(umask)};
    Source db(journalMode, "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);");
    QCOMPARE(db.error, std::string());
    QCOMPARE(db.inWalMode(), journalMode == "WAL");
    QVERIFY(::chmod(sourcePath(), mode_t(sourceMode)) == 0);

    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(QString::number(modeOf(target()), 8), QString::number(snapshotMode, 8));
    QCOMPARE(countRows(snapshotFile()), 0);
    removeSnapshot(snapshotFile());
    QCOMPARE(snapshotFiles(), QStringList());
#endif
}

void tst_snapshot::linkAtSnapshotPathIsNotFollowed_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<bool>("hard");
    QTest::addColumn<QString>("pointsTo");
    QTest::addColumn<bool>("removable");
    // Windows removes no name of a file that another program holds open
    // without sharing its deletion, as SQLite opens the database: the
    // snapshot then fails, saying so, rather than being written through.
#ifdef Q_OS_WIN
    const bool sourceLinkRemovable = false;
#else
    const bool sourceLinkRemovable = true;
#endif
    for (const char *mode : {"DELETE", "WAL"}) {
        QTest::addRow("%s: link to a file outside", mode) << mode << false << "outside" << true;
        QTest::addRow("%s: link to nothing", mode) << mode << false << "nothing" << true;
        QTest::addRow("%s: link to the source itself", mode) << mode << false << "source" << true;
        QTest::addRow("%s: hard link to a file outside", mode) << mode << true << "outside" << true;
        QTest::addRow("%s: hard link to the source, open in the line's program", mode)
            << mode << true << "source" << sourceLinkRemovable;
    }
}

// Someone who can write into the database's folder leaves a link named like
// the snapshot. The link goes, what it points to stays as it was, and the
// snapshot is a new file of its own.
void tst_snapshot::linkAtSnapshotPathIsNotFollowed()
{
    QFETCH(QString, journalMode);
    QFETCH(bool, hard);
    QFETCH(QString, pointsTo);
    QFETCH(bool, removable);
    WorkDir dir;
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.path() + "/notes.txt";
    const QByteArray outsideText("the operator's own notes\n");
    QVERIFY(writeFile(outside, outsideText));
    Source db(journalMode,
        "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"
        "INSERT INTO \"2024-03-05\" VALUES('X1', 1);");
    QCOMPARE(db.error, std::string());
    const QByteArray sourceBytes = fileBytes(source());
    const QString linked = pointsTo == "outside" ? outside
        : pointsTo == "source"                   ? QFileInfo(source()).absoluteFilePath()
                                                 : elsewhere.path() + "/missing.db";
    const QString cannot = makeLink(hard ? LinkKind::Hard : LinkKind::Symbolic, linked, target());
    if (!cannot.isEmpty())
        QSKIP(qPrintable(cannot));

    LogCapture log;
    const SnapshotResult result = takeSnapshot(source(), target());
    QCOMPARE(fileBytes(outside), outsideText);
    QCOMPARE(fileBytes(source()), sourceBytes);
    QVERIFY(!QFile::exists(elsewhere.path() + "/missing.db"));
    if (!removable) {
        QCOMPARE(resultName(result), "failed");
        QVERIFY2(messages(log).startsWith(QString::fromUtf8("无法打开目标文件：")), qPrintable(messages(log)));
        QCOMPARE(fileBytes(target()), sourceBytes);
        return;
    }
    QCOMPARE(resultName(result), "taken");
    QVERIFY(!QFileInfo(target()).isSymLink());
    QCOMPARE(countRows(snapshotFile()), 1);
    removeSnapshot(snapshotFile());
    QCOMPARE(fileBytes(outside), outsideText);
    QCOMPARE(fileBytes(source()), sourceBytes);
}

void tst_snapshot::newFileRefusesWhatStandsThere_data()
{
    QTest::addColumn<QString>("standing");
    QTest::addColumn<bool>("copy");
    for (bool copy : {true, false}) {
        const char *how = copy ? "copy" : "empty file";
        QTest::addRow("%s over a file", how) << "file" << copy;
        QTest::addRow("%s over a folder", how) << "folder" << copy;
        QTest::addRow("%s over a link to a file outside", how) << "link" << copy;
        QTest::addRow("%s over a dangling link", how) << "dangling" << copy;
        QTest::addRow("%s over a hard link to a file outside", how) << "hard link" << copy;
    }
}

// A link slipped in after the old snapshot was cleared away: creating the
// new one fails instead of writing through it, and says so.
void tst_snapshot::newFileRefusesWhatStandsThere()
{
    QFETCH(QString, standing);
    QFETCH(bool, copy);
    WorkDir dir;
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.path() + "/notes.txt";
    QVERIFY(writeFile(outside, "the operator's own notes\n"));
    QCOMPARE(makeSourceDatabase("CREATE TABLE t(a); INSERT INTO t VALUES(1);"), std::string());
    if (standing == "file")
        QVERIFY(writeFile(target(), "an old snapshot"));
    else if (standing == "folder")
        QVERIFY(QDir().mkpath(target()));
    else if (const QString cannot = makeLink(standing == "hard link" ? LinkKind::Hard : LinkKind::Symbolic,
                 standing == "dangling" ? elsewhere.path() + "/missing" : outside, target());
             !cannot.isEmpty())
        QSKIP(qPrintable(cannot));
    const QStringList before = tree(dir.path());

    const FileCopy result = copy ? copyToNewFile(source(), target()) : createNewFile(target(), source());
    QCOMPARE(int(result.status), int(FileCopy::TargetNotCreated));
    QVERIFY2(!result.error.isEmpty(), "the system's words for it are missing");
    QCOMPARE(tree(dir.path()), before);
    QCOMPARE(fileBytes(outside), QByteArray("the operator's own notes\n"));
    QVERIFY(!QFileInfo(elsewhere.path() + "/missing").isFile());
}

// Over 1 GiB a copy passes the bytes SQLite locks. Windows fails a read of
// them while the line's program holds a lock there, so the copy leaves them
// out and writes zeros in their place; every other byte is the source's,
// and SQLite reads every table of it. Elsewhere locks never stop a read,
// and the copy is the source byte for byte.
void tst_snapshot::copiesAroundLockBytes()
{
    WorkDir dir;
    const QString made = makeDatabaseBeyondLockBytes();
    QVERIFY2(made.isEmpty(), qPrintable(made));
    QVERIFY(QFileInfo(source()).size() > lockBytesStart + largePage);

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(messages(log), QString());
#ifdef Q_OS_WIN
    QCOMPARE(differences(source(), target()),
        QStringLiteral("%1..%2").arg(lockBytesStart).arg(lockBytesStart + lockBytesSize));
    QFile copy(target());
    QVERIFY(copy.open(QIODevice::ReadOnly) && copy.seek(lockBytesStart));
    QCOMPARE(copy.read(lockBytesSize), QByteArray(int(lockBytesSize), '\0'));
    copy.close();
#else
    QCOMPARE(differences(source(), target()), QString());
#endif
    QCOMPARE(queryRows(snapshotFile(), "PRAGMA integrity_check;"), QStringList{"ok"});
    QCOMPARE(queryRows(snapshotFile(),
                 "SELECT COUNT(*), SUM(send), MAX(value) FROM \"2024-03-05\";"
                 "SELECT COUNT(*), MIN(sn) FROM \"2024-03-06\";"),
        (QStringList{"2000|1000|measured 999", "2000|SN6-1"}));
    removeSnapshot(snapshotFile());
    QCOMPARE(snapshotFiles(), QStringList());
}

// A full disk cuts the copy short: the shortened copy is not passed off as
// the database, nor left behind.
void tst_snapshot::fullDisk()
{
    WorkDir dir;
    Mount disk(QDir(dir.path()).absoluteFilePath(QStringLiteral("sqlDatabase")), QStringLiteral("1m"));
    if (!disk.mounted)
        QSKIP(qPrintable("a small tmpfs is needed to fill the disk, and mount failed: " + disk.error));
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a BLOB);"
                                "INSERT INTO \"2024-03-05\" VALUES('X1', 1, randomblob(640000));"),
        std::string());
    const QByteArray before = fileBytes(source());

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "failed");
    QVERIFY2(messages(log).contains(QStringLiteral("No space left on device")), qPrintable(messages(log)));
    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(source()), before);
}

void tst_snapshot::concurrentWriter_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("rollback journal, commits flat out") << "DELETE" << 0;
    QTest::newRow("write-ahead log, commits flat out") << "WAL" << 0;
    QTest::newRow("persistent journal, commits flat out") << "PERSIST" << 0;
    QTest::newRow("rollback journal, a commit every 0.2 s") << "DELETE" << 200;
    QTest::newRow("write-ahead log, a commit every 0.2 s") << "WAL" << 200;
    QTest::newRow("persistent journal, a commit every 0.2 s") << "PERSIST" << 200;
    QTest::newRow("truncated journal, a commit every 0.2 s") << "TRUNCATE" << 200;
}

// Twenty snapshots while a writer commits. A snapshot taken without a
// warning must be consistent. With a rollback journal the byte copy takes no
// lock, so against a writer committing flat out all five tries of a
// snapshot can be torn: that one must say so. At a line's pace none may.
void tst_snapshot::concurrentWriter()
{
    QFETCH(QString, journalMode);
    QFETCH(int, pauseMs);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("PRAGMA journal_mode=" + journalMode.toStdString()
                 + "; CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, value TEXT);"
                   "CREATE TABLE tally(n INTEGER); INSERT INTO tally VALUES(0);"
                   // About a megabyte, so that a copy takes about as long as a commit.
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                 + std::to_string(baseRows)
                 + ") "
                   "INSERT INTO \"2024-03-05\" SELECT 'base' || i, 0, 'measured value' FROM n;"
                   "UPDATE tally SET n = (SELECT COUNT(*) FROM \"2024-03-05\");"),
        std::string());

    Writer writer(sourcePath(), std::chrono::milliseconds(pauseMs), journalMode);
    QTRY_VERIFY2_WITH_TIMEOUT(
        writer.committed > (pauseMs ? 2 : 10) || !writer.error.empty(), writer.error.c_str(), 10000);
    QVERIFY2(writer.error.empty(), writer.error.c_str());

    constexpr int snapshots = 20;
    int retries = 0;
    int warned = 0;
    int tornAndWarned = 0;
    int fewest = -1;
    int most = -1;
    for (int i = 0; i < snapshots; ++i) {
        // The viewer is started now and then, not in a tight loop: back to
        // back, the snapshots' own writes slow the writer's fsyncs down.
        QThread::msleep(20);
        const int committedBefore = writer.committed;
        LogCapture log;
        const SnapshotResult result = takeSnapshot(source(), target());
        QVERIFY2(result != SnapshotResult::Failed, qPrintable(messages(log)));
        retries += countLines(log, QString::fromUtf8("重新复制")) + countLines(log, QString::fromUtf8("重试快照"));
        const bool doubtful = result == SnapshotResult::Unsure;
        QCOMPARE(countLines(log, QString::fromUtf8("快照可能不一致")), doubtful ? 1 : 0);
        const QString fault = snapshotFault(committedBefore);
        if (doubtful) {
            ++warned;
            tornAndWarned += fault.isEmpty() ? 0 : 1;
        } else {
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            const int rows = countRows(snapshotFile());
            fewest = fewest < 0 ? rows : std::min(fewest, rows);
            most = std::max(most, rows);
        }
        removeSnapshot(snapshotFile());
        QCOMPARE(snapshotFiles(), QStringList());
    }
    qInfo().noquote() << QStringLiteral("%1: %2 snapshots, %3 retries, %4 warned (%5 of them really torn), "
                                        "rows seen %6..%7; writer committed %8 transactions, %9 failed")
                             .arg(QTest::currentDataTag())
                             .arg(snapshots)
                             .arg(retries)
                             .arg(warned)
                             .arg(tornAndWarned)
                             .arg(fewest)
                             .arg(most)
                             .arg(writer.committed)
                             .arg(writer.failed);
    if (pauseMs > 0)
        QCOMPARE(warned, 0);
}

// Once the writer has stopped, the first copy passes the checks: the
// retries and the warning come only from commits.
void tst_snapshot::quietSourceNeedsNoRetry_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::newRow("rollback journal") << "DELETE";
    QTest::newRow("write-ahead log") << "WAL";
    // The journal stays, its header zeroed after each commit.
    QTest::newRow("persistent journal") << "PERSIST";
    QTest::newRow("truncated journal") << "TRUNCATE";
}

void tst_snapshot::quietSourceNeedsNoRetry()
{
    QFETCH(QString, journalMode);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("PRAGMA journal_mode=" + journalMode.toStdString()
                 + "; CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, value TEXT);"
                   "CREATE TABLE tally(n INTEGER); INSERT INTO tally VALUES(0);"),
        std::string());
    // A second connection open throughout keeps a WAL source's -wal in place.
    sqlite3 *reader = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &reader), SQLITE_OK);
    QCOMPARE(sqlite3_exec(reader, "SELECT COUNT(*) FROM tally;", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        Writer writer(sourcePath(), std::chrono::milliseconds(0), journalMode);
        QTRY_VERIFY2(writer.committed > 10 || !writer.error.empty(), writer.error.c_str());
        QVERIFY2(writer.error.empty(), writer.error.c_str());
    }
    QCOMPARE(QFile::exists(source() + "-wal"), journalMode == "WAL");
    QCOMPARE(QFileInfo(source() + "-journal").size() > 0, journalMode == "PERSIST");
    const int rows = countRows(sourcePath());

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(messages(log), QString());
    QCOMPARE(countRows(snapshotFile()), rows);
    QCOMPARE(queryRows(snapshotFile(), "SELECT n FROM tally;"), QStringList{QString::number(rows)});
    removeSnapshot(snapshotFile());
    QCOMPARE(snapshotFiles(), QStringList());
    sqlite3_close(reader);
}

// Commits that still sit in the -wal are part of the database; a copy of the
// main file alone would miss them. The snapshot leaves WAL mode, so that it
// stays one plain file when opened.
void tst_snapshot::walCommitsAreSeen()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("PRAGMA journal_mode=WAL; CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"),
        std::string());
    sqlite3 *writer = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &writer), SQLITE_OK);
    QCOMPARE(sqlite3_exec(writer,
                 "PRAGMA wal_autocheckpoint=0; INSERT INTO \"2024-03-05\" VALUES('A1', 0), ('A2', 0), ('A3', 1);",
                 nullptr, nullptr, nullptr),
        SQLITE_OK);
    const QString wal = source() + "-wal";
    const QByteArray sourceBefore = fileBytes(source());
    const QByteArray walBefore = fileBytes(wal);
    QVERIFY(!walBefore.isEmpty());

    QVERIFY(QFile::copy(source(), "plain-copy.db"));
    QCOMPARE(countRows("plain-copy.db"), 0);

    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(countRows(snapshotFile()), 3);
    const QByteArray header = fileBytes(target()).left(20);
    QCOMPARE(int(header.at(18)), 1);
    QCOMPARE(int(header.at(19)), 1);
    removeSnapshot(snapshotFile());

    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(source()), sourceBefore);
    QCOMPARE(fileBytes(wal), walBefore);
    sqlite3_close(writer);
}

// A write transaction that stays open, as when the line's program stops in
// the middle of one: each of the five tries gives it 20 ms by the clock,
// then the snapshot says it may be inconsistent. The wait is neither
// skipped (a short sleep rounded down to nothing, as under Wine) nor
// stretched (rounded up to a timer tick on Windows, which made it seconds).
void tst_snapshot::openWriteIsWaitedForBriefly()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, value TEXT);"
                                "INSERT INTO \"2024-03-05\" VALUES('A1', 0, 'committed');"),
        std::string());
    sqlite3 *writer = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &writer), SQLITE_OK);
    // A cache too small for the change spills it into the main file, after
    // SQLite has made its journal live.
    QCOMPARE(
        sqlite3_exec(writer,
            "PRAGMA cache_size=1; BEGIN IMMEDIATE; INSERT INTO \"2024-03-05\" SELECT 'B' || i, 0, zeroblob(3000)"
            " FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) SELECT i FROM n);",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    QVERIFY(fileBytes(source() + "-journal").left(8).count('\0') < 8);

    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    const SnapshotResult result = takeSnapshot(source(), target());
    const qint64 waited = clock.elapsed();
    QCOMPARE(resultName(result), "unsure");
    QCOMPARE(countLines(log, QString::fromUtf8("重新复制")), 4);
    QVERIFY2(waited >= 5 * 20, qPrintable(QStringLiteral("%1 ms").arg(waited)));
    QVERIFY2(waited < 2000, qPrintable(QStringLiteral("%1 ms").arg(waited)));
    removeSnapshot(snapshotFile());
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

// A crash can leave a journal beside the snapshot; opened with the new copy
// SQLite would roll that stale journal into it.
void tst_snapshot::staleJournalBesideSnapshotIsNotPlayed()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, value TEXT);"
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
                                "INSERT INTO \"2024-03-05\" SELECT 'old' || i, 0, 'old value' FROM n;"),
        std::string());
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &db), SQLITE_OK);
    // A tiny cache makes SQLite spill, so the journal is synced and whole.
    QCOMPARE(sqlite3_exec(db, "PRAGMA cache_size=2; BEGIN; UPDATE \"2024-03-05\" SET value = 'doomed';", nullptr,
                 nullptr, nullptr),
        SQLITE_OK);
    const QByteArray journal = fileBytes(source() + "-journal");
    QCOMPARE(sqlite3_exec(db,
                 "ROLLBACK; UPDATE \"2024-03-05\" SET value = 'current';"
                 "INSERT INTO \"2024-03-05\" SELECT 'new' || rowid, 0, 'current' FROM \"2024-03-05\";",
                 nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    QVERIFY(!journal.isEmpty());
    QVERIFY(writeFile(target() + "-journal", journal));

    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(queryRows(snapshotFile(), "SELECT COUNT(*), SUM(value = 'current') FROM \"2024-03-05\";"),
        QStringList{"400|400"});
    removeSnapshot(snapshotFile());
    QCOMPARE(snapshotFiles(), QStringList());
}

void tst_snapshot::walLeftByAWriterThatDied_data()
{
    QTest::addColumn<bool>("shmBlocked");
    QTest::addColumn<QString>("message");
    QTest::newRow("its -shm can be made") << false << QString();
    // SQLite on POSIX then keeps the -shm's index in memory; on Windows it
    // cannot open the source at all, and the file and its -wal are copied.
#ifdef Q_OS_WIN
    const QString cannotRead
        = QString::fromUtf8("无法通过 SQLite 读取数据库：unable to open database file；改为复制文件及其 -wal");
#else
    const QString cannotRead;
#endif
    QTest::newRow("its -shm cannot be made (a folder stands there)") << true << cannotRead;
}

// A writer that died leaves its -wal without a -shm. Reading it through
// SQLite makes the -shm, as any reader would. Whichever way the copy is
// taken, the commits in the -wal are seen and the source and its -wal stay
// as they were.
void tst_snapshot::walLeftByAWriterThatDied()
{
    QFETCH(bool, shmBlocked);
    QFETCH(QString, message);
    WorkDir dir;
    QVERIFY(QDir().mkpath("live"));
    const std::string live = "live/QOR-database.db";
    QCOMPARE(execSql(live,
                 "PRAGMA journal_mode=WAL; CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"
                 "INSERT INTO \"2024-03-05\" VALUES('A1', 0);"),
        std::string());
    sqlite3 *writer = nullptr;
    QCOMPARE(sqlite3_open(live.c_str(), &writer), SQLITE_OK);
    QCOMPARE(sqlite3_exec(writer, "PRAGMA wal_autocheckpoint=0; INSERT INTO \"2024-03-05\" VALUES('A2', 0);", nullptr,
                 nullptr, nullptr),
        SQLITE_OK);
    QVERIFY(QDir().mkpath("sqlDatabase"));
    QVERIFY(QFile::copy(QString::fromStdString(live), source()));
    QVERIFY(QFile::copy(QString::fromStdString(live) + "-wal", source() + "-wal"));
    sqlite3_close(writer);
    const QString shm = source() + "-shm";
    if (shmBlocked)
        QVERIFY(QDir().mkpath(shm));
    const QByteArray sourceBytes = fileBytes(source());
    const QByteArray wal = fileBytes(source() + "-wal");

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(messages(log), message);
    QCOMPARE(countRows(snapshotFile()), 2);
    QCOMPARE(int(fileBytes(target()).at(18)), 1);
    QCOMPARE(snapshotFiles(), QStringList{target()});
    removeSnapshot(snapshotFile());

    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(source()), sourceBytes);
    QCOMPARE(fileBytes(source() + "-wal"), wal);
    QVERIFY(QFileInfo::exists(shm));
}

// A writer in exclusive locking mode keeps the wal-index in its own memory
// and holds the database against every reader, so SQLite cannot read it
// for the snapshot. The bytes of the file and its -wal are copied instead,
// and the commits in the -wal are seen all the same.
void tst_snapshot::walHeldInExclusiveLockingMode()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("PRAGMA journal_mode=WAL; CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"
                                "INSERT INTO \"2024-03-05\" VALUES('A1', 0);"),
        std::string());
    sqlite3 *writer = nullptr;
    QCOMPARE(sqlite3_open(sourcePath(), &writer), SQLITE_OK);
    QCOMPARE(sqlite3_exec(writer,
                 "PRAGMA locking_mode=EXCLUSIVE; PRAGMA wal_autocheckpoint=0;"
                 "INSERT INTO \"2024-03-05\" VALUES('A2', 0), ('A3', 1);",
                 nullptr, nullptr, nullptr),
        SQLITE_OK);
    QVERIFY(fileBytes(source() + "-wal").size() > 0);
    QVERIFY(!QFileInfo::exists(source() + "-shm"));
    const QByteArray sourceBytes = fileBytes(source());
    const QByteArray wal = fileBytes(source() + "-wal");

    LogCapture log;
    QCOMPARE(resultName(takeSnapshot(source(), target())), "taken");
    QCOMPARE(messages(log), QString::fromUtf8("无法通过 SQLite 读取数据库：database is locked；改为复制文件及其 -wal"));
    QCOMPARE(countRows(snapshotFile()), 3);
    QCOMPARE(snapshotFiles(), QStringList{target()});
    removeSnapshot(snapshotFile());
    QCOMPARE(fileBytes(source()), sourceBytes);
    QCOMPARE(fileBytes(source() + "-wal"), wal);
    sqlite3_close(writer);
}

QTEST_GUILESS_MAIN(tst_snapshot)
#include "tst_snapshot.moc"
