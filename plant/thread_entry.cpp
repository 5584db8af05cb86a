#include "plant/thread_entry.h"

#include "util/thread_name.h"

namespace kalvix {

int RunThreadEntry(RunningFlag& runningFlag, const char* threadName,
                   const std::function<void()>& body) {
  if (runningFlag.exchange(true)) return 0;
  SetThreadName(threadName);
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
