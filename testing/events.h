// The process's event queue seen from a test: what the code under test posted.
#ifndef KALVIX_TESTING_EVENTS_H_
#define KALVIX_TESTING_EVENTS_H_

#include <string>
#include <vector>

namespace kalvix {

// Empties the process's event queue and returns what it held, oldest first.
std::vector<std::string> DrainEvents();

}  // namespace kalvix

#endif  // KALVIX_TESTING_EVENTS_H_
