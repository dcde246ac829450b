#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

using namespace testsupport;

namespace {

const char *const day = "2024-03-05";

// One day table with a unit recorded once, one recorded twice, two rows
// without serial number and one stored with a quote; plus a second day whose
// name holds a single quote.
const char *const fixture = "CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a TEXT, b TEXT);"
                            "INSERT INTO \"2024-03-05\" VALUES"
                            " ('X1', 1, NULL, '7'),"
                            " ('D2', 1, 'p', 'q'),"
                            " ('E0', 0, 'e', 'f'),"
                            " ('D2', 0, 'r', NULL),"
                            " ('', 1, 'e1', 'e2'),"
                            " ('', 0, 'e3', 'e4'),"
                            " ('O''Neil', 1, '中文', 'o');"
                            "CREATE TABLE \"day's\"(sn TEXT, send INTEGER, a TEXT);"
                            "INSERT INTO \"day's\" VALUES ('Q1', 1, 'v');";

QStringList itemsOf(const sqlDataStruct &record)
{
    QStringList items;
    for (const ColumnItem &item : record.columns)
        items << QString::fromStdString(item.columnName) + '=' + QString::fromStdString(item.columnValue);
    return items;
}

} // namespace

class tst_lookup : public QObject {
    Q_OBJECT
private slots:
    void lookup_data();
    void lookup();
    void checktSnAnswersZero_data();
    void checktSnAnswersZero();
};

void tst_lookup::lookup_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("resultSn");
    QTest::addColumn<QString>("resultTable");
    QTest::addColumn<QString>("error");

    const QStringList none;
    QTest::newRow("one match") << "X1" << day << QStringList({"sn=X1", "send=1", "a=NULL", "b=7"}) << "X1" << day << "";
    QTest::newRow("two matches, first row first")
        << "D2" << day << QStringList({"sn=D2", "send=1", "a=p", "b=q", "sn=D2", "send=0", "a=r", "b=NULL"}) << "D2"
        << day << "";
    QTest::newRow("no match") << "Z9" << day << none << "Z9" << day << "";
    QTest::newRow("empty serial number") << "" << day
                                         << QStringList(
                                                {"sn=", "send=1", "a=e1", "b=e2", "sn=", "send=0", "a=e3", "b=e4"})
                                         << "" << day << "";
    QTest::newRow("blank before") << " X1" << day << none << " X1" << day << "";
    QTest::newRow("blank after") << "X1 " << day << none << "X1 " << day << "";
    QTest::newRow("letter case") << "x1" << day << none << "x1" << day << "";
    QTest::newRow("quote stored in the serial number")
        << "O'Neil" << day << QStringList({"sn=O'Neil", "send=1", "a=中文", "b=o"}) << "O'Neil" << day << "";
    QTest::newRow("quote in the table name") << "Q1"
                                             << "day's" << QStringList({"sn=Q1", "send=1", "a=v"}) << "Q1"
                                             << "day's"
                                             << "";
    QTest::newRow("missing table") << "X1"
                                   << "2024-01-01" << none << ""
                                   << ""
                                   << "no such table: 2024-01-01";

    // Quotes that were not doubled would close the literal and let the rest
    // run as further statements through sqlite3_exec.
    const QString dropDay = "x'; DROP TABLE \"2024-03-05\"; --";
    QTest::newRow("serial number closing its quote to drop the day") << dropDay << day << none << dropDay << day << "";
    const QString dropOther = "x' ; DROP TABLE \"day's\"; SELECT '";
    QTest::newRow("serial number closing its quote to drop another day")
        << dropOther << day << none << dropOther << day << "";
    const QString tableDropsOther = "2024-03-05' ; DROP TABLE \"day's\"; --";
    QTest::newRow("table name closing its quote to drop another day") << "X1" << tableDropsOther << none << ""
                                                                      << ""
                                                                      << "no such table: " + tableDropsOther;
}

// A lookup never changes the snapshot, and a failed one leaves the
// connection answering the next.
void tst_lookup::lookup()
{
    QFETCH(QString, sn);
    QFETCH(QString, table);
    QFETCH(QStringList, items);
    QFETCH(QString, resultSn);
    QFETCH(QString, resultTable);
    QFETCH(QString, error);

    ControllerFixture f(fixture);
    QCOMPARE(f.error, std::string());
    const QByteArray snapshot = fileBytes(snapshotFile());
    StreamCapture err(std::cerr);
    const sqlDataStruct record = f.controller.selectData(sn.toStdString(), table.toStdString());

    QCOMPARE(itemsOf(record), items);
    QCOMPARE(QString::fromStdString(record.sn), resultSn);
    QCOMPARE(QString::fromStdString(record.tableName), resultTable);
    for (const ColumnItem &item : record.columns) {
        QCOMPARE(item.intValue, 0);
        QCOMPARE(item.doubleValue, 0.0);
    }
    QCOMPARE(fileBytes(snapshotFile()), snapshot);
    QCOMPARE(itemsOf(f.controller.selectData("Q1", "day's")), QStringList({"sn=Q1", "send=1", "a=v"}));
    const std::string expectedError = error.isEmpty() ? "" : "Failed to execute query: " + error.toStdString() + "\n";
    QCOMPARE(err.text(), expectedError);
    QVERIFY(f.close());
}

void tst_lookup::checktSnAnswersZero_data()
{
    QTest::addColumn<QString>("sn");
    QTest::newRow("empty") << "";
    QTest::newRow("known serial number") << "X1";
    QTest::newRow("unknown serial number") << "Z9";
    QTest::newRow("statement text") << "x'; DROP TABLE \"2024-03-05\"; --";
}

void tst_lookup::checktSnAnswersZero()
{
    QFETCH(QString, sn);
    ControllerFixture f(fixture);
    QCOMPARE(f.error, std::string());
    const QByteArray before = fileBytes(snapshotFile());
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    QCOMPARE(f.controller.checktSn(sn.toStdString()), 0);
    QCOMPARE(fileBytes(snapshotFile()), before);
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
    QVERIFY(f.close());
}

QTEST_GUILESS_MAIN(tst_lookup)
#include "tst_lookup.moc"
