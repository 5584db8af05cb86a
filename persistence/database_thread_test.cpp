#include "persistence/database_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "persistence/retention.h"
#include "testing/test_database.h"
#include "testing/wait_for.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An interval so long that anything served within a few seconds did not wait for it.
constexpr auto kLongInterval = 10s;
// How long a step that needs no interval may take on a loaded machine.
constexpr auto kPrompt = 2s;

class DatabaseThreadTest : public DbTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DbTest::SetUp());
    db_.Exec("create table seq (id int auto_increment primary key, v int not null)");
  }
  void TearDown() override {
    thread_.reset();
    DbTest::TearDown();
  }

  DatabaseThread& Thread(std::chrono::milliseconds interval = kStatementInterval,
                         bool start = true) {
    thread_ = std::make_unique<DatabaseThread>(
        DatabaseThread::Parts{statements_, selects_, work_, closing_, retention_,
                              [] { return RetentionPolicy{}; }},
        interval);
    if (start) thread_->Start();
    return *thread_;
  }

  static std::string Insert(int v) {
    return "insert into seq (v) values (" + std::to_string(v) + ")";
  }
  std::vector<int64_t> Stored() {
    std::vector<int64_t> values;
    for (const auto& row : db_.Rows("select v from seq order by id").rows) {
      values.push_back(std::get<int64_t>(row[0]));
    }
    return values;
  }
  static std::vector<int64_t> Range(int from, int to) {
    std::vector<int64_t> values;
    for (int i = from; i < to; ++i) values.push_back(i);
    return values;
  }
  // Runs what the queue still holds, on this thread (the database thread has gone).
  void Flush() {
    closing_ = false;
    ASSERT_TRUE(work_.Connected() || work_.Connect().ok());
    TimerMySQL_workTimer(statements_, work_, closing_, retention_, RetentionPolicy{}, 1000);
    ASSERT_EQ(statements_.Count(), 0u);
  }
  // Waits (bounded) until the statement queue holds n.
  bool AwaitCount(size_t n, std::chrono::milliseconds limit = kPrompt) {
    const auto until = Clock::now() + limit;
    while (statements_.Count() != n && Clock::now() < until) std::this_thread::sleep_for(1ms);
    return statements_.Count() == n;
  }

  StopSignal stop_;
  SqlStatementQueue statements_;
  SqlSelectQueue selects_{&stop_};
  std::atomic<bool> closing_{false};
  RetentionCheck retention_{Now()};
  std::unique_ptr<DatabaseThread> thread_;  // last: it goes before what it serves
};

// A backlog leaves at most kStatementsPerTick per interval, counted from the moment it was
// queued: batch k cannot begin before k intervals have passed, however loaded the machine.
TEST_F(DatabaseThreadTest, BacklogDrainsInOrderAtMostTwelvePerInterval) {
  DatabaseThread& thread = Thread();
  const auto start = Clock::now();
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i)));
  int samples = 0;
  while (statements_.Count() > 0 && Clock::now() - start < 10s) {
    const size_t left = statements_.Count();  // read before the time: the bound only grows
    const auto elapsed = Clock::now() - start;
    const auto intervals = elapsed / kStatementInterval;
    const size_t bound = static_cast<size_t>(kStatementsPerTick) * (intervals + 1);
    ASSERT_LE(40 - left, bound) << "after " << (elapsed / 1ms) << " ms";
    ++samples;
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(thread.WaitStatementsDrained(Clock::now() + kPrompt));
  EXPECT_GE(Clock::now() - start, 3 * kStatementInterval) << "four batches: 12, 12, 12, 4";
  EXPECT_GT(samples, 10);
  EXPECT_EQ(Stored(), Range(0, 40));
  EXPECT_TRUE(DrainEvents().empty());
}

