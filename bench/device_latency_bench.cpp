// bench_device_latency: from a value changed at an instrument to the value in `last_state`.
//
// Runs beside a running service and the simulated plant (scripts/bench.sh starts both). Each
// round holds a signal of the simulated plant at a new raw value through the plant's control
// FIFO ("set SIGNAL VALUE"), then reads the signal's column of `last_state` every 5 ms until
// it shows the calibrated value, and notes the time taken. Between rounds it waits a random
// part of a cycle, so the changes fall at every phase of the poll pass and of the cycle.
//
//   bench_device_latency --socket SOCK --fifo FIFO [--changes N] [--signal NAME]
//                        [--scale X] [--samples FILE]
//
// The default signal is UR_SUSP (JUMO controller 1, register in 0.1 %, calibrated 1000 to
// 100), so a raw value v shows as v * 0.1; --scale gives that factor for another signal with
// a linear calibration through zero.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "persistence/db_connection.h"
#include "persistence/db_value.h"
#include "persistence/sql_literal.h"

namespace {

using namespace kalvix;
using Clock = std::chrono::steady_clock;

constexpr auto kReadInterval = std::chrono::milliseconds(5);
// A change not seen within this time counts as lost (and is reported as such).
constexpr auto kRoundBound = std::chrono::seconds(15);
// Raw values cycle through this range of the register (the simulator's own range for the
// sump level), in steps that never repeat the previous value.
constexpr int kRawLow = 400;
constexpr int kRawSpan = 400;
constexpr int kRawStep = 37;

struct Options {
  std::string socket;
  std::string fifo;
  int changes = 200;
  std::string signal = "UR_SUSP";
  double scale = 0.1;
  std::string samplesFile;
};

bool ParseOptions(int argc, char** argv, Options* out) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--socket") out->socket = value;
    else if (arg == "--fifo") out->fifo = value;
    else if (arg == "--changes") out->changes = std::atoi(value.c_str());
    else if (arg == "--signal") out->signal = value;
    else if (arg == "--scale") out->scale = std::atof(value.c_str());
    else if (arg == "--samples") out->samplesFile = value;
    else return false;
  }
  return argc % 2 == 1 && !out->socket.empty() && !out->fifo.empty() && out->changes > 0;
}

bool WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::cerr << "usage: bench_device_latency --socket SOCK --fifo FIFO [--changes N] "
                 "[--signal NAME] [--scale X] [--samples FILE]\n";
    return 2;
  }
  const int fifo = ::open(options.fifo.c_str(), O_WRONLY);
  if (fifo < 0) {
    std::perror(("bench_device_latency: " + options.fifo).c_str());
    return 1;
  }
  DbConnection db;
  SetConnectionParam(db, "HostName", options.socket);
  SetConnectionParam(db, "Database", "kalvix");
  if (const DbStatus status = db.Connect(); !status.ok()) {
    std::cerr << "bench_device_latency: cannot connect to " << options.socket << "\n";
    return 1;
  }
  const std::string query =
      "select " + SqlIdentifier(options.signal) + " as V from last_state";

  std::mt19937 random(1);
  std::uniform_int_distribution<int> pauseMs(0, 980);
  std::vector<double> latencies;
  int lost = 0;
  for (int round = 0; round < options.changes; ++round) {
    const int raw = kRawLow + (round * kRawStep) % kRawSpan;
    const double expected = raw * options.scale;
    const auto set = Clock::now();
    if (!WriteLine(fifo, "set " + options.signal + " " + std::to_string(raw))) {
      std::perror("bench_device_latency: write to the control FIFO");
      return 1;
    }
    bool seen = false;
    while (!seen && Clock::now() - set < kRoundBound) {
      std::this_thread::sleep_for(kReadInterval);
      DbValue value;
      double number = 0;
      seen = db.QueryValue(query, "V", value).ok() && DbToNumber(value, number) &&
             std::fabs(number - expected) < 1e-6 * std::max(1.0, std::fabs(expected));
    }
    if (seen) {
      latencies.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - set).count());
    } else {
      ++lost;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
  }
  WriteLine(fifo, "free " + options.signal);
  ::close(fifo);

  if (!options.samplesFile.empty()) {
    std::ofstream out(options.samplesFile);
    out << "# latency_ms\n";
    for (double ms : latencies) out << ms << "\n";
  }
  std::cout << "changes " << options.changes << " lost " << lost << "\n";
  std::cout << bench::FormatStats("latency_ms", bench::Summarize(latencies)) << "\n";
  return lost == 0 ? 0 : 1;
}
