// The signal layout the simulated plant serves: which value lives where in which device, and
// how it moves over time. It mirrors the service's signal table (device, address, value kind,
// byte and word order flags), so a layout row and a `signal` row can be compared line by
// line, and adds the waveform the simulated plant gives the value.
//
// Where a point lives, by device:
//   jumo1, jumo2  Modbus holding registers: kind INT is one 16-bit register at `address`;
//                 every other kind is an IEEE-754 single in the two registers from `address`,
//                 in the order the two flags give (see RegisterOrderFromFlags).
//   v120          operand memory: INT is MI `address`, LONG is ML `address`, BIT is MB
//                 `address`. FLOAT has no operand in this controller and is not served.
//   bk003         `address` is the byte offset in the 14-byte answer: 1 the status byte,
//                 4 the 32-bit counter, 8 the 16-bit rate.
#ifndef KALVIX_TOOLS_PLANTSIM_PLANT_LAYOUT_H_
#define KALVIX_TOOLS_PLANTSIM_PLANT_LAYOUT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/plantsim/device_id.h"

namespace kalvix::plantsim {

// Value kinds, numbered as in the service's signal table.
enum class PointKind { kInt = 0, kFloat = 1, kLong = 2, kBit = 3 };

// A value that drifts around `base`: a slow sine plus uniform noise, or, with a non-zero
// rate, a ramp that rises without end (a counter). An all-zero waveform is a constant 0,
// which suits set-points that only the service writes.
struct Waveform {
  double base = 0;
  double amplitude = 0;  // of the sine
  double periodS = 600;  // of the sine, seconds
  double phase = 0;      // of the sine, in periods (0..1), so points do not move in step
  double noise = 0;      // peak of the uniform noise added to each reading
  double ratePerS = 0;   // a counter's rise per second; the sine and noise are then unused
};

struct LayoutPoint {
  std::string name;  // the signal name; "_" marks a set-point that the service writes
  DeviceId device = DeviceId::kJumo1;
  uint16_t address = 0;
  PointKind kind = PointKind::kFloat;
  bool inverseBytes = true;
  bool inverseWords = false;
  Waveform wave;
};

// BK-003 answer offsets (the `address` of a bk003 point).
inline constexpr uint16_t kBkStatusOffset = 1;
inline constexpr uint16_t kBkCounterOffset = 4;
inline constexpr uint16_t kBkRateOffset = 8;

// The default plant: the layout the service's default signal table describes.
const std::vector<LayoutPoint>& DefaultPlantLayout();

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_PLANT_LAYOUT_H_
