// Numbers typed by the operator. Either decimal separator is accepted (a comma under a
// Russian locale, a point anywhere), with blanks around the number; everything else - empty
// text, letters, a second separator, a value outside the type - is refused.
#ifndef KALVIX_APP_OPERATOR_INPUT_H_
#define KALVIX_APP_OPERATOR_INPUT_H_

#include <cstdint>
#include <string_view>

namespace kalvix {

// A finite decimal number, optionally signed, with at most one separator and an optional
// exponent ("1,5", "-0.25", "2e3").
bool ParseOperatorNumber(std::string_view text, double& value);

// A whole number in the 32-bit signed range, optionally signed.
bool ParseOperatorInteger(std::string_view text, int32_t& value);

// The text without the blanks and tabs around it.
std::string_view TrimBlanks(std::string_view text);

}  // namespace kalvix

#endif  // KALVIX_APP_OPERATOR_INPUT_H_
