// TEventFIFO: the fixed-capacity ring that carries event messages from any thread to the
// window thread, which writes them into the daily log file.
//
// Threads: any number of producers may call Push at once (they are serialised by a mutex);
// Pop is meant for one consumer, and consumers are serialised too. A producer and the
// consumer work on the ring at the same time without a common lock: the producer fills its
// slot completely before it publishes it by incrementing the count, and the consumer copies
// a slot completely before it frees it by decrementing the count.
#ifndef KALVIX_JOURNAL_EVENT_FIFO_H_
#define KALVIX_JOURNAL_EVENT_FIFO_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/date_time.h"

namespace kalvix {

// One queued message.
struct TEventFIFO_Rec {
  std::string text;
  DateTime moment = 0;        // local date and time of posting
  uint32_t tickSeconds = 0;   // millisecond tick count at posting / 1000
};

class TEventFIFO {
 public:
  static constexpr int32_t kMinCapacity = 10;

  // A requested capacity below 10 is raised to 10. The ring is allocated here, once.
  explicit TEventFIFO(int32_t capacity);
  TEventFIFO(const TEventFIFO&) = delete;
  TEventFIFO& operator=(const TEventFIFO&) = delete;

  // Stores one record stamped with the current moment and tick count. False, with nothing
  // stored, when the ring is full.
  bool Push(std::string_view text);
  // Stores one record with the given stamps.
  bool Push(std::string_view text, DateTime moment, uint32_t tickSeconds);

  // Removes the oldest record. False when none is waiting.
  bool Pop(std::string& text, DateTime& moment, uint32_t& tickSeconds);
  bool Pop(TEventFIFO_Rec& record);

  int32_t Count() const { return count_.load(std::memory_order_acquire); }
  int32_t Capacity() const { return capacity_; }

 private:
  const int32_t capacity_;
  std::vector<TEventFIFO_Rec> records_;  // capacity_ slots
  std::atomic<int32_t> count_{0};        // records waiting; only fetch_add / fetch_sub

  std::mutex pushMutex_;
  int32_t writePosition_ = 0;  // guarded by pushMutex_

  std::mutex popMutex_;
  int32_t readPosition_ = 0;  // guarded by popMutex_
};

}  // namespace kalvix

#endif  // KALVIX_JOURNAL_EVENT_FIFO_H_
