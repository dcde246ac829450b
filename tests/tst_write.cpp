#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

using namespace testsupport;

namespace {

std::string today()
{
    return sqlController().getCurrentDate();
}

// SQL text with {today} standing for today's table name.
std::string forToday(std::string text)
{
    const std::string mark = "{today}";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), today());
    return text;
}

// A snapshot opened by the controller from a source built of SQL text.
struct Snapshot {
    explicit Snapshot(const std::string &sql)
        : error(makeSourceDatabase(forToday(sql)))
        , source(fileBytes(sourcePath()))
    {
        controller.initPara();
    }
    ~Snapshot()
    {
        if (!closed)
            controller.closeDatabase();
    }
    QStringList rows(const std::string &sql) const
    {
        return queryRows(snapshotFile(), forToday(sql));
    }
    // Closes the snapshot; true when the source is still what it was.
    bool close()
    {
        controller.closeDatabase();
        closed = true;
        return fileBytes(sourcePath()) == source && !QFile::exists(snapshotFile());
    }
    // SQLite's error for a statement, run on a copy so the snapshot stays as it is.
    std::string errorOf(const std::string &statement) const
    {
        QFile::remove("probe.db");
        QFile::copy(snapshotFile(), "probe.db");
        return execSql("probe.db", statement);
    }

    WorkDir dir;
    std::string error;
    QByteArray source;
    sqlController controller;
    bool closed = false;
};

ColumnItem item(const std::string &name, int intValue, double doubleValue, const std::string &text)
{
    ColumnItem column;
    column.columnName = name;
    column.intValue = intValue;
    column.doubleValue = doubleValue;
    column.columnValue = text;
    return column;
}

sqlDataStruct record(const std::string &sn, std::vector<ColumnItem> columns, const std::string &tableName = "")
{
    sqlDataStruct data;
    data.sn = sn;
    data.tableName = tableName;
    data.columns = std::move(columns);
    return data;
}

std::vector<ColumnItem> a17Items()
{
    return {item("c1", 5, 0.0, ""), item("c2", 0, 0.0, "ok")};
}

} // namespace

class tst_write : public QObject {
    Q_OBJECT
private slots:
    void insertNewSerialNumber();
    void updateEveryRowOfSerialNumber();
    void valuePrecedence_data();
    void valuePrecedence();
    void noItems_data();
    void noItems();
    void tableNameIgnored();
    void emptySerialNumber_data();
    void emptySerialNumber();
    void failedWriteShowsStatement_data();
    void failedWriteShowsStatement();
    void todayMissing();
    void quotedTexts_data();
    void quotedTexts();
    void columnNameCannotInject_data();
    void columnNameCannotInject();
    void checkTable_data();
    void checkTable();
    void checkTableCannotPrepare();
    void futureDates();
};

void tst_write::insertNewSerialNumber()
{
    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 INTEGER, c2 TEXT);"
               "INSERT INTO \"{today}\" VALUES ('OLD', 0, 1, 'x');");
    QCOMPARE(s.error, std::string());
    StreamCapture out(std::cout);
    QVERIFY(s.controller.addData(record("N1", a17Items())));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(s.rows("SELECT sn, send, c1, typeof(c1), c2 FROM \"{today}\" ORDER BY rowid"),
        QStringList({"OLD|0|1|integer|x", "N1|1|5|integer|ok"}));
    QVERIFY(s.close());
}

void tst_write::updateEveryRowOfSerialNumber()
{
    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 INTEGER, c2 TEXT);"
               "INSERT INTO \"{today}\" VALUES ('A17', 0, 1, 'a'), ('B1', 0, 3, 'c'), ('A17', 0, 2, 'b');");
    QCOMPARE(s.error, std::string());
    StreamCapture out(std::cout);
    QVERIFY(s.controller.addData(record("A17", a17Items())));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(s.rows("SELECT sn, send, c1, c2 FROM \"{today}\" ORDER BY rowid"),
        QStringList({"A17|1|5|ok", "B1|0|3|c", "A17|1|5|ok"}));
    QVERIFY(s.close());
}

void tst_write::valuePrecedence_data()
{
    QTest::addColumn<int>("intValue");
    QTest::addColumn<double>("doubleValue");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("literal");
    QTest::addColumn<QString>("stored");
    QTest::newRow("double wins over int") << 7 << 2.5 << "x"
                                          << "2.500000"
                                          << "real|2.5";
    QTest::newRow("negative double") << 0 << -0.25 << ""
                                     << "-0.250000"
                                     << "real|-0.25";
    QTest::newRow("int when double is zero") << -3 << 0.0 << "x"
                                             << "-3"
                                             << "integer|-3";
    QTest::newRow("text when both are zero") << 0 << 0.0 << "ok"
                                             << "'ok'"
                                             << "text|ok";
    QTest::newRow("empty text when all are empty") << 0 << 0.0 << ""
                                                   << "''"
                                                   << "text|";
}

