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

} // namespace

class tst_controller : public QObject {
    Q_OBJECT
private slots:
    void snapshotLifecycle();
    void snapshotPath_data();
    void snapshotPath();
    void missingSource_data();
    void missingSource();
    void unwritableSnapshot();
    void tableList_data();
    void tableList();
    void tableReadShapes_data();
    void tableReadShapes();
    void tableReadErrors_data();
    void tableReadErrors();
    void quotedTableName_data();
    void quotedTableName();
    void tableNameCannotInject();
};

void tst_controller::snapshotLifecycle()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a TEXT);"
                                "INSERT INTO \"2024-03-05\" VALUES('X1', 1, '中文');"),
        std::string());
    const QByteArray before = fileBytes(sourcePath());
    sqlController controller;
    controller.initPara();
    QVERIFY(QFile::exists(snapshotFile()));
    QCOMPARE(fileBytes(snapshotFile()), before);
    QCOMPARE(controller.getTableNames(), std::vector<std::string>{"2024-03-05"});
    controller.closeDatabase();
    QVERIFY(!QFile::exists(snapshotFile()));
    QCOMPARE(entries("sqlDatabase"), QStringList{"QOR-database.db"});
    QCOMPARE(fileBytes(sourcePath()), before);
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
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(sql.toStdString()), std::string());
    sqlController controller;
    controller.initPara();
    StreamCapture err(std::cerr);
    QCOMPARE(toStringList(controller.getTableNames()), names);
    QCOMPARE(err.text(), std::string());
    controller.closeDatabase();
}

void tst_controller::tableReadShapes_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("records");
    QTest::newRow("second column dropped, NULL read as empty")
        << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT, b TEXT);"
           "INSERT INTO t VALUES('X1', 1, NULL, '7'), ('X2', 0, '中文', '');"
        << QStringList({"X1|a=|b=7", "X2|a=中文|b="});
    QTest::newRow("NULL first column gives empty sn")
        << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT);"
           "INSERT INTO t VALUES('A', 1, 'x'), (NULL, 1, 'y'), ('C', 1, 'z');"
        << QStringList({"A|a=x", "|a=y", "C|a=z"});
    QTest::newRow("numbers as SQLite writes them") << "CREATE TABLE t(sn, send, r REAL, i INTEGER);"
                                                      "INSERT INTO t VALUES(5, 1, 2.5, -3);"
                                                   << QStringList({"5|r=2.5|i=-3"});
    QTest::newRow("only one column") << "CREATE TABLE t(sn TEXT); INSERT INTO t VALUES('A'), ('B');"
                                     << QStringList({"A", "B"});
    QTest::newRow("two columns") << "CREATE TABLE t(sn TEXT, send INTEGER); INSERT INTO t VALUES('A', 1);"
                                 << QStringList({"A"});
    QTest::newRow("empty table") << "CREATE TABLE t(sn TEXT, send INTEGER, a TEXT);" << QStringList();
}

void tst_controller::tableReadShapes()
{
    QFETCH(QString, sql);
    QFETCH(QStringList, records);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase(sql.toStdString()), std::string());
    sqlController controller;
    controller.initPara();
    StreamCapture err(std::cerr);
    const std::vector<sqlDataStruct> result = controller.getTableData("t");
    controller.closeDatabase();

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
    QCOMPARE(err.text(), std::string());
}

void tst_controller::tableReadErrors_data()
{
    QTest::addColumn<QString>("table");
    QTest::newRow("missing table") << "2024-01-01";
    QTest::newRow("empty name") << "";
}

void tst_controller::tableReadErrors()
{
    QFETCH(QString, table);
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER); "
                                "INSERT INTO \"2024-03-05\" VALUES('A', 1);"),
        std::string());
    sqlController controller;
    controller.initPara();
    StreamCapture err(std::cerr);
    QVERIFY(controller.getTableData(table.toStdString()).empty());
    controller.closeDatabase();

    const QString text = QString::fromStdString(err.text());
    QVERIFY2(text.startsWith("SQL error: ") && text.endsWith('\n') && text.count('\n') == 1, qPrintable(text));
    QVERIFY2(text.contains("no such table: " + table), qPrintable(text));
}

void tst_controller::quotedTableName_data()
{
    QTest::addColumn<QString>("table");
    QTest::newRow("double quote") << "a\"b";
    QTest::newRow("only double quotes") << "\"\"";
    QTest::newRow("single quote") << "it's";
    QTest::newRow("blanks and non-ASCII") << "2024 三月 05";
}

void tst_controller::quotedTableName()
{
    QFETCH(QString, table);
    WorkDir dir;
    QString quoted = table;
    quoted.replace('"', "\"\"");
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"" + quoted.toStdString()
                 + "\"(sn TEXT, send INTEGER, a TEXT);"
                   "INSERT INTO \""
                 + quoted.toStdString() + "\" VALUES('A', 1, 'x');"),
        std::string());
    sqlController controller;
    controller.initPara();
    StreamCapture err(std::cerr);
    QCOMPARE(toStringList(controller.getTableNames()), QStringList{table});
    const std::vector<sqlDataStruct> result = controller.getTableData(table.toStdString());
    controller.closeDatabase();
    QCOMPARE(result.size(), size_t(1));
    QCOMPARE(encode(result.front()), QStringLiteral("A|a=x"));
    QCOMPARE(err.text(), std::string());
}

// A name that would close the quoted identifier and append a statement if
// its quote were not doubled.
void tst_controller::tableNameCannotInject()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE x(sn TEXT, send INTEGER, a TEXT);"
                                "CREATE TABLE y(sn TEXT, send INTEGER, a TEXT);"
                                "INSERT INTO x VALUES('X', 1, 'x');"
                                "INSERT INTO y VALUES('Y', 1, 'y');"),
        std::string());
    sqlController controller;
    controller.initPara();
    StreamCapture err(std::cerr);
    QVERIFY(controller.getTableData("x\" ; DROP TABLE \"y").empty());
    QVERIFY2(QString::fromStdString(err.text()).startsWith("SQL error: "), err.text().c_str());
    QCOMPARE(queryRows(snapshotFile(), "SELECT name FROM sqlite_master WHERE type='table'"), QStringList({"x", "y"}));
    QCOMPARE(controller.getTableData("y").size(), size_t(1));
    controller.closeDatabase();
}

QTEST_GUILESS_MAIN(tst_controller)
#include "tst_controller.moc"
