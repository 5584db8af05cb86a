#include "persistence/plant_constants.h"

#include <gtest/gtest.h>

#include "persistence/retention.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

class PlantConstantsTest : public DbTest {
 protected:
  // Runs what the constants queued, as the window thread's statement timer would.
  void RunStatements() {
    std::atomic<bool> closing{false};
    RetentionCheck retention(Now());
    RetentionPolicy policy;
    while (statements_.Count() > 0) {
      ASSERT_GT(TimerMySQL_workTimer(statements_, work_, closing, retention, policy), 0);
    }
  }

  std::vector<std::vector<DbValue>> SetupRows() {
    return db_.Rows("select ConstName, ConstVal, Comment from setup order by ConstName").rows;
  }

  SqlSelectQueue selects_;
  SqlStatementQueue statements_;
};

TEST_F(PlantConstantsTest, EmptyTableIsSeededWithTheValuesInMemory) {
  PlantConstants constants;
  {
    SelectServerThread window(selects_, work_);
    EXPECT_TRUE(SeedSetupConsts(selects_, statements_, constants));
  }
  EXPECT_EQ(statements_.Count(), 2u);
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  const std::vector<std::vector<DbValue>> expected = {
      {DbValue{std::string("MIN_NAGR")}, DbValue{0.0}, DbValue{std::string("")}},
      {DbValue{std::string("MIN_PLS")}, DbValue{0.0}, DbValue{std::string("")}},
  };
  EXPECT_EQ(SetupRows(), expected);

  // The next start reads them back and adds nothing.
  {
    SelectServerThread window(selects_, work_);
    EXPECT_TRUE(SeedSetupConsts(selects_, statements_, constants));
  }
  EXPECT_EQ(statements_.Count(), 0u);
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(PlantConstantsTest, StoredValuesAreReadAndOthersIgnored) {
  db_.Exec(
      "insert into setup values ('MIN_PLS', 1.35, 'density'), ('MIN_NAGR', 80, ''), "
      "('OTHER', 7, '')");
  PlantConstants constants;
  SelectServerThread window(selects_, work_);
  EXPECT_TRUE(SeedSetupConsts(selects_, statements_, constants));
  EXPECT_EQ(constants.MIN_PLS.load(), 1.35);
  EXPECT_EQ(constants.MIN_NAGR.load(), 80);
  EXPECT_EQ(statements_.Count(), 0u);
}

// A name with an apostrophe neither breaks the statements nor adds to them.
TEST_F(PlantConstantsTest, NameWithApostropheIsQuoted) {
  const std::string name = "MIN_'X'); delete from setup; --";
  db_.Exec("insert into setup values ('KEEP', 1, '')");
  double value = 2.5;
  {
    SelectServerThread window(selects_, work_);
    EXPECT_FALSE(ReadSetupConst(selects_, name, value));
    EXPECT_TRUE(EnsureSetupConst(selects_, statements_, name, value));
  }
  ASSERT_NO_FATAL_FAILURE(RunStatements());
  EXPECT_TRUE(DrainEvents().empty());
  const std::vector<std::vector<DbValue>> expected = {
      {DbValue{std::string("KEEP")}, DbValue{1.0}, DbValue{std::string("")}},
      {DbValue{name}, DbValue{2.5}, DbValue{std::string("")}},
  };
  EXPECT_EQ(SetupRows(), expected);
  SelectServerThread window(selects_, work_);
  value = 0;
  EXPECT_TRUE(ReadSetupConst(selects_, name, value));
  EXPECT_EQ(value, 2.5);
}

// A constant whose value is NULL is there but unusable: it is reported, no second row is
// queued and the value in memory stays as it was.
TEST_F(PlantConstantsTest, NullValueIsAFailureWithoutInsert) {
  db_.Exec("insert into setup values ('MIN_PLS', NULL, '')");
  PlantConstants constants;
  constants.MIN_PLS = 0.5;
  SelectServerThread window(selects_, work_);
  EXPECT_FALSE(SeedSetupConsts(selects_, statements_, constants));
  EXPECT_EQ(constants.MIN_PLS.load(), 0.5);
  EXPECT_EQ(statements_.Count(), 0u);  // MIN_NAGR is left unread too
  EXPECT_EQ(DrainEvents(), std::vector<std::string>{
                               "*** Константа MIN_PLS в таблице setup не читается: NULL ***"});
}

}  // namespace
}  // namespace kalvix
