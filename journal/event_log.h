// The process-wide event queue and PostEvent, the one way every thread reports what happens.
//
// The queue is the only process-wide mutable object of the service: it exists from the first
// call of EventQueue() or PostEvent() (main calls EventQueue() before anything else) to the
// end of the process, so a message can be posted from the first moment of start-up.
#ifndef KALVIX_JOURNAL_EVENT_LOG_H_
#define KALVIX_JOURNAL_EVENT_LOG_H_

#include <string>
#include <string_view>

#include "journal/event_fifo.h"

namespace kalvix {

inline constexpr int32_t kEventQueueCapacity = 400;

// The event queue of the process (capacity 400).
TEventFIFO& EventQueue();

// Posts a message. False when text is null (nothing queued, no beep) or the queue is full
// (the message is lost and the beep callback, if any, sounds). Never blocks on disk or UI.
bool PostEvent(const char* text);
bool PostEvent(std::string_view text);

// The "simple beep" sounded when a message is lost or an operation wants attention. The
// window sets one; headless there is none. Safe to call from any thread.
using BeepFunction = void (*)();
void SetBeepFunction(BeepFunction beep);
void Beep();

}  // namespace kalvix

#endif  // KALVIX_JOURNAL_EVENT_LOG_H_
