// The live value of one layout point: what the plant model says at a moment, unless a value
// has been pinned (written by the service, or set through a control command), which then
// holds until it is released.
//
// Not thread-safe: each point belongs to one simulated device, whose mutex guards it.
#ifndef KALVIX_TOOLS_PLANTSIM_PLANT_MODEL_H_
#define KALVIX_TOOLS_PLANTSIM_PLANT_MODEL_H_

#include <chrono>
#include <optional>
#include <random>

#include "tools/plantsim/plant_layout.h"

namespace kalvix::plantsim {

// Seconds of plant time: the steady clock since the simulator was built. Constant after
// construction, so any thread may read it.
class PlantClock {
 public:
  PlantClock() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  const std::chrono::steady_clock::time_point start_;
};

// The waveform without noise at plant time `seconds`.
double WaveValue(const Waveform& wave, double seconds);

class ModelPoint {
 public:
  explicit ModelPoint(LayoutPoint layout) : layout_(std::move(layout)) {}

  const LayoutPoint& Layout() const { return layout_; }

  // The pinned value, or the waveform at `seconds` with noise drawn from rng when
  // withNoise is set.
  double ValueAt(double seconds, std::mt19937& rng, bool withNoise) const;

  void Pin(double value) { pinned_ = value; }
  void Release() { pinned_.reset(); }
  bool Pinned() const { return pinned_.has_value(); }

 private:
  LayoutPoint layout_;
  std::optional<double> pinned_;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_PLANT_MODEL_H_
