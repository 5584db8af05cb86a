#include "persistence/sql_literal.h"

#include <cmath>

#include "util/number_format.h"

namespace kalvix {

std::string SqlFloat(double x) {
  if (!std::isfinite(x)) return "NULL";
  return FormatGeneral(x, '.');
}

std::string SqlText(std::string_view s) {
  if (s.empty()) return "NULL";
  std::string out;
  out.reserve(s.size() + 8);
  out += '\'';
  for (char c : s) {
    switch (c) {
      case '\'':
      case '\\':
      case '"':
        out += '\\';
        out += c;
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  out += '\'';
  return out;
}

std::string SqlString(std::string_view s) { return s.empty() ? "''" : SqlText(s); }

std::string SqlIdentifier(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '`';
  for (char c : name) {
    if (c == '`') out += '`';
    out += c;
  }
  out += '`';
  return out;
}

}  // namespace kalvix
