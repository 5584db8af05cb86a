// The database server stays away for minutes under the running service; the service is
// stopped or killed while it is away; the spool on disk cannot be written or is damaged.
// Acquisition must go on throughout. Once the server is back, every minute of the run is in
// pu_data once, with the totals an uninterrupted run would have written, and every journal
// row the service posted meanwhile is in control_log once, with its own moment.
//
// Most cases shorten the history "minute" of the service (KALVIX_TEST_MINUTE_SECONDS), so
// an outage spans several minutes within seconds; the long case runs on real minutes.
#include <signal.h>

#include <array>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "app/service_state.h"
#include "faults/service_harness.h"
#include "persistence/journal_record.h"
#include "persistence/spool.h"
#include "util/date_time.h"

namespace kalvix::faults {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kConnectFailed = "Не могу подключиться к MySQL серверу.";
constexpr const char* kServerUnavailable = "MySQL сервер недоступен.";
constexpr const char* kWrittenBack =
    " строк из буфера дописано после восстановления связи с MySQL ===";
constexpr const char* kStopped = "<<< Поток управления остановлен. >>>";
constexpr const char* kShutdown = "...Завершение работы перед выгрузкой Windows...";

std::string MinuteEnv(int seconds) {
  return "KALVIX_TEST_MINUTE_SECONDS=" + std::to_string(seconds);
}

// The counters are read as they are, not averaged, so a minute's total is its counters'
// rise exactly; a reading that lands between the cycle's values and its module's freshness
// may count in the next minute instead, about one unit (0.1 t) of the fastest counter.
constexpr double kTotalTolerance = 0.15;

constexpr std::array<const char*, 3> kCounterNames = {"G2", "G23", "G41"};

long Seconds(DateTime moment) { return std::lround(moment * kSecondsPerDay); }
std::string TimeText(long seconds) {
  return FormatDateTime("hh:nn:ss", static_cast<double>(seconds) / kSecondsPerDay);
}
// Sleeps until the wall clock reads `second` (whole seconds of DateTime).
void SleepUntilSecond(double second) {
  const double left = second - Now() * kSecondsPerDay;
  if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
}

// One pu_data row: its minute and its three counters with their totals.
struct HistoryRow {
  long second = 0;                  // RecMoment in whole seconds
  std::array<double, 3> counter{};  // G2, G23, G41 (NaN for NULL)
  std::array<double, 3> total{};    // G_1T2, G_1T23, G_1T41
};

struct JournalRow {
  long second = 0;
  int npp = 0;
  std::string text;
};

class OutageTest : public ServiceHarness {
 protected:
  void UseMinute(int seconds) {
    minute_ = seconds;
    serviceEnv_ = {MinuteEnv(seconds)};
  }
  long MinuteOf(long second) const { return second / minute_ * minute_; }

  void KillServer() {
    ASSERT_EQ(::kill(ServerPid(), SIGKILL), 0);
    db_.Disconnect();
  }
  void BringServerBack() { ASSERT_TRUE(Server().Run("start")); }

  // Whether every device of the plant is asked again within limit: acquisition runs.
  bool PlantPolled(std::chrono::milliseconds limit = 10s) {
    std::array<uint64_t, plantsim::kDeviceCount> before{};
    for (plantsim::DeviceId d : plantsim::kAllDevices) {
      before[static_cast<size_t>(d)] = plant_.Requests(d);
    }
    return WaitFor(
        [&] {
          for (plantsim::DeviceId d : plantsim::kAllDevices) {
            if (plant_.Requests(d) <= before[static_cast<size_t>(d)]) return false;
          }
          return true;
        },
        limit);
  }
  // Waits until `until`, making sure every ten seconds that the plant goes on being polled.
  void KeepWatchingThePlant(SteadyClock::time_point until) {
    while (SteadyClock::now() < until) {
      EXPECT_TRUE(PlantPolled()) << "acquisition goes on while the server is away\n" << Log();
      std::this_thread::sleep_until(std::min(until, SteadyClock::now() + 10s));
    }
  }

