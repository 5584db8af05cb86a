#include "app/operator_input.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <string>

namespace kalvix {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool ParseOperatorNumber(std::string_view text, double& value) {
  text = TrimBlanks(text);
  // Checked by hand first: from_chars would take "inf", "nan" and hexadecimal forms.
  std::string normal;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') normal += '-';
    ++i;
  }
  int digits = 0;
  bool separator = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      ++digits;
      normal += c;
    } else if ((c == '.' || c == ',') && !separator) {
      separator = true;
      normal += '.';
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    normal += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) normal += text[i++];
    int exponentDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++exponentDigits) normal += text[i];
    if (exponentDigits == 0) return false;
  }
  if (i != text.size()) return false;
  double parsed = 0;
  const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), parsed);
  if (ec != std::errc() || end != normal.data() + normal.size() || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

bool ParseOperatorInteger(std::string_view text, int32_t& value) {
  text = TrimBlanks(text);
  // from_chars takes a '-' but no '+'; a sign must be followed by a digit.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || !IsDigit(text.front())) return false;
  }
  if (text.empty()) return false;
  int32_t parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = parsed;
  return true;
}

}  // namespace kalvix