// What needs no interval is served at once, even while the interval is long: a select, a
// statement on an idle queue, a select behind a backlog that the pacing holds back, a
// statement that waited for the work connection to open again.
TEST_F(DatabaseThreadTest, ServedWithoutWaitingForTheInterval) {
  struct Case {
    const char* name;
    int backlog;     // statements queued first
    bool select;     // then a select (else one statement more)
    bool reconnect;  // the statement is queued while the connection is down
  };
  const Case cases[] = {
      {"a select", 0, true, false},
      {"a statement on an idle queue", 0, false, false},
      {"a select behind a paced backlog", 30, true, false},
      {"a statement after the reconnection", 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_.Exec("delete from seq");
    // The backlog waits before the start, so the first step finds it whole.
    Thread(kLongInterval, false);
    for (int i = 0; i < c.backlog; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i)));
    thread_->Start();
    if (c.backlog > 0) {
      ASSERT_TRUE(AwaitCount(c.backlog - kStatementsPerTick)) << "the first batch runs at once";
    }
    const auto start = Clock::now();
    if (c.select) {
      DbValue value;
      ASSERT_TRUE(selects_.SelectValue("select 42 as Rez", value));
      EXPECT_EQ(value, DbValue{int64_t{42}});
    } else if (c.reconnect) {
      work_.Disconnect();
      ASSERT_TRUE(statements_.QueueStatement(Insert(0)));
      std::this_thread::sleep_for(50ms);
      ASSERT_EQ(statements_.Count(), 1u);
      ASSERT_TRUE(work_.Connect().ok());
      EXPECT_TRUE(thread_->WaitStatementsDrained(Clock::now() + kPrompt));
    } else {
      ASSERT_TRUE(statements_.QueueStatement(Insert(0)));
      EXPECT_TRUE(thread_->WaitStatementsDrained(Clock::now() + kPrompt));
    }
    EXPECT_LT(Clock::now() - start, kPrompt);
    if (c.backlog > 0) {
      EXPECT_EQ(statements_.Count(), size_t(c.backlog - kStatementsPerTick))
          << "the rest of the backlog still waits for the interval";
    }
    thread_.reset();
    Flush();
  }
}

// In one step the statements the pacing lets through run before the selects, so a select
// sees the statement queued before it (and a dead server is met by the statement, which
// reports it, not by the select).
TEST_F(DatabaseThreadTest, StatementQueuedBeforeASelectRunsFirst) {
  DatabaseThread& thread = Thread(kLongInterval, false);
  ASSERT_TRUE(statements_.QueueStatement(Insert(7)));
  DbValue count;
  bool answered = false;
  std::thread requester(
      [&] { answered = selects_.SelectValue("select count(*) as Rez from seq", count, 10s); });
  const auto until = Clock::now() + kPrompt;
  while (selects_.Count() == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);
  thread.Start();  // the first step finds both
  requester.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(count, DbValue{int64_t{1}});
}

// A statement under which the session is lost stays at the head; the queue keeps taking
// statements up to its bound while the connection is down, and once the control thread has
// opened it again every one runs, in order. A select abandoned meanwhile is dropped.
TEST_F(DatabaseThreadTest, LostConnectionKeepsTheHeadAndTheBound) {
  DatabaseThread& thread = Thread();
  ASSERT_TRUE(statements_.QueueStatement(Insert(0)));
  ASSERT_TRUE(thread.WaitStatementsDrained(Clock::now() + kPrompt));

  db_.Exec("kill connection " + std::to_string(work_.SessionId()));
  ASSERT_TRUE(statements_.QueueStatement(Insert(1)));
  const auto until = Clock::now() + kPrompt;
  while (work_.Connected() && Clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_FALSE(work_.Connected());
  EXPECT_FALSE(thread.WaitStatementsDrained(Clock::now() + kPrompt)) << "gives up at once";
  EXPECT_EQ(statements_.Count(), 1u) << "the head is kept";
  // The thread marks the connection down before it posts why.
  std::vector<std::string> events;
  WaitFor(
      [&] {
        for (std::string& event : DrainEvents()) events.push_back(std::move(event));
        return !events.empty();
      },
      kPrompt, 1ms);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("*** Соединение с MySQL сервером потеряно: ", 0), 0u) << events[0];

  for (int i = 2; i <= 101; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i))) << i;
  EXPECT_FALSE(statements_.QueueStatement(Insert(102))) << "the 102nd is refused";
  DbValue value;
  EXPECT_FALSE(selects_.SelectValue("select 1 as Rez", value, 50ms));
  EXPECT_EQ(selects_.Count(), 1u) << "abandoned, still queued";

  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_TRUE(thread.WaitStatementsDrained(Clock::now() + 10s));
  EXPECT_EQ(Stored(), Range(0, 102));
  EXPECT_EQ(selects_.Count(), 0u);
  EXPECT_TRUE(DrainEvents().empty());
}

