#include "dateText.h"
#include "sqlControler.h"
#include "testsupport.h"

#include <QDateTime>
#include <QtTest>

#include <ctime>

using namespace testsupport;

namespace {

// Europe/Berlin's rules written out, so that no time-zone database is needed.
const QByteArray berlin = "CET-1CEST,M3.5.0,M10.5.0/3";

// The same rules as a zone rule: summer time (UTC+2) from 01:00 UTC on the
// last Sunday of March to 01:00 UTC on the last Sunday of October, else
// UTC+1.
std::time_t lastSundayOneAm(int year, int month)
{
    QDate day(year, month, QDate(year, month, 1).daysInMonth());
    day = day.addDays(-(day.dayOfWeek() % 7));
    return std::time_t(QDateTime(day, QTime(1, 0), Qt::UTC).toSecsSinceEpoch());
}

int berlinOffset(std::time_t moment)
{
    const int year = QDateTime::fromSecsSinceEpoch(qint64(moment), Qt::UTC).date().year();
    const bool summer = moment >= lastSundayOneAm(year, 3) && moment < lastSundayOneAm(year, 10);
    return summer ? 7200 : 3600;
}

// Where a row names no rule, local time comes from TZ.
enum class Zone { FromTz, BerlinRule };

std::time_t utc(const QString &when)
{
    return std::time_t(QDateTime::fromString(when, Qt::ISODate).toSecsSinceEpoch());
}

QStringList toList(const std::vector<std::string> &texts)
{
    QStringList list;
    for (const std::string &text : texts)
        list << QString::fromStdString(text);
    return list;
}

QStringList daysFrom(const QDate &first, int count)
{
    QStringList days;
    for (int i = 0; i < count; ++i)
        days << first.addDays(i).toString(QStringLiteral("yyyy-MM-dd"));
    return days;
}

// A clock that stands a second before midnight when first asked, and at
// midnight ever after: a call of the controller that runs across midnight.
std::time_t beforeMidnight = 0;
int clockReadings = 0;
std::time_t midnightClock()
{
    return beforeMidnight + (clockReadings++ == 0 ? 0 : 1);
}

std::time_t fixedMoment = 0;
std::time_t fixedClock()
{
    return fixedMoment;
}

struct SystemClockAgain {
    ~SystemClockAgain()
    {
        dateText::useClock(nullptr);
        dateText::useZone(nullptr);
    }
};

} // namespace

Q_DECLARE_METATYPE(Zone)

class tst_dates : public QObject {
    Q_OBJECT
private slots:
    void consecutiveCalendarDays_data();
    void consecutiveCalendarDays();
    void futureDatesStartToday();
    void writeAcrossMidnightStaysInOneDay_data();
    void writeAcrossMidnightStaysInOneDay();
};

void tst_dates::consecutiveCalendarDays_data()
{
    QTest::addColumn<Zone>("zone");
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<QString>("moment");
    QTest::addColumn<QDate>("first");
    for (const Zone zone : {Zone::BerlinRule, Zone::FromTz}) {
        const char *how = zone == Zone::BerlinRule ? "zone rule" : "TZ";
        // 00:30 CEST; 24 hours later the clocks have gone back, and it is
        // 23:30 on the same date.
        QTest::addRow("Berlin (%s), 00:30 on the day summer time ends", how)
            << zone << berlin << "2026-10-24T22:30:00Z" << QDate(2026, 10, 25);
        // 23:30 CET; 24 hours later the clocks have gone forward, and it is
        // 00:30 two dates on.
        QTest::addRow("Berlin (%s), 23:30 on the eve of summer time", how)
            << zone << berlin << "2026-03-28T22:30:00Z" << QDate(2026, 3, 28);
    }
    QTest::newRow("UTC, last second of a year")
        << Zone::FromTz << QByteArray("UTC0") << "2026-12-31T23:59:59Z" << QDate(2026, 12, 31);
    QTest::newRow("UTC, into a leap day")
        << Zone::FromTz << QByteArray("UTC0") << "2028-02-27T12:00:00Z" << QDate(2028, 2, 27);
    // Local time is ahead of UTC here: the local date is already the next.
    QTest::newRow("Shanghai, local morning of the next day")
        << Zone::FromTz << QByteArray("CST-8") << "2026-12-09T17:30:00Z" << QDate(2026, 12, 10);
}

