#include "dateText.h"

#include <QDate>

#include <iomanip>
#include <sstream>

namespace dateText {

namespace {

std::time_t (*currentClock)() = nullptr;
int (*zoneRule)(std::time_t) = nullptr;

std::string format(int year, int month, int day)
{
    std::ostringstream oss;
    oss << year << '-' << std::setw(2) << std::setfill('0') << month << '-' << std::setw(2) << std::setfill('0') << day;
    return oss.str();
}

QDate localCalendarDate(std::time_t moment)
{
    const std::time_t shifted = zoneRule ? moment + zoneRule(moment) : moment;
    const std::tm *local = zoneRule ? std::gmtime(&shifted) : std::localtime(&moment);
    return local ? QDate(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday) : QDate();
}

std::string format(const QDate &date)
{
    return date.isValid() ? format(date.year(), date.month(), date.day()) : std::string();
}

} // namespace

std::string localDate(std::time_t moment)
{
    return format(localCalendarDate(moment));
}

std::vector<std::string> consecutiveDates(std::time_t moment, int count)
{
    const QDate first = localCalendarDate(moment);
    std::vector<std::string> dates;
    for (int i = 0; i < count; ++i)
        dates.push_back(format(first.addDays(i)));
    return dates;
}

std::time_t now()
{
    return currentClock ? currentClock() : std::time(nullptr);
}

void useClock(std::time_t (*clock)())
{
    currentClock = clock;
}

void useZone(int (*utcOffset)(std::time_t))
{
    zoneRule = utcOffset;
}

} // namespace dateText
