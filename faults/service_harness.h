// The fault suites' fixture: the real kalvixd program against the simulated plant and a
// MariaDB server of the suite's own, observed only from outside (the day's log file, the
// database, the simulator's request counts and write record, the process itself).
//
// The server is started once per suite and its database `kalvix` is rebuilt from
// db/schema.sql and db/default_plant.sql before every test (a suite on a cluster brings its
// own database instead). The service reaches the
// simulated lines through symbolic links in its working folder (jumo, v120, bk003), so a
// test can take a line away and bring a new one back under the same name, as a USB adapter
// pulled out and plugged in again does.
#ifndef KALVIX_FAULTS_SERVICE_HARNESS_H_
#define KALVIX_FAULTS_SERVICE_HARNESS_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/db_connection.h"
#include "testing/file_text.h"
#include "testing/test_database.h"
#include "testing/wait_for.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix::faults {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

size_t CountOf(std::string_view text, std::string_view what);

class ServiceHarness : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A suite against a database of another kind (a cluster) calls this from its own
  // SetUpTestSuite instead of starting the private server: the folder the service folders go
  // in, the service's [MySQL] Comp and the HostName of the test's own connection.
  static void UseDatabase(const fs::path& dir, const std::string& comp,
                          const std::string& testHost);

  static PrivateServer& Server() { return *server_; }
  // The server's process id, from its pid file (0 when it does not run).
  static pid_t ServerPid();
  // Drops the database `kalvix` and loads the schema and the default plant again.
  static void ReloadDatabase();

  // The settings file the service will read: AutoStart, the three lines, the database (dbHost_,
  // or the suite's comp_), MetricsListen (metricsListen_). Extra text is appended to the
  // [MySQL] section.
  void WriteSettings(const std::string& extra = "");
  fs::path LinePath(plantsim::Line line) const;
  // Points the line's link at `plant`'s pseudo-terminal.
  void PointLine(plantsim::Line line, plantsim::PlantSimulator& plant);

  // Starts the suite's copy of kalvixd --config <ini>, with serviceEnv_ added to its
  // environment; fileSizeLimit > 0 sets RLIMIT_FSIZE for it. A serviceEnv_ value of kChildPid
  // becomes the service's own process id (as systemd sets WATCHDOG_PID).
  void StartService(long fileSizeLimit = 0);
  bool ServiceAlive();
  // SIGKILL, as a crash or a power cut ends it: nothing of its own shutdown runs.
  void KillService();
  // SIGTERM (or `signal`), then waits up to `bound`; the exit status, or nothing when it did
  // not end (it is then killed).
  std::optional<int> StopService(std::chrono::milliseconds bound = 20s, int signal = SIGTERM);

  std::string Log();
  bool WaitForLog(std::string_view text, std::chrono::milliseconds limit);

  // On the test's own connection to the server (reconnecting when needed); false while the
  // server is away or the statement fails.
  bool Sql(const std::string& statement);
  std::optional<DbResult> Rows(const std::string& query);
  // last_state's RecMoment as days, or nothing.
  std::optional<double> StateMoment();
  std::optional<double> StateValue(const std::string& column);
  // Waits until last_state's moment is later than `after` (the service's cycles run).
  bool WaitForCycleAfter(double after, std::chrono::milliseconds limit);
  bool WaitForCycles(std::chrono::milliseconds limit = 40s);
  // Minutes between the first and the last pu_data row that have no row.
  int MissingHistoryMinutes();

  static constexpr std::string_view kChildPid = "<child pid>";

  static inline std::unique_ptr<PrivateServer> server_;  // null for a suite on a cluster
  static inline fs::path suiteDir_;
  static inline std::string comp_;
  static inline std::string testHost_;
  static inline fs::path program_;  // the suite's own copy of kalvixd
  plantsim::PlantSimulator plant_;
  fs::path dir_;
  fs::path ini_;
  DbConnection db_;
  pid_t pid_ = -1;
  std::vector<std::string> serviceEnv_;  // "NAME=value" for the service's environment
  // [main] MetricsListen; empty by default, so that no suite's service takes the default port
  // that a service of another run may hold.
  std::string metricsListen_;
  // [MySQL] Comp of one test; empty: the suite's comp_.
  std::string dbHost_;
};

}  // namespace kalvix::faults

#endif  // KALVIX_FAULTS_SERVICE_HARNESS_H_
