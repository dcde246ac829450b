#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

using namespace testsupport;

namespace {

QStringList toStringList(const std::vector<std::string> &names)
{
    QStringList list;
    for (const std::string &name : names)
        list << QString::fromStdString(name);
    return list;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// One record as "sn|name=value|name=value", so whole results compare at once.
QString encode(const sqlDataStruct &record)
{
    QStringList parts{QString::fromStdString(record.sn)};
    for (const ColumnItem &item : record.columns)
        parts << QString::fromStdString(item.columnName) + '=' + QString::fromStdString(item.columnValue);
    return parts.join('|');
}

// SQL for a table of that name holding one row, "A|a=x" when read.
QString oneRowTable(const QString &name)
{
    const QString quoted = '"' + QString(name).replace('"', "\"\"") + '"';
    return "CREATE TABLE " + quoted + "(sn TEXT, send INTEGER, a TEXT); INSERT INTO " + quoted
        + " VALUES('A', 1, 'x');";
}

} // namespace

class tst_controller : public QObject {
    Q_OBJECT
private slots:
    void snapshotLifecycle();
    void closedAndOpenedAgain();
    void snapshotPath_data();
    void snapshotPath();
    void missingSource_data();
    void missingSource();
    void unwritableSnapshot();
    void tableList_data();
    void tableList();
    void tableRead_data();
    void tableRead();
};

void tst_controller::snapshotLifecycle()
{
    ControllerFixture f("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a TEXT);"
                        "INSERT INTO \"2024-03-05\" VALUES('X1', 1, '中文');");
    QCOMPARE(f.error, std::string());
    QVERIFY(QFile::exists(snapshotFile()));
    QCOMPARE(fileBytes(snapshotFile()), f.source);
    QCOMPARE(f.controller.getTableNames(), std::vector<std::string>{"2024-03-05"});
    QVERIFY(f.close());
    QCOMPARE(entries("sqlDatabase"), QStringList{"QOR-database.db"});
}

// Closed twice, then opened again, and opened twice in a row: each open
// takes a new snapshot from the source, with what it holds now, and leaves
// one snapshot file; no close touches a connection already closed.
void tst_controller::closedAndOpenedAgain()
{
    ControllerFixture f(oneRowTable("2024-03-05").toStdString());
    QCOMPARE(f.error, std::string());
    QCOMPARE(execSql(sourcePath(), oneRowTable("2024-03-06").toStdString()), std::string());
    f.source = fileBytes(sourcePath());
    const QByteArray source = f.source;
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    LogCapture log;

    f.controller.closeDatabase();
    f.controller.closeDatabase();
    QCOMPARE(entries("sqlDatabase"), QStringList{"QOR-database.db"});
    f.controller.initPara();
    QCOMPARE(toStringList(f.controller.getTableNames()), (QStringList{"2024-03-05", "2024-03-06"}));
    QCOMPARE(fileBytes(snapshotFile()), source);
    f.controller.initPara();
    QCOMPARE(toStringList(f.controller.getTableNames()), (QStringList{"2024-03-05", "2024-03-06"}));
    QCOMPARE(entries("sqlDatabase"), (QStringList{"QOR-database-temp.db", "QOR-database.db"}));

    QVERIFY(f.close());
    QCOMPARE(log.lines.size(), 0);
    QCOMPARE(out.text() + err.text(), std::string());
}

void tst_controller::snapshotPath_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("snapshot");
    QTest::newRow("default") << ".//sqlDatabase//QOR-database.db"
                             << ".//sqlDatabase//QOR-database-temp.db";
    QTest::newRow("only the last .db") << "a.db.db"
                                       << "a.db-temp.db";
    QTest::newRow(".db opens a longer extension") << "data.dbx"
                                                  << "data-temp.dbx";
    QTest::newRow(".db in a folder name") << "x.db/file"
                                          << "x-temp.db/file";
    QTest::newRow("no .db") << "sqlDatabase/QOR-database" << QString();
    QTest::newRow("upper-case .DB") << "QOR-database.DB" << QString();
}

void tst_controller::snapshotPath()
{
    QFETCH(QString, source);
    QFETCH(QString, snapshot);
    QCOMPARE(sqlController::snapshotPath(source), snapshot);
}

