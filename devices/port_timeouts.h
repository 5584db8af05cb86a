// PortTimeouts: the five time-outs of a serial line, in milliseconds, and the per-port file
// a site writes by hand to tune one line.
//
// Meaning (the one the instrument links were designed against):
//  - a read of n bytes ends when n bytes have arrived, when more than readInterval ms pass
//    between two bytes after the first one, or when readMultiplier * n + readConstant ms
//    have passed, whichever comes first; it may deliver 0 bytes, which is not an error;
//  - a write of n bytes may take writeMultiplier * n + writeConstant ms.
// Special values: readInterval 0 means no gap limit; a zero multiplier and constant mean no
// overall limit; readInterval 0xFFFFFFFF with a zero read multiplier and constant makes a
// read return at once with whatever has arrived.
#ifndef KALVIX_DEVICES_PORT_TIMEOUTS_H_
#define KALVIX_DEVICES_PORT_TIMEOUTS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kalvix {

struct PortTimeouts {
  uint32_t readInterval = 10;    // RInterval
  uint32_t readMultiplier = 7;   // RMult
  uint32_t readConstant = 40;    // RConst
  uint32_t writeMultiplier = 7;  // WMult
  uint32_t writeConstant = 30;   // WConst

  bool operator==(const PortTimeouts&) const = default;
};

// The defaults: a one-byte read waits at most 7 + 40 = 47 ms.
inline constexpr PortTimeouts kDefaultPortTimeouts{};

inline constexpr uint32_t kReturnImmediately = 0xFFFFFFFFu;

// The file that tunes a port: the last component of the port name followed by "SET.INI", in
// the working folder. "COM5" uses COM5SET.INI, "/dev/ttyUSB0" ttyUSB0SET.INI.
std::filesystem::path PortTimeoutsFile(const std::filesystem::path& workDir,
                                       std::string_view portName);

// Reads section [timeouts] of that file (keys RInterval, RMult, RConst, WMult, WConst,
// found regardless of case). A missing file, section or key, or a value that is not a
// 32-bit integer, yields the default; a negative value is taken as its 32-bit unsigned
// pattern, as the platform the files were written for did (-1 is 0xFFFFFFFF).
PortTimeouts ReadPortTimeouts(const std::filesystem::path& workDir, std::string_view portName);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_PORT_TIMEOUTS_H_
