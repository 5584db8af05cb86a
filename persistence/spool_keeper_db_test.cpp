#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "persistence/journal_record.h"
#include "persistence/minute_history.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_literal.h"
#include "testing/scratch_folder.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

DateTime At(int hour, int minute, int second, int millisecond = 0) {
  return EncodeDateTime({2011, 7, 5, hour, minute, second, millisecond});
}

// A row for the spool: a minute's columns as the history keeps them, or a journal row.
struct Kept {
  DateTime moment = 0;
  std::vector<HistoryValue> minute;  // empty for a journal row
  int32_t npp = 0;
  std::string message;
};

Kept Minute(DateTime lastCycle, std::vector<HistoryValue> values) {
  return {lastCycle, std::move(values), 0, {}};
}
Kept Journal(DateTime moment, int32_t npp, std::string message) {
  return {moment, {}, npp, std::move(message)};
}

void Put(SpoolKeeper& keeper, const Kept& row) {
  if (row.minute.empty()) {
    keeper.KeepJournal(row.moment, row.npp, row.message, kServiceSource);
    return;
  }
  const std::string key = MinuteKey(row.moment);
  keeper.KeepMinute(row.moment, key, HistoryUpsertStatement(row.minute, key), "");
}

constexpr const char* kMinutes = "select RecMoment, PLS, _PLSZ, G2 from pu_data order by RecMoment";
constexpr const char* kJournal =
    "select RecMoment, NPP, MessageText, MessageKind from control_log order by RecMoment, "
    "MessageText";

class SpoolKeeperDbTest : public DbTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DbTest::SetUp());
    ASSERT_FALSE(folder_.Path().empty());
    ASSERT_NO_FATAL_FAILURE(NewKeeper());
  }
  void TearDown() override {
    keeper_.reset();
    DbTest::TearDown();
  }

  // A keeper on a spool file of its own.
  void NewKeeper() {
    keeper_ = std::make_unique<SpoolKeeper>();
    ASSERT_TRUE(keeper_->Open(folder_.File("spool-" + std::to_string(++files_) + ".db")).ok());
    DrainEvents();
  }

  // The rows of a query, each as "a|b|c".
  std::vector<std::string> Texts(const char* sql) {
    std::vector<std::string> texts;
    for (const auto& row : db_.Rows(sql).rows) {
      std::string text;
      for (const DbValue& value : row) text += (text.empty() ? "" : "|") + DbToText(value);
      texts.push_back(text);
    }
    return texts;
  }

  ScratchFolder folder_;
  int files_ = 0;
  std::unique_ptr<SpoolKeeper> keeper_;
};

