#pragma once

#include <ctime>
#include <string>
#include <vector>

// Date texts name the day tables: the local calendar date as year, "-",
// two-digit month, "-", two-digit day (2024-03-05).
namespace dateText {

std::string localDate(std::time_t moment);

// `count` consecutive calendar days, the first being the local date of
// `moment`. Counted in days, not in steps of 24 hours, so that a change to or
// from daylight-saving time neither repeats nor skips a date.
std::vector<std::string> consecutiveDates(std::time_t moment, int count);

// The current moment in whole seconds, from the system clock unless a test
// has put another clock in its place (nullptr puts the system clock back).
std::time_t now();
void useClock(std::time_t (*clock)());

// Local time is the C library's, in the process's time zone, unless a zone
// rule is put in its place: the offset from UTC in seconds at a moment
// (nullptr puts the C library back). A rule needs no time-zone data and no
// TZ, which the C runtime on Windows reads without daylight-saving rules.
void useZone(int (*utcOffset)(std::time_t moment));

} // namespace dateText
