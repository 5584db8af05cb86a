// The plant's tables hold what the service does not expect: NULLs and texts where numbers
// belong, more signals than the set holds, more calibration points than a table holds,
// signal names with quotes, blanks and reserved words. The service must run on what makes
// sense, say what it leaves out, and never write a value it could not read to a device.
#include <string>
#include <thread>
#include <vector>

#include "faults/service_harness.h"
#include "util/date_time.h"

namespace kalvix::faults {
namespace {

struct ContentsCase {
  const char* name;
  std::vector<std::string> statements;  // run before the service starts
  const char* reported;                 // the log must say this ("" for nothing)
  bool cycles = true;                   // acquisition cycles run
};

std::vector<std::string> ManySignals() {
  std::vector<std::string> s;
  for (int i = 0; i < 120; ++i) {
    s.push_back("insert into `signal` values ('CALC', 'ZX" + std::to_string(100 + i) +
                "', 0, 0, 1, 0, 0, '')");
  }
  return s;
}

std::vector<std::string> ManyPoints() {
  std::vector<std::string> s = {"delete from kalibr where SignalName='PLS'"};
  std::string insert = "insert into kalibr values ";
  for (int i = 0; i < 600; ++i) {
    const double raw = 4.0 + 16.0 * i / 599.0;
    insert += (i ? ", " : "") + std::string("('PLS', ") + std::to_string(raw) + ", " +
              std::to_string(1.2 + 0.8 * (raw - 4.0) / 16.0) + ")";
  }
  s.push_back(insert);
  return s;
}

const char* const kOddNames[] = {"it's", "two words", "select", "q\"uote", "back\\slash"};

std::vector<std::string> OddNames() {
  std::vector<std::string> s;
  for (const char* name : kOddNames) {
    std::string literal, column;
    for (const char* c = name; *c; ++c) {
      if (*c == '\'' || *c == '\\') literal += '\\';
      literal += *c;
      column += *c == '`' ? std::string("``") : std::string(1, *c);
    }
    s.push_back("insert into `signal` values ('CALC', '" + literal + "', 0, 0, 1, 0, 0, '')");
    s.push_back("insert into kalibr values ('" + literal + "', 0, 0), ('" + literal + "', 1, 2)");
    s.push_back("alter table last_state add column `" + column + "` double null");
    s.push_back("alter table pu_data add column `" + column + "` double null");
  }
  return s;
}

const ContentsCase kCases[] = {
    {"NullsWhereNumbersBelong",
     {"update `signal` set DevNum=NULL, Addr=NULL, Kind=NULL, InverseBytes=NULL, "
      "InverseWords=NULL where SignalName='UR_MAGN'",
      "alter table kalibr modify AVal double null, modify FVal double null",
      "insert into kalibr values ('PLS', NULL, NULL), ('PLS', 30, NULL)",
      "insert into setup values ('MIN_PLS', NULL, 'test'), ('MIN_NAGR', NULL, 'test')",
      "insert into control_vector values (now() - interval 1 second, NULL, NULL, NULL)"},
     ""},
    {"TextsWhereNumbersBelong",
     {"alter table `signal` modify Addr varchar(20), modify Kind varchar(20)",
      "update `signal` set Addr='forty', Kind='float' where SignalName='UR_MAGN'",
      "alter table setup modify ConstVal varchar(20)",
      "insert into setup values ('MIN_PLS', 'high', 'test'), ('MIN_NAGR', '1e999', 'test')",
      "alter table control_vector modify _PLSZ varchar(20), modify _TNZ varchar(20)",
      "insert into control_vector values (now() - interval 1 second, 'op', 'dense', '12x')"},
     ""},
    // The set keeps 100 signals; a cycle refuses to run with more than 90.
    {"MoreThanOneHundredSignals", ManySignals(), "### Слишком много сигналов ###", false},
    {"SixHundredCalibrationPoints", ManyPoints(), "### Сигнал PLS: точек калибровки "},
    {"SignalNamesWithQuotesBlanksAndReservedWords", OddNames(), ""},
};

class DbContentsTest : public ServiceHarness, public ::testing::WithParamInterface<ContentsCase> {};

TEST_P(DbContentsTest, RunsOnWhatMakesSense) {
  for (const std::string& statement : GetParam().statements) {
    ASSERT_TRUE(Sql(statement)) << statement;
  }
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_TRUE(WaitForLog(GetParam().reported, 20s)) << Log();
  if (GetParam().cycles) {
    EXPECT_TRUE(WaitForCycles()) << Log();
    // PLS comes through its calibration whatever else the tables hold.
    EXPECT_TRUE(WaitFor([&] { return StateValue("PLS").has_value(); }, 10s)) << Log();
    const double pls = StateValue("PLS").value_or(0);
    EXPECT_GT(pls, 1.2);
    EXPECT_LT(pls, 2.0);
  } else {
    std::this_thread::sleep_for(5s);
  }
  // Set-points that cannot be read are never written to a controller.
  for (const auto& write : plant_.Writes()) {
    EXPECT_NE(write.signal, "_PLSZ") << plantsim::FormatWriteRecord(write);
    EXPECT_NE(write.signal, "_TNZ") << plantsim::FormatWriteRecord(write);
  }
  EXPECT_EQ(Log().find("*** SQL error"), std::string::npos) << Log();
  EXPECT_TRUE(ServiceAlive());
  EXPECT_EQ(StopService(), 0) << Log();
}

INSTANTIATE_TEST_SUITE_P(Contents, DbContentsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ContentsCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kalvix::faults
