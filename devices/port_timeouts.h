// PortTimeouts: the five time-outs of a serial line, in milliseconds, and the per-port file
// a site writes by hand to tune one line.
//
// Meaning (the one the instrument links were designed against):
//  - a read of n bytes ends when n bytes have arrived, when more than readInterval ms pass
//    between two bytes after the first one, or when readMultiplier * n + readConstant ms
//    have passed, whichever comes first; it may deliver 0 bytes, which is not an error;
//  - a write of n bytes may take writeMultiplier * n + writeConstant ms.
// Special values, as the serial API the links were designed against gives them:
//  - readInterval 0 means no gap limit; a zero multiplier and constant mean no overall limit;
//  - readInterval 0xFFFFFFFF with a zero read multiplier and constant: a read returns at
//    once with whatever has arrived, possibly nothing;
//  - readInterval and readMultiplier 0xFFFFFFFF with 0 < readConstant < 0xFFFFFFFF: a read
//    returns at once with whatever has arrived; when nothing has, it waits at most
//    readConstant ms for the first byte and returns as soon as one comes, with what came.
// Whatever the values say, no read, write or drain waits longer than kMaxPortWaitMs.
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

// 0xFFFFFFFF (MAXDWORD), the value that selects the special read modes above.
inline constexpr uint32_t kReturnImmediately = 0xFFFFFFFFu;

// The longest one read, write or drain may wait, whatever a site's time-out file says (and
// also where the values mean "no limit"). The control thread counts a module as silent after
// 5 s without an answer, so one call must stay well inside that, and a stop must never wait
// on a file's 2^32 ms; 2 s still takes a 14-byte answer at 110 bit/s (about 1.3 s), the
// slowest speed a link accepts.
inline constexpr int64_t kMaxPortWaitMs = 2000;

// The file that tunes a port: the last component of the port name followed by "SET.INI", in
// the working folder. "COM5" uses COM5SET.INI, "/dev/ttyUSB0" ttyUSB0SET.INI.
std::filesystem::path PortTimeoutsFile(const std::filesystem::path& workDir,
                                       std::string_view portName);

// Reads section [timeouts] of that file (keys RInterval, RMult, RConst, WMult, WConst,
// found regardless of case). Each value is a decimal number from 0 to 4294967295; a missing
// file, section or key, and any other value (words, negative numbers, numbers beyond 32
// bits), yields the default of that key. A negative value is not taken as its 32-bit
// pattern: -1 would otherwise become the 0xFFFFFFFF of the special modes.
PortTimeouts ReadPortTimeouts(const std::filesystem::path& workDir, std::string_view portName);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_PORT_TIMEOUTS_H_
