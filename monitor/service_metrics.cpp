#include "monitor/service_metrics.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "monitor/metrics_text.h"

namespace kalvix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Seconds since a steady-clock stamp in nanoseconds; NaN for 0 (never stamped).
double AgeSeconds(int64_t stampNs, int64_t nowNs) {
  if (stampNs == 0) return kNaN;
  return static_cast<double>(std::max<int64_t>(nowNs - stampNs, 0)) / 1e9;
}

double Seconds(uint64_t microseconds) { return static_cast<double>(microseconds) / 1e6; }

void BusFamilies(MetricsText& m, const BusLedgers& ledgers) {
  std::array<BusLedgerSnapshot, kModuleCount> s;
  for (int i = 0; i < kModuleCount; ++i) s[i] = ledgers[static_cast<Module>(i)].Read();

  m.Family("kalvix_bus_exchanges_total", MetricType::kCounter,
           "Exchanges with the module over its line, good and failed.");
  for (int i = 0; i < kModuleCount; ++i) {
    m.IntegerSample("kalvix_bus_exchanges_total", {{"module", kModuleLabels[i]}},
                    static_cast<int64_t>(s[i].exchanges));
  }
  m.Family("kalvix_bus_failures_total", MetricType::kCounter,
           "Failed exchanges with the module by cause: timeout (no answer), incomplete, "
           "checksum, wrong_peer (another address or a wrong echo), device_error (exception "
           "or error reply), io_error (the line itself failed).");
  for (int i = 0; i < kModuleCount; ++i) {
    for (int f = 0; f < kBusFaultCount; ++f) {
      m.IntegerSample("kalvix_bus_failures_total",
                      {{"module", kModuleLabels[i]}, {"cause", kBusFaultNames[f]}},
                      static_cast<int64_t>(s[i].faults[f]));
    }
  }
  m.Family("kalvix_bus_reopenings_total", MetricType::kCounter,
           "Times the module's line was closed and opened again after it failed.");
  for (int i = 0; i < kModuleCount; ++i) {
    m.IntegerSample("kalvix_bus_reopenings_total", {{"module", kModuleLabels[i]}},
                    static_cast<int64_t>(s[i].reopenings));
  }
  m.Family("kalvix_bus_round_trip_last_seconds", MetricType::kGauge,
           "Round-trip of the module's latest good exchange, from the request's first byte "
           "sent to the reply's last byte received; NaN before the first.");
  for (int i = 0; i < kModuleCount; ++i) {
    m.Sample("kalvix_bus_round_trip_last_seconds", {{"module", kModuleLabels[i]}},
             s[i].good > 0 ? Seconds(s[i].lastRoundTripUs) : kNaN);
  }
  m.Family("kalvix_bus_round_trip_seconds", MetricType::kSummary,
           "Round-trips of the module's good exchanges: median and 99th percentile over the "
           "latest 256, sum and count over all.");
  for (int i = 0; i < kModuleCount; ++i) {
    const bool any = s[i].windowSamples > 0;
    const MetricQuantile quantiles[] = {{0.5, any ? Seconds(s[i].p50RoundTripUs) : kNaN},
                                        {0.99, any ? Seconds(s[i].p99RoundTripUs) : kNaN}};
    m.Summary("kalvix_bus_round_trip_seconds", {{"module", kModuleLabels[i]}}, quantiles,
              Seconds(s[i].roundTripSumUs), s[i].good);
  }
  m.Family("kalvix_bus_last_good_exchange_timestamp_seconds", MetricType::kGauge,
           "When the module last answered well, in seconds since the Unix epoch; 0: not yet.");
  for (int i = 0; i < kModuleCount; ++i) {
    m.Sample("kalvix_bus_last_good_exchange_timestamp_seconds", {{"module", kModuleLabels[i]}},
             static_cast<double>(s[i].lastGoodUnixMs) / 1e3);
  }
}