// The value column has no declared type, so SQLite keeps the type the
// statement gave; a failing write shows the literal itself.
void tst_write::valuePrecedence()
{
    QFETCH(int, intValue);
    QFETCH(double, doubleValue);
    QFETCH(QString, text);
    QFETCH(QString, literal);
    QFETCH(QString, stored);

    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, v);");
    QCOMPARE(s.error, std::string());
    QVERIFY(s.controller.addData(record("P1", {item("v", intValue, doubleValue, text.toStdString())})));
    QCOMPARE(s.rows("SELECT typeof(v), v FROM \"{today}\""), QStringList{stored});

    StreamCapture out(std::cout);
    QVERIFY(!s.controller.addData(record("P2", {item("missing", intValue, doubleValue, text.toStdString())})));
    const QString shown = QString::fromStdString(out.text());
    QVERIFY2(shown.endsWith("VALUES (1,'P2'," + literal + " );"), qPrintable(shown));
    QVERIFY(s.close());
}

void tst_write::noItems_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("known serial number: send set, rest kept") << "A17" << QStringList{"A17|1|keep"};
    QTest::newRow("new serial number: row with send and SN") << "N2" << QStringList({"A17|0|keep", "N2|1|<null>"});
}

void tst_write::noItems()
{
    QFETCH(QString, sn);
    QFETCH(QStringList, rows);
    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
               "INSERT INTO \"{today}\" VALUES ('A17', 0, 'keep');");
    QCOMPARE(s.error, std::string());
    StreamCapture out(std::cout);
    QVERIFY(s.controller.addData(record(sn.toStdString(), {})));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(s.rows("SELECT * FROM \"{today}\" ORDER BY rowid"), rows);
    QVERIFY(s.close());
}

void tst_write::tableNameIgnored()
{
    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
               "CREATE TABLE \"2024-01-01\"(sn TEXT, send INTEGER, c1 TEXT);");
    QCOMPARE(s.error, std::string());
    QVERIFY(s.controller.addData(record("A17", {item("c1", 0, 0.0, "v")}, "2024-01-01")));
    QCOMPARE(s.rows("SELECT * FROM \"{today}\""), QStringList{"A17|1|v"});
    QCOMPARE(s.rows("SELECT * FROM \"2024-01-01\""), QStringList());
    QVERIFY(s.close());
}

void tst_write::emptySerialNumber_data()
{
    QTest::addColumn<QString>("sql");
    QTest::newRow("today's table present") << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 INTEGER);"
                                              "INSERT INTO \"{today}\" VALUES ('', 0, 0);";
    // Any statement would fail here and say so on standard output.
    QTest::newRow("today's table missing") << "CREATE TABLE \"2024-01-01\"(sn TEXT, send INTEGER);";
}

void tst_write::emptySerialNumber()
{
    QFETCH(QString, sql);
    Snapshot s(sql.toStdString());
    QCOMPARE(s.error, std::string());
    const QByteArray before = fileBytes(snapshotFile());

    LogCapture log;
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    QVERIFY(!s.controller.addData(record("", {item("c1", 5, 0.0, "")}, today())));
    QCOMPARE(log.lines.size(), 1);
    const LogLine &line = log.lines.first();
    QVERIFY2(line.message.contains("[INFO] ") && line.message.contains(" SN empty!"), qPrintable(line.message));
    QVERIFY2(!line.file.isEmpty() && line.line > 0 && line.function.contains("addData"),
        qPrintable(line.file + ':' + QString::number(line.line) + ' ' + line.function));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
    QCOMPARE(fileBytes(snapshotFile()), before);
    QVERIFY(s.close());
}

