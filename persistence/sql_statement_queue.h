// The statement queue: INSERT, UPDATE and DELETE statements that any thread hands over with
// QueueStatement and that the database thread (persistence/database_thread.h) runs on the
// work connection in TimerMySQL_workTimer, in the order they were queued, at most twelve per
// 100 ms.
//
// Ownership: the service's state owner holds the queue, the work connection, the Closing flag
// and the retention check, and passes them to the server. Threads: QueueStatement from any
// thread; TimerMySQL_workTimer on one serving thread at a time (a second caller while one runs
// returns at once).
#ifndef KALVIX_PERSISTENCE_SQL_STATEMENT_QUEUE_H_
#define KALVIX_PERSISTENCE_SQL_STATEMENT_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "persistence/db_connection.h"
#include "persistence/retention.h"
#include "persistence/sql_interfaces.h"

namespace kalvix {

class RetentionCheck;

// 12 per 100 ms tick: a backlog drains at 120 per second, and the server and whatever else
// uses it keep room while it does.
inline constexpr int kStatementsPerTick = 12;

class SqlStatementQueue : public StatementSink {
 public:
  // A statement is refused when more than this many are waiting, so at most 101 wait.
  static constexpr size_t kMaxWaiting = 100;
  // A statement under which the connection broke this many times in a row is given up: it
  // is most likely the statement itself that breaks it (one that outlasts the read time-out),
  // and keeping it would block every statement behind it for good.
  static constexpr int kMaxLostAttempts = 3;

  SqlStatementQueue() = default;
  SqlStatementQueue(const SqlStatementQueue&) = delete;
  SqlStatementQueue& operator=(const SqlStatementQueue&) = delete;

  // Appends a statement. False when more than kMaxWaiting are waiting (the statement is lost
  // without a message) or when appending failed (the beep sounds).
  bool QueueStatement(std::string_view sql) override;

  // The keeping of rows that must not be lost: keeper receives them, and serverDown says
  // whether the server is out of reach now (QueueKept refuses then; a connection closed on
  // purpose is no outage: its statements wait here, as every statement does). A null keeper
  // turns keeping off: QueueKept then behaves as QueueStatement and Keeper() gives null.
  void SetKeeping(RowKeeper* keeper, std::function<bool()> serverDown);
  RowKeeper* Keeper() override;
  bool QueueKept(std::string_view sql, std::function<void()> lost) override;

  // Gives up every statement still waiting that must not be lost (their `lost` runs here) and
  // leaves the rest; at the end of the service, once the queue is served no more.
  void GiveUpKept();

  size_t Count() const;
  // Statements refused because the queue was full, over the life of the queue.
  uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }

  // `wake` is called after every statement appended, on the appending thread, with no lock of
  // the queue held (the database thread's wakeup). It may be set at any time; clear it only
  // when no thread appends any more, since a call may have begun just before.
  void SetWakeup(std::function<void()> wake);

  // Runs up to limit statements from the head on the work connection and returns how many
  // left the queue. A statement the server rejects is reported ("*** SQL error: " with the
  // statement, then the server's reason) and dropped. A statement that meets a lost
  // connection stays at the head and the serving stops; the connection is then marked down.
  // One given up after kMaxLostAttempts lost connections runs its `lost`.
  // The one server only; TimerMySQL_workTimer is the normal caller.
  int Serve(DbConnection& work, int limit);

  // The re-entry flag of the timer handler.
  bool TryEnterServer() { return !serverBusy_.exchange(true, std::memory_order_acq_rel); }
  void LeaveServer() { serverBusy_.store(false, std::memory_order_release); }

 private:
  struct Item {
    std::string sql;
    std::function<void()> lost;  // empty for a statement that may be lost
  };

  bool Append(std::string_view sql, std::function<void()> lost);
  bool Front(std::string& sql) const;
  // Removes the head and gives its `lost` back.
  std::function<void()> PopFront();

  mutable std::mutex mutex_;
  std::deque<Item> statements_;       // guarded by mutex_
  RowKeeper* keeper_ = nullptr;       // guarded by mutex_
  std::function<bool()> serverDown_;  // guarded by mutex_
  int headLostAttempts_ = 0;          // guarded by mutex_; lost connections under the head
  std::atomic<bool> serverBusy_{false};
  std::atomic<uint64_t> refused_{0};
  std::function<void()> wake_;  // guarded by mutex_
};

// One 100 ms step of the statement server: returns at once (0) while closing is set,
// while the work connection is down or when re-entered; otherwise serves up to limit
// statements and then runs the retention check with the policy (the settings' AutoCleanFlag and
// DatabaseSize). Returns how many statements left the queue. The database thread passes 0 as
// limit for a retention check alone, while its pacing holds the statements back; the
// benchmark lifts limit.
int TimerMySQL_workTimer(SqlStatementQueue& queue, DbConnection& work,
                         const std::atomic<bool>& closing, RetentionCheck& retention,
                         const RetentionPolicy& policy, int limit = kStatementsPerTick);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SQL_STATEMENT_QUEUE_H_
