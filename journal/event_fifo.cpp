#include "journal/event_fifo.h"

#include <algorithm>

#include "util/tick_count.h"

namespace kalvix {

TEventFIFO::TEventFIFO(int32_t capacity)
    : capacity_(std::max(capacity, kMinCapacity)), records_(static_cast<size_t>(capacity_)) {}

bool TEventFIFO::Push(std::string_view text) {
  return Push(text, Now(), TickCount() / 1000);
}

bool TEventFIFO::Push(std::string_view text, DateTime moment, uint32_t tickSeconds) {
  std::lock_guard<std::mutex> lock(pushMutex_);
  if (count_.load(std::memory_order_acquire) >= capacity_) return false;
  TEventFIFO_Rec& slot = records_[static_cast<size_t>(writePosition_)];
  slot.text.assign(text);
  slot.moment = moment;
  slot.tickSeconds = tickSeconds;
  writePosition_ = writePosition_ + 1 == capacity_ ? 0 : writePosition_ + 1;
  count_.fetch_add(1, std::memory_order_release);
  return true;
}

bool TEventFIFO::Pop(TEventFIFO_Rec& record) {
  std::lock_guard<std::mutex> lock(popMutex_);
  if (count_.load(std::memory_order_acquire) < 1) return false;
  TEventFIFO_Rec& slot = records_[static_cast<size_t>(readPosition_)];
  record.text.swap(slot.text);  // the slot's old text is overwritten by the next push anyway
  record.moment = slot.moment;
  record.tickSeconds = slot.tickSeconds;
  readPosition_ = readPosition_ + 1 == capacity_ ? 0 : readPosition_ + 1;
  count_.fetch_sub(1, std::memory_order_release);
  return true;
}

bool TEventFIFO::Pop(std::string& text, DateTime& moment, uint32_t& tickSeconds) {
  TEventFIFO_Rec record;
  if (!Pop(record)) return false;
  text = std::move(record.text);
  moment = record.moment;
  tickSeconds = record.tickSeconds;
  return true;
}

}  // namespace kalvix