// WaitStatementsDrained returns at once, false, whenever the thread cannot drain the queue.
TEST_F(DatabaseThreadTest, DrainWaitEndsWhenNothingCanServe) {
  enum class Block { kConnectionDown, kClosing, kNotStarted, kStopped };
  const std::pair<const char*, Block> cases[] = {
      {"connection down", Block::kConnectionDown},
      {"closing", Block::kClosing},
      {"not started", Block::kNotStarted},
      {"stopped", Block::kStopped},
  };
  for (const auto& [name, block] : cases) {
    SCOPED_TRACE(name);
    Thread(kLongInterval, block != Block::kNotStarted);
    if (block == Block::kConnectionDown) work_.Disconnect();
    if (block == Block::kClosing) closing_ = true;
    if (block == Block::kStopped) thread_->Stop();
    ASSERT_TRUE(statements_.QueueStatement(Insert(0)));
    const auto start = Clock::now();
    EXPECT_FALSE(thread_->WaitStatementsDrained(start + 10s));
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(statements_.Count(), 1u);
    thread_.reset();
    Flush();
  }
}

// A stop reaches the thread in the middle of a long interval and of a paced backlog.
TEST_F(DatabaseThreadTest, StopWakesTheThreadAtOnce) {
  DatabaseThread& thread = Thread(kLongInterval, false);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i)));
  thread.Start();
  ASSERT_TRUE(AwaitCount(20 - kStatementsPerTick));
  EXPECT_TRUE(thread.Running());
  const auto start = Clock::now();
  thread.Stop();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_FALSE(thread.Running());
  thread.Start();  // a stopped thread stays stopped
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(Stored(), Range(0, kStatementsPerTick));
}

// Producers on several threads and a requester of selects meet the thread: every statement
// runs, each producer's in its order, and every select is answered.
TEST_F(DatabaseThreadTest, ProducersAndRequestersOnOtherThreads) {
  Thread();
  constexpr int kProducers = 3;
  constexpr int kEach = 30;
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([this, p] {
      for (int i = 0; i < kEach; ++i) {
        EXPECT_TRUE(statements_.QueueStatement(Insert(p * 1000 + i)));
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  int answered = 0;
  threads.emplace_back([this, &answered] {
    for (int i = 0; i < 20; ++i) {
      DbValue value;
      if (selects_.SelectValue("select " + std::to_string(i) + " as Rez", value) &&
          value == DbValue{int64_t{i}}) {
        ++answered;
      }
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered, 20);
  EXPECT_TRUE(thread_->WaitStatementsDrained(Clock::now() + 10s));
  std::vector<std::vector<int64_t>> byProducer(kProducers);
  for (int64_t v : Stored()) byProducer[v / 1000].push_back(v);
  for (int p = 0; p < kProducers; ++p) {
    EXPECT_EQ(byProducer[p], Range(p * 1000, p * 1000 + kEach)) << "producer " << p;
  }
}

}  // namespace
}  // namespace kalvix
