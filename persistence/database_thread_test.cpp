#include "persistence/database_thread.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/retention.h"
#include "persistence/server_wait.h"
#include "persistence/spool_keeper.h"
#include "testing/events.h"
#include "testing/scratch_folder.h"
#include "testing/tcp_listeners.h"
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

  DatabaseThread& Thread(std::chrono::milliseconds interval = kStatementInterval, bool start = true,
                         std::function<void(const DbStatus&)> reopenFailed = nullptr,
                         SpoolKeeper* spool = nullptr, int interruptFd = -1) {
    thread_ = std::make_unique<DatabaseThread>(
        DatabaseThread::Parts{statements_, selects_, work_, closing_, retention_,
                              [] { return RetentionPolicy{}; }, std::move(reopenFailed), spool,
                              interruptFd},
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

// Stops the fixture's thread when it goes: declared after the locals the thread uses, so the
// thread is gone before they are, however the test ends.
class StopFirst {
 public:
  explicit StopFirst(std::unique_ptr<DatabaseThread>& thread) : thread_(thread) {}
  ~StopFirst() { thread_.reset(); }
  StopFirst(const StopFirst&) = delete;
  StopFirst& operator=(const StopFirst&) = delete;

 private:
  std::unique_ptr<DatabaseThread>& thread_;
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

// A statement still on the server holds the stop only until the thread's deadline: it is cut
// off there and stays at the head, the connection marked down, with no line that the server
// was lost (it was not).
TEST_F(DatabaseThreadTest, StopWithAStatementOnTheServerEndsAtTheDeadline) {
  ServerDeadline deadline;
  ASSERT_TRUE(work_.Connect().ok());
  DatabaseThread& thread = Thread(kStatementInterval, true, nullptr, nullptr, deadline.PollFd());
  ASSERT_TRUE(statements_.QueueStatement("do sleep(10)"));
  ASSERT_TRUE(statements_.QueueStatement(Insert(1)));
  std::this_thread::sleep_for(300ms);  // the sleep is on the server
  DrainEvents();
  const auto start = Clock::now();
  deadline.Set(start + 200ms);
  thread.Stop();
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_EQ(statements_.Count(), 2u);
  EXPECT_FALSE(work_.Connected());
  EXPECT_TRUE(DrainEvents().empty());
  EXPECT_TRUE(Stored().empty());
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

// A Unix socket bound but not listening: a connection to it is refused, as where no server
// runs.
class DeadSocket {
 public:
  explicit DeadSocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bound_ =
        fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~DeadSocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  DeadSocket(const DeadSocket&) = delete;
  DeadSocket& operator=(const DeadSocket&) = delete;

  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// While the server is out of reach the thread tries to reopen the work connection once per
// kReopenInterval and reports every failure, and a stop still ends it at once; when the server
// can be reached again the connection opens by itself and what waited runs.
TEST_F(DatabaseThreadTest, ReopensTheWorkConnectionUntilTheServerIsBack) {
  ScratchFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  DeadSocket dead(folder.File("dead.sock"));
  ASSERT_TRUE(dead.Bound());
  ConnectionParams away = db_.Params();
  away.Set("HostName", dead.Path());
  work_.Disconnect();
  work_.SetParams(away);
  work_.Want();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i)));

  std::mutex mutex;
  std::vector<Clock::time_point> failures;  // guarded by mutex
  DbStatus last;                            // guarded by mutex
  const auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return failures.size();
  };
  const auto report = [&](const DbStatus& status) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(Clock::now());
    last = status;
  };
  const StopFirst stopFirst(thread_);
  const auto start = Clock::now();
  Thread(kStatementInterval, true, report);
  ASSERT_TRUE(WaitFor([&] { return count() >= 4; }, 15s, 5ms));
  const auto stopAt = Clock::now();
  thread_->Stop();
  EXPECT_LT(Clock::now() - stopAt, 500ms);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_LT(failures[0] - start, kPrompt) << "the first attempt at once";
    for (size_t k = 1; k < failures.size(); ++k) {
      const auto gap = failures[k] - failures[k - 1];
      EXPECT_GE(gap, DatabaseThread::kReopenInterval - 100ms) << "attempt " << k;
      EXPECT_LT(gap, 3 * DatabaseThread::kReopenInterval) << "attempt " << k;
    }
    EXPECT_TRUE(last.ConnectionDown()) << last.Describe();
  }
  EXPECT_EQ(statements_.Count(), 3u);
  EXPECT_TRUE(DrainEvents().empty());

  thread_.reset();  // before the next one installs its wakeups
  Thread(kStatementInterval, true, report);
  ASSERT_TRUE(WaitFor([&] { return count() >= 5; }, 5s, 5ms)) << "still away";
  work_.SetParams(db_.Params());
  EXPECT_TRUE(WaitFor([&] { return statements_.Count() == 0; }, 5s, 5ms));
  EXPECT_TRUE(work_.Connected());
  EXPECT_EQ(Stored(), Range(0, 3));
  EXPECT_EQ(DrainEvents(),
            std::vector<std::string>{"=== Соединение с MySQL сервером восстановлено ==="});
}

