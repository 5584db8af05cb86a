// DatabaseThread: the one thread ("kalvix-db") that serves the work connection: it runs the
// statement queue and answers the select queue, so no other thread waits on the server for
// them and the window stays live while the server stalls.
//
// It keeps the statement queue's pacing: at most kStatementsPerTick statements per interval
// (100 ms), in their order; a backlog drains at that rate and never faster. A statement that
// arrives while the queue is idle runs at once; one that arrives within an interval of the
// last batch waits for the interval's end. Every interval the thread also runs the retention
// check and looks at both queues. A SELECT is answered as soon as the thread sees it, after
// the statements that the pacing lets run in the same step, as the window's two timers ran
// them; it does not wait for a backlog the pacing holds back. Nothing is served while the work
// connection is down or Closing is set; a new session of it wakes the thread. With both queues
// empty and the session up, the interval's own step comes kIdleIntervals times less often.
//
// A stop ends every wait of the thread at once; a statement or query already on the server is
// waited for, which the connection's read time-out bounds, or the shutdown's deadline
// (Parts::interruptFd) when it comes first.
//
// Ownership: the state owner holds the thread beside the queues, the work connection, the
// Closing flag and the retention check, which must outlive it. Threads: Start, Stop, Wake and
// WaitStatementsDrained from any thread but the database thread itself; the queues wake the
// thread from any thread. Lock order: the thread's lock before a queue's; the queues call the
// wakeup with none of their locks held.
#ifndef KALVIX_PERSISTENCE_DATABASE_THREAD_H_
#define KALVIX_PERSISTENCE_DATABASE_THREAD_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "persistence/db_connection.h"
#include "persistence/retention.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"

namespace kalvix {

// The statement pacing: one batch of at most kStatementsPerTick per interval.
inline constexpr std::chrono::milliseconds kStatementInterval{100};
// While both queues are empty and the session is up, the thread's own step comes once per
// this many intervals.
inline constexpr int kIdleIntervals = 10;

class DatabaseThread {
 public:
  using Clock = std::chrono::steady_clock;

  struct Parts {
    SqlStatementQueue& statements;
    SqlSelectQueue& selects;
    DbConnection& work;
    const std::atomic<bool>& closing;
    RetentionCheck& retention;
    // The retention settings, read before every statement batch (the settings page may change
    // them while the service runs). Called on the database thread.
    std::function<RetentionPolicy()> policy;
    // While the work connection is wanted and has no session, the thread tries to reopen it
    // once per kReopenInterval and reports each failed attempt here (on the database thread).
    // Null: the thread never reopens it.
    std::function<void(const DbStatus&)> reopenFailed = nullptr;
    // Rows kept while the server was away: written back in what the pacing leaves of a batch
    // once the queue is empty. Null: none.
    SpoolKeeper* spool = nullptr;
    // Once readable, it ends every wait of the thread on the server (a connect, a statement's
    // answer) at once: the shutdown's bound on a server that does not answer. -1: none.
    int interruptFd = -1;
  };

  // The pause between two attempts to reopen the work connection.
  static constexpr std::chrono::milliseconds kReopenInterval{1000};

  // Installs the queues' wakeups and the work connection's after-connect task (a new session
  // wakes the thread); the thread starts with Start(). Construct it before any other thread
  // uses the work connection.
  explicit DatabaseThread(Parts parts, std::chrono::milliseconds interval = kStatementInterval);
  // Stops and joins the thread and removes the wakeups; no other thread may use the queues
  // or the work connection any more.
  ~DatabaseThread();
  DatabaseThread(const DatabaseThread&) = delete;
  DatabaseThread& operator=(const DatabaseThread&) = delete;

  // Starts the thread; nothing when it runs already or has been stopped.
  void Start();

  // Asks the thread to end and joins it. The thread leaves at once from any wait; a statement
  // or query already on the server is waited for (bounded by the connection's read time-out,
  // or by interruptFd turning readable).
  void Stop();

  // Waits until the statement queue is empty (true), or until the thread can serve it no
  // further: the work connection is down, Closing is set, the thread is not running, or
  // `deadline` has passed (false). Looks again after every step of the thread.
  bool WaitStatementsDrained(Clock::time_point deadline);

  // Looks at both queues now rather than at the next interval (a new session of the work
  // connection does this by itself). The pacing still holds.
  void Wake();

  // Between Start and the thread's end.
  bool Running() const;

 private:
  // Why the thread woke, taken under mutex_.
  struct Due {
    bool selects = false;
    bool statements = false;  // a batch with statements may run now
    bool tick = false;        // the interval's step: retention check and both queues
  };

  void Body();
  void Step(const Due& due);
  void TryReopen(Clock::time_point now);
  // Sleeps until there is something to do; false when asked to stop.
  bool WaitForWork(Due& due);
  void Notify(bool statement);
  bool CannotDrainLocked() const;

  const Parts parts_;
  const std::chrono::milliseconds interval_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;    // work arrived or a stop: the thread
  std::condition_variable served_;  // the thread finished a step: WaitStatementsDrained
  // Guarded by mutex_.
  bool stop_ = false;
  bool started_ = false;
  bool running_ = false;
  bool selectsWaiting_ = false;       // a request arrived (or more wait than one step serves)
  bool statementsWaiting_ = false;    // a statement arrived (or a backlog remains)
  Clock::time_point nextTick_;        // the next interval step
  Clock::time_point statementsFrom_;  // the pacing: no batch before this moment
  Clock::time_point nextReopen_;      // database thread only

  std::thread thread_;  // joined by Stop(); touched only by Start and Stop, under startStop_
  std::mutex startStop_;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DATABASE_THREAD_H_