  std::vector<HistoryRow> History() {
    std::vector<HistoryRow> rows;
    const auto r = Rows(
        "select RecMoment, G2, G23, G41, G_1T2, G_1T23, G_1T41 from pu_data order by RecMoment");
    if (!r) return rows;
    for (const auto& row : r->rows) {
      HistoryRow h;
      h.second = Seconds(DbNumberOr(row[0], 0));
      for (size_t c = 0; c < 3; ++c) {
        h.counter[c] = DbNumberOr(row[1 + c], NAN);
        h.total[c] = DbNumberOr(row[4 + c], NAN);
      }
      rows.push_back(h);
    }
    return rows;
  }
  // The minutes between the first and the last row that have none.
  std::vector<long> MissingMinutes(const std::vector<HistoryRow>& rows) const {
    std::vector<long> missing;
    for (size_t i = 1; i < rows.size(); ++i) {
      for (long s = rows[i - 1].second + minute_; s < rows[i].second; s += minute_) {
        missing.push_back(s);
      }
    }
    return missing;
  }
  // Waits until the minute after the one of `second` has its row and no minute before it
  // is missing: a minute begun while the server was away is written back at its end.
  bool WaitForWholeHistoryPast(long second, std::chrono::milliseconds limit) {
    return WaitFor(
        [&] {
          const std::vector<HistoryRow> rows = History();
          return !rows.empty() && rows.back().second > MinuteOf(second) &&
                 MissingMinutes(rows).empty();
        },
        limit);
  }
  // Every row lies on the minute grid, and no minute between the first and the last is
  // missing.
  void ExpectEveryMinute(const std::vector<HistoryRow>& rows) const {
    ASSERT_FALSE(rows.empty());
    for (const HistoryRow& r : rows) {
      EXPECT_EQ(r.second % minute_, 0) << "a row off the minute grid: " << TimeText(r.second);
    }
    for (long s : MissingMinutes(rows)) ADD_FAILURE() << "no row for " << TimeText(s);
  }
  // Rows of minutes that lay, wholly or in part, in [from, to).
  int MinutesWithin(const std::vector<HistoryRow>& rows, long from, long to) const {
    int n = 0;
    for (const HistoryRow& r : rows) n += r.second + minute_ > from && r.second < to;
    return n;
  }

  // Every row's totals are its counters' rise since the row before, times 0.1: an
  // uninterrupted run writes them so, and a minute written back after an outage, or the
  // first minute of a new start, must not differ.
  static void ExpectTotalsFollowCounters(const std::vector<HistoryRow>& rows) {
    for (size_t i = 1; i < rows.size(); ++i) {
      for (size_t c = 0; c < 3; ++c) {
        const double rise = rows[i].counter[c] - rows[i - 1].counter[c];
        EXPECT_NEAR(rows[i].total[c], rise * 0.1, kTotalTolerance)
            << TimeText(rows[i].second) << " " << kCounterNames[c] << ": " << rows[i - 1].counter[c]
            << " -> " << rows[i].counter[c];
      }
    }
  }
  // The counters moved in every minute that lay in [from, to): the plant was read.
  void ExpectCountersMoved(const std::vector<HistoryRow>& rows, long from, long to) const {
    for (size_t i = 1; i < rows.size(); ++i) {
      if (rows[i].second + minute_ <= from || rows[i].second >= to) continue;
      for (size_t c = 0; c < 3; ++c) {
        EXPECT_GT(rows[i].counter[c], rows[i - 1].counter[c])
            << TimeText(rows[i].second) << " " << kCounterNames[c];
      }
    }
  }

