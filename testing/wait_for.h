// Waiting in a test for something another thread or process brings about, with a limit, so
// that a test never depends on an exact sleep.
#ifndef KALVIX_TESTING_WAIT_FOR_H_
#define KALVIX_TESTING_WAIT_FOR_H_

#include <chrono>
#include <functional>

namespace kalvix {

// Asks done() every `every` until it holds or `limit` has passed; true when it held (it is
// asked once more at the limit).
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
             std::chrono::milliseconds every = std::chrono::milliseconds(100));

}  // namespace kalvix

#endif  // KALVIX_TESTING_WAIT_FOR_H_
