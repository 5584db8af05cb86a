#include "tools/plantsim/plant_layout.h"

namespace kalvix::plantsim {

namespace {

using D = DeviceId;
using K = PointKind;

// Sine helper: base, amplitude, period (s), phase (periods), noise.
Waveform Sine(double base, double amplitude, double periodS, double phase, double noise) {
  return Waveform{base, amplitude, periodS, phase, noise, 0};
}
Waveform Constant(double value) { return Waveform{value, 0, 600, 0, 0, 0}; }
Waveform Counter(double start, double ratePerS) { return Waveform{start, 0, 600, 0, 0, ratePerS}; }

// The default plant of db/default_plant.sql, row for row (the CALC rows have no device),
// with values in the raw ranges docs/DEFAULT_PLANT.md gives: the instruments' own units
// (4-20 mA transmitters, 10-bit analogue inputs of the V120, counters and rates in 0.1 t
// and 0.1 t/h), which the plant's calibrations turn into physical values.
std::vector<LayoutPoint> BuildDefaultLayout() {
  return {
      // JUMO 1: density loop; floats low word first (both flags set).
      {"PLS", D::kJumo1, 53, K::kFloat, true, true, Sine(12.0, 1.2, 900, 0.0, 0.05)},
      {"Y_VODA", D::kJumo1, 71, K::kFloat, true, true, Sine(40.0, 15.0, 600, 0.3, 0.5)},
      {"UR_SUSP", D::kJumo1, 40, K::kInt, false, false, Sine(600, 150, 1200, 0.1, 3)},
      {"_PLSZ", D::kJumo1, 8, K::kFloat, true, true, Constant(1.6)},
      // JUMO 2: flows and pressure; floats high word first.
      {"Q_SUSP", D::kJumo2, 53, K::kFloat, true, false, Sine(12.0, 1.5, 700, 0.5, 0.1)},
      {"Q_VODA", D::kJumo2, 71, K::kFloat, true, false, Sine(8.0, 1.5, 500, 0.7, 0.1)},
      {"P_GC", D::kJumo2, 73, K::kFloat, true, false, Sine(11.0, 1.5, 400, 0.2, 0.08)},
      {"UR_MAGN", D::kJumo2, 40, K::kInt, false, false, Sine(500, 150, 1500, 0.6, 4)},
      // V120: belt counters and minute tonnage (ML), currents and levels (MI), a bit (MB).
      {"G2", D::kV120, 20, K::kLong, false, false, Counter(1250000, 2000.0 / 3600)},
      {"G41", D::kV120, 21, K::kLong, false, false, Counter(830000, 1500.0 / 3600)},
      {"G_1T1", D::kV120, 22, K::kLong, false, false, Sine(57.5, 6, 300, 0.4, 1)},
      {"I_NAS1", D::kV120, 100, K::kInt, false, false, Sine(600, 80, 450, 0.0, 5)},
      {"I_NAS2", D::kV120, 101, K::kInt, false, false, Sine(500, 80, 520, 0.25, 5)},
      {"I_SEP", D::kV120, 102, K::kInt, false, false, Sine(400, 80, 380, 0.5, 3)},
      {"UR_BUNK", D::kV120, 103, K::kInt, false, false, Sine(600, 250, 1800, 0.8, 2)},
      {"F_PIT", D::kV120, 104, K::kInt, false, false, Sine(350, 80, 600, 0.15, 2)},
      {"PIT_ON", D::kV120, 10, K::kBit, false, false, Constant(1)},
      {"_TNZ", D::kV120, 110, K::kInt, false, false, Constant(350)},
      {"_TNK23", D::kV120, 111, K::kInt, false, false, Constant(0)},
      // BK-003 on feed belt 23: status byte (bit 1: belt running), counter in 0.1 t rising
      // with the mean rate of 350 t/h, rate in 0.1 t/h.
      {"BKK23", D::kBk003, kBkStatusOffset, K::kBit, false, false, Constant(0x02)},
      {"G23", D::kBk003, kBkCounterOffset, K::kLong, false, false, Counter(1000000, 3500.0 / 3600)},
      {"TNK23", D::kBk003, kBkRateOffset, K::kInt, false, false, Sine(3500, 400, 900, 0.35, 20)},
  };
}

}  // namespace

const std::vector<LayoutPoint>& DefaultPlantLayout() {
  static const std::vector<LayoutPoint> layout = BuildDefaultLayout();
  return layout;
}

}  // namespace kalvix::plantsim
