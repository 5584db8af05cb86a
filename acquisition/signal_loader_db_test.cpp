#include <gtest/gtest.h>

#include "acquisition/signal_loader.h"
#include "persistence/sql_literal.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

class SignalLoaderTest : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(work_.Connect().ok());
  }
  void LoadDefaultPlant() { db_.InstallDefaultPlant(); }
  double Count(const std::string& sql) { return DbNumberOr(db_.Value(sql), -1); }

  SignalSet set_;
};

TEST_F(SignalLoaderTest, DefaultPlantLoadsInBusAndNameOrderWithItsCalibrations) {
  LoadDefaultPlant();
  ASSERT_TRUE(LoadSignalSet(work_, set_).ok());
  ASSERT_EQ(set_.SignalCount(), 27);
  const auto& s = set_.Signals();
  EXPECT_EQ(s[0].BusName, "BK");
  EXPECT_EQ(s[0].SignalName, "BKK23");
  const TSignalSet& pls = s[static_cast<size_t>(set_.SignalIndex("pls"))];
  EXPECT_EQ(pls.BusName, "JUMO");
  EXPECT_EQ(pls.DevNum, 1);
  EXPECT_EQ(pls.Addr, 53);
  EXPECT_EQ(pls.Kind, kKindFloat);
  EXPECT_TRUE(pls.InverseBytes);
  EXPECT_TRUE(pls.InverseWords);
  EXPECT_EQ(pls.Direction, "READ");
  ASSERT_EQ(pls.calibration.PointCount, 5);
  EXPECT_DOUBLE_EQ(CalibrateValue(12, &pls.calibration), 1.585);
  EXPECT_NE(set_.Average(26), nullptr);
}

// An empty layout is seeded from the history table's columns by the default rules.
TEST_F(SignalLoaderTest, EmptyLayoutIsSeededFromHistoryColumns) {
  db_.Exec("drop table pu_data");
  db_.Exec(
      "create table pu_data (RecMoment datetime primary key, A double, B double, C double, "
      "D double, E double, _PLSZ double, _TNZ double, RAB double, G_1T2 double, F double, "
      "BKK23 double)");
  ASSERT_TRUE(LoadSignalSet(work_, set_).ok());
  struct Expected {
    const char* name;
    const char* bus;
    int dev, addr, kind;
    const char* direction;
  };
  const Expected expected[] = {
      {"A", "JUMO", 1, 53, 1, "READ"},     {"B", "JUMO", 1, 71, 1, "READ"},
      {"C", "JUMO", 2, 53, 1, "READ"},     {"D", "JUMO", 2, 71, 1, "READ"},
      {"E", "V120", 1, 110, 0, "READ"},    {"_PLSZ", "JUMO", 1, 8, 1, "WRITE"},
      {"_TNZ", "JUMO", 2, 8, 1, "WRITE"},  {"RAB", "CALC", 0, 0, 1, ""},
      {"G_1T2", "V120", 1, 52, 2, "READ"}, {"F", "V120", 1, 112, 0, "READ"},
      {"BKK23", "V120", 1, 10, 3, "READ"},
  };
  ASSERT_EQ(set_.SignalCount(), 11);
  for (size_t k = 0; k < 11; ++k) {
    const TSignalSet& s = set_.Signals()[k];
    const Expected& e = expected[k];
    EXPECT_EQ(s.SignalName, e.name);
    EXPECT_EQ(s.BusName, e.bus) << e.name;
    EXPECT_EQ(s.DevNum, e.dev) << e.name;
    EXPECT_EQ(s.Addr, e.addr) << e.name;
    EXPECT_EQ(s.Kind, e.kind) << e.name;
    EXPECT_EQ(s.Direction, e.direction) << e.name;
  }
  EXPECT_EQ(Count("select count(*) from `signal`"), 11);
  EXPECT_EQ(Count("select count(*) from `signal` where BusName='V120' and Direction='READ'"), 4);
  // Every signal got the identity calibration, in the table too.
  EXPECT_EQ(Count("select count(*) from kalibr"), 22);
  EXPECT_DOUBLE_EQ(CalibrateValue(-10, &set_.Signals()[0].calibration), -10);

  // The next load reads the seeded table instead.
  SignalSet again;
  ASSERT_TRUE(LoadSignalSet(work_, again).ok());
  EXPECT_EQ(again.SignalCount(), 11);
  EXPECT_EQ(Count("select count(*) from kalibr"), 22);
}

