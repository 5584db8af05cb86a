#include "util/number_format.h"

#include <langinfo.h>
#include <locale.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kalvix {

std::string FormatGeneral(double x, char decimalSeparator) {
  if (std::isnan(x)) return "NAN";
  if (std::isinf(x)) return x > 0 ? "INF" : "-INF";
  if (x == 0) return "0";

  // 15 significant digits: d.dddddddddddddde[+-]xx
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", x);
  std::string text(buf);
  const bool negative = text[0] == '-';
  if (negative) text.erase(0, 1);
  const size_t ePos = text.find('e');
  const int exponent = std::atoi(text.c_str() + ePos + 1);
  std::string digits = text.substr(0, 1) + text.substr(2, ePos - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  if (exponent < -5 || exponent >= 15) {
    out += digits[0];
    if (digits.size() > 1) {
      out += decimalSeparator;
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(exponent);
  } else if (exponent >= 0) {
    const size_t intLen = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= intLen) {
      out += digits;
      out.append(intLen - digits.size(), '0');
    } else {
      out.append(digits, 0, intLen);
      out += decimalSeparator;
      out.append(digits, intLen);
    }
  } else {
    out += '0';
    out += decimalSeparator;
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

char DisplayDecimalSeparator() {
  static const char separator = [] {
    char sep = '.';
    if (locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0))) {
      const char* radix = nl_langinfo_l(RADIXCHAR, loc);
      if (radix != nullptr && radix[0] != '\0' && radix[1] == '\0') sep = radix[0];
      freelocale(loc);
    }
    return sep;
  }();
  return separator;
}

std::string FormatDisplay(double x) { return FormatGeneral(x, DisplayDecimalSeparator()); }

}  // namespace kalvix
