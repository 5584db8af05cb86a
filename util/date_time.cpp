#include "util/date_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "util/ascii_case.h"

namespace kalvix {
namespace {

// Day 0 of the date-time value, 1899-12-30, counted from 1970-01-01.
constexpr long long kEpochOffsetDays = -25569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

void AppendNumber(std::string& out, int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  out += buf;
}

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view token) {
  return EqualsIgnoringAsciiCase(text.substr(pos, token.size()), token);
}

}  // namespace

DateTime EncodeDateTime(const DateTimeParts& p) {
  const long long days = DaysFromCivil(p.year, static_cast<unsigned>(p.month),
                                       static_cast<unsigned>(p.day)) -
                         kEpochOffsetDays;
  const double ms = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond;
  return static_cast<double>(days) + ms / kMillisecondsPerDay;
}

DateTimeParts DecodeDateTime(DateTime value) {
  DateTimeParts parts;
  // Beyond year 9999 (or before year 1) there is no wall-clock reading to give.
  constexpr double kMaxDays = 2958466.0;
  constexpr double kMinDays = -693593.0;
  if (!std::isfinite(value) || value >= kMaxDays || value < kMinDays) return parts;
  long long totalMs = std::llround(value * kMillisecondsPerDay);
  long long days = totalMs / 86400000;
  long long msOfDay = totalMs % 86400000;
  if (msOfDay < 0) {
    msOfDay += 86400000;
    days -= 1;
  }
  CivilFromDays(days + kEpochOffsetDays, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(msOfDay / 3600000);
  parts.minute = static_cast<int>(msOfDay / 60000 % 60);
  parts.second = static_cast<int>(msOfDay / 1000 % 60);
  parts.millisecond = static_cast<int>(msOfDay % 1000);
  return parts;
}

DateTime FromTimePoint(std::chrono::system_clock::time_point tp) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(tp.time_since_epoch()).count();
  long long secs = ms / 1000;
  long long msPart = ms % 1000;
  if (msPart < 0) {
    msPart += 1000;
    secs -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm local{};
  localtime_r(&t, &local);
  DateTimeParts parts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min,         local.tm_sec,     static_cast<int>(msPart)};
  return EncodeDateTime(parts);
}

std::chrono::system_clock::time_point ToTimePoint(DateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  std::tm local{};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;  // let the time zone rules decide
  const std::time_t t = std::mktime(&local);
  return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(p.millisecond);
}

DateTime Now() { return FromTimePoint(std::chrono::system_clock::now()); }

std::string FormatDateTime(std::string_view pattern, DateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  std::string out;
  out.reserve(pattern.size() + 8);
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const size_t end = pattern.find(c, i + 1);
      const size_t stop = end == std::string_view::npos ? pattern.size() : end;
      out.append(pattern.substr(i + 1, stop - i - 1));
      i = stop == pattern.size() ? stop : stop + 1;
    } else if (StartsWithNoCase(pattern, i, "yyyy")) {
      AppendNumber(out, p.year, 4);
      i += 4;
    } else if (StartsWithNoCase(pattern, i, "yy")) {
      AppendNumber(out, p.year % 100, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "mm")) {
      AppendNumber(out, p.month, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "dd")) {
      AppendNumber(out, p.day, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "hh")) {
      AppendNumber(out, p.hour, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "nn")) {
      AppendNumber(out, p.minute, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "ss")) {
      AppendNumber(out, p.second, 2);
      i += 2;
    } else if (StartsWithNoCase(pattern, i, "zzz")) {
      AppendNumber(out, p.millisecond, 3);
      i += 3;
    } else {
      out += c;  // ':' is the time separator, which is ':' here
      ++i;
    }
  }
  return out;
}

}  // namespace kalvix
