#include "monitor/service_metrics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testing/promtool_check.h"
#include "testing/scratch_folder.h"

namespace kalvix {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// The state row check finds its row at once: no server here.
class RowThere : public SelectSource {
 public:
  bool SelectValue(std::string_view, DbValue& value) override {
    value = DbValue(int64_t{1});
    return true;
  }
};

// The service's pieces the families are read from, as the state owner holds them; no
// server, no thread.
class ServiceMetricsTest : public ::testing::Test {
 protected:
  std::string Render() const {
    return RenderServiceMetrics(MetricsSources{control_, ledgers_, work_, user_, statements_,
                                               selects_, spool_, stateRecord_, "1.20",
                                               1765432109.5});
  }
  // The value of the sample line that begins with `series` (name and labels), or "".
  static std::string ValueOf(const std::string& text, const std::string& series) {
    const std::string start = series + " ";
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      if (line.rfind(start, 0) == 0) return line.substr(start.size());
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return "";
  }

  ControlState control_;
  BusLedgers ledgers_;
  DbConnection work_;
  DbConnection user_;
  SqlStatementQueue statements_;
  SqlSelectQueue selects_;
  SpoolKeeper spool_;
  StateRecord stateRecord_;
};

TEST_F(ServiceMetricsTest, EachFamilyShowsWhatItsPieceHolds) {
  BusLedger& jumo1 = ledgers_[kModuleJumo1];
  for (int i = 0; i < 3; ++i) jumo1.RecordGood(microseconds(12'000));
  jumo1.RecordFault(BusFault::kChecksum);
  ledgers_[kModuleV120].RecordFault(BusFault::kTimeout);
  ledgers_[kModuleBk003].RecordReopening();
  control_.CycleCounter = 5;
  control_.ErrorCounter = 2;
  control_.DbFailCount = 7;
  control_.ControlActive = true;
  control_.V120EmulFlag = true;
  control_.CycleStartLateness.Record(milliseconds(3));
  for (int i = 0; i < 102; ++i) statements_.QueueStatement("do 0");  // the last one refused

  const std::string text = Render();
  struct Case {
    const char* series;
    const char* value;
  };
  const Case cases[] = {
      {"kalvix_build_info{version=\"1.20\"}", "1"},
      {"kalvix_process_start_time_seconds", "1765432109.5"},
      {"kalvix_bus_exchanges_total{module=\"jumo1\"}", "4"},
      {"kalvix_bus_failures_total{module=\"jumo1\",cause=\"checksum\"}", "1"},
      {"kalvix_bus_failures_total{module=\"jumo1\",cause=\"timeout\"}", "0"},
      {"kalvix_bus_failures_total{module=\"v120\",cause=\"timeout\"}", "1"},
      {"kalvix_bus_reopenings_total{module=\"bk003\"}", "1"},
      {"kalvix_bus_reopenings_total{module=\"jumo1\"}", "0"},
      {"kalvix_bus_round_trip_last_seconds{module=\"jumo1\"}", "0.012"},
      {"kalvix_bus_round_trip_seconds{module=\"jumo1\",quantile=\"0.5\"}", "0.012"},
      {"kalvix_bus_round_trip_seconds{module=\"jumo1\",quantile=\"0.99\"}", "0.012"},
      {"kalvix_bus_round_trip_seconds_sum{module=\"jumo1\"}", "0.036"},
      {"kalvix_bus_round_trip_seconds_count{module=\"jumo1\"}", "3"},
      // No good exchange yet: no round-trip to show, and no moment.
      {"kalvix_bus_round_trip_last_seconds{module=\"jumo2\"}", "NaN"},
      {"kalvix_bus_round_trip_seconds{module=\"jumo2\",quantile=\"0.5\"}", "NaN"},
      {"kalvix_bus_last_good_exchange_timestamp_seconds{module=\"jumo2\"}", "0"},
      {"kalvix_control_cycles_total", "5"},
      {"kalvix_control_cycle_errors_total", "2"},
      {"kalvix_control_cycle_start_lateness_seconds_bucket{le=\"0.002\"}", "0"},
      {"kalvix_control_cycle_start_lateness_seconds_bucket{le=\"0.005\"}", "1"},
      {"kalvix_control_cycle_start_lateness_seconds_bucket{le=\"+Inf\"}", "1"},
      {"kalvix_control_cycle_start_lateness_seconds_sum", "0.003"},
      {"kalvix_control_last_cycle_age_seconds", "NaN"},
      {"kalvix_thread_running{thread=\"control\"}", "1"},
      {"kalvix_thread_running{thread=\"jumo\"}", "0"},
      {"kalvix_emulation_active{device=\"v120\"}", "1"},
      {"kalvix_emulation_active{device=\"jumo\"}", "0"},
      {"kalvix_db_connected{connection=\"work\"}", "0"},
      {"kalvix_db_statement_queue_length", "101"},
      {"kalvix_db_statements_refused_total", "1"},
      {"kalvix_db_select_queue_length", "0"},
      {"kalvix_db_reconnect_failures_total", "7"},
      {"kalvix_state_row_age_seconds", "NaN"},
      {"kalvix_spool_rows", "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(ValueOf(text, c.series), c.value) << c.series;

  const double lastGood =
      std::stod(ValueOf(text, "kalvix_bus_last_good_exchange_timestamp_seconds{module=\"jumo1\"}"));
  EXPECT_NEAR(lastGood, static_cast<double>(std::time(nullptr)), 5.0);
}

// The ages count from the stamps the control thread leaves, on the steady clock.
TEST_F(ServiceMetricsTest, AgesCountFromTheLatestCycleAndStateRow) {
  control_.CycleStartNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          (std::chrono::steady_clock::now() - std::chrono::seconds(30)).time_since_epoch())
          .count();
  SignalSet set;
  RowThere selects;
  ASSERT_TRUE(stateRecord_.UpdateStateRecord(set, selects, statements_));
  const std::string text = Render();
  const double cycleAge = std::stod(ValueOf(text, "kalvix_control_last_cycle_age_seconds"));
  EXPECT_GE(cycleAge, 30.0);
  EXPECT_LT(cycleAge, 40.0);
  const double rowAge = std::stod(ValueOf(text, "kalvix_state_row_age_seconds"));
  EXPECT_GE(rowAge, 0.0);
  EXPECT_LT(rowAge, 10.0);
}

// Prometheus's own checker takes the whole text without a complaint, NaNs, empty histograms
// and all, before anything has happened and after.
TEST_F(ServiceMetricsTest, PromtoolFindsNothingToSay) {
  ScratchFolder folder;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "nothing happened" : "after some traffic");
    if (round == 1) {
      ledgers_[kModuleJumo2].RecordGood(microseconds(900));
      ledgers_[kModuleJumo2].RecordFault(BusFault::kIoError);
      control_.CycleStartLateness.Record(milliseconds(2));
      control_.CycleCounter = 1;
    }
    const PromtoolVerdict verdict =
        CheckMetricsWithPromtool(Render(), folder.Path() / "metrics.txt");
    ASSERT_TRUE(verdict.ran);
    EXPECT_EQ(verdict.exitCode, 0) << verdict.said;
    EXPECT_EQ(verdict.said, "");
  }
}

}  // namespace
}  // namespace kalvix
