// The version both programs print (--version), the window's caption carries and the metrics
// show. The Debian package takes the same number from the project's version in CMake.
#ifndef KALVIX_APP_PROGRAM_VERSION_H_
#define KALVIX_APP_PROGRAM_VERSION_H_

namespace kalvix {

inline constexpr const char* kProgramVersion = "1.20";

}  // namespace kalvix

#endif  // KALVIX_APP_PROGRAM_VERSION_H_
