// The pass counters of the three pollers, for the status display. Each poller zeroes its own
// counters when it starts and increments them with fetch_add; the window thread reads them.
// The state owner holds one PollerCounters for the life of the process.
#ifndef KALVIX_PLANT_POLLER_COUNTERS_H_
#define KALVIX_PLANT_POLLER_COUNTERS_H_

#include <atomic>
#include <cstdint>

namespace kalvix {

struct PollerCounters {
  std::atomic<int32_t> JumoCycleCounter{0};  // JUMO passes since the poller started
  std::atomic<int32_t> V120CycleCounter{0};  // V120 passes since the poller started
  std::atomic<int32_t> BkCycleCounter{0};    // BK-003 passes since the poller started
  std::atomic<int32_t> BkFailCount{0};       // BK-003 failures since the poller started
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_POLLER_COUNTERS_H_