// Each row is written once whatever the server holds already; a refused one is said and
// dropped and holds back none behind it.
TEST_F(SpoolKeeperDbTest, ReplayWritesEachRowOnce) {
  const std::vector<HistoryValue> minute = {{"PLS", 1.5}, {"_PLSZ", 1.45}, {"G2", 1012}};
  const Kept order = Journal(At(14, 3, 27, 250), 250, "Новое задание");
  const std::string orderRow = "2011-07-05 14:03:27|250|Новое задание|СЛУЖБА ПРИЕМА";
  struct Case {
    const char* name;
    std::vector<std::string> stored;  // on the server before the replay
    std::vector<Kept> kept;
    std::vector<std::string> minutes;  // kMinutes afterwards
    std::vector<std::string> journal;  // kJournal afterwards
    std::string refused;               // the line that says a row was dropped
  };
  const Case cases[] = {
      {"a minute without its row is inserted",
       {},
       {Minute(At(14, 3, 50), minute)},
       {"2011-07-05 14:03:00|1.5|1.45|1012"},
       {},
       ""},
      {"a minute whose row is there is updated, its set-point left as it was",
       {"insert into pu_data (RecMoment, PLS, _PLSZ, G2) values ('2011-07-05 14:03:00', 1, 1.4, "
        "1000)"},
       {Minute(At(14, 3, 50), minute)},
       {"2011-07-05 14:03:00|1.5|1.4|1012"},
       {},
       ""},
      {"a journal row not there yet is inserted", {}, {order}, {}, {orderRow}, ""},
      {"a journal row already there is not written twice",
       {JournalStatement(order.moment, order.npp, order.message, kServiceSource)},
       {order},
       {},
       {orderRow},
       ""},
      {"a journal row of another text at the same moment and NPP is written",
       {JournalStatement(order.moment, order.npp, "Старое задание", kServiceSource)},
       {order},
       {},
       {orderRow, "2011-07-05 14:03:27|250|Старое задание|СЛУЖБА ПРИЕМА"},
       ""},
      {"a refused row is dropped and the rows behind it are written",
       {},
       {Minute(At(14, 3, 50), {{"NO_SUCH_COLUMN", 1}}), Journal(At(14, 4, 10), 0, "Новое задание"),
        Minute(At(14, 5, 50), minute)},
       {"2011-07-05 14:05:00|1.5|1.45|1012"},
       {"2011-07-05 14:04:10|0|Новое задание|СЛУЖБА ПРИЕМА"},
       "*** Строка буфера записей от 05.07.2011 14:03:50 отвергнута сервером и удалена ***"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_.Exec("delete from pu_data");
    db_.Exec("delete from control_log");
    for (const std::string& sql : c.stored) db_.Exec(sql);
    ASSERT_NO_FATAL_FAILURE(NewKeeper());
    for (const Kept& row : c.kept) Put(*keeper_, row);
    ASSERT_EQ(keeper_->Waiting().rows, static_cast<int64_t>(c.kept.size()));

    EXPECT_EQ(keeper_->Replay(work_, kStatementsPerTick), static_cast<int>(c.kept.size()));
    EXPECT_EQ(keeper_->Waiting().rows, 0);
    EXPECT_EQ(Texts(kMinutes), c.minutes);
    EXPECT_EQ(Texts(kJournal), c.journal);
    const std::vector<std::string> events = DrainEvents();
    if (c.refused.empty()) {
      EXPECT_TRUE(events.empty()) << events.front();
    } else {
      ASSERT_EQ(events.size(), 3u);
      EXPECT_EQ(
          events[0].rfind("*** SQL error: 'INSERT into pu_data (RecMoment , `NO_SUCH_COLUMN`", 0),
          0u)
          << events[0];
      EXPECT_EQ(events[1].rfind("    MySQL: 1054 ", 0), 0u) << events[1];
      EXPECT_EQ(events[2], c.refused);
    }
  }
}

// The server ending the session under a row: the rows before it are written and gone from the
// spool, that row and the ones behind it wait for the next session, and the write-back's end
// is heard once, with every row it took.
TEST_F(SpoolKeeperDbTest, LostConnectionLeavesTheRowInTheSpool) {
  std::vector<int64_t> heard;
  keeper_->SetReplayEnded([&](int64_t rows) { heard.push_back(rows); });
  Put(*keeper_, Journal(At(14, 2, 30), 0, "Новое задание"));
  Put(*keeper_, Minute(At(14, 3, 59), {{"PLS", 1}}));
  Put(*keeper_, Minute(At(14, 4, 59), {{"PLS", 2}}));

  const unsigned long session = work_.SessionId();
  int done = -1;
  RunWhileLocked(
      db_, "pu_data write", session, [&] { done = keeper_->Replay(work_, kStatementsPerTick); },
      [&] { db_.Exec("kill connection " + std::to_string(session)); });
  EXPECT_EQ(done, 1) << "the journal row before the lost one";
  EXPECT_FALSE(work_.Connected());
  EXPECT_EQ(keeper_->Waiting().rows, 2);
  EXPECT_EQ(keeper_->Waiting().oldest, At(14, 3, 59));
  EXPECT_EQ(Texts(kJournal).size(), 1u);
  EXPECT_TRUE(Texts(kMinutes).empty());
  EXPECT_TRUE(heard.empty());

  ASSERT_TRUE(work_.Connect().ok());
  EXPECT_EQ(keeper_->Replay(work_, kStatementsPerTick), 2);
  EXPECT_EQ(Texts(kMinutes), (std::vector<std::string>{"2011-07-05 14:03:00|1|NULL|NULL",
                                                       "2011-07-05 14:04:00|2|NULL|NULL"}));
  EXPECT_EQ(Texts(kJournal).size(), 1u);
  EXPECT_EQ(heard, std::vector<int64_t>{3});
}

// The history keeps a minute again while its former values are on their way to the server:
// the removal of the written row leaves the newer one, which the next round writes.
TEST_F(SpoolKeeperDbTest, MinuteKeptAgainDuringItsReplayIsWrittenAgain) {
  Put(*keeper_, Minute(At(14, 3, 30), {{"PLS", 1}, {"G2", 1000}}));
  const unsigned long session = work_.SessionId();
  int done = -1;
  RunWhileLocked(
      db_, "pu_data write", session, [&] { done = keeper_->Replay(work_, kStatementsPerTick); },
      [&] {
        Put(*keeper_, Minute(At(14, 3, 59), {{"PLS", 2}, {"G2", 1010}}));
      });
  EXPECT_EQ(done, 1);
  EXPECT_EQ(Texts(kMinutes), std::vector<std::string>{"2011-07-05 14:03:00|1|NULL|1000"});
  ASSERT_EQ(keeper_->Waiting().rows, 1) << "the newer values stay";

  EXPECT_EQ(keeper_->Replay(work_, kStatementsPerTick), 1);
  EXPECT_EQ(Texts(kMinutes), std::vector<std::string>{"2011-07-05 14:03:00|2|NULL|1010"});
  EXPECT_EQ(keeper_->Waiting().rows, 0);
}

// A write-back spread over several rounds is heard once, when the spool runs empty, with the
// rows written (a refused one is not); a later write-back is counted afresh.
TEST_F(SpoolKeeperDbTest, ReplayEndIsHeardOnceWithTheRowsWritten) {
  std::vector<int64_t> heard;
  keeper_->SetReplayEnded([&](int64_t rows) { heard.push_back(rows); });
  Put(*keeper_, Minute(At(14, 1, 59), {{"PLS", 1}}));
  Put(*keeper_, Journal(At(14, 2, 10), 0, "Новое задание"));
  Put(*keeper_, Minute(At(14, 2, 59), {{"NO_SUCH_COLUMN", 1}}));
  Put(*keeper_, Minute(At(14, 3, 59), {{"PLS", 2}}));
  Put(*keeper_, Journal(At(14, 4, 10), 0, "Новое задание"));
  Put(*keeper_, Minute(At(14, 4, 59), {{"PLS", 3}}));

  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(keeper_->Replay(work_, 2), 2);
    EXPECT_TRUE(heard.empty()) << "round " << round;
  }
  EXPECT_EQ(keeper_->Replay(work_, 2), 2);
  EXPECT_EQ(heard, std::vector<int64_t>{5});
  EXPECT_EQ(keeper_->Replay(work_, 2), 0);
  EXPECT_EQ(heard, std::vector<int64_t>{5}) << "an empty spool says nothing";

  Put(*keeper_, Journal(At(14, 6, 10), 0, "Новое задание"));
  EXPECT_EQ(keeper_->Replay(work_, 2), 1);
  EXPECT_EQ(heard, (std::vector<int64_t>{5, 1}));
  DrainEvents();
}

}  // namespace
}  // namespace kalvix
