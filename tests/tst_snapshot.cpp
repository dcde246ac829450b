#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace testsupport;

namespace {

const char table[] = "2024-03-05";
constexpr int rowsPerCommit = 7;
constexpr int baseRows = 7 * 5000;

int countRows(const std::string &file)
{
    const QStringList rows = queryRows(file, "SELECT COUNT(*) FROM \"2024-03-05\";");
    return rows.size() == 1 ? rows.front().toInt() : -1;
}

QStringList snapshotFiles()
{
    QStringList present;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString path = QString::fromLatin1(snapshotFile()) + QLatin1String(suffix);
        if (QFile::exists(path))
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

// A second connection that commits transactions of exactly rowsPerCommit
// rows as fast as it can, as the production line would if it went mad.
class Writer {
public:
    explicit Writer(const std::string &file)
        : thread([this, file] {
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
    std::atomic<bool> stop{false};
    std::thread thread;

    void run(const std::string &file)
    {
        sqlite3 *db = nullptr;
        sqlite3_stmt *insert = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK
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
        }
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
};

} // namespace

class tst_snapshot : public QObject {
    Q_OBJECT
private slots:
    void concurrentWriter_data();
    void concurrentWriter();
    void quietSourceNeedsNoRetry_data();
    void quietSourceNeedsNoRetry();
    void walCommitsAreSeen();
    void staleJournalBesideSnapshotIsNotPlayed();
    void walLeftByAWriterThatDied_data();
    void walLeftByAWriterThatDied();
};

void tst_snapshot::concurrentWriter_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::newRow("rollback journal") << "DELETE";
    QTest::newRow("write-ahead log") << "WAL";
}

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

// A writer committing flat out while twenty snapshots are taken. A snapshot
// the controller does not warn about must be consistent. With a rollback
// journal the byte copy takes no lock, so against a writer this fast all
// five tries of a snapshot can be torn; that one must carry the warning.
void tst_snapshot::concurrentWriter()
{
    QFETCH(QString, journalMode);
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

    Writer writer(sourcePath());
    QTRY_VERIFY2(writer.committed > 10 || !writer.error.empty(), writer.error.c_str());
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
        bool doubtful = false;
        {
            LogCapture log;
            sqlController controller;
            controller.initPara();
            retries += countLines(log, "copying again") + countLines(log, "retrying the snapshot");
            doubtful = countLines(log, "may be inconsistent") > 0;
            const QString fault = snapshotFault(committedBefore);
            if (doubtful) {
                ++warned;
                tornAndWarned += fault.isEmpty() ? 0 : 1;
            } else {
                QVERIFY2(fault.isEmpty(), qPrintable(fault));
                const int rows = countRows(snapshotFile());
                // The viewer reads the same rows (once: a whole read is slow
                // under the sanitizers).
                if (fewest < 0)
                    QCOMPARE(int(controller.getTableData(table).size()), rows);
                fewest = fewest < 0 ? rows : std::min(fewest, rows);
                most = std::max(most, rows);
            }
            controller.closeDatabase();
        }
        QCOMPARE(snapshotFiles(), QStringList());
    }
    qInfo().noquote() << QStringLiteral("%1: %2 snapshots, %3 retries, %4 warned (%5 of them really torn), "
                                        "rows seen %6..%7; writer committed %8 transactions, %9 failed")
                             .arg(journalMode)
                             .arg(snapshots)
                             .arg(retries)
                             .arg(warned)
                             .arg(tornAndWarned)
                             .arg(fewest)
                             .arg(most)
                             .arg(writer.committed)
                             .arg(writer.failed);
}

// Once the writer has stopped, the first copy passes the checks: the
// retries and the warning come only from commits.
void tst_snapshot::quietSourceNeedsNoRetry_data()
{
    concurrentWriter_data();
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
        Writer writer(sourcePath());
        QTRY_VERIFY2(writer.committed > 10 || !writer.error.empty(), writer.error.c_str());
        QVERIFY2(writer.error.empty(), writer.error.c_str());
    }
    QCOMPARE(QFile::exists(QString::fromLatin1(sourcePath()) + "-wal"), journalMode == "WAL");
    const int rows = countRows(sourcePath());

