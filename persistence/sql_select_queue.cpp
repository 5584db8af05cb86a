#include "persistence/sql_select_queue.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "journal/event_log.h"
#include "persistence/sql_literal.h"

namespace kalvix {

SqlSelectQueue::SqlSelectQueue(const StopSignal* stopRequest) : stopRequest_(stopRequest) {}

void SqlSelectQueue::SetWakeup(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

size_t SqlSelectQueue::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool SqlSelectQueue::SelectValue(std::string_view sql, DbValue& value,
                                 std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  try {
    auto request = std::make_shared<TMySQL_select_item>();
    request->sql = std::string(sql);
    const Clock::time_point deadline = Clock::now() + wait;
    const auto stopped = [this] {
      return stopRequest_ != nullptr && stopRequest_->load(std::memory_order_acquire);
    };
    // A stop wakes the wait; the wakeup takes the queue's lock, so it is registered before
    // the lock is taken and removed after it is let go (declared first, destroyed last).
    std::optional<StopWakeup> stopWakeup;
    if (stopRequest_ != nullptr) {
      stopWakeup.emplace(*stopRequest_, [this, request] {
        std::lock_guard<std::mutex> wake(mutex_);
        request->answered.notify_all();
      });
    }

    std::unique_lock<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (wake_) {
      // The wakeup takes the server's lock, and the server takes the queue's lock while it
      // holds its own: wake it without ours. An answer that comes meanwhile is seen by the
      // wait's condition.
      const std::function<void()> wake = wake_;
      lock.unlock();
      wake();
      lock.lock();
    }
    request->answered.wait_until(lock, deadline, [&] {
      return request->state != TMySQL_select_item::State::kWaiting || stopped();
    });
    switch (request->state) {
      case TMySQL_select_item::State::kAnswered:
        value = request->result;
        return true;
      case TMySQL_select_item::State::kFailed:
        return false;
      case TMySQL_select_item::State::kWaiting:
        // Still queued (or being run): the server drops it when it gets there.
        request->abandoned = true;
        return false;
    }
    return false;
  } catch (const std::exception&) {
    PostEvent("*** SELECT error: " + SqlText(sql));
    return false;
  }
}

int SqlSelectQueue::Serve(DbConnection& work, int limit) {
  int done = 0;
  while (done < limit) {
    std::shared_ptr<TMySQL_select_item> request;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Abandoned requests at the head go without counting.
      while (!requests_.empty() && requests_.front()->abandoned) requests_.pop_front();
      if (requests_.empty()) break;
      request = requests_.front();
    }
    // The query runs without the lock; only this server removes requests, so the request
    // stays at the head meanwhile. sql is constant, so reading it needs no lock.
    DbValue answer;
    const DbStatus status = work.QueryValue(request->sql, "Rez", answer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (status.ConnectionDown()) {
      // Kept for the reconnection, unless its requester has given up meanwhile.
      if (request->abandoned) requests_.pop_front();
      break;
    }
    requests_.pop_front();
    ++done;
    if (request->abandoned) continue;  // nobody is waiting for the answer
    if (status.ok()) {
      request->result = std::move(answer);
      request->state = TMySQL_select_item::State::kAnswered;
    } else {
      request->state = TMySQL_select_item::State::kFailed;
    }
    request->answered.notify_one();
  }
  return done;
}

int TimerMySQL_selectTimer(SqlSelectQueue& queue, DbConnection& work,
                           const std::atomic<bool>& closing, int limit) {
  if (closing.load(std::memory_order_acquire) || !work.Connected()) return 0;
  if (!queue.TryEnterServer()) return 0;
  int done = 0;
  try {
    done = queue.Serve(work, limit);
  } catch (const std::exception&) {
    Beep();
  }
  queue.LeaveServer();
  return done;
}

}  // namespace kalvix
