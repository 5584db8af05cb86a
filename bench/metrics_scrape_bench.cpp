// bench_metrics_scrape: scrapes a metrics endpoint as Prometheus would and times each scrape,
// from the connection's start to the answer's last byte.
//
//   bench_metrics_scrape --free-port
//       prints a TCP port on 127.0.0.1 that nothing listens on (for the settings file)
//   bench_metrics_scrape --port P [--interval-ms 5000] [--count N] [--samples FILE]
//       N scrapes of http://127.0.0.1:P/metrics, one every interval (0: back to back); prints
//       "scrape_ms count N min X median X p99 X max X" and "scrape_bytes B"
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "testing/http_client.h"

int main(int argc, char** argv) {
  using namespace kalvix;
  using Clock = std::chrono::steady_clock;
  int port = 0;
  int intervalMs = 5000;
  int count = 60;
  std::string samplesFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--free-port") {
      std::cout << FreeLoopbackPort() << "\n";
      return 0;
    }
    if (i + 1 >= argc) break;
    if (arg == "--port")
      port = std::atoi(argv[++i]);
    else if (arg == "--interval-ms")
      intervalMs = std::atoi(argv[++i]);
    else if (arg == "--count")
      count = std::atoi(argv[++i]);
    else if (arg == "--samples")
      samplesFile = argv[++i];
  }
  if (port <= 0 || port > 65535 || count < 1 || intervalMs < 0) {
    std::cerr << "usage: bench_metrics_scrape --port P [--interval-ms MS] [--count N] "
                 "[--samples FILE] | --free-port\n";
    return 2;
  }
  std::vector<double> ms;
  size_t bytes = 0;
  auto next = Clock::now();
  for (int n = 0; n < count; ++n) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(intervalMs);
    const auto start = Clock::now();
    const auto reply = HttpRequest(static_cast<uint16_t>(port), "GET", "/metrics");
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!reply || reply->status != 200) {
      std::cerr << "bench_metrics_scrape: scrape " << n + 1 << " failed\n";
      return 1;
    }
    ms.push_back(took);
    bytes = reply->body.size();
  }
  if (!samplesFile.empty()) {
    std::ofstream out(samplesFile);
    for (double m : ms) out << m << "\n";
  }
  std::cout << bench::FormatStats("scrape_ms", bench::Summarize(ms)) << "\n";
  std::cout << "scrape_bytes " << bytes << "\n";
  return 0;
}
