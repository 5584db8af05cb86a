// The select queue: single-value SELECTs that the control thread asks for with SelectValue
// and that the database thread (persistence/database_thread.h) answers on the work connection
// in TimerMySQL_selectTimer as soon as it sees them.
//
// A request (TMySQL_select_item) is shared between the requester and the queue, so it lives
// as long as either still holds it and is freed exactly once, by whichever lets go last. All
// its fields are guarded by the queue's mutex. The answer is kept in the request itself and
// copied out by the requester when it wakes, so the server never writes into the requester's
// frame; a requester that stopped waiting marks the request abandoned, and the server then
// drops it unanswered (or drops the answer, if the query was already running).
//
// Threads: SelectValue from any thread but the one serving (it would wait for itself);
// TimerMySQL_selectTimer on one serving thread at a time (re-entry returns at once).
#ifndef KALVIX_PERSISTENCE_SQL_SELECT_QUEUE_H_
#define KALVIX_PERSISTENCE_SQL_SELECT_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "persistence/db_connection.h"
#include "persistence/db_value.h"
#include "persistence/sql_interfaces.h"
#include "plant/thread_flags.h"

namespace kalvix {

// 12 per serving step, as for statements.
inline constexpr int kSelectsPerTick = 12;

// One queued SELECT.
struct TMySQL_select_item {
  enum class State { kWaiting, kAnswered, kFailed };

  std::string sql;  // constant after construction; its one result column is named Rez
  // The rest is guarded by the mutex of the queue that holds the request.
  State state = State::kWaiting;
  bool abandoned = false;  // the requester stopped waiting
  DbValue result;          // the answer, valid in kAnswered
  std::condition_variable answered;
};

class SqlSelectQueue : public SelectSource {
 public:
  // How long SelectValue waits for its answer.
  static constexpr std::chrono::milliseconds kWait{5500};

  // stopRequest, when given, is the service's stop request: a waiting SelectValue gives up
  // the moment it is set, so a stopping control thread is never held for the whole wait.
  // It must outlive the queue.
  explicit SqlSelectQueue(const StopSignal* stopRequest = nullptr);
  SqlSelectQueue(const SqlSelectQueue&) = delete;
  SqlSelectQueue& operator=(const SqlSelectQueue&) = delete;

  // Queues sql (whose result column must be named Rez) and waits at most wait for the
  // answer. True: value is the first row's Rez (NULL when there is no row or the column is
  // NULL). False: no answer in time, the stop flag was raised, or the server refused the
  // query; value is untouched. An error while queueing or waiting posts
  // "*** SELECT error: " with the statement.
  bool SelectValue(std::string_view sql, DbValue& value, std::chrono::milliseconds wait);
  bool SelectValue(std::string_view sql, DbValue& value) override {
    return SelectValue(sql, value, kWait);
  }

  // Requests in the queue, abandoned ones included.
  size_t Count() const;

  // `wake` is called after every request appended, on the requesting thread, with no lock of
  // the queue held (the database thread's wakeup). It may be set at any time; clear it only
  // when no thread asks any more, since a call may have begun just before.
  void SetWakeup(std::function<void()> wake);

  // Answers up to limit requests from the head on the work connection; abandoned requests
  // are dropped without counting. A query the server refuses wakes its requester with a
  // failure at once; one that meets a lost connection stays at the head and the serving
  // stops. Returns how many requests were answered or failed. The one server only;
  // TimerMySQL_selectTimer is the normal caller.
  int Serve(DbConnection& work, int limit);

  bool TryEnterServer() { return !serverBusy_.exchange(true, std::memory_order_acq_rel); }
  void LeaveServer() { serverBusy_.store(false, std::memory_order_release); }

 private:
  const StopSignal* const stopRequest_;  // may be null
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<TMySQL_select_item>> requests_;  // guarded by mutex_
  std::atomic<bool> serverBusy_{false};
  std::function<void()> wake_;  // guarded by mutex_
};

// One step of the select server: returns at once (0) while closing is set,
// while the work connection is down or when re-entered; otherwise serves up to limit
// requests. Returns how many were answered or failed.
int TimerMySQL_selectTimer(SqlSelectQueue& queue, DbConnection& work,
                           const std::atomic<bool>& closing, int limit = kSelectsPerTick);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SQL_SELECT_QUEUE_H_