TEST_F(SignalLoaderTest, CalibrationPointsAscendAndOverlongTablesAreCut) {
  db_.Exec("insert into `signal` values ('JUMO', 'X', 1, 53, 1, 1, 1, 'READ')");
  db_.Exec("insert into `signal` values ('JUMO', 'Y', 1, 71, 1, 1, 1, 'READ')");
  db_.Exec("insert into kalibr values ('X', 20, 150), ('X', 0, 0), ('X', 10, 100)");
  std::string many = "insert into kalibr values ('Y', 0, 0)";
  for (int i = 1; i < 600; ++i)
    many += ", ('Y', " + std::to_string(i) + ", " + std::to_string(2 * i) + ")";
  db_.Exec(many);
  DrainEvents();
  ASSERT_TRUE(LoadSignalSet(work_, set_).ok());
  const CalibrationTable& x = set_.Signals()[0].calibration;
  ASSERT_EQ(x.PointCount, 3);
  EXPECT_EQ(x.AVal[0], 0);
  EXPECT_EQ(x.AVal[2], 20);
  const CalibrationTable& y = set_.Signals()[1].calibration;
  EXPECT_EQ(y.PointCount, kMaxLoadedCalibrationPoints);
  EXPECT_DOUBLE_EQ(CalibrateValue(100, &y), 200) << "a cut table still converts";
  const auto events = DrainEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("Y"), std::string::npos);
}

TEST_F(SignalLoaderTest, MoreThanAHundredSignalsLoadNothing) {
  set_.Replace({TSignalSet{}});
  std::string sql = "insert into `signal` values ('V120', 'S0', 1, 100, 0, 0, 0, 'READ')";
  for (int i = 1; i < 101; ++i) {
    sql += ", ('V120', 'S" + std::to_string(i) + "', 1, 100, 0, 0, 0, 'READ')";
  }
  db_.Exec(sql);
  DrainEvents();
  ASSERT_TRUE(LoadSignalSet(work_, set_).ok());
  EXPECT_EQ(set_.SignalCount(), 1) << "the previous set stays";
  EXPECT_EQ(DrainEvents(), std::vector<std::string>{"### Слишком много сигналов ###"});
}

// Names with quotes, blanks and reserved words, NULLs and text in number columns: the
// statements neither break nor let a name act as SQL.
TEST_F(SignalLoaderTest, OddNamesAndValuesAreHandledSafely) {
  db_.Exec("alter table `signal` modify DevNum varchar(10)");
  db_.Exec(
      "insert into `signal` values ('V120', 'it''s', NULL, NULL, NULL, NULL, NULL, 'READ'), "
      "('V120', 'select', 'abc', 7, 0, 0, 0, 'READ'), ('V120', 'a b', '3', 8, 0, 0, 0, NULL), "
      "('V120', '\\');drop table kalibr', 1, 9, 0, 0, 0, 'READ')");
  ASSERT_TRUE(LoadSignalSet(work_, set_).ok());
  ASSERT_EQ(set_.SignalCount(), 4);
  const TSignalSet& quote = set_.Signals()[static_cast<size_t>(set_.SignalIndex("it's"))];
  EXPECT_EQ(quote.DevNum, 0);
  EXPECT_EQ(quote.Addr, 0);
  EXPECT_EQ(set_.Signals()[static_cast<size_t>(set_.SignalIndex("a b"))].Direction, "");
  EXPECT_EQ(Count("select count(*) from kalibr where SignalName='it''s'"), 2);
  EXPECT_EQ(Count("select count(*) from kalibr"), 8) << "kalibr is still there, with every row";
}

// An empty name is a name like any other in the statements: its points are counted and
// stored under '', and the load goes on to the signals after it (PLS here).
TEST_F(SignalLoaderTest, EmptySignalNameGetsItsPointsAndLoadsTheRest) {
  LoadDefaultPlant();
  db_.Exec("insert into `signal` values ('JUMO', '', 1, 99, 1, 1, 1, 'READ')");
  const DbStatus status = LoadSignalSet(work_, set_);
  ASSERT_TRUE(status.ok()) << status.Describe();
  ASSERT_EQ(set_.SignalCount(), 28);
  EXPECT_EQ(Count("select count(*) from kalibr where SignalName=''"), 2);
  const TSignalSet& pls = set_.Signals()[static_cast<size_t>(set_.SignalIndex("PLS"))];
  ASSERT_EQ(pls.calibration.PointCount, 5);
  EXPECT_DOUBLE_EQ(CalibrateValue(12, &pls.calibration), 1.585);
}

TEST_F(SignalLoaderTest, MissingTableIsReturnedAsAnError) {
  db_.Exec("drop table kalibr");
  db_.Exec("insert into `signal` values ('V120', 'A', 1, 100, 0, 0, 0, 'READ')");
  set_.Replace({TSignalSet{}});
  const DbStatus status = LoadSignalSet(work_, set_);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.code, 1146u) << status.Describe();
  EXPECT_EQ(set_.SignalCount(), 1) << "a half-loaded set never replaces the one in use";
}

}  // namespace
}  // namespace kalvix
