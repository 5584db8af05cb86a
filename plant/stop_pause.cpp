#include "plant/stop_pause.h"

#include <chrono>

namespace kalvix {

bool PauseUnlessStopped(const ControlState& state, uint32_t ms) {
  return !state.StopRequest.WaitFor(std::chrono::milliseconds(ms));
}

}  // namespace kalvix
