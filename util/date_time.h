// Date-time values as the plant's database and log files see them: local date and time held
// as a double counting days since 1899-12-30, the fraction being the time of day. Values
// compare numerically; one second is 1/86400.
#ifndef KALVIX_UTIL_DATE_TIME_H_
#define KALVIX_UTIL_DATE_TIME_H_

#include <chrono>
#include <string>
#include <string_view>

namespace kalvix {

using DateTime = double;

inline constexpr double kSecondsPerDay = 86400.0;
inline constexpr double kMillisecondsPerDay = 86400000.0;

// The parts of a date-time, as on a wall clock.
struct DateTimeParts {
  int year = 1899;
  int month = 12;  // 1..12
  int day = 30;    // 1..31
  int hour = 0;    // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The current local date and time, to the millisecond.
DateTime Now();

// Parts to value and back. DecodeDateTime rounds to the nearest millisecond; a value outside
// the years 1 to 9999, NaN or infinite decodes as day 0 (1899-12-30 00:00).
DateTime EncodeDateTime(const DateTimeParts& parts);
DateTimeParts DecodeDateTime(DateTime value);

// Conversions to and from the system clock through the local time zone.
DateTime FromTimePoint(std::chrono::system_clock::time_point tp);
std::chrono::system_clock::time_point ToTimePoint(DateTime value);

// Formats a value with a pattern: yyyy (year), yy (two-digit year), mm (month), dd (day),
// hh (hour 00-23), nn (minutes), ss (seconds), zzz (milliseconds), ':' the time separator.
// Pattern letters are matched regardless of case; text in double or single quotes and every
// other character are copied as they stand.
std::string FormatDateTime(std::string_view pattern, DateTime value);

}  // namespace kalvix

#endif  // KALVIX_UTIL_DATE_TIME_H_