void tst_controller::missingSource_data()
{
    QTest::addColumn<bool>("staleSnapshot");
    QTest::newRow("nothing there") << false;
    QTest::newRow("snapshot left by an earlier run") << true;
}

// Without a source there is nothing to copy: the controller must not create,
// open or delete anything, not even a snapshot an earlier run left behind.
void tst_controller::missingSource()
{
    QFETCH(bool, staleSnapshot);
    WorkDir dir;
    QByteArray staleBytes;
    if (staleSnapshot) {
        QDir().mkpath("sqlDatabase");
        QCOMPARE(execSql(snapshotFile(), "CREATE TABLE stale(sn TEXT);"), std::string());
        staleBytes = fileBytes(snapshotFile());
    }
    const QStringList before = entries(".");
    const QStringList beforeFolder = entries("sqlDatabase");

    sqlController controller;
    LogCapture log;
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    controller.initPara();

    QCOMPARE(log.lines.size(), 1);
    const LogLine &line = log.lines.first();
    QCOMPARE(line.type, QtDebugMsg);
    QVERIFY2(line.message.startsWith(QStringLiteral("无法打开源文件： ")), qPrintable(line.message));
    QVERIFY(line.message.size() > QStringLiteral("无法打开源文件： ").size());
    QVERIFY(!line.file.isEmpty());
    QVERIFY(line.line > 0);
    QVERIFY2(line.function.contains("initPara"), qPrintable(line.function));

    QCOMPARE(controller.getTableNames(), std::vector<std::string>());
    QCOMPARE(entries("."), before);
    QCOMPARE(entries("sqlDatabase"), beforeFolder);

    controller.closeDatabase();
    QCOMPARE(entries("."), before);
    QCOMPARE(entries("sqlDatabase"), beforeFolder);
    if (staleSnapshot)
        QCOMPARE(fileBytes(snapshotFile()), staleBytes);
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
}

// Root ignores permissions, so a folder standing at the snapshot path is what
// makes it unwritable. The controller must then show nothing and, at close,
// must not remove what stands there (remove() would delete an empty folder).
void tst_controller::unwritableSnapshot()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"), std::string());
    QVERIFY(QDir().mkpath(snapshotFile()));
    const QByteArray source = fileBytes(sourcePath());

    sqlController controller;
    LogCapture log;
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    controller.initPara();

    QCOMPARE(log.lines.size(), 1);
    QVERIFY2(log.lines.first().message.startsWith(QStringLiteral("无法打开目标文件：")),
        qPrintable(log.lines.first().message));
    QVERIFY(!log.lines.first().file.isEmpty());
    QCOMPARE(controller.getTableNames(), std::vector<std::string>());

    controller.closeDatabase();
    QVERIFY(QFileInfo(snapshotFile()).isDir());
    QCOMPARE(entries("sqlDatabase"), QStringList({"QOR-database-temp.db", "QOR-database.db"}));
    QCOMPARE(fileBytes(sourcePath()), source);
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
}

void tst_controller::tableList_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("no tables") << "PRAGMA user_version = 1;" << QStringList();
    QTest::newRow("schema order, not sorted; views and indexes left out")
        << "CREATE TABLE \"2024-03-07\"(sn TEXT, send INTEGER);"
           "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER);"
           "CREATE INDEX bySn ON \"2024-03-05\"(sn);"
           "CREATE VIEW everything AS SELECT * FROM \"2024-03-07\";"
           "CREATE TABLE \"2024-03-06\"(sn TEXT, send INTEGER);"
        << QStringList({"2024-03-07", "2024-03-05", "2024-03-06"});
}

void tst_controller::tableList()
{
    QFETCH(QString, sql);
    QFETCH(QStringList, names);
    ControllerFixture f(sql.toStdString());
    QCOMPARE(f.error, std::string());
    StreamCapture err(std::cerr);
    QCOMPARE(toStringList(f.controller.getTableNames()), names);
    QCOMPARE(err.text(), std::string());
    QVERIFY(f.close());
}

