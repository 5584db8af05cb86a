// A pause of a worker thread that ends the moment StopRequest is set, so a stop is seen at
// once wherever the thread sleeps.
#ifndef KALVIX_PLANT_STOP_PAUSE_H_
#define KALVIX_PLANT_STOP_PAUSE_H_

#include <cstdint>

#include "plant/control_state.h"

namespace kalvix {

// Sleeps ms milliseconds toward a fixed point of the steady clock, or until StopRequest is
// set. False when the stop cut it short (also when StopRequest was already set), true when
// the whole pause passed.
bool PauseUnlessStopped(const ControlState& state, uint32_t ms);

}  // namespace kalvix

#endif  // KALVIX_PLANT_STOP_PAUSE_H_
