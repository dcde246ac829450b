#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

using namespace testsupport;

using Items = std::vector<ColumnItem>;
Q_DECLARE_METATYPE(Items)

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

// The shared fixture, with {today} in the SQL standing for today's table.
struct Snapshot : ControllerFixture {
    explicit Snapshot(const std::string &sql)
        : ControllerFixture(forToday(sql))
    {
    }
    QStringList rows(const std::string &sql) const
    {
        return queryRows(snapshotFile(), forToday(sql));
    }
};

// SQLite's error for a statement, run on a copy so the snapshot stays as it is.
std::string errorOnCopy(const std::string &statement)
{
    QFile::remove("probe.db");
    QFile::copy(snapshotFile(), "probe.db");
    return execSql("probe.db", statement);
}

ColumnItem item(const std::string &name, int intValue, double doubleValue, const std::string &text)
{
    ColumnItem column;
    column.columnName = name;
    column.intValue = intValue;
    column.doubleValue = doubleValue;
    column.columnValue = text;
    return column;
}

sqlDataStruct record(const std::string &sn, Items columns, const std::string &tableName = "")
{
    sqlDataStruct data;
    data.sn = sn;
    data.tableName = tableName;
    data.columns = std::move(columns);
    return data;
}

Items a17Items()
{
    return {item("c1", 5, 0.0, ""), item("c2", 0, 0.0, "ok")};
}

} // namespace

class tst_write : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void writeRecord_data();
    void writeRecord();
    void valuePrecedence_data();
    void valuePrecedence();
    void emptySerialNumber_data();
    void emptySerialNumber();
    void failedWriteShowsStatement_data();
    void failedWriteShowsStatement();
    void quotedTexts_data();
    void quotedTexts();
    void checkTable_data();
    void checkTable();
    void futureDates();

private:
    std::unique_ptr<ProcessTimeZone> zone;
};

// Today's table and the date list come from the local calendar. In UTC a day
// is always 24 hours long, so no change of the clocks can fall in a test.
void tst_write::initTestCase()
{
    zone = std::make_unique<ProcessTimeZone>("UTC0");
}

void tst_write::cleanupTestCase()
{
    zone.reset();
}

void tst_write::writeRecord_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<Items>("items");
    QTest::addColumn<QString>("tableName");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("rows");

    const QString twoItems = "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 INTEGER, c2 TEXT);";
    QTest::newRow("new serial number: row inserted with send, SN and the items")
        << twoItems + "INSERT INTO \"{today}\" VALUES ('OLD', 0, 1, 'x');"
        << "N1" << a17Items() << ""
        << "SELECT sn, send, c1, typeof(c1), c2 FROM \"{today}\" ORDER BY rowid"
        << QStringList({"OLD|0|1|integer|x", "N1|1|5|integer|ok"});
    QTest::newRow("known serial number: every row of it updated")
        << twoItems + "INSERT INTO \"{today}\" VALUES ('A17', 0, 1, 'a'), ('B1', 0, 3, 'c'), ('A17', 0, 2, 'b');"
        << "A17" << a17Items() << ""
        << "SELECT sn, send, c1, c2 FROM \"{today}\" ORDER BY rowid"
        << QStringList({"A17|1|5|ok", "B1|0|3|c", "A17|1|5|ok"});

    const QString kept = "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
                         "INSERT INTO \"{today}\" VALUES ('A17', 0, 'keep');";
    QTest::newRow("no items, known serial number: send set, rest kept")
        << kept << "A17" << Items() << ""
        << "SELECT * FROM \"{today}\" ORDER BY rowid" << QStringList{"A17|1|keep"};
    QTest::newRow("no items, new serial number: row with send and SN")
        << kept << "N2" << Items() << ""
        << "SELECT * FROM \"{today}\" ORDER BY rowid" << QStringList({"A17|0|keep", "N2|1|<null>"});

    QTest::newRow("record's table name ignored: written into today's")
        << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
           "CREATE TABLE \"2024-01-01\"(sn TEXT, send INTEGER, c1 TEXT);"
        << "A17" << Items{item("c1", 0, 0.0, "v")} << "2024-01-01"
        << "SELECT 'today', * FROM \"{today}\" UNION ALL SELECT '2024-01-01', * FROM \"2024-01-01\""
        << QStringList{"today|A17|1|v"};
}

