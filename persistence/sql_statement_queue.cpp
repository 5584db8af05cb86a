#include "persistence/sql_statement_queue.h"

#include <exception>
#include <vector>

#include "journal/event_log.h"
#include "persistence/retention.h"
#include "persistence/sql_literal.h"
#include "util/date_time.h"

namespace kalvix {
namespace {

void ReportRejected(const std::string& sql, const DbStatus& status) {
  PostEvent("*** SQL error: " + SqlText(sql));
  PostEvent("    MySQL: " + status.Describe());
}

}  // namespace

bool SqlStatementQueue::QueueStatement(std::string_view sql) { return Append(sql, nullptr); }

bool SqlStatementQueue::QueueKept(std::string_view sql, std::function<void()> lost) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keeper_ != nullptr && serverDown_ && serverDown_()) return false;
  }
  return Append(sql, std::move(lost));
}

void SqlStatementQueue::SetKeeping(RowKeeper* keeper, std::function<bool()> serverDown) {
  std::lock_guard<std::mutex> lock(mutex_);
  keeper_ = keeper;
  serverDown_ = std::move(serverDown);
}

RowKeeper* SqlStatementQueue::Keeper() {
  std::lock_guard<std::mutex> lock(mutex_);
  return keeper_;
}

void SqlStatementQueue::GiveUpKept() {
  std::vector<std::function<void()>> lost;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = statements_.begin(); it != statements_.end();) {
      if (it->lost) {
        lost.push_back(std::move(it->lost));
        it = statements_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& keep : lost) keep();
}

bool SqlStatementQueue::Append(std::string_view sql, std::function<void()> lost) {
  try {
    std::function<void()> wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (statements_.size() > kMaxWaiting) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return false;
      }
      statements_.push_back(Item{std::string(sql), std::move(lost)});
      wake = wake_;
    }
    // Outside the queue's lock: the wakeup takes the server's lock, and the server takes the
    // queue's lock while it holds its own.
    if (wake) wake();
    return true;
  } catch (const std::exception&) {
    Beep();
    return false;
  }
}

void SqlStatementQueue::SetWakeup(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

size_t SqlStatementQueue::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statements_.size();
}

bool SqlStatementQueue::Front(std::string& sql) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (statements_.empty()) return false;
  sql = statements_.front().sql;
  return true;
}

std::function<void()> SqlStatementQueue::PopFront() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::function<void()> lost = std::move(statements_.front().lost);
  statements_.pop_front();
  headLostAttempts_ = 0;
  return lost;
}

int SqlStatementQueue::Serve(DbConnection& work, int limit) {
  int done = 0;
  std::string sql;
  // The statement runs without the queue's lock, so producers never wait for the server.
  // Only this (single) server removes statements, so the head stays the same meanwhile.
  while (done < limit && Front(sql)) {
    const DbStatus status = work.Execute(sql);
    if (status.ConnectionDown()) {
      int attempts = 0;
      if (status.kind == DbErrorKind::kConnectionLost) {
        std::lock_guard<std::mutex> lock(mutex_);
        attempts = ++headLostAttempts_;
      }
      if (attempts < kMaxLostAttempts) {
        if (status.kind == DbErrorKind::kConnectionLost) {
          PostEvent("*** Соединение с MySQL сервером потеряно: " + status.Describe());
        }
        break;  // kept at the head for the reconnection
      }
      ReportRejected(sql, status);
      // Given up with the connection: a row that must not be lost goes to its keeper.
      if (const std::function<void()> lost = PopFront()) lost();
      ++done;
      continue;
    } else if (!status.ok()) {
      ReportRejected(sql, status);
    }
    PopFront();
    ++done;
  }
  return done;
}

int TimerMySQL_workTimer(SqlStatementQueue& queue, DbConnection& work,
                         const std::atomic<bool>& closing, RetentionCheck& retention,
                         const RetentionPolicy& policy, int limit) {
  if (closing.load(std::memory_order_acquire) || !work.Connected()) return 0;
  if (!queue.TryEnterServer()) return 0;
  int done = 0;
  try {
    done = queue.Serve(work, limit);
  } catch (const std::exception&) {
    Beep();
  }
  try {
    retention.Run(policy.AutoCleanFlag, policy.DatabaseSize, Now(), queue);
  } catch (const std::exception&) {
    Beep();
  }
  queue.LeaveServer();
  return done;
}

}  // namespace kalvix