// With a list of servers, the statement that meets a lost session stays at the head and runs
// on the next server once the thread has reopened the connection there; nothing is lost and
// nothing runs twice.
TEST_F(DatabaseThreadTest, LostSessionMovesTheQueueToTheNextServer) {
  if (db_.Server().port == 0) GTEST_FAIL() << "KALVIX_TEST_DB_PORT is not set";
  const std::string next = "127.0.0.1:" + std::to_string(db_.Server().port);
  ConnectionParams params = db_.Params();
  params.Set("HostName", db_.Server().socketPath + "," + next);
  work_.Disconnect();
  work_.SetParams(params);
  ASSERT_TRUE(work_.Connect().ok());
  const StopFirst stopFirst(thread_);
  Thread(kStatementInterval, true, [](const DbStatus&) {});
  ASSERT_TRUE(statements_.QueueStatement(Insert(0)));
  ASSERT_TRUE(AwaitCount(0));
  DrainEvents();

  db_.Exec("kill connection " + std::to_string(work_.SessionId()));
  for (int i = 1; i < 4; ++i) ASSERT_TRUE(statements_.QueueStatement(Insert(i)));
  EXPECT_TRUE(AwaitCount(0, 5s));
  EXPECT_EQ(work_.ServerInUse(), next);
  EXPECT_EQ(Stored(), Range(0, 4));
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].rfind("*** Соединение с MySQL сервером потеряно", 0), 0u) << events[0];
  EXPECT_EQ(events[1], "=== Соединение с MySQL сервером восстановлено ===");
  EXPECT_EQ(events[2], "Подключено к MySQL серверу " + next);
}

// A list of servers none of which gives a session is tried whole once per kReopenInterval:
// each pass reports one failure (what the designed "MySQL сервер недоступен." counts) and
// offers each entry one connection, however quickly the entries refuse.
TEST_F(DatabaseThreadTest, ListOfDeadServersIsOneAttemptPerInterval) {
  ClosingListener first;
  ClosingListener second;
  ASSERT_NE(first.Port(), 0u);
  ASSERT_NE(second.Port(), 0u);
  ConnectionParams away = db_.Params();
  away.Set("HostName", first.Entry() + "," + second.Entry());
  work_.Disconnect();
  work_.SetParams(away);
  work_.Want();
  ASSERT_TRUE(statements_.QueueStatement(Insert(0)));

  std::mutex mutex;
  int failures = 0;  // guarded by mutex
  const auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return failures;
  };
  const StopFirst stopFirst(thread_);
  Thread(kStatementInterval, true, [&](const DbStatus&) {
    std::lock_guard<std::mutex> lock(mutex);
    ++failures;
  });
  const auto start = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return count() >= 3; }, 10s, 5ms));
  thread_->Stop();
  const auto window = Clock::now() - start;
  const int passes = count();
  // One pass at once, then one per interval; a pass never tries an entry twice.
  EXPECT_LE(passes, 2 + window / DatabaseThread::kReopenInterval);
  EXPECT_EQ(first.Accepted(), passes);
  EXPECT_EQ(second.Accepted(), passes);
  EXPECT_EQ(statements_.Count(), 1u);
  EXPECT_TRUE(DrainEvents().empty());
}

// Rows kept in the spool are written back in what the live statements leave of each batch:
// live and written-back together never more than kStatementsPerTick per interval.
TEST_F(DatabaseThreadTest, WriteBackSharesThePacingWithLiveStatements) {
  ScratchFolder folder;
  SpoolKeeper spool;
  ASSERT_TRUE(spool.Open(folder.File("spool.db")).ok());
  constexpr int kMinutes = 60;
  constexpr int kJournal = 20;
  constexpr int kLive = 40;
  for (int m = 0; m < kMinutes; ++m) {
    const DateTime lastCycle = EncodeDateTime({2011, 7, 5, 10, m, 59, 0});
    const std::string key = MinuteKey(lastCycle);
    spool.KeepMinute(lastCycle, key, HistoryUpsertStatement({{"PLS", double(m)}}, key), "");
  }
  for (int j = 0; j < kJournal; ++j) {
    spool.KeepJournal(EncodeDateTime({2011, 7, 5, 10, 3 * j, 30, 0}), 0, "Новое задание",
                      kServiceSource);
  }
  ASSERT_EQ(spool.Waiting().rows, kMinutes + kJournal);
  DrainEvents();
  const StopFirst stopFirst(thread_);

  Thread(kStatementInterval, false, nullptr, &spool);
  const auto start = Clock::now();
  thread_->Start();
  std::thread producer([this] {
    for (int i = 0; i < kLive; ++i) {
      EXPECT_TRUE(statements_.QueueStatement(Insert(i)));
      std::this_thread::sleep_for(25ms);
    }
  });
  const std::string writtenSql =
      "select (select count(*) from seq) + (select count(*) from pu_data) + "
      "(select count(*) from control_log)";
  constexpr double kAll = kMinutes + kJournal + kLive;
  double written = 0;
  Clock::duration elapsed{};
  int samples = 0;
  do {
    written = DbNumberOr(db_.Value(writtenSql), -1);  // before the time: the bound only grows
    elapsed = Clock::now() - start;
    const auto intervals = elapsed / kStatementInterval;
    if (written > kStatementsPerTick * (intervals + 1.0)) {
      ADD_FAILURE() << written << " rows after " << (elapsed / 1ms) << " ms";
      break;  // the producer is joined below
    }
    ++samples;
    std::this_thread::sleep_for(2ms);
  } while (written < kAll && elapsed < 20s);
  producer.join();
  EXPECT_EQ(written, kAll);
  EXPECT_GT(samples, 10);
  EXPECT_GE(elapsed, 9 * kStatementInterval) << "ten batches at least";
  EXPECT_EQ(Stored(), Range(0, kLive));
  EXPECT_EQ(spool.Waiting().rows, 0);
  EXPECT_TRUE(DrainEvents().empty());
}

}  // namespace
}  // namespace kalvix