// Thirty consecutive calendar days from the local date of the moment, in
// any zone and across any change of the clocks.
void tst_dates::consecutiveCalendarDays()
{
    QFETCH(Zone, zone);
    QFETCH(QByteArray, tz);
    QFETCH(QString, moment);
    QFETCH(QDate, first);
#ifdef Q_OS_WIN
    if (zone == Zone::FromTz && tz.contains(','))
        QSKIP("the C runtime here reads no daylight-saving rules from TZ; the zone rule's rows cover these moments");
#endif
    SystemClockAgain restore;
    const ProcessTimeZone local(tz);
    if (zone == Zone::BerlinRule)
        dateText::useZone(berlinOffset);
    const std::time_t when = utc(moment);
    QCOMPARE(QString::fromStdString(dateText::localDate(when)), first.toString(QStringLiteral("yyyy-MM-dd")));
    QCOMPARE(toList(dateText::consecutiveDates(when, 30)), daysFrom(first, 30));
}

// The controller's list is that, from the moment it is asked.
void tst_dates::futureDatesStartToday()
{
    SystemClockAgain restore;
    fixedMoment = utc(QStringLiteral("2026-10-24T22:30:00Z"));
    dateText::useClock(fixedClock);
    dateText::useZone(berlinOffset);
    sqlController controller;
    QCOMPARE(controller.getCurrentDate(), std::string("2026-10-25"));
    QCOMPARE(toList(controller.getFutureDates()), daysFrom(QDate(2026, 10, 25), 30));
}

void tst_dates::writeAcrossMidnightStaysInOneDay_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QStringList>("firstDay");
    QTest::addColumn<QStringList>("nextDay");
    QTest::newRow("known serial number: updated in the day that was counted")
        << "A17" << QStringList{"A17|1|5"} << QStringList{"B2|0|2"};
    QTest::newRow("new serial number: inserted into the day that was counted")
        << "N1" << QStringList({"A17|0|1", "N1|1|5"}) << QStringList{"B2|0|2"};
}

// A write that starts a second before midnight counts the serial number in
// one day's table; it must write into that same table.
void tst_dates::writeAcrossMidnightStaysInOneDay()
{
    QFETCH(QString, sn);
    QFETCH(QStringList, firstDay);
    QFETCH(QStringList, nextDay);
    const ProcessTimeZone local("UTC0");
    ControllerFixture db("CREATE TABLE \"2026-12-10\"(sn TEXT, send INTEGER, c1 INTEGER);"
                         "INSERT INTO \"2026-12-10\" VALUES ('A17', 0, 1);"
                         "CREATE TABLE \"2026-12-11\"(sn TEXT, send INTEGER, c1 INTEGER);"
                         "INSERT INTO \"2026-12-11\" VALUES ('B2', 0, 2);");
    QCOMPARE(db.error, std::string());

    SystemClockAgain restore;
    beforeMidnight = utc(QStringLiteral("2026-12-10T23:59:59Z"));
    clockReadings = 0;
    dateText::useClock(midnightClock);
    ColumnItem c1;
    c1.columnName = "c1";
    c1.intValue = 5;
    sqlDataStruct record;
    record.sn = sn.toStdString();
    record.columns = {c1};
    StreamCapture out(std::cout);
    QVERIFY(db.controller.addData(record));
    QCOMPARE(out.text(), std::string());

    QCOMPARE(queryRows(snapshotFile(), "SELECT * FROM \"2026-12-10\" ORDER BY rowid"), firstDay);
    QCOMPARE(queryRows(snapshotFile(), "SELECT * FROM \"2026-12-11\" ORDER BY rowid"), nextDay);
    QVERIFY(db.close());
}

QTEST_GUILESS_MAIN(tst_dates)
#include "tst_dates.moc"
