// Faults of a simulated device, switched on and off while the simulator runs, and how they
// bend a reply on its way to the line:
//   silent    the device ignores requests (it does not even apply writes);
//   noise N   N stray bytes go out before the reply (never a byte that starts a frame of
//             the line, so the noise does not pass for a reply);
//   corrupt   the reply's checksum is wrong (the BK-003 sends none: its counter's most
//             significant byte is damaged instead, which the service cannot notice);
//   truncate N  the last N bytes of the reply are not sent;
//   slow MS   the reply leaves MS milliseconds later than the device's usual turnaround.
// Faults combine. FaultBoard holds the current set of every device and is thread-safe.
#ifndef KALVIX_TOOLS_PLANTSIM_FAULT_SET_H_
#define KALVIX_TOOLS_PLANTSIM_FAULT_SET_H_

#include <array>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tools/plantsim/device_id.h"

namespace kalvix::plantsim {

struct FaultSet {
  bool silent = false;
  uint32_t noiseBytes = 0;
  bool corruptChecksum = false;
  uint32_t truncateBytes = 0;
  uint32_t delayMs = 0;

  bool operator==(const FaultSet&) const = default;
};

// "none", or the active faults: "silent, noise 20, corrupt, truncate 1, slow 300".
std::string DescribeFaults(const FaultSet& faults);

// How a reply frame carries its checksum.
enum class ChecksumForm {
  kNone,     // no checksum (BK-003)
  kBinary,   // bytes (the Modbus CRC)
  kHexText,  // upper-case hexadecimal digits (Vision)
};

// A reply as its device built it, with what the faults need to know about its frame.
struct DeviceReply {
  DeviceId device = DeviceId::kJumo1;
  std::vector<uint8_t> bytes;
  ChecksumForm checksumForm = ChecksumForm::kNone;
  size_t checksumAt = 0;               // first checksum byte
  size_t checksumLength = 0;           // of the checksum, in bytes
  std::vector<uint8_t> noiseExcluded;  // bytes that would start or end a frame on this line
};

// The bytes that go out for `reply` under `faults` (silence and delay are the line's
// business and are not applied here). Noise bytes are drawn from rng.
std::vector<uint8_t> ApplyFaults(const DeviceReply& reply, const FaultSet& faults,
                                 std::mt19937& rng);

class FaultBoard {
 public:
  FaultSet Get(DeviceId device) const;
  void Set(DeviceId device, const FaultSet& faults);

 private:
  mutable std::mutex mutex_;
  std::array<FaultSet, kDeviceCount> faults_{};  // guarded by mutex_
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_FAULT_SET_H_
