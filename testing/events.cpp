#include "testing/events.h"

#include "journal/event_log.h"

namespace kalvix {

std::vector<std::string> DrainEvents() {
  std::vector<std::string> events;
  TEventFIFO_Rec record;
  while (EventQueue().Pop(record)) events.push_back(record.text);
  return events;
}

}  // namespace kalvix
