#include "acquisition/thread_entry.h"

#include <pthread.h>

namespace kalvix {

int RunThreadEntry(RunningFlag& runningFlag, const char* threadName,
                   const std::function<void()>& body) {
  if (runningFlag.exchange(true)) return 0;
  // A name longer than the kernel allows is refused; the thread then keeps its old name.
  pthread_setname_np(pthread_self(), threadName);
  int result = 1;
  try {
    body();
  } catch (...) {
    result = 0;
  }
  runningFlag.store(false);  // wakes whoever waits for this thread to leave
  return result;
}

}  // namespace kalvix
