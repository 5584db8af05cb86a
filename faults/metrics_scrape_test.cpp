// The metrics endpoint of the running kalvixd, as a monitoring site sees it: its text passes
// Prometheus's own checker, a real Prometheus server scrapes it and answers queries about the
// service, and the endpoint can be switched off or fail to bind without the service minding.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "devices/modbus_io.h"
#include "faults/service_harness.h"
#include "testing/http_client.h"
#include "testing/promtool_check.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix::faults {
namespace {

// A Prometheus server of the test's own on loopback, scraping one target every second, with
// its storage in a folder of the test. Ended by its process id when the object goes.
class PrometheusServer {
 public:
  bool Start(const fs::path& dir, uint16_t target, std::string* error) {
    port_ = FreeLoopbackPort();
    fs::create_directories(dir / "data");
    const fs::path config = dir / "prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                          << "scrape_configs:\n  - job_name: kalvixd\n    static_configs:\n"
                          << "      - targets: ['127.0.0.1:" << target << "']\n";
    std::vector<std::string> args = {"/usr/bin/prometheus", "--config.file=" + config.string(),
                                     "--storage.tsdb.path=" + (dir / "data").string(),
                                     "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                                     "--log.level=warn"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    log_ = dir / "prometheus.log";
    const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
      *error = "cannot create " + log_.string();
      return false;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec: the test process has threads.
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out);
    if (pid_ < 0) *error = "fork failed";
    return pid_ > 0;
  }
  ~PrometheusServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10s, 50ms)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The value of the one series an instant query gives, as Prometheus writes it ("1",
  // "0.0104", "NaN"); nothing while the query gives no series or the server does not answer.
  std::optional<std::string> Query(const std::string& expression) const {
    std::string encoded;
    for (const unsigned char c : expression) {
      if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
        encoded += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += hex;
      }
    }
    const auto reply = HttpRequest(port_, "GET", "/api/v1/query?query=" + encoded, 5s);
    if (!reply || reply->status != 200) return std::nullopt;
    static const std::regex kValue(R"re("value":\[[0-9.e+]+,"([^"]*)"\])re");
    std::smatch match;
    if (!std::regex_search(reply->body, match, kValue)) return std::nullopt;
    return match[1].str();
  }

  std::string Log() const { return ReadFileText(log_); }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  fs::path log_;
};

class MetricsScrapeTest : public ServiceHarness {
 protected:
  // Starts the service with the endpoint on a free loopback port and waits until it answers.
  void StartWithEndpoint() {
    port_ = FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    metricsListen_ = "127.0.0.1:" + std::to_string(port_);
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_TRUE(WaitFor(
        [&] {
          const auto reply = HttpRequest(port_, "GET", "/metrics", 2s);
          return reply && reply->status == 200;
        },
        40s))
        << Log();
  }

  // Inodes of the TCP sockets listening on this machine (IPv4 and IPv6).
  static std::set<std::string> ListeningInodes() {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::istringstream lines(ReadFileText(table));
      std::string line;
      std::getline(lines, line);  // the heading
      while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string f[10];
        for (std::string& field : f) fields >> field;
        if (f[3] == "0A") inodes.insert(f[9]);  // state LISTEN; the inode is the tenth field
      }
    }
    return inodes;
  }
  // Whether the service's process holds a listening TCP socket.
  bool ServiceListens() {
    const std::set<std::string> listening = ListeningInodes();
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
      std::error_code error;
      const std::string target = fs::read_symlink(entry.path(), error).string();
      // "socket:[12345]"
      if (target.rfind("socket:[", 0) == 0 &&
          listening.count(target.substr(8, target.size() - 9)) > 0) {
        return true;
      }
    }
    return false;
  }

  uint16_t port_ = 0;
};

