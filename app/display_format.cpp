#include "app/display_format.h"

#include <cmath>
#include <cstdio>

#include "util/number_format.h"

namespace kalvix {

std::string FormatFixed(double x, int maxDecimals) {
  if (!std::isfinite(x)) return FormatGeneral(x);
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", maxDecimals, x);
  std::string text(buffer);
  const size_t point = text.find('.');
  if (point != std::string::npos) {
    size_t end = text.find_last_not_of('0');
    if (end == point) --end;
    text.erase(end + 1);
    if (text.size() > point) text[point] = DisplayDecimalSeparator();
  }
  if (text == "-0") text = "0";
  return text;
}

std::string FormatWorkTime(DateTime elapsed) {
  if (!(elapsed > 0)) elapsed = 0;
  const auto totalSeconds =
      static_cast<int64_t>(std::floor(elapsed * kSecondsPerDay + 0.0005));
  const int64_t days = totalSeconds / 86400;
  const int64_t rest = totalSeconds % 86400;
  char buffer[64];
  const int h = static_cast<int>(rest / 3600), n = static_cast<int>(rest / 60 % 60),
            s = static_cast<int>(rest % 60);
  if (days == 0) {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, n, s);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02lld %02d:%02d:%02d", static_cast<long long>(days),
                  h, n, s);
  }
  return buffer;
}

int TrayIconIndex(bool controlActive, int32_t cycleCounter) {
  if (!controlActive) return 0;
  return cycleCounter % 2 == 0 ? 1 : 2;
}

}  // namespace kalvix
