// The entry procedure every acquisition thread runs around its body (the control thread and
// the three pollers): one copy at a time, no exception leaves the thread, and the running
// flag is the only sign that the thread runs.
//
// Threads: called on the new thread itself, first thing. The flag is claimed by an atomic
// exchange, so of two copies started at once exactly one runs and the other returns at once.
#ifndef KALVIX_PLANT_THREAD_ENTRY_H_
#define KALVIX_PLANT_THREAD_ENTRY_H_

#include <functional>

#include "plant/thread_flags.h"

namespace kalvix {

// Thread names as `top -H` and a debugger show them (at most 15 characters).
inline constexpr const char* kThreadNameControl = "kalvix-control";
inline constexpr const char* kThreadNameJumo = "kalvix-jumo";
inline constexpr const char* kThreadNameV120 = "kalvix-v120";
inline constexpr const char* kThreadNameBk003 = "kalvix-bk003";
inline constexpr const char* kThreadNameDatabase = "kalvix-db";  // persistence/database_thread.h

// Returns 0 at once when runningFlag is already set. Otherwise sets it, names the calling
// thread, runs body and clears the flag: 1 when body returned, 0 when an exception left it
// (the exception is caught here and goes no further).
int RunThreadEntry(RunningFlag& runningFlag, const char* threadName,
                   const std::function<void()>& body);

}  // namespace kalvix

#endif  // KALVIX_PLANT_THREAD_ENTRY_H_