void tst_write::failedWriteShowsStatement_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("withItems");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("statement");
    QTest::newRow("insert, c1 and c2 missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER);" << true << "插入操作失败: "
        << "INSERT INTO '{today}' (send,SN,c1,c2) VALUES (1,'A17',5,'ok' );";
    QTest::newRow("update, c1 and c2 missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER); INSERT INTO \"{today}\" VALUES ('A17', 0);" << true
        << "更新操作失败: "
        << "UPDATE '{today}' SET send=1,c1 = 5,c2 = 'ok' WHERE SN = 'A17';";
    QTest::newRow("insert without items, send missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, c1 TEXT);" << false << "插入操作失败: "
        << "INSERT INTO '{today}' (send,SN) VALUES (1,'A17' );";
    QTest::newRow("update without items, send missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, c1 TEXT); INSERT INTO \"{today}\" VALUES ('A17', 'x');" << false
        << "更新操作失败: "
        << "UPDATE '{today}' SET send=1 WHERE SN = 'A17';";
}

// Statements are not returned, so a write that fails is where they show:
// the message carries the exact statement after SQLite's error.
void tst_write::failedWriteShowsStatement()
{
    QFETCH(QString, sql);
    QFETCH(bool, withItems);
    QFETCH(QString, prefix);
    QFETCH(QString, statement);

    Snapshot s(sql.toStdString());
    QCOMPARE(s.error, std::string());
    const QByteArray before = fileBytes(snapshotFile());
    const std::string expectedStatement = forToday(statement.toStdString());
    const std::string sqliteError = s.errorOf(expectedStatement);
    QVERIFY2(!sqliteError.empty(), "the statement was expected to fail");

    StreamCapture out(std::cout);
    QVERIFY(!s.controller.addData(record("A17", withItems ? a17Items() : std::vector<ColumnItem>())));
    const std::string shown = out.text();
    qInfo().noquote() << "addData wrote:" << QString::fromStdString(shown);
    QCOMPARE(shown, prefix.toStdString() + sqliteError + ";" + expectedStatement);
    QCOMPARE(fileBytes(snapshotFile()), before);
    QVERIFY(s.close());
}

void tst_write::todayMissing()
{
    Snapshot s("CREATE TABLE \"2024-01-01\"(sn TEXT, send INTEGER, c1 INTEGER, c2 TEXT);");
    QCOMPARE(s.error, std::string());
    const QByteArray before = fileBytes(snapshotFile());
    const std::string count = forToday("SELECT COUNT(*) FROM '{today}' WHERE sn = 'A17'; ");
    const std::string sqliteError = s.errorOf(count);
    QVERIFY2(!sqliteError.empty(), "the count was expected to fail");

    StreamCapture out(std::cout);
    QVERIFY(!s.controller.addData(record("A17", a17Items())));
    const std::string shown = out.text();
    qInfo().noquote() << "addData wrote:" << QString::fromStdString(shown);
    QCOMPARE(shown, "查询操作失败: " + sqliteError + ";" + count);
    QCOMPARE(fileBytes(snapshotFile()), before);
    QVERIFY(s.close());
}

void tst_write::quotedTexts_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("row");
    QTest::newRow("quote in the serial number") << "O'Neil'; DROP TABLE other; --"
                                                << "c1"
                                                << "v"
                                                << "O'Neil'; DROP TABLE other; --|1|v2|<null>|<null>";
    QTest::newRow("quote in a value") << "Q1"
                                      << "c1"
                                      << "it's'); DROP TABLE other; --"
                                      << "Q1|1|it's'); DROP TABLE other; --2|<null>|<null>";
    QTest::newRow("double quote and blank in a column name") << "Q2"
                                                             << "we\"ird col"
                                                             << "v"
                                                             << "Q2|1|<null>|v2|<null>";
    QTest::newRow("single quote in a column name") << "Q3"
                                                   << "it's"
                                                   << "v"
                                                   << "Q3|1|<null>|<null>|v2";
}

// Each record is written twice, so both the insert and the update (and the
// count before them) meet the quoted text.
void tst_write::quotedTexts()
{
    QFETCH(QString, sn);
    QFETCH(QString, column);
    QFETCH(QString, value);
    QFETCH(QString, row);

    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT, \"we\"\"ird col\" TEXT, \"it's\" TEXT);"
               "CREATE TABLE other(sn TEXT); INSERT INTO other VALUES ('keep');");
    QCOMPARE(s.error, std::string());
    StreamCapture out(std::cout);
    QVERIFY(s.controller.addData(record(sn.toStdString(), {item(column.toStdString(), 0, 0.0, value.toStdString())})));
    QVERIFY(s.controller.addData(
        record(sn.toStdString(), {item(column.toStdString(), 0, 0.0, value.toStdString() + "2")})));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(s.rows("SELECT * FROM \"{today}\""), QStringList{row});
    QCOMPARE(s.rows("SELECT * FROM other"), QStringList{"keep"});
    QVERIFY(s.close());
}

void tst_write::columnNameCannotInject_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("insert") << ""
                            << "c1) VALUES (1,'x','y'); DROP TABLE other; --"
                            << "插入操作失败: ";
    QTest::newRow("update") << "INSERT INTO \"{today}\" VALUES ('A17', 0, 'a');"
                            << "c1 = 'z' WHERE 1; DROP TABLE other; --"
                            << "更新操作失败: ";
}

