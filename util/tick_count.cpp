#include "util/tick_count.h"

#include <chrono>

namespace kalvix {

uint32_t TickCount() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

}  // namespace kalvix
