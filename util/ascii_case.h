// Comparing names the way the plant's settings files, databases and process lists do: the
// letters a to z match regardless of case, every other byte (Cyrillic included) exactly.
#ifndef KALVIX_UTIL_ASCII_CASE_H_
#define KALVIX_UTIL_ASCII_CASE_H_

#include <string_view>

namespace kalvix {

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace kalvix

#endif  // KALVIX_UTIL_ASCII_CASE_H_
