// The millisecond tick count: a 32-bit counter of the steady (monotonic) clock that wraps
// every 49.7 days. Differences are taken modulo 2^32, so they stay right across a wrap as
// long as the two readings are less than 49.7 days apart.
#ifndef KALVIX_UTIL_TICK_COUNT_H_
#define KALVIX_UTIL_TICK_COUNT_H_

#include <cstdint>

namespace kalvix {

// Milliseconds of the monotonic clock (time since boot on Linux), truncated to 32 bits.
uint32_t TickCount();

// Milliseconds from `earlier` to `later`, correct across one wrap of the counter.
constexpr uint32_t TicksBetween(uint32_t earlier, uint32_t later) { return later - earlier; }

}  // namespace kalvix

#endif  // KALVIX_UTIL_TICK_COUNT_H_
