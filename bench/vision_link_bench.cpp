// bench_vision_link: what one exchange of the Vision link costs the thread that makes it.
//
// The link talks to the simulated plant's V120 (tools/plantsim, in this process, on a
// pseudo-terminal of its own, answering after its 10 ms turnaround) through the real serial
// code. Each exchange reads --count operands of one kind with one request, as the V120 poller
// does with 1 for each input signal. Reported per exchange: the wall time, the CPU time of
// the calling thread (getrusage RUSAGE_THREAD, user + system) and its voluntary context
// switches (each a wait that ended: a poll that woke, a sleep), so a receive that wakes once
// per byte shows as a high count. The simulator's own threads are not counted.
//
//   bench_vision_link [--exchanges N] [--count C] [--kind int|long|bit]
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/sample_stats.h"
#include "devices/vision_link.h"
#include "tools/plantsim/plant_simulator.h"

namespace {

using namespace kalvix;
using Clock = std::chrono::steady_clock;

struct Options {
  int exchanges = 1000;
  int count = 1;
  std::string kind = "int";
};

bool ParseOptions(int argc, char** argv, Options* out) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--exchanges")
      out->exchanges = std::atoi(value.c_str());
    else if (arg == "--count")
      out->count = std::atoi(value.c_str());
    else if (arg == "--kind")
      out->kind = value;
    else
      return false;
  }
  return argc % 2 == 1 && out->exchanges > 0 && out->count > 0 && out->count <= 255 &&
         (out->kind == "int" || out->kind == "long" || out->kind == "bit");
}

struct ThreadUsage {
  double cpuSeconds = 0;
  long voluntarySwitches = 0;
};

ThreadUsage ReadThreadUsage() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw};
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::cerr
        << "usage: bench_vision_link [--exchanges N] [--count 1..255] [--kind int|long|bit]\n";
    return 2;
  }
  plantsim::PlantOptions plantOptions;
  plantOptions.modelNoise = false;
  plantsim::PlantSimulator plant(plantOptions);
  std::string error;
  if (!plant.Start(&error)) {
    std::cerr << "bench_vision_link: the simulated plant did not start: " << error << "\n";
    return 1;
  }
  TVisionLink link;
  link.SetPortName(plant.PortPath(plantsim::Line::kVision));
  link.SetActive(true);
  if (!link.Active()) {
    std::cerr << "bench_vision_link: " << link.Status() << "\n";
    return 1;
  }

  std::vector<int32_t> values(static_cast<size_t>(options.count));
  std::vector<uint8_t> bits(static_cast<size_t>(options.count));
  auto exchange = [&] {
    if (options.kind == "bit") return link.GetBitArray(VisionUnit{1}, 0, options.count, bits);
    return link.GetIntArray(VisionUnit{1}, 200, options.count, values, options.kind == "long");
  };
  // A few exchanges first, so the simulator's threads and the caches are warm.
  for (int i = 0; i < 5; ++i) exchange();

  std::vector<double> wallMs;
  wallMs.reserve(static_cast<size_t>(options.exchanges));
  int failed = 0;
  const ThreadUsage before = ReadThreadUsage();
  for (int i = 0; i < options.exchanges; ++i) {
    const auto start = Clock::now();
    if (!exchange()) ++failed;
    wallMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  const ThreadUsage after = ReadThreadUsage();

  const double n = options.exchanges;
  std::cout << "exchanges " << options.exchanges << " count " << options.count << " kind "
            << options.kind << " failed " << failed << "\n";
  std::cout << bench::FormatStats("exchange_ms", bench::Summarize(wallMs)) << "\n";
  char line[200];
  std::snprintf(line, sizeof line, "cpu_per_exchange_ms %.4f voluntary_switches_per_exchange %.1f",
                1e3 * (after.cpuSeconds - before.cpuSeconds) / n,
                static_cast<double>(after.voluntarySwitches - before.voluntarySwitches) / n);
  std::cout << line << "\n";
  return failed == 0 ? 0 : 1;
}
