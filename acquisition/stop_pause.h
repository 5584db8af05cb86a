// A pause of a worker thread that ends early when StopRequest is set, so a stop is seen
// within one slice (50 ms) wherever the thread sleeps.
#ifndef KALVIX_ACQUISITION_STOP_PAUSE_H_
#define KALVIX_ACQUISITION_STOP_PAUSE_H_

#include <cstdint>

#include "acquisition/control_state.h"

namespace kalvix {

inline constexpr uint32_t kStopPauseSliceMs = 50;

// Sleeps ms milliseconds toward a fixed point of the steady clock, in slices of at most
// kStopPauseSliceMs, testing StopRequest before each. False when the stop cut it short
// (also when StopRequest was already set), true when the whole pause passed.
bool PauseUnlessStopped(const ControlState& state, uint32_t ms);

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_STOP_PAUSE_H_