    LogCapture log;
    sqlController controller;
    controller.initPara();
    QCOMPARE(countLines(log, "copying again") + countLines(log, "retrying the snapshot")
            + countLines(log, "may be inconsistent"),
        0);
    QCOMPARE(countRows(snapshotFile()), rows);
    QCOMPARE(queryRows(snapshotFile(), "SELECT n FROM tally;"), QStringList{QString::number(rows)});
    controller.closeDatabase();
    QCOMPARE(snapshotFiles(), QStringList());
    sqlite3_close(reader);
}

// Commits that still sit in the -wal are part of the database; a copy of the
// main file alone would miss them.
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
    const QString wal = QString::fromLatin1(sourcePath()) + "-wal";
    const QByteArray sourceBefore = fileBytes(sourcePath());
    const QByteArray walBefore = fileBytes(wal);
    QVERIFY(!walBefore.isEmpty());

    QVERIFY(QFile::copy(sourcePath(), "plain-copy.db"));
    QCOMPARE(countRows("plain-copy.db"), 0);

    sqlController controller;
    controller.initPara();
    QCOMPARE(countRows(snapshotFile()), 3);
    const QByteArray header = fileBytes(snapshotFile()).left(20);
    QCOMPARE(int(header.at(18)), 1);
    QCOMPARE(int(header.at(19)), 1);
    QCOMPARE(int(controller.getTableData(table).size()), 3);
    controller.closeDatabase();

    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(sourcePath()), sourceBefore);
    QCOMPARE(fileBytes(wal), walBefore);
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
    const QByteArray journal = fileBytes(QString::fromLatin1(sourcePath()) + "-journal");
    QCOMPARE(sqlite3_exec(db,
                 "ROLLBACK; UPDATE \"2024-03-05\" SET value = 'current';"
                 "INSERT INTO \"2024-03-05\" SELECT 'new' || rowid, 0, 'current' FROM \"2024-03-05\";",
                 nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    QVERIFY(!journal.isEmpty());
    QFile stale(QString::fromLatin1(snapshotFile()) + "-journal");
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(journal) == journal.size());
    stale.close();

    sqlController controller;
    controller.initPara();
    const std::vector<sqlDataStruct> rows = controller.getTableData(table);
    QCOMPARE(int(rows.size()), 400);
    QCOMPARE(QString::fromStdString(rows.back().columns.at(0).columnValue), QStringLiteral("current"));
    controller.closeDatabase();
    QCOMPARE(snapshotFiles(), QStringList());
}

void tst_snapshot::walLeftByAWriterThatDied_data()
{
    QTest::addColumn<bool>("shmBlocked");
    QTest::newRow("its -shm can be made") << false;
    QTest::newRow("its -shm cannot be made (a folder stands there)") << true;
}

// A writer that died leaves its -wal without a -shm. Reading it through
// SQLite makes the -shm, as any reader would; where that cannot be done
// SQLite keeps its index in memory. Either way the commits in the -wal are
// seen and the source and its -wal stay as they were.
void tst_snapshot::walLeftByAWriterThatDied()
{
    QFETCH(bool, shmBlocked);
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
    QVERIFY(QFile::copy(QString::fromStdString(live), sourcePath()));
    QVERIFY(QFile::copy(QString::fromStdString(live) + "-wal", QString::fromLatin1(sourcePath()) + "-wal"));
    sqlite3_close(writer);
    const QString shm = QString::fromLatin1(sourcePath()) + "-shm";
    if (shmBlocked)
        QVERIFY(QDir().mkpath(shm));
    const QByteArray source = fileBytes(sourcePath());
    const QByteArray wal = fileBytes(QString::fromLatin1(sourcePath()) + "-wal");

    LogCapture log;
    sqlController controller;
    controller.initPara();
    QCOMPARE(log.lines.size(), 0);
    QCOMPARE(countRows(snapshotFile()), 2);
    QCOMPARE(int(fileBytes(snapshotFile()).at(18)), 1);
    controller.closeDatabase();

    QCOMPARE(snapshotFiles(), QStringList());
    QCOMPARE(fileBytes(sourcePath()), source);
    QCOMPARE(fileBytes(QString::fromLatin1(sourcePath()) + "-wal"), wal);
    QVERIFY(QFileInfo::exists(shm));
}

QTEST_GUILESS_MAIN(tst_snapshot)
#include "tst_snapshot.moc"