  std::vector<JournalRow> Journal(const std::string& where = "1") {
    std::vector<JournalRow> rows;
    const auto r = Rows("select RecMoment, NPP, MessageText from control_log where " + where +
                        " order by RecMoment, NPP");
    if (!r) return rows;
    for (const auto& row : r->rows) {
      rows.push_back({Seconds(DbNumberOr(row[0], 0)), static_cast<int>(DbNumberOr(row[1], -1)),
                      DbToText(row[2])});
    }
    return rows;
  }
  void ExpectNoJournalRowTwice() {
    std::map<std::tuple<long, int, std::string>, int> seen;
    for (const JournalRow& r : Journal()) {
      const std::tuple<long, int, std::string> key{r.second, r.npp, r.text};
      EXPECT_EQ(++seen[key], 1) << "written twice: " << TimeText(r.second) << " " << r.npp << " "
                                << r.text;
    }
  }
  size_t WrittenBackRows() {
    return Journal("MessageText like '=== %" + std::string(kWrittenBack) + "'").size();
  }

  fs::path SpoolPath() const { return dir_ / kSpoolFileName; }
  // A counter of the server's, as SHOW GLOBAL STATUS gives it (NaN when it cannot).
  double ServerStatus(const std::string& name) {
    const auto r = Rows("show global status like '" + name + "'");
    return r && !r->rows.empty() ? DbNumberOr(r->rows[0][1], NAN) : NAN;
  }

  int minute_ = 60;
};

// Minutes of ten seconds: an outage of 45 s spans five of them, all kept in the spool while
// the service runs on, and written back whole once the server returns.
TEST_F(OutageTest, MinutesOfAnOutageWrittenBackWholeWithTheirTotals) {
  UseMinute(10);
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ASSERT_TRUE(WaitFor([&] { return History().size() >= 2; }, 40s)) << Log();

  const long away = Seconds(Now());
  const auto awaySteady = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(KillServer());
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  KeepWatchingThePlant(awaySteady + 45s);
  ASSERT_TRUE(ServiceAlive()) << Log();
  const long back = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(BringServerBack());
  const auto backSteady = SteadyClock::now();
  EXPECT_TRUE(WaitForLog(kWrittenBack, 30s)) << Log();
  std::cout << "[ recovery ] outage of " << back - away << " s written back after "
            << std::chrono::duration<double>(SteadyClock::now() - backSteady).count() << " s\n";
  EXPECT_TRUE(WaitForWholeHistoryPast(back, 40s)) << Log();

  const std::vector<HistoryRow> rows = History();
  ExpectEveryMinute(rows);
  EXPECT_GE(MinutesWithin(rows, away, back), 4);
  ExpectTotalsFollowCounters(rows);
  ExpectCountersMoved(rows, away, back);
  EXPECT_TRUE(WaitFor([&] { return WrittenBackRows() > 0; }, 10s)) << "the write-back is journaled";
  ExpectNoJournalRowTwice();
  EXPECT_TRUE(ServiceAlive());
  EXPECT_EQ(StopService(), 0) << Log();
}

// Stopped while the server is away, the service keeps its last minute and the journal rows
// of its stop in the spool; the next start writes them with the moments they were made at.
// The stop comes just after a minute begins, so the new start, after the server's return,
// falls in the minute the spool holds already: its counters must start from the minute
// before, which the spool holds too.
TEST_F(OutageTest, StoppedWhileTheServerIsAwayItsLastRowsFollowWithTheirMoments) {
  UseMinute(20);  // room for a stop, the server's return and a new start within a minute
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ASSERT_TRUE(WaitFor([&] { return !History().empty(); }, 40s)) << Log();

  const long away = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(KillServer());
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  ASSERT_TRUE(PlantPolled());
  // A whole minute of the outage lies before the minute of the stop.
  SleepUntilSecond(MinuteOf(away) + 2 * minute_ + 0.5);
  const long stopping = Seconds(Now());
  EXPECT_EQ(StopService(), 0) << "SIGTERM ends the service while the server is away\n" << Log();
  const long stopped = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(BringServerBack());
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForLog("Записей в буфере от прошлой работы: ", 30s)) << Log();
  ASSERT_TRUE(WaitForCycles()) << Log();
  const std::optional<double> firstCycle = StateMoment();
  ASSERT_TRUE(firstCycle.has_value());
  ASSERT_EQ(MinuteOf(Seconds(*firstCycle)), MinuteOf(stopping))
      << "the new start came after the minute of the stop had ended; the case needs it within";
  ASSERT_TRUE(WaitFor([&] { return WrittenBackRows() > 0; }, 40s)) << Log();
  EXPECT_TRUE(WaitForWholeHistoryPast(Seconds(Now()), 60s)) << Log();