// A column name that is no plain identifier stays one quoted name: the write
// fails on that unknown column and nothing else runs.
void tst_write::columnNameCannotInject()
{
    QFETCH(QString, sql);
    QFETCH(QString, column);
    QFETCH(QString, prefix);

    Snapshot s("CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
               "CREATE TABLE other(sn TEXT); INSERT INTO other VALUES ('keep');"
        + sql.toStdString());
    QCOMPARE(s.error, std::string());
    const QStringList before = s.rows("SELECT * FROM \"{today}\"");
    StreamCapture out(std::cout);
    QVERIFY(!s.controller.addData(record("A17", {item(column.toStdString(), 0, 0.0, "v")})));
    QVERIFY2(QString::fromStdString(out.text()).startsWith(prefix), out.text().c_str());
    QCOMPARE(s.rows("SELECT * FROM \"{today}\""), before);
    QCOMPARE(s.rows("SELECT * FROM other"), QStringList{"keep"});
    QVERIFY(s.close());
}

void tst_write::checkTable_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("reported");
    QTest::newRow("identical") << "t"
                               << "CREATE TABLE t(sn TEXT, send INTEGER)" << false;
    QTest::newRow("letter case only") << "t"
                                      << "create table T(SN text, Send integer)" << false;
    QTest::newRow("one character differs") << "t"
                                           << "CREATE TABLE t(sn TEXT, send INT)" << true;
    QTest::newRow("extra blank") << "t"
                                 << "CREATE TABLE t(sn TEXT,  send INTEGER)" << true;
    QTest::newRow("expected text is the pattern") << "t"
                                                  << "CREATE TABLE _(%)" << false;
    QTest::newRow("missing table") << "nosuch"
                                   << "CREATE TABLE nosuch(x)" << false;
}

void tst_write::checkTable()
{
    QFETCH(QString, table);
    QFETCH(QString, expected);
    QFETCH(bool, reported);

    WorkDir dir;
    QCOMPARE(execSql("schema.db", "CREATE TABLE t(sn TEXT, send INTEGER);"), std::string());
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open("schema.db", &db), SQLITE_OK);
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    sqlController().checkTable(db, table.toStdString(), expected.toStdString());
    sqlite3_close(db);

    const std::string message
        = reported ? "table '" + table.toStdString() + "' exist ,but not true '" + expected.toStdString() + "'\n" : "";
    QCOMPARE(out.text(), message);
    QCOMPARE(err.text(), std::string());
}

void tst_write::checkTableCannotPrepare()
{
    WorkDir dir;
    QFile garbage("notadb.db");
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open("notadb.db", &db), SQLITE_OK);

    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    sqlController().checkTable(db, "t", "CREATE TABLE t(x)");
    const std::string sqliteError = sqlite3_errmsg(db);
    sqlite3_close(db);
    QCOMPARE(sqliteError, std::string("file is not a database"));
    QCOMPARE(err.text(), "无法准备查询: " + sqliteError + "\n");
    QCOMPARE(out.text(), std::string());
}

void tst_write::futureDates()
{
    sqlController controller;
    const std::string before = controller.getCurrentDate();
    const std::vector<std::string> dates = controller.getFutureDates();
    const std::string after = controller.getCurrentDate();

    QCOMPARE(dates.size(), size_t(30));
    QVERIFY2(dates.front() == before || dates.front() == after, dates.front().c_str());
    QCOMPARE(QString::fromStdString(before), QDate::currentDate().toString("yyyy-MM-dd"));
    const QRegularExpression shape("^[1-9]\\d*-\\d{2}-\\d{2}$");
    QDate previous;
    for (const std::string &text : dates) {
        const QString date = QString::fromStdString(text);
        QVERIFY2(shape.match(date).hasMatch(), qPrintable(date));
        const QDate day = QDate::fromString(date, "yyyy-MM-dd");
        QVERIFY2(day.isValid(), qPrintable(date));
        // The machine runs in UTC, so 24 hours are always one calendar day.
        if (previous.isValid())
            QCOMPARE(previous.daysTo(day), qint64(1));
        previous = day;
    }
}

QTEST_GUILESS_MAIN(tst_write)
#include "tst_write.moc"
