#include "persistence/sql_select_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "testing/test_database.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SqlSelectQueueTest : public DbTest {
 protected:
  void TearDown() override {
    window_.reset();
    DbTest::TearDown();
  }

  void StartWindowThread() { window_ = std::make_unique<SelectServerThread>(queue_, work_); }
  void StopWindowThread() { window_.reset(); }

  // Waits (bounded) until the queue holds n requests.
  void AwaitCount(size_t n) {
    const auto until = Clock::now() + 5s;
    while (queue_.Count() != n && Clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(queue_.Count(), n);
  }

  StopSignal stop_;
  SqlSelectQueue queue_{&stop_};
  std::atomic<bool> closing_{false};
  std::unique_ptr<SelectServerThread> window_;
};

TEST_F(SqlSelectQueueTest, AnswersAndNoRowGivesNull) {
  StartWindowThread();
  struct Case {
    const char* sql;
    DbValue expected;
  };
  const Case cases[] = {
      {"select 42 Rez", DbValue{int64_t{42}}},
      {"select ConstVal as Rez from setup where ConstName='MIN_PLS'", DbValue{}},  // no row
      {"select NULL as Rez", DbValue{}},
  };
  for (const Case& c : cases) {
    DbValue value{std::string("untouched")};
    EXPECT_TRUE(queue_.SelectValue(c.sql, value)) << c.sql;
    EXPECT_EQ(value, c.expected) << c.sql;
  }
}

// A query the server refuses wakes its requester at once with false, leaves no request
// behind and posts nothing.
TEST_F(SqlSelectQueueTest, FailingSelectLeavesNoRequestBehind) {
  StartWindowThread();
  const char* failing[] = {"select x as Rez from no_such_table", "select 1 as NotRez"};
  for (const char* sql : failing) {
    DbValue value{int64_t{5}};
    const auto start = Clock::now();
    EXPECT_FALSE(queue_.SelectValue(sql, value)) << sql;
    EXPECT_LT(Clock::now() - start, 2s) << sql;
    EXPECT_EQ(value, DbValue{int64_t{5}}) << sql;  // untouched
    EXPECT_EQ(queue_.Count(), 0u) << sql;
  }
  EXPECT_TRUE(work_.Connected());
  EXPECT_TRUE(DrainEvents().empty());
}

// Three requesters gave up; they are dropped in the next tick without counting towards the
// twelve, so twelve live requests are answered in that same tick.
TEST_F(SqlSelectQueueTest, AbandonedRequestsAtTheHeadAreDiscardedWithoutCounting) {
  std::vector<std::thread> quitters;
  for (int i = 0; i < 3; ++i) {
    quitters.emplace_back([this] {
      DbValue value;
      EXPECT_FALSE(queue_.SelectValue("select 0 as Rez", value, 20ms));
    });
  }
  for (std::thread& t : quitters) t.join();
  ASSERT_EQ(queue_.Count(), 3u);  // still queued, marked abandoned

  std::vector<std::thread> waiters;
  std::vector<DbValue> answers(13);
  for (int i = 0; i < 13; ++i) {
    waiters.emplace_back([this, i, &answers] {
      EXPECT_TRUE(queue_.SelectValue("select " + std::to_string(i) + " as Rez", answers[i], 20s));
    });
    ASSERT_NO_FATAL_FAILURE(AwaitCount(4 + i));  // keep the queue order known
  }
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 12);
  EXPECT_EQ(queue_.Count(), 1u);
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 1);
  for (std::thread& t : waiters) t.join();
  for (int i = 0; i < 13; ++i) EXPECT_EQ(answers[i], DbValue{int64_t{i}});
}

// The real bound: unserved, SelectValue gives up after 5500 ms; its request waits, marked
// abandoned, until the server drops it.
TEST_F(SqlSelectQueueTest, UnansweredSelectGivesUpAfterFiveAndAHalfSeconds) {
  DbValue value{int64_t{5}};
  const auto start = Clock::now();
  EXPECT_FALSE(queue_.SelectValue("select 1 as Rez", value));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 5500ms);
  EXPECT_LT(elapsed, 7500ms);
  EXPECT_EQ(value, DbValue{int64_t{5}});
  EXPECT_EQ(queue_.Count(), 1u);
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 0);
  EXPECT_EQ(queue_.Count(), 0u);
}

TEST_F(SqlSelectQueueTest, StopRequestEndsTheWaitPromptly) {
  std::thread stopper([this] {
    std::this_thread::sleep_for(50ms);
    stop_ = true;
  });
  DbValue value;
  const auto start = Clock::now();
  EXPECT_FALSE(queue_.SelectValue("select 1 as Rez", value));
  const auto elapsed = Clock::now() - start;
  stopper.join();
  // The stop wakes the wait; the rest is room for a loaded machine.
  EXPECT_LT(elapsed, 50ms + 400ms);
}

TEST_F(SqlSelectQueueTest, NoServingWhileClosingOrDisconnected) {
  std::thread requester([this] {
    DbValue value;
    EXPECT_TRUE(queue_.SelectValue("select 3 as Rez", value, 20s));
    EXPECT_EQ(value, DbValue{int64_t{3}});
  });
  ASSERT_NO_FATAL_FAILURE(AwaitCount(1));
  closing_ = true;
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 0);
  closing_ = false;
  work_.Disconnect();
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 0);
  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 1);
  requester.join();
}

// The connection breaks under the query: the request stays for the reconnection and is
// answered then, within its requester's wait.
TEST_F(SqlSelectQueueTest, LostConnectionKeepsTheRequest) {
  std::thread requester([this] {
    DbValue value;
    EXPECT_TRUE(queue_.SelectValue("select 8 as Rez", value, 20s));
    EXPECT_EQ(value, DbValue{int64_t{8}});
  });
  ASSERT_NO_FATAL_FAILURE(AwaitCount(1));
  db_.Exec("kill connection " + std::to_string(work_.SessionId()));
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 0);
  EXPECT_FALSE(work_.Connected());
  EXPECT_EQ(queue_.Count(), 1u);
  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(TimerMySQL_selectTimer(queue_, work_, closing_), 1);
  requester.join();
}

// Several requesters at once while the window thread serves: every one gets its own answer.
TEST_F(SqlSelectQueueTest, ManyRequestersAtOnce) {
  StartWindowThread();
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> requesters;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    requesters.emplace_back([this, t, &wrong] {
      for (int i = 0; i < kEach; ++i) {
        const int64_t expected = t * 1000 + i;
        DbValue value;
        if (!queue_.SelectValue("select " + std::to_string(expected) + " as Rez", value) ||
            value != DbValue{expected}) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : requesters) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(queue_.Count(), 0u);
}

// Requesters that give up while their query is running: the server must drop the answer
// instead of writing into a request nobody waits for (run under the sanitizers).
TEST_F(SqlSelectQueueTest, RequesterGivingUpDuringTheQueryIsSafe) {
  StartWindowThread();
  std::vector<std::thread> requesters;
  for (int t = 0; t < 4; ++t) {
    requesters.emplace_back([this] {
      for (int i = 0; i < 5; ++i) {
        DbValue value;
        EXPECT_FALSE(queue_.SelectValue("select sleep(0.05) as Rez", value, 10ms));
      }
    });
  }
  for (std::thread& t : requesters) t.join();
  StopWindowThread();
  TimerMySQL_selectTimer(queue_, work_, closing_, 1000);
  EXPECT_EQ(queue_.Count(), 0u);
}

}  // namespace
}  // namespace kalvix
