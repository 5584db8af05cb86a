// Waits on the database server cut short by the waiting thread's own stop: a connection
// attempt to a server that accepts and never answers, and a statement the server is still
// working on, each ended by a stop request and by a deadline, long before the client's own
// time-outs; and a thread without a stop waits as ever.
#include "persistence/server_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "persistence/db_connection.h"
#include "plant/thread_flags.h"
#include "testing/events.h"
#include "testing/tcp_listeners.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far below the client's connect time-out (5 s) and a statement's 10 s, with room for a
// loaded machine.
constexpr auto kCutBound = 3s;
constexpr auto kStopAfter = 200ms;

using ServerWaitTest = DbTest;

struct StopKind {
  const char* name;
  // Makes the descriptor readable after kStopAfter, from another thread; returns it.
  std::function<int(StopSignal&, ServerDeadline&, std::thread&)> arm;
};

const StopKind kStops[] = {
    {"stop request",
     [](StopSignal& stop, ServerDeadline&, std::thread& t) {
       t = std::thread([&stop] {
         std::this_thread::sleep_for(kStopAfter);
         stop = true;
       });
       return stop.PollFd();
     }},
    {"deadline",
     [](StopSignal&, ServerDeadline& deadline, std::thread&) {
       deadline.Set(Clock::now() + kStopAfter);
       return deadline.PollFd();
     }},
};

TEST_F(ServerWaitTest, AttemptOnASilentServerEndsAtTheStop) {
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0u);
  for (const StopKind& kind : kStops) {
    SCOPED_TRACE(kind.name);
    DbConnection connection;
    ConnectionParams params = db_.Params();
    // The pass over the list ends with the cut-off entry: the next one is not tried.
    params.Set("HostName", silent.Entry() + "," + db_.Server().socketPath);
    connection.SetParams(params);
    StopSignal stop;
    ServerDeadline deadline;
    std::thread stopper;
    DrainEvents();
    const auto start = Clock::now();
    DbStatus status;
    {
      const ServerWaitInterrupts interrupts({kind.arm(stop, deadline, stopper)});
      status = connection.Connect();
    }
    const auto elapsed = Clock::now() - start;
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(status.kind, DbErrorKind::kInterrupted) << status.Describe();
    EXPECT_TRUE(status.ConnectionDown());
    EXPECT_GE(elapsed, kStopAfter);
    EXPECT_LT(elapsed, kCutBound);
    EXPECT_FALSE(connection.Connected());
    EXPECT_TRUE(DrainEvents().empty()) << "no session, so nothing to announce";
  }
}

TEST_F(ServerWaitTest, StatementOnTheServerEndsAtTheStopAndTheNextCallReopens) {
  for (const StopKind& kind : kStops) {
    SCOPED_TRACE(kind.name);
    DbConnection connection;
    connection.SetParams(db_.Params());
    ASSERT_TRUE(connection.Connect().ok());
    StopSignal stop;
    ServerDeadline deadline;
    std::thread stopper;
    const auto start = Clock::now();
    DbStatus status;
    {
      const ServerWaitInterrupts interrupts({kind.arm(stop, deadline, stopper)});
      status = connection.Execute("do sleep(10)");
    }
    const auto elapsed = Clock::now() - start;
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(status.kind, DbErrorKind::kInterrupted) << status.Describe();
    EXPECT_LT(elapsed, kCutBound);
    EXPECT_FALSE(connection.Connected()) << "the cut-off session's state is unknown: closed";
    EXPECT_TRUE(connection.Wanted());
    DrainEvents();
    DbValue value;
    ASSERT_TRUE(connection.QueryValue("select 7 as Rez", "Rez", value).ok());
    EXPECT_EQ(value, DbValue{int64_t{7}});
    EXPECT_EQ(DrainEvents(),
              std::vector<std::string>{"=== Соединение с MySQL сервером восстановлено ==="});
  }
}

// A stop that does not come changes nothing: the waits of a healthy server's answers run
// their course under a live scope.
TEST_F(ServerWaitTest, WithoutAStopWaitsRunTheirCourse) {
  DbConnection connection;
  connection.SetParams(db_.Params());
  StopSignal stop;
  ServerDeadline deadline;  // never set
  const ServerWaitInterrupts interrupts({stop.PollFd(), deadline.PollFd()});
  ASSERT_TRUE(connection.Connect().ok());
  DbValue value;
  ASSERT_TRUE(connection.QueryValue("select sleep(0.3) as Rez", "Rez", value).ok());
  EXPECT_EQ(value, DbValue{int64_t{0}});
  EXPECT_TRUE(connection.Connected());
}

}  // namespace
}  // namespace kalvix
