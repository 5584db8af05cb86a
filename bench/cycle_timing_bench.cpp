// bench_cycle_timing: how punctually the control thread starts its cycles.
//
// The program is the headless service in one process: the same start-up ticks, window-thread
// jobs (ServicePeriodicJobs), database thread and control thread as kalvixd, against the lines
// and database that the settings file names (scripts/bench.sh points it at the simulated plant
// and a private MariaDB). The main loop looks at CycleCounter and CycleStartNs between its
// jobs, at least every 250 ms, a quarter of a cycle, and so collects the exact start of every
// cycle without touching the control thread. It ends after N periods and prints, over
// them, each start's lateness against the point the pacing aimed it at (CycleAimNs), each
// period from one start to the next minus 980 ms (which also shows a drift of the pacing),
// and the scheduling policy the worker threads were given.
//
// --busy starts a busy loop of its own first, a thread pinned to the last core at normal
// priority, so the service shares the machine with a program that never sleeps.
//
// Beside the service, a reference thread at the control thread's priority does nothing but
// sleep to the next point of a 980 ms grid (clock_nanosleep, absolute) and note how late it
// woke: the floor the machine sets at that time. On a shared or virtual machine whose other
// load delays even such a thread, that figure, not the service, bounds the lateness.
//
//   bench_cycle_timing --config INI [--cycles N] [--periods FILE] [--busy]
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/periodic_loop.h"
#include "app/service_jobs.h"
#include "app/service_state.h"
#include "app/shutdown_signals.h"
#include "app/startup.h"
#include "bench/sample_stats.h"
#include "journal/event_log.h"
#include "plant/thread_entry.h"
#include "plant/thread_priority.h"

namespace {

namespace fs = std::filesystem;
using namespace kalvix;
using Clock = std::chrono::steady_clock;

// The first cycle normally begins about 3 s after the start (tick 9 of the 250 ms timer).
constexpr auto kFirstCycleBound = std::chrono::seconds(60);

struct Options {
  fs::path config;
  int cycles = 600;
  fs::path periodsFile;
  bool busy = false;
};

bool ParseOptions(int argc, char** argv, Options* out) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--busy") {
      out->busy = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return false;
    if (arg == "--config") {
      out->config = value;
    } else if (arg == "--cycles") {
      out->cycles = std::atoi(value);
    } else if (arg == "--periods") {
      out->periodsFile = value;
    } else {
      return false;
    }
    ++i;
  }
  return !out->config.empty() && out->cycles > 0;
}

// The scheduling policy of the process's thread with this name, as "SCHED_RR 3".
std::string ThreadPolicy(const std::string& name) {
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    const pid_t tid = std::atoi(entry.path().filename().c_str());
    sched_param param{};
    const int policy = sched_getscheduler(tid);
    sched_getparam(tid, &param);
    const char* policyName = policy == SCHED_RR      ? "SCHED_RR"
                             : policy == SCHED_FIFO  ? "SCHED_FIFO"
                             : policy == SCHED_OTHER ? "SCHED_OTHER"
                                                     : "other";
    return std::string(policyName) + " " + std::to_string(param.sched_priority);
  }
  return "not-running";
}

// Collects cycle starts: a new CycleCounter value means a new cycle, whose start time and
// aimed point the control thread stored just before counting it.
class CycleRecorder {
 public:
  explicit CycleRecorder(const ControlState& control) : control_(control) {}

  void Look() {
    const int32_t counter = control_.CycleCounter.load();
    if (counter == lastCounter_ || counter == 0) return;
    lastCounter_ = counter;
    starts_.push_back(control_.CycleStartNs.load());
    aims_.push_back(control_.CycleAimNs.load());
  }

  const std::vector<int64_t>& Starts() const { return starts_; }
  const std::vector<int64_t>& Aims() const { return aims_; }

 private:
  const ControlState& control_;
  int32_t lastCounter_ = 0;
  std::vector<int64_t> starts_;
  std::vector<int64_t> aims_;
};

// A thread that spins until told to stop, pinned to the last core.
class BusyLoop {
 public:
  BusyLoop()
      : thread_([this] {
          while (!stop_.load(std::memory_order_relaxed)) {
          }
        }) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(std::thread::hardware_concurrency()) - 1, &set);
    pthread_setaffinity_np(thread_.native_handle(), sizeof set, &set);
  }
  ~BusyLoop() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The reference sleeper (see above): wakes on a grid of 980 ms until told to stop.
