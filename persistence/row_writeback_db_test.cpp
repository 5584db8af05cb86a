// Writing edited rows back to tables without a row id, against the private MariaDB server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "persistence/row_writeback.h"
#include "persistence/sql_literal.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

const std::vector<std::string> kKalibrColumns = {"SignalName", "AVal", "FVal"};
const std::vector<std::string> kSignalColumns = {
    "BusName", "SignalName", "DevNum", "Addr", "Kind", "InverseBytes", "InverseWords", "Direction"};

using Row = std::vector<DbValue>;

class RowWritebackTest : public DbTest {
 protected:
  DbStatus Write(std::string_view table, const std::vector<std::string>& columns,
                 RowChange::Kind kind, Row before, Row after = {}) {
    return WriteRowChange(work_, table, columns,
                          RowChange{kind, std::move(before), std::move(after)});
  }
  DbResult Kalibr() {
    return db_.Rows("select SignalName, AVal, FVal from kalibr order by SignalName, AVal, FVal");
  }
};

TEST(RowChangeSql, UpdateSetsOnlyChangedColumnsAndFindsNullsWithIsNull) {
  const RowChange change{RowChange::Kind::kUpdate,
                         {std::string("JUMO"), std::string("PLS"), std::monostate{}, int64_t{53}},
                         {std::string("V120"), std::string("PLS"), std::monostate{}, int64_t{53}}};
  EXPECT_EQ(RowChangeSql("signal", {"BusName", "SignalName", "DevNum", "Addr"}, change),
            "UPDATE `signal` SET `BusName` = 'V120' WHERE `BusName` = 'JUMO' AND "
            "`SignalName` = 'PLS' AND `DevNum` IS NULL AND `Addr` = 53 LIMIT 1");
  const RowChange same{RowChange::Kind::kUpdate, change.before, change.before};
  EXPECT_EQ(RowChangeSql("signal", {"BusName", "SignalName", "DevNum", "Addr"}, same), "")
      << "nothing to write";
}

// Of two identical rows, an update or a delete touches exactly one.
TEST_F(RowWritebackTest, OneOfTwoIdenticalRowsChanges) {
  db_.Exec("insert into kalibr values ('PLS', 4, 1.2), ('PLS', 4, 1.2)");
  ASSERT_TRUE(Write("kalibr", kKalibrColumns, RowChange::Kind::kUpdate,
                    {std::string("PLS"), 4.0, 1.2}, {std::string("PLS"), 4.0, 1.25})
                  .ok());
  DbResult rows = Kalibr();
  ASSERT_EQ(rows.rows.size(), 2u);
  EXPECT_EQ(DbNumberOr(rows.rows[0][2], 0), 1.2);
  EXPECT_EQ(DbNumberOr(rows.rows[1][2], 0), 1.25);

  db_.Exec("insert into kalibr values ('PLS', 4, 1.2)");
  ASSERT_TRUE(
      Write("kalibr", kKalibrColumns, RowChange::Kind::kDelete, {std::string("PLS"), 4.0, 1.2})
          .ok());
  rows = Kalibr();
  ASSERT_EQ(rows.rows.size(), 2u) << "one of the two identical rows is left";
  EXPECT_EQ(DbNumberOr(rows.rows[0][2], 0), 1.2);
  EXPECT_EQ(DbNumberOr(rows.rows[1][2], 0), 1.25);
}

// The table `signal` (a reserved word), NULL columns found and written, an empty direction
// kept as an empty text.
TEST_F(RowWritebackTest, SignalRowWithNullsAndEmptyDirection) {
  db_.Exec("insert into `signal` values ('CALC', 'RAB', NULL, NULL, 1, 0, 0, '')");
  const Row before = {std::string("CALC"), std::string("RAB"), std::monostate{}, std::monostate{},
                      int64_t{1},          int64_t{0},         int64_t{0},       std::string("")};
  Row after = before;
  after[4] = int64_t{3};
  after[2] = int64_t{7};
  ASSERT_TRUE(Write("signal", kSignalColumns, RowChange::Kind::kUpdate, before, after).ok());
  Row back = after;
  back[2] = std::monostate{};
  ASSERT_TRUE(Write("signal", kSignalColumns, RowChange::Kind::kUpdate, after, back).ok());
  const DbResult rows = db_.Rows("select * from `signal`");
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0], back);
}

// A name with a quote, backslash and an SQL tail is stored and found as text, never run.
TEST_F(RowWritebackTest, QuotedNamesRoundTrip) {
  const std::string name = R"(it's \"x'); drop --)";
  ASSERT_TRUE(
      Write("kalibr", kKalibrColumns, RowChange::Kind::kInsert, {}, {name, 50.0, 48.0}).ok());
  DbResult rows = Kalibr();
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(DbToText(rows.rows[0][0]), name);
  ASSERT_TRUE(Write("kalibr", kKalibrColumns, RowChange::Kind::kDelete, rows.rows[0]).ok());
  EXPECT_TRUE(Kalibr().rows.empty());
}

