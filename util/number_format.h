// The general number format of messages, displays and SQL literals: the shortest text that
// holds the value to 15 significant digits, fixed notation for exponents -5..14 and
// scientific notation ("1.5E-7", "1E20") outside them.
#ifndef KALVIX_UTIL_NUMBER_FORMAT_H_
#define KALVIX_UTIL_NUMBER_FORMAT_H_

#include <string>

namespace kalvix {

// x in the general format with the given decimal separator. NaN gives "NAN", infinities
// "INF" and "-INF"; negative zero gives "0".
std::string FormatGeneral(double x, char decimalSeparator = '.');

// The decimal separator of the environment's LC_NUMERIC (a comma under ru_RU, a point under
// C), read once. The process locale itself is left alone, so C library conversions elsewhere
// keep the point.
char DisplayDecimalSeparator();

// FormatGeneral with the display separator: for messages and the window.
std::string FormatDisplay(double x);

}  // namespace kalvix

#endif  // KALVIX_UTIL_NUMBER_FORMAT_H_
