#include "acquisition/thread_entry.h"

#include <pthread.h>

namespace kalvix {

int RunThreadEntry(std::atomic<bool>& runningFlag, const char* threadName,
                   const std::function<void()>& body) {
  if (runningFlag.exchange(true, std::memory_order_acq_rel)) return 0;
  // A name longer than the kernel allows is refused; the thread then keeps its old name.
  pthread_setname_np(pthread_self(), threadName);
  int result = 1;
  try {
    body();
  } catch (...) {
    result = 0;
  }
  runningFlag.store(false, std::memory_order_release);
  return result;
}

}  // namespace kalvix