// The whole path a site uses: promtool accepts the text, the endpoint answers nothing but
// GET /metrics, and a real Prometheus scrapes it and shows the service up with JUMO 1's
// round-trip near the simulated controller's reply delay.
TEST_F(MetricsScrapeTest, PromtoolAcceptsItAndARealPrometheusScrapesIt) {
  // The Modbus master listens only from its own turnaround after a request on, so a
  // controller's delay shows in the round-trip only beyond that: JUMO 1 answers well later.
  plantsim::FaultSet slow;
  slow.delayMs = 100;
  plant_.SetFault(plantsim::DeviceId::kJumo1, slow);
  const double replyDelay = (plantsim::PlantOptions{}.turnaroundMs + slow.delayMs) / 1000.0;
  ASSERT_GT(replyDelay, TModBUS::kTurnaroundMs / 1000.0 + 0.030);

  ASSERT_NO_FATAL_FAILURE(StartWithEndpoint());
  EXPECT_TRUE(WaitForLog(
      "Метрики для Prometheus: http://127.0.0.1:" + std::to_string(port_) + "/metrics", 5s))
      << Log();
  ASSERT_TRUE(WaitForCycles()) << Log();

  const auto scrape = HttpRequest(port_, "GET", "/metrics");
  ASSERT_TRUE(scrape.has_value());
  const PromtoolVerdict verdict = CheckMetricsWithPromtool(scrape->body, dir_ / "scrape.txt");
  ASSERT_TRUE(verdict.ran);
  EXPECT_EQ(verdict.exitCode, 0) << verdict.said;
  EXPECT_EQ(verdict.said, "");

  struct Request {
    const char* method;
    const char* path;
    int status;
  };
  const Request requests[] = {{"GET", "/", 404},
                              {"GET", "/metrics/x", 404},
                              {"POST", "/metrics", 405},
                              {"PUT", "/metrics", 405},
                              {"HEAD", "/metrics", 200}};
  for (const Request& r : requests) {
    const auto reply = HttpRequest(port_, r.method, r.path);
    ASSERT_TRUE(reply.has_value()) << r.method << " " << r.path;
    EXPECT_EQ(reply->status, r.status) << r.method << " " << r.path;
  }

  PrometheusServer prometheus;
  std::string error;
  ASSERT_TRUE(prometheus.Start(dir_ / "prometheus", port_, &error)) << error;
  ASSERT_TRUE(WaitFor([&] { return prometheus.Query("up{job=\"kalvixd\"}") == "1"; }, 40s, 250ms))
      << prometheus.Log();
  const std::string jumo1 = "{job=\"kalvixd\",module=\"jumo1\"}";
  EXPECT_TRUE(prometheus.Query("kalvix_bus_round_trip_last_seconds" + jumo1).has_value());
  EXPECT_EQ(prometheus.Query("kalvix_thread_running{thread=\"control\"}"), "1");
  EXPECT_EQ(prometheus.Query("kalvix_db_connected{connection=\"work\"}"), "1");

  // Once the pollers record into the ledger, the median round-trip of JUMO 1 is the
  // controller's reply delay plus the little the lines and threads add; the simulator's
  // millisecond clock may cut the delay short by up to 1 ms.
  const auto exchanges = prometheus.Query("kalvix_bus_exchanges_total" + jumo1);
  ASSERT_TRUE(exchanges.has_value());
  if (std::atof(exchanges->c_str()) > 0) {
    std::optional<std::string> median;
    ASSERT_TRUE(WaitFor(
        [&] {
          median = prometheus.Query(
              "kalvix_bus_round_trip_seconds{job=\"kalvixd\",module="
              "\"jumo1\",quantile=\"0.5\"}");
          return median && *median != "NaN";
        },
        10s, 250ms));
    const double seconds = std::atof(median->c_str());
    std::cout << "[          ] JUMO 1's median round-trip through Prometheus: " << *median
              << " s (reply delay " << replyDelay << " s)\n";
    EXPECT_GE(seconds, replyDelay - 0.0015);
    EXPECT_LE(seconds, replyDelay + 0.040);
  } else {
    std::cout << "[          ] JUMO 1's ledger holds no exchange yet: round-trip checked for "
                 "presence only\n";
  }
}

TEST_F(MetricsScrapeTest, EmptyMetricsListenOpensNoPort) {
  metricsListen_ = "";
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  EXPECT_FALSE(ServiceListens());
  EXPECT_EQ(Log().find("Метрики"), std::string::npos) << Log();
}

// An address that is no address, or one another program holds: one clear line, no
// endpoint, and acquisition goes on.
TEST_F(MetricsScrapeTest, AddressThatCannotServeIsSaidAndTheServiceRunsOn) {
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  struct Case {
    std::string listen;
    std::string said;
  };
  const Case cases[] = {
      {busy, "*** Метрики не отдаются: " + busy + ": Address already in use ***"},
      {"9105", "*** Метрики не отдаются: MetricsListen=9105 - нужен адрес вида host:port ***"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    metricsListen_ = c.listen;
    WriteSettings();
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_TRUE(WaitForLog(c.said, 30s)) << Log();
    EXPECT_TRUE(WaitForCycles()) << Log();
    EXPECT_TRUE(ServiceAlive());
    EXPECT_FALSE(ServiceListens());
    EXPECT_EQ(StopService(), 0);
    fs::remove_all(dir_ / "LOG");
  }
  ::close(holder);
}

}  // namespace
}  // namespace kalvix::faults
