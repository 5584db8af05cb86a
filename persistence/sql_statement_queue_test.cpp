#include "persistence/sql_statement_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/retention.h"
#include "persistence/spool.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_literal.h"
#include "testing/history_test_support.h"
#include "testing/scratch_folder.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

class SqlStatementQueueTest : public DbTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DbTest::SetUp());
    db_.Exec("create table seq (id int auto_increment primary key, v int not null)");
  }

  static std::string Insert(int v) {
    return "insert into seq (v) values (" + std::to_string(v) + ")";
  }

  int Tick() { return TimerMySQL_workTimer(queue_, work_, closing_, retention_, policy_); }

  // The values stored, in the order they were inserted.
  std::vector<int64_t> Stored() {
    std::vector<int64_t> values;
    for (const auto& row : db_.Rows("select v from seq order by id").rows) {
      values.push_back(std::get<int64_t>(row[0]));
    }
    return values;
  }

  static std::vector<int64_t> Range(int n) {
    std::vector<int64_t> values;
    for (int i = 0; i < n; ++i) values.push_back(i);
    return values;
  }

  SqlStatementQueue queue_;
  std::atomic<bool> closing_{false};
  RetentionCheck retention_{Now()};
  RetentionPolicy policy_;
};

TEST_F(SqlStatementQueueTest, RunsInOrderAtMostTwelvePerTick) {
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(queue_.QueueStatement(Insert(i)));
  EXPECT_EQ(Tick(), 12);
  EXPECT_EQ(Stored().size(), 12u);
  EXPECT_EQ(Tick(), 12);
  EXPECT_EQ(Tick(), 6);
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Stored(), Range(30));
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(SqlStatementQueueTest, BacklogWhileDisconnectedRunsAfterReconnection) {
  work_.Disconnect();
  for (int i = 0; i < 101; ++i) ASSERT_TRUE(queue_.QueueStatement(Insert(i))) << i;
  EXPECT_EQ(queue_.Refused(), 0u);
  EXPECT_FALSE(queue_.QueueStatement(Insert(101)));  // the 102nd is refused
  EXPECT_EQ(queue_.Refused(), 1u);
  EXPECT_EQ(Tick(), 0);  // nothing runs while down
  EXPECT_EQ(queue_.Count(), 101u);

  ASSERT_TRUE(work_.Connect().ok());
  int ticks = 0;
  while (queue_.Count() > 0 && ticks < 20) {
    EXPECT_LE(Tick(), kStatementsPerTick);
    ++ticks;
  }
  EXPECT_EQ(ticks, 9);  // 8 x 12 + 5
  EXPECT_EQ(Stored(), Range(101));
}

TEST_F(SqlStatementQueueTest, RejectedStatementIsReportedOnceAndDropped) {
  const std::string bad = "insert into no_such_table (v) values ('it''s')";
  queue_.QueueStatement(Insert(0));
  queue_.QueueStatement(Insert(1));
  queue_.QueueStatement(bad);
  queue_.QueueStatement(Insert(2));
  EXPECT_EQ(Tick(), 4);
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Stored(), Range(3));
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "*** SQL error: " + SqlText(bad));
  EXPECT_EQ(events[1].rfind("    MySQL: 1146 ", 0), 0u) << events[1];
}

TEST_F(SqlStatementQueueTest, LostConnectionKeepsTheStatementForTheReconnection) {
  for (int i = 0; i < 3; ++i) queue_.QueueStatement(Insert(i));
  db_.Exec("kill connection " + std::to_string(work_.SessionId()));
  EXPECT_EQ(Tick(), 0);
  EXPECT_FALSE(work_.Connected());
  EXPECT_EQ(queue_.Count(), 3u);
  const std::vector<std::string> events = DrainEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("*** Соединение с MySQL сервером потеряно: ", 0), 0u) << events[0];

  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(Tick(), 3);
  EXPECT_EQ(Stored(), Range(3));
}

// A statement that breaks the connection every time it runs must not block the queue for
// good: after kMaxLostAttempts it is reported and dropped.
TEST_F(SqlStatementQueueTest, StatementThatAlwaysBreaksTheConnectionIsGivenUp) {
  const std::string poison = "kill connection connection_id()";
  queue_.QueueStatement(poison);
  queue_.QueueStatement(Insert(0));
  for (int attempt = 0; attempt < SqlStatementQueue::kMaxLostAttempts; ++attempt) {
    ASSERT_TRUE(work_.Connect().ok());
    Tick();
  }
  ASSERT_TRUE(work_.Connect().ok());
  Tick();
  EXPECT_EQ(queue_.Count(), 0u);
  EXPECT_EQ(Stored(), Range(1));
  const std::vector<std::string> events = DrainEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(std::count(events.begin(), events.end(), "*** SQL error: " + SqlText(poison)), 1);
}