  for (const char* text : {kShutdown, kStopped}) {
    const std::vector<JournalRow> rows = Journal("MessageText='" + std::string(text) + "'");
    ASSERT_EQ(rows.size(), 1u) << text;
    EXPECT_GE(rows[0].second, stopping - 1) << text;
    EXPECT_LE(rows[0].second, stopped + 1) << text << ": the moment it was made, not written";
  }
  ExpectNoJournalRowTwice();
  const std::vector<HistoryRow> rows = History();
  ExpectEveryMinute(rows);
  EXPECT_GE(MinutesWithin(rows, away, MinuteOf(stopping)), 2);
  ExpectTotalsFollowCounters(rows);
  EXPECT_EQ(StopService(), 0) << Log();
}

// Killed while the server is away, and killed again while it writes the spool back: what the
// spool held is written once, neither lost nor doubled. The spool starts with the journal rows
// of a former run, enough to keep the write-back busy for seconds.
TEST_F(OutageTest, KilledWhileTheServerIsAwayAndWhileWritingBack) {
  constexpr int kFormerRows = 600;
  const std::string formerText = "Запись прошлой работы № ";
  // Half past a whole second: the row's second is the same however the moment is rounded.
  const long formerStart = Seconds(Now()) - 3600;
  auto formerMoment = [&](int i) { return (formerStart + i + 0.5) / kSecondsPerDay; };
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(SpoolPath().string()).ok());
    for (int i = 0; i < kFormerRows; ++i) {
      ASSERT_TRUE(
          spool
              .PutJournal(formerMoment(i), i % 1000, formerText + std::to_string(i), kServiceSource)
              .status.ok());
    }
  }
  const std::string former = "MessageText like '" + formerText + "%'";
  auto formerWritten = [&] { return Journal(former).size(); };

  UseMinute(10);
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ASSERT_TRUE(WaitFor([&] { return formerWritten() >= 100; }, 40s)) << Log();
  const long away = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(KillServer());
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  ASSERT_TRUE(PlantPolled());
  std::this_thread::sleep_for(std::chrono::seconds(3 * minute_));
  const long killed = Seconds(Now());
  KillService();

  ASSERT_NO_FATAL_FAILURE(BringServerBack());
  const size_t beforeSecondRun = formerWritten();
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitFor([&] { return formerWritten() >= beforeSecondRun + 100; }, 40s)) << Log();
  KillService();
  std::cout << "[ restart ] former rows written: " << beforeSecondRun << " before the second run, "
            << formerWritten() << " when it was killed\n";

  // The third run begins in a minute of its own, as any start after a crash may: its
  // counters start from the last row the second run wrote.
  SleepUntilSecond(MinuteOf(Seconds(Now())) + minute_ + 0.3);
  const size_t logBefore = Log().size();
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  const long third = Seconds(Now());
  ASSERT_TRUE(
      WaitFor([&] { return Log().find(kWrittenBack, logBefore) != std::string::npos; }, 40s))
      << Log();
  ASSERT_TRUE(WaitFor(
      [&] {
        auto h = History();
        return !h.empty() && h.back().second > MinuteOf(third);
      },
      40s))
      << Log();

  // Every former row once, with its own moment.
  const std::vector<JournalRow> written = Journal(former);
  EXPECT_EQ(written.size(), static_cast<size_t>(kFormerRows));
  std::map<std::string, long> moments;
  for (const JournalRow& r : written) moments[r.text] = r.second;
  for (int i = 0; i < kFormerRows; ++i) {
    const auto it = moments.find(formerText + std::to_string(i));
    if (it == moments.end()) {
      ADD_FAILURE() << "lost: " << i;
    } else {
      EXPECT_EQ(it->second, formerStart + i) << i;
    }
  }
  ExpectNoJournalRowTwice();

  // The minutes the first run kept before it was killed are all there; only the minute it
  // died in and those until the third run's first cycle may be missing.
  const std::vector<HistoryRow> rows = History();
  for (long s : MissingMinutes(rows)) {
    EXPECT_GT(s + minute_ + 2, killed) << "lost: " << TimeText(s);
    EXPECT_LT(s, third) << "lost: " << TimeText(s);
  }
  EXPECT_GE(MinutesWithin(rows, away, killed - minute_ - 2), 2);
  ExpectTotalsFollowCounters(rows);
  EXPECT_EQ(StopService(), 0) << Log();
}

