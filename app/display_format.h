// The texts of the status display and the value grids.
#ifndef KALVIX_APP_DISPLAY_FORMAT_H_
#define KALVIX_APP_DISPLAY_FORMAT_H_

#include <cstdint>
#include <string>

#include "util/date_time.h"

namespace kalvix {

// x with at most maxDecimals decimals, trailing zeros dropped, no thousands separator, the
// display's decimal separator ("########0.###" is maxDecimals 3, "####0.##" 2). NaN and
// infinities give "NAN", "INF", "-INF".
std::string FormatFixed(double x, int maxDecimals);

// The control thread's running time: "hh:nn:ss" under a day, otherwise the whole days in two
// digits, a blank and "hh:nn:ss" ("01 02:03:04").
std::string FormatWorkTime(DateTime elapsed);

// The tray icon: 0 while acquisition is stopped; 1 and 2 alternating with the cycles.
int TrayIconIndex(bool controlActive, int32_t cycleCounter);

inline constexpr const char* kTrayHintActive = "Служба приема KALVIX.\r\nПоток контроля активен.";
inline constexpr const char* kTrayHintStopped = "Служба приема KALVIX.\r\nКонтроль остановлен.";

}  // namespace kalvix

#endif  // KALVIX_APP_DISPLAY_FORMAT_H_
