// The simulated V120: a Vision controller answering the ASCII command protocol on its own
// line, over an operand memory of bits (MB), 16-bit integers (MI) and 32-bit integers (ML).
// The layout's points live in that memory and carry the plant model's values; every other
// operand holds what was last written (0 at start).
//
// Request:  "/" unit(2 hex) command checksum(2 hex) CR
// Reply:    "/A" unit(2 hex) code(2) data checksum(2 hex) CR
// The checksum is the sum of the characters between the leading "/" or "/A" and the
// checksum, modulo 256, in upper-case hexadecimal. The reply echoes the command's first two
// letters: RNL is answered with "RN", SNL with "SN".
//
//   RB aaaa cc           reply data: cc characters "0"/"1"
//   RW aaaa cc           reply data: cc groups of 4 hex digits
//   RNL aaaa cc          reply data: cc groups of 8 hex digits
//   SB aaaa cc b...      cc characters "0"/"1"; reply without data
//   SW aaaa cc hhhh...   cc groups of exactly 4 hex digits
//   SNL aaaa cc h8...    cc groups of exactly 8 hex digits
// (aaaa = address, 4 hex digits; cc = count, 2 hex digits)
//
// A request for another unit gets no reply. A request for this unit that cannot be served
// gets the error reply "/A" unit "ER" code checksum CR, with these codes:
//   01 checksum wrong      02 unknown command
//   03 malformed fields (length, count 0, not hexadecimal)      04 address out of range
//
// Thread-safe: the V120 line thread serves requests while others set values.
#ifndef KALVIX_TOOLS_PLANTSIM_V120_CONTROLLER_H_
#define KALVIX_TOOLS_PLANTSIM_V120_CONTROLLER_H_

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/plantsim/line_responder.h"
#include "tools/plantsim/plant_model.h"
#include "tools/plantsim/write_log.h"

namespace kalvix::plantsim {

enum class VisionArea { kMB, kMI, kML };

// Sizes of the simulated operand memory.
inline constexpr uint32_t kV120BitCount = 4096;
inline constexpr uint32_t kV120IntCount = 2048;
inline constexpr uint32_t kV120LongCount = 256;
// Longest request line accepted; longer runs without CR are dropped as noise.
inline constexpr size_t kV120MaxRequest = 1000;

// "MB", "MI", "ML"; and back (letter case ignored).
std::string_view VisionAreaName(VisionArea area);
std::optional<VisionArea> VisionAreaFromName(std::string_view name);

// Sum of the character codes modulo 256 as two upper-case hexadecimal digits.
std::string VisionChecksum(std::string_view text);

class V120Controller : public LineResponder {
 public:
  // `clock` and `writes` must outlive the controller.
  V120Controller(uint8_t unit, const std::vector<LayoutPoint>& layout, const PlantClock& clock,
                 WriteLog& writes, uint32_t seed, bool noise);

  uint32_t FrameGapMs() const override { return 0; }
  size_t RequestLength(std::span<const uint8_t> pending, bool idle) const override;
  std::optional<DeviceId> Addressee(std::span<const uint8_t> request) const override;
  std::optional<DeviceReply> Serve(std::span<const uint8_t> request) override;

  // Pins the point at the operand, or stores the value in plain memory. False for an
  // address outside the memory or a value that does not fit the operand.
  bool SetValue(VisionArea area, uint32_t address, double value);
  // Returns the point at the operand to the model; false when no point is there.
  bool Release(VisionArea area, uint32_t address);
  void ReleaseAll();
  std::optional<double> Value(VisionArea area, uint32_t address);

 private:
  struct Point {
    ModelPoint model;
    VisionArea area;
  };

  std::string Execute(std::string_view command, std::string* code);  // mutex_ held
  std::string ReadOperands(VisionArea area, uint32_t address, uint32_t count) const;
  std::string WriteOperands(VisionArea area, uint32_t address, uint32_t count,
                            std::string_view data);
  void Refresh();
  void Store(VisionArea area, uint32_t address, double value);
  double Load(VisionArea area, uint32_t address) const;
  Point* PointAt(VisionArea area, uint32_t address);
  DeviceReply Reply(std::string_view code, std::string_view data) const;

  // Constant after construction.
  const uint8_t unit_;
  const std::string unitHex_;
  const PlantClock& clock_;
  WriteLog& writes_;
  const bool noise_;

  std::mutex mutex_;
  std::vector<Point> points_;    // guarded by mutex_
  std::vector<uint8_t> bits_;    // guarded by mutex_
  std::vector<uint16_t> ints_;   // guarded by mutex_
  std::vector<uint32_t> longs_;  // guarded by mutex_
  std::mt19937 rng_;             // guarded by mutex_
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_V120_CONTROLLER_H_