// Real minutes, the server away for longer than the 300 failed reopenings after which the
// service says it is unreachable: acquisition goes on regardless, the reopenings go on
// silently, and every minute of the outage is written back once the server is there again.
TEST_F(OutageTest, LongOutagePastTheReopeningLimit) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  ASSERT_TRUE(WaitFor([&] { return !History().empty(); }, 30s)) << Log();

  const long away = Seconds(Now());
  const auto awaySteady = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(KillServer());
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  KeepWatchingThePlant(awaySteady + 295s);
  EXPECT_TRUE(WaitForLog(kServerUnavailable, 40s)) << Log();
  EXPECT_TRUE(PlantPolled()) << "acquisition goes on after the server is given up\n" << Log();
  KeepWatchingThePlant(SteadyClock::now() + 8s);
  ASSERT_TRUE(ServiceAlive()) << Log();

  const long back = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(BringServerBack());
  ASSERT_TRUE(WaitForCycleAfter(Now(), 30s)) << Log();
  EXPECT_TRUE(WaitForWholeHistoryPast(back, 90s)) << Log();

  const std::string log = Log();
  EXPECT_EQ(CountOf(log, kServerUnavailable), 1u);
  const size_t unavailableAt = log.find(kServerUnavailable);
  EXPECT_EQ(CountOf(log.substr(0, unavailableAt), kConnectFailed), 301u);
  EXPECT_EQ(log.find(kConnectFailed, unavailableAt), std::string::npos)
      << "the reopenings go on silently";
  EXPECT_NE(log.find(kWrittenBack, unavailableAt), std::string::npos);
  const std::vector<HistoryRow> rows = History();
  ExpectEveryMinute(rows);
  EXPECT_GE(MinutesWithin(rows, away + 60, back - 60), 3);
  ExpectTotalsFollowCounters(rows);
  ExpectCountersMoved(rows, away, back);
  EXPECT_EQ(StopService(), 0) << Log();
}

std::string Garbage(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// A spool a former run left, in the service's own format, damaged past its first page.
void DamagedSpool(const fs::path& path) {
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(path.string()).ok());
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(spool.PutJournal(Now() - 1.0 / 24, i, std::string(200, 'x'), "").status.ok());
    }
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(4096);
  file << Garbage(8192, 11);
}

struct SpoolFault {
  const char* name;
  std::function<void(const fs::path& spool)> prepare;  // before the start
  long fileSizeLimit;                                  // RLIMIT_FSIZE of the service, 0 for none
  const char* reported;                                // the log must say this
  bool movedAside;  // the file is damaged: moved aside whole and a new one made
  bool partlyKept;  // the spool takes the outage's first rows, then the disk is full
};