void tst_write::writeRecord()
{
    QFETCH(QString, sql);
    QFETCH(QString, sn);
    QFETCH(Items, items);
    QFETCH(QString, tableName);
    QFETCH(QString, query);
    QFETCH(QStringList, rows);

    Snapshot s(sql.toStdString());
    QCOMPARE(s.error, std::string());
    StreamCapture out(std::cout);
    QVERIFY(s.controller.addData(record(sn.toStdString(), items, tableName.toStdString())));
    QCOMPARE(out.text(), std::string());
    QCOMPARE(s.rows(query.toStdString()), rows);
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
    QTest::addColumn<Items>("items");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("statement");
    QTest::newRow("insert, c1 and c2 missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER);" << a17Items() << "插入操作失败: "
        << "INSERT INTO '{today}' (send,SN,c1,c2) VALUES (1,'A17',5,'ok' );";
    QTest::newRow("update, c1 and c2 missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER); INSERT INTO \"{today}\" VALUES ('A17', 0);" << a17Items()
        << "更新操作失败: "
        << "UPDATE '{today}' SET send=1,c1 = 5,c2 = 'ok' WHERE SN = 'A17';";
    QTest::newRow("insert without items, send missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, c1 TEXT);" << Items() << "插入操作失败: "
        << "INSERT INTO '{today}' (send,SN) VALUES (1,'A17' );";
    QTest::newRow("update without items, send missing")
        << "CREATE TABLE \"{today}\"(sn TEXT, c1 TEXT); INSERT INTO \"{today}\" VALUES ('A17', 'x');" << Items()
        << "更新操作失败: "
        << "UPDATE '{today}' SET send=1 WHERE SN = 'A17';";
    QTest::newRow("today's table missing: the count fails")
        << "CREATE TABLE \"2024-01-01\"(sn TEXT, send INTEGER, c1 INTEGER, c2 TEXT);" << a17Items() << "查询操作失败: "
        << "SELECT COUNT(*) FROM '{today}' WHERE sn = 'A17'; ";

    // A column name that is no plain identifier stays one quoted name: the
    // write fails on that unknown column and nothing else runs.
    const QString withOther = "CREATE TABLE \"{today}\"(sn TEXT, send INTEGER, c1 TEXT);"
                              "CREATE TABLE other(sn TEXT); INSERT INTO other VALUES ('keep');";
    QTest::newRow("insert, column name closing the list to drop a table")
        << withOther << Items{item("c1) VALUES (1,'x','y'); DROP TABLE other; --", 0, 0.0, "v")} << "插入操作失败: "
        << "INSERT INTO '{today}' (send,SN,\"c1) VALUES (1,'x','y'); DROP TABLE other; --\") VALUES (1,'A17','v' );";
    QTest::newRow("update, column name closing the assignment to drop a table")
        << withOther + "INSERT INTO \"{today}\" VALUES ('A17', 0, 'a');"
        << Items{item("c1 = 'z' WHERE 1; DROP TABLE other; --", 0, 0.0, "v")} << "更新操作失败: "
        << "UPDATE '{today}' SET send=1,\"c1 = 'z' WHERE 1; DROP TABLE other; --\" = 'v' WHERE SN = 'A17';";
}

// Statements are not returned, so a write that fails is where they show:
// the message carries the exact statement after SQLite's error, and the
// snapshot is left as it was.
void tst_write::failedWriteShowsStatement()
{
    QFETCH(QString, sql);
    QFETCH(Items, items);
    QFETCH(QString, prefix);
    QFETCH(QString, statement);

    Snapshot s(sql.toStdString());
    QCOMPARE(s.error, std::string());
    const QByteArray before = fileBytes(snapshotFile());
    const std::string expectedStatement = forToday(statement.toStdString());
    const std::string sqliteError = errorOnCopy(expectedStatement);
    QVERIFY2(!sqliteError.empty(), "the statement was expected to fail");

    StreamCapture out(std::cout);
    QVERIFY(!s.controller.addData(record("A17", items)));
    const std::string shown = out.text();
    qInfo().noquote() << "addData wrote:" << QString::fromStdString(shown);
    QCOMPARE(shown, prefix.toStdString() + sqliteError + ";" + expectedStatement);
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

void tst_write::checkTable_data()
{
    QTest::addColumn<bool>("notADatabase");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("standardOutput");
    QTest::addColumn<QString>("standardError");
    QTest::newRow("identical") << false << "t"
                               << "CREATE TABLE t(sn TEXT, send INTEGER)"
                               << ""
                               << "";
    QTest::newRow("letter case only") << false << "t"
                                      << "create table T(SN text, Send integer)"
                                      << ""
                                      << "";
    QTest::newRow("one character differs") << false << "t"
                                           << "CREATE TABLE t(sn TEXT, send INT)"
                                           << "table 't' exist ,but not true 'CREATE TABLE t(sn TEXT, send INT)'\n"
                                           << "";
    QTest::newRow("extra blank") << false << "t"
                                 << "CREATE TABLE t(sn TEXT,  send INTEGER)"
                                 << "table 't' exist ,but not true 'CREATE TABLE t(sn TEXT,  send INTEGER)'\n"
                                 << "";
    QTest::newRow("expected text is the pattern") << false << "t"
                                                  << "CREATE TABLE _(%)"
                                                  << ""
                                                  << "";
    QTest::newRow("missing table") << false << "nosuch"
                                   << "CREATE TABLE nosuch(x)"
                                   << ""
                                   << "";
    QTest::newRow("file that is no database: the lookup cannot be prepared")
        << true << "t"
        << "CREATE TABLE t(x)"
        << ""
        << "无法准备查询: file is not a database\n";
}

void tst_write::checkTable()
{
    QFETCH(bool, notADatabase);
    QFETCH(QString, table);
    QFETCH(QString, expected);
    QFETCH(QString, standardOutput);
    QFETCH(QString, standardError);

    WorkDir dir;
    if (notADatabase)
        QVERIFY(writeFile("schema.db", QByteArray(4096, 'x')));
    else
        QCOMPARE(execSql("schema.db", "CREATE TABLE t(sn TEXT, send INTEGER);"), std::string());
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open("schema.db", &db), SQLITE_OK);
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    sqlController().checkTable(db, table.toStdString(), expected.toStdString());
    sqlite3_close(db);
    QCOMPARE(QString::fromStdString(out.text()), standardOutput);
    QCOMPARE(QString::fromStdString(err.text()), standardError);
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
        // One calendar day apart, whether the list steps by days or by 24
        // hours: the zone is UTC here.
        if (previous.isValid())
            QCOMPARE(previous.daysTo(day), qint64(1));
        previous = day;
    }
}

QTEST_GUILESS_MAIN(tst_write)
#include "tst_write.moc"
