#include "testing/wait_for.h"

#include <thread>

namespace kalvix {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
             std::chrono::milliseconds every) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(every);
  }
  return done();
}

}  // namespace kalvix