TEST_F(SqlStatementQueueTest, ClosingStopsTheServer) {
  queue_.QueueStatement(Insert(0));
  closing_ = true;
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(queue_.Count(), 1u);
}

TEST_F(SqlStatementQueueTest, RetentionDeletesRunAfterTheQueue) {
  RetentionCheck due(Now() - 3.0 / 24.0);
  queue_.QueueStatement(Insert(0));
  EXPECT_EQ(TimerMySQL_workTimer(queue_, work_, closing_, due, policy_), 1);
  EXPECT_EQ(queue_.Count(), 3u);  // queued at the end of the tick, run at the next
  EXPECT_EQ(TimerMySQL_workTimer(queue_, work_, closing_, due, policy_), 3);
  EXPECT_TRUE(DrainEvents().empty());
}

DateTime At(int hour, int minute, int second, int millisecond = 0) {
  return EncodeDateTime({2011, 7, 5, hour, minute, second, millisecond});
}

// The statements of rows that must not be lost, the minute history's and the journal's, with
// the spool behind the queue as the service runs it.
class KeptStatementTest : public SqlStatementQueueTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SqlStatementQueueTest::SetUp());
    ASSERT_FALSE(folder_.Path().empty());
    using testing::Signal;
    set_.Replace({Signal("PLS", "READ"), Signal("G2", "READ"), Signal("G23", "READ"),
                  Signal("G41", "READ"), Signal("G_1T2", ""), Signal("G_1T23", ""),
                  Signal("G_1T41", "")});
    ASSERT_NO_FATAL_FAILURE(Restart());
  }
  void TearDown() override {
    queue_.SetKeeping(nullptr, nullptr);
    SqlStatementQueueTest::TearDown();
  }

  // Serves the queue until it is empty (false when it stops serving before).
  bool RunAll() {
    for (int tick = 0; tick < 100 && queue_.Count() > 0; ++tick) Tick();
    return queue_.Count() == 0;
  }

  // A new history and journal numbering, a new spool file and an empty queue.
  void Restart() {
    ASSERT_TRUE(RunAll());
    db_.Exec("delete from pu_data");
    history_ = std::make_unique<MinuteHistory>();
    journal_ = std::make_unique<JournalNumbering>(Now());
    spoolFile_ = folder_.File("spool-" + std::to_string(++files_) + ".db");
    keeper_ = std::make_unique<SpoolKeeper>();
    ASSERT_TRUE(keeper_->Open(spoolFile_).ok());
    queue_.SetKeeping(keeper_.get(), [this] { return work_.Down(); });
    DrainEvents();
  }

  void Cycle(DateTime now, double g2) {
    control_.ModuleLastOk[kModuleV120] = now;
    control_.ModuleLastOk[kModuleBk003] = now;
    set_.AveragedValues.SetSlot(set_.SignalIndex("G2"), g2);
    ASSERT_TRUE(history_->Update_PAF_record(set_, control_, {}, selects_, queue_, now));
  }
  void Journal(DateTime moment) {
    ASSERT_TRUE(AddJournalRecordAt(*journal_, queue_, moment, "Новое задание", kServiceSource));
  }

  // The server ends the session under the statement at the head, kMaxLostAttempts times in a
  // row, as a server that dies under that statement again and again would.
  void LoseTheHeadEveryTime() {
    for (int attempt = 0; attempt < SqlStatementQueue::kMaxLostAttempts; ++attempt) {
      ASSERT_TRUE(work_.Connect().ok());
      const unsigned long session = work_.SessionId();
      RunWhileLocked(
          db_, "pu_data write, control_log write", session, [this] { Tick(); },
          [&] { db_.Exec("kill connection " + std::to_string(session)); });
    }
    ASSERT_TRUE(work_.Connect().ok());
  }

  // What the spool holds, oldest first: "minute 2011-07-05 14:03:00 G2=1004;G23=0;G41=0" or
  // "journal 05.07.2011 14:03:27 250 Новое задание".
  std::vector<std::string> Spooled() {
    Spool reader;
    std::vector<SpoolRow> rows;
    EXPECT_TRUE(reader.Open(spoolFile_).ok());
    EXPECT_TRUE(reader.Oldest(1000, rows).ok());
    std::vector<std::string> texts;
    for (const SpoolRow& row : rows) {
      texts.push_back(row.kind == SpoolRowKind::kMinute
                          ? "minute " + row.minuteKey + " " + row.counters
                          : "journal " + FormatDateTime("dd.mm.yyyy hh:nn:ss", row.moment) + " " +
                                std::to_string(row.npp) + " " + row.message);
    }
    return texts;
  }

  ScratchFolder folder_;
  int files_ = 0;
  std::string spoolFile_;
  SignalSet set_;
  ControlState control_;
  SqlSelectQueue selects_;
  std::unique_ptr<MinuteHistory> history_;
  std::unique_ptr<JournalNumbering> journal_;
  std::unique_ptr<SpoolKeeper> keeper_;
};

