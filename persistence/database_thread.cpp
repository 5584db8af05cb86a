#include "persistence/database_thread.h"

#include "journal/event_log.h"
#include "persistence/server_wait.h"
#include "plant/thread_entry.h"
#include "util/thread_name.h"

namespace kalvix {

DatabaseThread::DatabaseThread(Parts parts, std::chrono::milliseconds interval)
    : parts_(std::move(parts)), interval_(interval) {
  parts_.statements.SetWakeup([this] { Notify(true); });
  parts_.selects.SetWakeup([this] { Notify(false); });
  // What waited while the connection was down runs as soon as a new session opens.
  parts_.work.SetAfterConnect([this] { Wake(); });
}

DatabaseThread::~DatabaseThread() {
  Stop();
  parts_.statements.SetWakeup(nullptr);
  parts_.selects.SetWakeup(nullptr);
  parts_.work.SetAfterConnect(nullptr);
}

void DatabaseThread::Start() {
  std::lock_guard<std::mutex> startStop(startStop_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    running_ = true;
    const Clock::time_point now = Clock::now();
    nextTick_ = now;
    statementsFrom_ = now;
  }
  thread_ = std::thread([this] { Body(); });
}

void DatabaseThread::Stop() {
  std::lock_guard<std::mutex> startStop(startStop_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    started_ = true;  // a thread stopped before it started never starts
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DatabaseThread::Notify(bool statement) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    (statement ? statementsWaiting_ : selectsWaiting_) = true;
  }
  wake_.notify_all();
}

bool DatabaseThread::WaitForWork(Due& due) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return false;
    const Clock::time_point now = Clock::now();
    due.tick = now >= nextTick_;
    const bool paced = now < statementsFrom_;
    due.statements = !paced && (statementsWaiting_ || due.tick);
    due.selects = selectsWaiting_ || due.tick;
    if (due.selects || due.statements || due.tick) break;
    Clock::time_point wakeAt = nextTick_;
    if (statementsWaiting_ && statementsFrom_ < wakeAt) wakeAt = statementsFrom_;
    wake_.wait_until(lock, wakeAt);
  }
  selectsWaiting_ = false;
  // Statements held back by the pacing stay announced for the end of the interval.
  if (due.statements) statementsWaiting_ = false;
  return true;
}

bool DatabaseThread::CannotDrainLocked() const {
  return !running_ || parts_.closing.load(std::memory_order_acquire) || !parts_.work.Connected();
}

bool DatabaseThread::WaitStatementsDrained(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  served_.wait_until(lock, deadline,
                     [&] { return parts_.statements.Count() == 0 || CannotDrainLocked(); });
  return parts_.statements.Count() == 0;
}

void DatabaseThread::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    statementsWaiting_ = true;
    selectsWaiting_ = true;
  }
  wake_.notify_all();
}

bool DatabaseThread::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void DatabaseThread::TryReopen(Clock::time_point now) {
  if (!parts_.reopenFailed || now < nextReopen_) return;
  if (parts_.closing.load(std::memory_order_acquire) || !parts_.work.Down()) return;
  nextReopen_ = now + kReopenInterval;
  const DbStatus status = parts_.work.Reopen();  // a new session wakes the thread
  // An attempt the shutdown cut off is no failure of the server's.
  if (!status.ok() && status.kind != DbErrorKind::kNotConnected &&
      status.kind != DbErrorKind::kInterrupted) {
    parts_.reopenFailed(status);
  }
}

void DatabaseThread::Step(const Due& due) {
  const Clock::time_point stepStart = Clock::now();
  bool moreSelects = false;
  bool backlog = false;
  try {
    if (due.tick) TryReopen(stepStart);
    // Statements first, then selects, as the two timers of the window ran them: a select
    // sees what was queued before it unless the pacing holds that back, and a cycle's first
    // statement, not its select, is what meets a server that has gone away (and says so).
    if (due.statements || due.tick) {
      // A step that the pacing holds back runs the retention check alone.
      const int limit = due.statements ? kStatementsPerTick : 0;
      int done = TimerMySQL_workTimer(parts_.statements, parts_.work, parts_.closing,
                                      parts_.retention, parts_.policy(), limit);
      backlog = done > 0 && parts_.statements.Count() > 0;
      if (parts_.spool != nullptr && limit > done && !backlog &&
          !parts_.closing.load(std::memory_order_acquire) && parts_.work.Connected()) {
        const int budget = limit - done;
        const int replayed = parts_.spool->Replay(parts_.work, budget);
        done += replayed;
        if (replayed == budget) backlog = true;  // more may wait: the next interval goes on
      }
      if (done > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        statementsFrom_ = stepStart + interval_;
      }
    }
    if (due.selects) {
      moreSelects =
          TimerMySQL_selectTimer(parts_.selects, parts_.work, parts_.closing) >= kSelectsPerTick;
    }
  } catch (...) {
    Beep();  // nothing leaves the thread; the next step tries again
  }
  // With nothing queued and the session up, the interval's step has only the retention
  // check to do (due every two hours): the thread then looks kIdleIntervals times less often,
  // since new work and a new session wake it anyway. Each look is a wake-up of the process.
  const bool idle = !moreSelects && !backlog && parts_.statements.Count() == 0 &&
                    !parts_.closing.load(std::memory_order_acquire) && parts_.work.Connected();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (due.tick) nextTick_ = stepStart + (idle ? interval_ * kIdleIntervals : interval_);
    if (moreSelects) selectsWaiting_ = true;
    if (backlog) statementsWaiting_ = true;
  }
  served_.notify_all();
}

void DatabaseThread::Body() {
  SetThreadName(kThreadNameDatabase);
  const ServerWaitInterrupts interrupts({parts_.interruptFd});
  try {
    Due due;
    while (WaitForWork(due)) Step(due);
  } catch (...) {
    Beep();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  served_.notify_all();
}

}  // namespace kalvix