class ReferenceSleeper {
 public:
  ReferenceSleeper()
      : thread_([this] {
          RaiseThreadPriority(ThreadPriority::kTimeCritical);
          timespec aim{};
          clock_gettime(CLOCK_MONOTONIC, &aim);
          while (!stop_.load()) {
            aim.tv_nsec += static_cast<long>(kCyclePeriodMs) * 1'000'000;
            aim.tv_sec += aim.tv_nsec / 1'000'000'000;
            aim.tv_nsec %= 1'000'000'000;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &aim, nullptr);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double lateMs = static_cast<double>(now.tv_sec - aim.tv_sec) * 1e3 +
                                  static_cast<double>(now.tv_nsec - aim.tv_nsec) / 1e6;
            lateness_.push_back(lateMs);
          }
        }) {}
  ~ReferenceSleeper() { Stop(); }

  // Ends the thread (within one period) and returns what it measured.
  std::vector<double> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return lateness_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<double> lateness_;  // the thread's own until it has ended
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::cerr << "usage: bench_cycle_timing --config INI [--cycles N] [--periods FILE] [--busy]\n";
    return 2;
  }
  EventQueue();
  std::optional<BusyLoop> busy;
  if (options.busy) busy.emplace();
  ReferenceSleeper reference;
  ShutdownSignals signals;
  const WorkingPaths paths = ResolveWorkingPaths(options.config);
  fs::current_path(paths.workDir);

  ServiceState service(paths);
  service.log.EnableDrain();
  PostEvent("--> Запуск программы <---");

  const StartupHooks hooks;
  PeriodicLoop loop;
  for (PeriodicJob& job : ServicePeriodicJobs(service, [&] { RunStartupTick(service, hooks); })) {
    loop.Add(job.name, job.interval, std::move(job.run));
  }

  CycleRecorder recorder(service.control);
  const size_t wanted = static_cast<size_t>(options.cycles) + 1;
  const auto started = Clock::now();
  std::string controlPolicy;
  std::string pollerPolicy;
  bool gaveUp = false;
  loop.Run([&](Clock::time_point deadline) {
    if (signals.WaitUntil(deadline) != 0) return false;
    recorder.Look();
    if (recorder.Starts().size() == 2) {  // the pollers run by now
      controlPolicy = ThreadPolicy(kThreadNameControl);
      pollerPolicy = ThreadPolicy(kThreadNameJumo);
    }
    if (recorder.Starts().empty() && Clock::now() - started > kFirstCycleBound) {
      gaveUp = true;
      return false;
    }
    return recorder.Starts().size() < wanted;
  });
  const int32_t failed = service.control.ErrorCounter.load();
  ShutdownService(service, ShutdownReason::kSessionEnd);

  if (gaveUp) {
    std::cerr << "bench_cycle_timing: no cycle began within 60 s (see the LOG folder of "
              << paths.workDir << ")\n";
    return 1;
  }
  const std::vector<double> referenceLateness = reference.Stop();
  busy.reset();
  const std::vector<int64_t>& starts = recorder.Starts();
  const std::vector<int64_t>& aims = recorder.Aims();
  std::vector<double> periodError;  // period minus 980 ms
  std::vector<double> lateness;     // start minus the aimed point
  for (size_t i = 1; i < starts.size(); ++i) {
    const double periodMs = static_cast<double>(starts[i] - starts[i - 1]) / 1e6;
    periodError.push_back(periodMs - kCyclePeriodMs);
    if (aims[i] != 0) lateness.push_back(static_cast<double>(starts[i] - aims[i]) / 1e6);
  }
  if (!options.periodsFile.empty()) {
    std::ofstream out(options.periodsFile);
    out << "# period_ms lateness_ms\n";
    for (size_t i = 1; i < starts.size(); ++i) {
      out << static_cast<double>(starts[i] - starts[i - 1]) / 1e6 << " "
          << (aims[i] != 0 ? static_cast<double>(starts[i] - aims[i]) / 1e6 : 0.0) << "\n";
    }
  }
  // The drift: how far the last start lies from the first plus whole periods.
  const double driftMs = starts.size() < 2
                             ? 0
                             : static_cast<double>(starts.back() - starts.front()) / 1e6 -
                                   static_cast<double>(starts.size() - 1) * kCyclePeriodMs;
  std::cout << "cycles " << periodError.size() << " failed " << failed << " busy "
            << (options.busy ? "yes" : "no") << "\n";
  std::cout << "policy control " << controlPolicy << " poller " << pollerPolicy << "\n";
  std::cout << bench::FormatStats("lateness_ms", bench::Summarize(lateness)) << "\n";
  std::cout << bench::FormatStats("period_minus_980_ms", bench::Summarize(periodError)) << "\n";
  std::printf("drift_ms %.3f over %zu periods\n", driftMs, periodError.size());
  std::cout << bench::FormatStats("reference_sleeper_lateness_ms",
                                  bench::Summarize(referenceLateness))
            << "\n";
  return 0;
}
