#include "persistence/db_value.h"

#include <charconv>

#include "util/number_format.h"

namespace kalvix {
namespace {

bool ParseNumber(std::string text, double& out) {
  // Leading and trailing blanks are allowed; a comma stands for the point, as operators
  // and the plant's older programs write either.
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  const size_t last = text.find_last_not_of(" \t");
  text = text.substr(first, last - first + 1);
  for (char& c : text) {
    if (c == ',') c = '.';
  }
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return false;
  out = value;
  return true;
}

}  // namespace

bool DbToNumber(const DbValue& v, double& out) {
  if (const auto* i = std::get_if<int64_t>(&v)) {
    out = static_cast<double>(*i);
    return true;
  }
  if (const auto* d = std::get_if<double>(&v)) {
    out = *d;
    return true;
  }
  if (const auto* t = std::get_if<DbDateTime>(&v)) {
    out = t->value;
    return true;
  }
  if (const auto* s = std::get_if<std::string>(&v)) return ParseNumber(*s, out);
  return false;
}

double DbNumberOr(const DbValue& v, double fallback) {
  double out = fallback;
  return DbToNumber(v, out) ? out : fallback;
}

std::string DbToText(const DbValue& v) {
  if (DbIsNull(v)) return "NULL";
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return FormatGeneral(*d, '.');
  if (const auto* t = std::get_if<DbDateTime>(&v)) {
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", t->value);
  }
  return std::get<std::string>(v);
}

}  // namespace kalvix
