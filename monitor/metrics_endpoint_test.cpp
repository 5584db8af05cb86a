#include "monitor/metrics_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "monitor/metrics_text.h"
#include "monitor/service_metrics.h"
#include "testing/http_client.h"

namespace kalvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const ListenAddress kAnyLoopbackPort{"127.0.0.1", 0};

std::unique_ptr<MetricsEndpoint> StartOrFail(MetricsEndpoint::Render render,
                                             const ListenAddress& address = kAnyLoopbackPort) {
  std::string error;
  auto endpoint = MetricsEndpoint::Start(address, std::move(render), &error);
  EXPECT_NE(endpoint, nullptr) << error;
  return endpoint;
}

TEST(ListenAddress, ParsesHostAndPortAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1:9105", true, "127.0.0.1", 9105},
      {"0.0.0.0:1", true, "0.0.0.0", 1},
      {"localhost:65535", true, "localhost", 65535},
      {"[::1]:9105", true, "::1", 9105},
      {"", false, "", 0},
      {"127.0.0.1", false, "", 0},
      {":9105", false, "", 0},  // every interface only when the site says 0.0.0.0
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1:0", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:91o5", false, "", 0},
      {"127.0.0.1:+9105", false, "", 0},
      {"127.0.0.1: 9105", false, "", 0},
      {"::1:9105", false, "", 0},  // IPv6 without brackets is ambiguous
      {"host name:9105", false, "", 0},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseListenAddress(c.text);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(parsed->host, c.host) << c.text;
    EXPECT_EQ(parsed->port, c.port) << c.text;
  }
}

TEST(MetricsEndpoint, AnswersGetOfMetricsOnlyAndChangesNothing) {
  std::atomic<int> renders{0};
  auto endpoint = StartOrFail([&] {
    ++renders;
    return std::string("# HELP a_total A.\n# TYPE a_total counter\na_total 1\n");
  });
  ASSERT_NE(endpoint, nullptr);
  ASSERT_GT(endpoint->Port(), 0);
  struct Case {
    const char* method;
    const char* path;
    int status;
    bool renders;
  };
  const Case cases[] = {
      {"GET", "/metrics", 200, true},     {"HEAD", "/metrics", 200, true},
      {"GET", "/", 404, false},           {"GET", "/metrics/", 404, false},
      {"GET", "/metricsx", 404, false},   {"POST", "/other", 404, false},
      {"POST", "/metrics", 405, false},   {"PUT", "/metrics", 405, false},
      {"DELETE", "/metrics", 405, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const int before = renders.load();
    const auto reply = HttpRequest(endpoint->Port(), c.method, c.path, 5s,
                                   std::string(c.method) == "GET" ? "" : "x=1");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->status, c.status);
    EXPECT_EQ(renders.load() - before, c.renders ? 1 : 0);
    if (c.status == 405) {
      EXPECT_EQ(reply->Header("Allow"), "GET, HEAD");
    }
    if (c.status == 200) {
      EXPECT_EQ(reply->Header("Content-Type"), kMetricsContentType);
      EXPECT_EQ(reply->body, std::string(c.method) == "HEAD"
                                 ? ""
                                 : "# HELP a_total A.\n# TYPE a_total counter\na_total 1\n");
    }
  }
}

// A render function that throws must not take the server thread (or the process) with it.
TEST(MetricsEndpoint, RenderFailureIsAnErrorAnswerAndTheServerGoesOn) {
  std::atomic<bool> fail{true};
  auto endpoint = StartOrFail([&]() -> std::string {
    if (fail) throw std::runtime_error("no text");
    return "ok\n";
  });
  ASSERT_NE(endpoint, nullptr);
  const auto failed = HttpRequest(endpoint->Port(), "GET", "/metrics");
  ASSERT_TRUE(failed.has_value());
  EXPECT_EQ(failed->status, 500);
  fail = false;
  const auto served = HttpRequest(endpoint->Port(), "GET", "/metrics");
  ASSERT_TRUE(served.has_value());
  EXPECT_EQ(served->status, 200);
  EXPECT_EQ(served->body, "ok\n");
}

TEST(MetricsEndpoint, PortInUseIsRefusedWithItsReason) {
  auto first = StartOrFail([] { return std::string(); });
  ASSERT_NE(first, nullptr);
  std::string error;
  auto second = MetricsEndpoint::Start(
      {"127.0.0.1", first->Port()}, [] { return std::string(); }, &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error, "127.0.0.1:" + std::to_string(first->Port()) + ": Address already in use");
  error.clear();
  EXPECT_EQ(MetricsEndpoint::Start(
                {"no-such-host.invalid", 9105}, [] { return std::string(); }, &error),
            nullptr);
  EXPECT_EQ(error.rfind("no-such-host.invalid:9105: ", 0), 0u) << error;
}

// The end of the service must not wait for the endpoint: it stops within 50 ms, also with a
// scraper connected that has not finished its request, and the port is free afterwards.
TEST(MetricsEndpoint, StopsWithinFiftyMillisecondsWithAClientConnected) {
  auto endpoint = StartOrFail([] { return std::string("a 1\n"); });
  ASSERT_NE(endpoint, nullptr);
  const uint16_t port = endpoint->Port();
  // Half a request: the server waits for the rest of the header.
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string half = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(::send(client, half.data(), half.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(half.size()));
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  endpoint.reset();
  EXPECT_LT(Clock::now() - start, 50ms);
  ::close(client);
  endpoint = StartOrFail([] { return std::string(); }, {"127.0.0.1", port});
  EXPECT_NE(endpoint, nullptr) << "the port was not released";
}

// Scrapes while the counters move on other threads, as in service: the families read the
// ledgers, the histogram and the flags as they are written (ThreadSanitizer watches).
TEST(MetricsEndpoint, ScrapesWhileTheServiceWrites) {
  ControlState control;
  BusLedgers ledgers;
  DbConnection work, user;
  SqlStatementQueue statements;
  SqlSelectQueue selects;
  SpoolKeeper spool;
  StateRecord stateRecord;
  const MetricsSources sources{control, ledgers, work,        user, statements,
                               selects, spool,   stateRecord, "t",  0};
  auto endpoint = StartOrFail([&] { return RenderServiceMetrics(sources); });
  ASSERT_NE(endpoint, nullptr);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      ledgers[kModuleJumo1].RecordGood(std::chrono::microseconds(10'000 + i % 500));
      ledgers[kModuleV120].RecordFault(BusFault::kTimeout);
      control.CycleStartLateness.Record(std::chrono::microseconds(i % 3'000));
      control.CycleCounter.fetch_add(1);
      control.ControlActive = i % 2 == 0;
      statements.QueueStatement("do 0");
      if (i % 50 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  for (int i = 0; i < 20; ++i) {
    const auto reply = HttpRequest(endpoint->Port(), "GET", "/metrics");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->status, 200);
    EXPECT_NE(reply->body.find("kalvix_bus_exchanges_total{module=\"jumo1\"} "), std::string::npos);
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace kalvix