void tst_controller::tableRead_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QString>("error");

    QTest::newRow("second column dropped, NULL read as empty")
        << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT, b TEXT);"
           "INSERT INTO t VALUES('X1', 1, NULL, '7'), ('X2', 0, '中文', '');"
        << "t" << QStringList({"X1|a=|b=7", "X2|a=中文|b="}) << "";
    QTest::newRow("NULL first column gives empty sn")
        << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT);"
           "INSERT INTO t VALUES('A', 1, 'x'), (NULL, 1, 'y'), ('C', 1, 'z');"
        << "t" << QStringList({"A|a=x", "|a=y", "C|a=z"}) << "";
    QTest::newRow("numbers as SQLite writes them") << "CREATE TABLE t(sn, send, r REAL, i INTEGER);"
                                                      "INSERT INTO t VALUES(5, 1, 2.5, -3);"
                                                   << "t" << QStringList({"5|r=2.5|i=-3"}) << "";
    QTest::newRow("only one column") << "CREATE TABLE t(sn TEXT); INSERT INTO t VALUES('A'), ('B');"
                                     << "t" << QStringList({"A", "B"}) << "";
    QTest::newRow("two columns") << "CREATE TABLE t(sn TEXT, send INTEGER); INSERT INTO t VALUES('A', 1);"
                                 << "t" << QStringList({"A"}) << "";
    QTest::newRow("empty table") << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT);"
                                 << "t" << QStringList() << "";

    // Names that must reach SQLite as one quoted name, whatever they hold.
    QTest::newRow("double quote") << oneRowTable("a\"b") << "a\"b" << QStringList{"A|a=x"} << "";
    QTest::newRow("only double quotes") << oneRowTable("\"\"") << "\"\"" << QStringList{"A|a=x"} << "";
    QTest::newRow("single quote") << oneRowTable("it's") << "it's" << QStringList{"A|a=x"} << "";
    QTest::newRow("blanks and non-ASCII")
        << oneRowTable("2024 三月 05") << "2024 三月 05" << QStringList{"A|a=x"} << "";

    const QString day = "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER); "
                        "INSERT INTO \"2024-03-05\" VALUES('A', 1);";
    QTest::newRow("missing table") << day << "2024-01-01" << QStringList() << "no such table: 2024-01-01";
    QTest::newRow("empty name") << day << "" << QStringList() << "no such table: ";
    // Would close the quoted name and append a statement if its quote were
    // not doubled.
    QTest::newRow("name that closes its quote and drops a table")
        << oneRowTable("x") + oneRowTable("y") << "x\" ; DROP TABLE \"y" << QStringList()
        << "no such table: x\" ; DROP TABLE \"y";
}

// Every table that reads is listed under the same name, and a read leaves
// the snapshot as it was, whatever the name holds. A failing read says why
// on one line of standard error.
void tst_controller::tableRead()
{
    QFETCH(QString, sql);
    QFETCH(QString, table);
    QFETCH(QStringList, records);
    QFETCH(QString, error);

    ControllerFixture f(sql.toStdString());
    QCOMPARE(f.error, std::string());
    const QByteArray snapshot = fileBytes(snapshotFile());
    StreamCapture err(std::cerr);
    const QStringList names = toStringList(f.controller.getTableNames());
    const std::vector<sqlDataStruct> result = f.controller.getTableData(table.toStdString());

    QStringList seen;
    for (const sqlDataStruct &record : result) {
        seen << encode(record);
        QVERIFY(record.tableName.empty());
        for (const ColumnItem &item : record.columns) {
            QCOMPARE(item.intValue, 0);
            QCOMPARE(item.doubleValue, 0.0);
        }
    }
    QCOMPARE(seen, records);
    QCOMPARE(fileBytes(snapshotFile()), snapshot);
    const QString text = QString::fromStdString(err.text());
    if (error.isEmpty()) {
        QVERIFY2(names.contains(table), qPrintable(names.join(", ")));
        QCOMPARE(text, QString());
    } else {
        QVERIFY2(text.startsWith("SQL error: ") && text.endsWith('\n') && text.count('\n') == 1, qPrintable(text));
        QVERIFY2(text.contains(error), qPrintable(text));
    }
    QVERIFY(f.close());
}

QTEST_GUILESS_MAIN(tst_controller)
#include "tst_controller.moc"
