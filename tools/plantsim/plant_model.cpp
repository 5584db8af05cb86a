#include "tools/plantsim/plant_model.h"

#include <cmath>
#include <numbers>

namespace kalvix::plantsim {

double WaveValue(const Waveform& wave, double seconds) {
  if (wave.ratePerS != 0) return wave.base + wave.ratePerS * seconds;
  if (wave.amplitude == 0 || wave.periodS <= 0) return wave.base;
  const double turns = seconds / wave.periodS + wave.phase;
  return wave.base + wave.amplitude * std::sin(2 * std::numbers::pi * turns);
}

double ModelPoint::ValueAt(double seconds, std::mt19937& rng, bool withNoise) const {
  if (pinned_) return *pinned_;
  double value = WaveValue(layout_.wave, seconds);
  if (withNoise && layout_.wave.noise > 0 && layout_.wave.ratePerS == 0) {
    std::uniform_real_distribution<double> noise(-layout_.wave.noise, layout_.wave.noise);
    value += noise(rng);
  }
  return value;
}

}  // namespace kalvix::plantsim