void ControlFamilies(MetricsText& m, const ControlState& c, int64_t nowNs) {
  m.Family("kalvix_control_cycles_total", MetricType::kCounter,
           "Cycles of the control thread since it was last started.");
  m.IntegerSample("kalvix_control_cycles_total", {}, c.CycleCounter.load());
  m.Family("kalvix_control_cycle_errors_total", MetricType::kCounter,
           "Failed cycle stages since the control thread was last started.");
  m.IntegerSample("kalvix_control_cycle_errors_total", {}, c.ErrorCounter.load());

  const DurationHistogramSnapshot lateness = c.CycleStartLateness.Read();
  m.Family("kalvix_control_cycle_start_lateness_seconds", MetricType::kHistogram,
           "How much later than its pacing aimed each cycle of the control thread began.");
  m.Histogram("kalvix_control_cycle_start_lateness_seconds", {}, lateness.boundsSeconds,
              lateness.cumulative, lateness.sumSeconds);
  m.Family("kalvix_control_last_cycle_age_seconds", MetricType::kGauge,
           "Seconds since the control thread's latest cycle began; NaN before the first. It "
           "grows without bound when the thread hangs or is stopped.");
  m.Sample("kalvix_control_last_cycle_age_seconds", {}, AgeSeconds(c.CycleStartNs.load(), nowNs));

  m.Family("kalvix_thread_running", MetricType::kGauge,
           "1 while the worker thread runs: the control thread and the three pollers.");
  const std::pair<const char*, const RunningFlag*> threads[] = {{"control", &c.ControlActive},
                                                                {"jumo", &c.JumoActive},
                                                                {"v120", &c.V120Active},
                                                                {"bk003", &c.BkActive}};
  for (const auto& [name, flag] : threads) {
    m.IntegerSample("kalvix_thread_running", {{"thread", name}}, flag->load() ? 1 : 0);
  }
  m.Family("kalvix_emulation_active", MetricType::kGauge,
           "1 while the device's readings are emulated instead of polled.");
  m.IntegerSample("kalvix_emulation_active", {{"device", "jumo"}}, c.JumoEmulFlag.load() ? 1 : 0);
  m.IntegerSample("kalvix_emulation_active", {{"device", "v120"}}, c.V120EmulFlag.load() ? 1 : 0);
}

void DatabaseFamilies(MetricsText& m, const MetricsSources& s, int64_t nowNs) {
  m.Family("kalvix_db_connected", MetricType::kGauge,
           "1 while the database connection has a session: work (the cycles' statements) and "
           "user (the operator's and the start-up's queries).");
  m.IntegerSample("kalvix_db_connected", {{"connection", "work"}}, s.work.Connected() ? 1 : 0);
  m.IntegerSample("kalvix_db_connected", {{"connection", "user"}}, s.user.Connected() ? 1 : 0);
  m.Family("kalvix_db_statement_queue_length", MetricType::kGauge,
           "Statements waiting for the database thread (at most 101).");
  m.IntegerSample("kalvix_db_statement_queue_length", {},
                  static_cast<int64_t>(s.statements.Count()));
  m.Family("kalvix_db_select_queue_length", MetricType::kGauge,
           "SELECTs waiting for the database thread.");
  m.IntegerSample("kalvix_db_select_queue_length", {}, static_cast<int64_t>(s.selects.Count()));
  m.Family("kalvix_db_statements_refused_total", MetricType::kCounter,
           "Statements refused because the statement queue was full.");
  m.IntegerSample("kalvix_db_statements_refused_total", {},
                  static_cast<int64_t>(s.statements.Refused()));
  m.Family("kalvix_db_reconnect_failures_total", MetricType::kCounter,
           "Failed attempts to reopen the work connection (DbFailCount).");
  m.IntegerSample("kalvix_db_reconnect_failures_total", {}, s.control.DbFailCount.load());
  m.Family("kalvix_state_row_age_seconds", MetricType::kGauge,
           "Seconds since the newest current-state row (last_state) was handed to the statement "
           "queue; NaN before the first.");
  m.Sample("kalvix_state_row_age_seconds", {}, AgeSeconds(s.stateRecord.LastQueuedNs(), nowNs));
  m.Family("kalvix_spool_rows", MetricType::kGauge,
           "Rows kept on disk while the server could not take them, waiting to be written.");
  m.IntegerSample("kalvix_spool_rows", {}, s.spool.Waiting().rows);
}

}  // namespace

std::string RenderServiceMetrics(const MetricsSources& sources) {
  const int64_t nowNs = SteadyNowNs();
  MetricsText m;
  m.Family("kalvix_build_info", MetricType::kGauge,
           "Always 1; the version of the running program is its label.");
  m.IntegerSample("kalvix_build_info", {{"version", sources.version}}, 1);
  m.Family("kalvix_process_start_time_seconds", MetricType::kGauge,
           "When the service's process started, in seconds since the Unix epoch.");
  m.Sample("kalvix_process_start_time_seconds", {}, sources.startUnixSeconds);
  BusFamilies(m, sources.ledgers);
  ControlFamilies(m, sources.control, nowNs);
  DatabaseFamilies(m, sources, nowNs);
  return m.Take();
}

}  // namespace kalvix