// A statement given up after kMaxLostAttempts lost connections goes to the keeper whole: a
// minute as its last cycle left it (at once when it has ended, else when it ends), a journal
// row with its moment and NPP.
TEST_F(KeptStatementTest, StatementGivenUpWithTheConnectionIsKept) {
  enum class Head { kMinuteInsert, kEndedMinuteUpdate, kJournal };
  struct Case {
    const char* name;
    Head head;
    std::vector<std::string> spooled;
  };
  const Case cases[] = {
      {"the insert of the running minute",
       Head::kMinuteInsert,
       {"minute 2011-07-05 14:03:00 G2=1004;G23=0;G41=0"}},
      {"an update of a minute that has ended",
       Head::kEndedMinuteUpdate,
       {"minute 2011-07-05 14:03:00 G2=1012;G23=0;G41=0"}},
      {"a journal row", Head::kJournal, {"journal 05.07.2011 14:03:27 250 Новое задание"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Restart());
    switch (c.head) {
      case Head::kMinuteInsert:
        Cycle(At(14, 3, 10), 1004);
        break;
      case Head::kEndedMinuteUpdate:
        Cycle(At(14, 3, 10), 1004);
        ASSERT_EQ(Tick(), 1);
        Cycle(At(14, 3, 50), 1012);
        Cycle(At(14, 4, 5), 1020);
        break;
      case Head::kJournal:
        Journal(At(14, 3, 27, 250));
        break;
    }
    ASSERT_NO_FATAL_FAILURE(LoseTheHeadEveryTime());
    const std::vector<std::string> events = DrainEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.starts_with("*** SQL error: "); }),
              1)
        << ::testing::PrintToString(events);
    if (c.head == Head::kMinuteInsert) {
      EXPECT_TRUE(Spooled().empty()) << "the minute runs on";
      Cycle(At(14, 4, 5), 1010);
    }
    EXPECT_EQ(Spooled(), c.spooled);
    EXPECT_TRUE(RunAll());
    EXPECT_EQ(db_.Value("select count(*) from pu_data where RecMoment='2011-07-05 14:04:00'"),
              DbValue{int64_t{c.head == Head::kJournal ? 0 : 1}})
        << "the next minute's insert went on";
  }
}

// At the end of the service the statements that must not be lost and still wait go to the
// keeper; the others stay for the queue.
TEST_F(KeptStatementTest, GiveUpKeptHandsOverOnlyTheKeptStatements) {
  ASSERT_TRUE(queue_.QueueStatement(Insert(0)));
  Cycle(At(14, 3, 10), 1004);
  Journal(At(14, 3, 27, 250));
  ASSERT_TRUE(queue_.QueueStatement(Insert(1)));
  history_->KeepUnwrittenMinute(keeper_.get());  // the control thread's end
  EXPECT_TRUE(Spooled().empty()) << "its insert still waits";

  queue_.GiveUpKept();
  EXPECT_EQ(queue_.Count(), 2u);
  EXPECT_EQ(Spooled(), (std::vector<std::string>{"minute 2011-07-05 14:03:00 G2=1004;G23=0;G41=0",
                                                 "journal 05.07.2011 14:03:27 250 Новое задание"}));
  EXPECT_EQ(Tick(), 2);
  EXPECT_EQ(Stored(), Range(2));
  EXPECT_EQ(db_.Value("select count(*) from pu_data"), DbValue{int64_t{0}});
  EXPECT_EQ(db_.Value("select count(*) from control_log"), DbValue{int64_t{0}});
}

}  // namespace
}  // namespace kalvix
