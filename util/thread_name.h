// Thread names, as `top -H`, `ps -L` and a debugger show them, so a stack dump tells which
// poller is which.
#ifndef KALVIX_UTIL_THREAD_NAME_H_
#define KALVIX_UTIL_THREAD_NAME_H_

#include <string_view>

namespace kalvix {

// The kernel keeps at most 15 characters of a thread's name.
inline constexpr size_t kMaxThreadNameLength = 15;

// Names the calling thread; a longer name is cut to kMaxThreadNameLength characters.
void SetThreadName(std::string_view name);

}  // namespace kalvix

#endif  // KALVIX_UTIL_THREAD_NAME_H_
