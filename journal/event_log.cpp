#include "journal/event_log.h"

#include <atomic>

namespace kalvix {
namespace {

std::atomic<BeepFunction> gBeep{nullptr};

}  // namespace

TEventFIFO& EventQueue() {
  static TEventFIFO queue(kEventQueueCapacity);
  return queue;
}

void SetBeepFunction(BeepFunction beep) { gBeep.store(beep, std::memory_order_release); }

void Beep() {
  if (BeepFunction beep = gBeep.load(std::memory_order_acquire)) beep();
}

bool PostEvent(std::string_view text) {
  if (EventQueue().Push(text)) return true;
  Beep();
  return false;
}

bool PostEvent(const char* text) {
  if (text == nullptr) return false;
  return PostEvent(std::string_view(text));
}

}  // namespace kalvix