// A real stored with more digits than SqlFloat writes is still found by the value read.
TEST_F(RowWritebackTest, RealIsMatchedExactly) {
  db_.Exec("insert into kalibr values ('PLS', 1e0/3e0, 2e0/3e0)");
  const DbResult rows = Kalibr();
  ASSERT_EQ(rows.rows.size(), 1u);
  Row after = rows.rows[0];
  after[2] = 0.5;
  ASSERT_TRUE(Write("kalibr", kKalibrColumns, RowChange::Kind::kUpdate, rows.rows[0], after).ok());
  EXPECT_EQ(DbNumberOr(Kalibr().rows[0][2], 0), 0.5);
}

// A plant's kalibr may keep its reals as FLOAT (the server then sends 6 significant digits
// of the stored value), DOUBLE or with fixed decimals. Whatever the type, a row is found by
// the values read back from it, and, after an edit, by the values the operator typed (the
// grid keeps them as typed, and the server stored them rounded to the column).
TEST_F(RowWritebackTest, RealsAreFoundAtTheColumnsOwnPrecision) {
  using Kind = DbColumnType::Kind;
  const struct {
    const char* type;
    DbColumnType expected;
  } cases[] = {
      {"FLOAT", {Kind::kFloat, DbColumnType::kFloatingDecimals}},
      {"DOUBLE", {Kind::kDouble, DbColumnType::kFloatingDecimals}},
      {"FLOAT(9,4)", {Kind::kFloat, 4}},
      {"DOUBLE(12,3)", {Kind::kDouble, 3}},
      {"DECIMAL(12,4)", {Kind::kDecimal, 4}},
  };
  const char* const stored[] = {"0.1", "1e0/3e0", "1e-7", "-2.5", "12345.678"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    db_.Exec("delete from kalibr");
    db_.Exec(std::string("alter table kalibr modify AVal ") + c.type + " not null, modify FVal " +
             c.type + " not null");
    for (const char* value : stored) {
      db_.Exec(std::string("insert into kalibr values ('PLS', ") + value + ", " + value + ")");
    }
    DbResult read;
    ASSERT_TRUE(work_.Query("select * from kalibr order by AVal", read).ok());
    ASSERT_EQ(read.columnTypes.size(), 3u);
    EXPECT_EQ(read.columnTypes[1], c.expected);
    EXPECT_EQ(read.columnTypes[2], c.expected);

    std::vector<Row> written;  // as the grid holds the rows it wrote: reals through SqlFloat
    for (const Row& row : read.rows) {
      SCOPED_TRACE(DbToText(row[1]));
      const auto asWritten = [](double x) { return std::strtod(SqlFloat(x).c_str(), nullptr); };
      // Typed with more digits than the column keeps.
      Row typed = row;
      typed[2] = asWritten(DbNumberOr(row[2], 0) + 1.0 / 7);
      DbStatus status = WriteRowChange(work_, "kalibr", kKalibrColumns,
                                       {RowChange::Kind::kUpdate, row, typed}, read.columnTypes);
      ASSERT_TRUE(status.ok()) << "found by the values read: " << status.Describe();
      status = WriteRowChange(work_, "kalibr", kKalibrColumns,
                              {RowChange::Kind::kUpdate, typed, row}, read.columnTypes);
      ASSERT_TRUE(status.ok()) << "found by the values typed: " << status.Describe();
      written.push_back({row[0], row[1], asWritten(DbNumberOr(row[2], 0))});
    }
    DbResult back;
    ASSERT_TRUE(work_.Query("select * from kalibr order by AVal", back).ok());
    EXPECT_EQ(back.rows, written) << "every row back as it was, none changed twice";

    for (const Row& row : back.rows) {
      EXPECT_TRUE(WriteRowChange(work_, "kalibr", kKalibrColumns,
                                 {RowChange::Kind::kDelete, row, {}}, read.columnTypes)
                      .ok())
          << DbToText(row[1]);
    }
    EXPECT_TRUE(Kalibr().rows.empty());
  }
}

// Another program changed or removed the row meanwhile: nothing is written and the caller
// hears of it.
TEST_F(RowWritebackTest, RowThatIsGoneIsAnError) {
  db_.Exec("insert into kalibr values ('PLS', 4, 1.2)");
  db_.Exec("update kalibr set FVal = 1.3");
  for (RowChange::Kind kind : {RowChange::Kind::kUpdate, RowChange::Kind::kDelete}) {
    const DbStatus status = Write("kalibr", kKalibrColumns, kind, {std::string("PLS"), 4.0, 1.2},
                                  {std::string("PLS"), 5.0, 1.2});
    EXPECT_EQ(status.kind, DbErrorKind::kRejected);
    EXPECT_FALSE(status.message.empty());
  }
  const DbResult rows = Kalibr();
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(DbNumberOr(rows.rows[0][1], 0), 4);
  EXPECT_EQ(DbNumberOr(rows.rows[0][2], 0), 1.3);
}

TEST_F(RowWritebackTest, ServerRejectionIsReported) {
  const DbStatus status = Write("kalibr", kKalibrColumns, RowChange::Kind::kInsert, {},
                                {std::string("PLS"), std::monostate{}, 48.0});
  EXPECT_EQ(status.kind, DbErrorKind::kRejected);
  EXPECT_NE(status.code, 0u) << "AVal may not be NULL";
  EXPECT_TRUE(Kalibr().rows.empty());
}

}  // namespace
}  // namespace kalvix