const SpoolFault kSpoolFaults[] = {
    // Root writes through any permission bits: a folder in the file's place stops SQLite.
    {"PathIsAFolder", [](const fs::path& p) { fs::create_directories(p / "inside"); }, 0,
     "не открыт: не открывается", false, false},
    // The spool opens (its index needs 32 KiB) and fills up within the outage's first rows;
    // the log stays below the limit.
    {"DiskFull", [](const fs::path&) {}, 48 * 1024, "недоступен: диск заполнен", false, true},
    {"GarbageFile",
     [](const fs::path& p) { std::ofstream(p, std::ios::binary) << Garbage(64 * 1024, 5); }, 0,
     "поврежден (", true, false},
    {"DamagedPages", DamagedSpool, 0, "поврежден (", true, false},
};

void PrintTo(const SpoolFault& fault, std::ostream* os) { *os << fault.name; }

class SpoolFaultTest : public OutageTest, public ::testing::WithParamInterface<SpoolFault> {};

// The service says what is wrong with its spool and goes on acquiring through an outage; a
// damaged spool is moved aside, never deleted, and the new one in its place does its work.
TEST_P(SpoolFaultTest, SaidInTheLogAndAcquisitionGoesOn) {
  const SpoolFault& fault = GetParam();
  ASSERT_NO_FATAL_FAILURE(fault.prepare(SpoolPath()));
  const std::string before = fs::is_regular_file(SpoolPath()) ? ReadFileText(SpoolPath()) : "";
  UseMinute(10);
  ASSERT_NO_FATAL_FAILURE(StartService(fault.fileSizeLimit));
  const auto started = SteadyClock::now();
  ASSERT_TRUE(WaitForCycles()) << Log();

  const long away = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(KillServer());
  ASSERT_TRUE(WaitForLog(kConnectFailed, 15s)) << Log();
  ASSERT_TRUE(PlantPolled()) << Log();
  std::this_thread::sleep_for(std::chrono::seconds(2 * minute_));
  ASSERT_TRUE(PlantPolled()) << Log();
  const long back = Seconds(Now());
  ASSERT_NO_FATAL_FAILURE(BringServerBack());
  EXPECT_TRUE(WaitForCycleAfter(Now(), 30s)) << "state rows come again\n" << Log();
  // Rows the spool could not take are said in the minute's line.
  EXPECT_TRUE(WaitFor(
      [&] { return Log().find(fault.reported) != std::string::npos; },
      std::chrono::duration_cast<std::chrono::milliseconds>(started + 75s - SteadyClock::now())))
      << Log();
  EXPECT_TRUE(ServiceAlive());

  if (fault.partlyKept) {
    // The rows kept before the disk filled reach the server once; the spool, full as the
    // disk is, cannot let them go, and must not send them again and again meanwhile.
    EXPECT_TRUE(WaitForLog("Записей в буфере: ", 5s)) << Log();
    const double inserts = ServerStatus("Com_insert");
    std::this_thread::sleep_for(3s);
    EXPECT_LE(ServerStatus("Com_insert") - inserts, 3) << "one insert a minute, of 10 s";
  }
  if (fault.movedAside) {
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().starts_with(std::string(kSpoolFileName) + ".corrupt-")) {
        aside.push_back(entry.path());
      }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFileText(aside[0]), before) << "moved aside as it was";
    // The new spool keeps the outage's minutes.
    EXPECT_TRUE(WaitForLog(kWrittenBack, 20s)) << Log();
    EXPECT_TRUE(WaitForWholeHistoryPast(back, 40s)) << Log();
    const std::vector<HistoryRow> rows = History();
    ExpectEveryMinute(rows);
    EXPECT_GE(MinutesWithin(rows, away, back), 2);
  }
  EXPECT_EQ(StopService(), 0) << Log();
}

INSTANTIATE_TEST_SUITE_P(Spool, SpoolFaultTest, ::testing::ValuesIn(kSpoolFaults),
                         [](const ::testing::TestParamInfo<SpoolFault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kalvix::faults
