// Our Modbus master against libmodbus's master, both reading a register pair from the same
// libmodbus slave over the same kind of pseudo-terminal.
//
// Wall time per transaction is reported beyond what each design waits on purpose: our master
// pauses 40 ms after every request (the turnaround of the plant's RS-485 converter, during
// which the slave's reply arrives), libmodbus's master waits for the slave's own turnaround
// (PseudoTerminal::kTurnaroundMs). BM_PauseAlone measures the 40 ms pause by itself. The
// "CPU" column is the CPU time of the master's thread alone (the slave runs on another
// thread). The master thread runs at SCHED_FIFO, as the poller does, when permitted (counter
// "fifo").
//
//   build/bin/bench_modbus_master --benchmark_min_time=5
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <vector>

#include "devices/modbus_io.h"
#include "testing/libmodbus_slave.h"
#include "testing/pseudo_terminal.h"

namespace kalvix {
namespace {

constexpr int kSlave = 1;
constexpr int kRegister = 10;
using Clock = std::chrono::steady_clock;

void PrepareSlave(LibmodbusSlave& slave) {
  slave.WithRegisters([](uint16_t* r) {
    r[kRegister] = 0x4120;  // 10.0f, high word first
    r[kRegister + 1] = 0x0000;
  });
}

// Mean and median time beyond the designed wait. The median shows the code; the mean also
// carries the odd late wake-up of a sleeping thread on a busy machine (a scheduler tick).
void ReportOverhead(benchmark::State& state, std::vector<double>& wallMs, double designedWaitMs) {
  if (wallMs.empty()) return;
  double sum = 0;
  for (double ms : wallMs) sum += ms;
  std::nth_element(wallMs.begin(), wallMs.begin() + wallMs.size() / 2, wallMs.end());
  state.counters["beyond_wait_mean_ms"] = sum / static_cast<double>(wallMs.size()) - designedWaitMs;
  state.counters["beyond_wait_median_ms"] = wallMs[wallMs.size() / 2] - designedWaitMs;
}

// The poller runs at a real-time priority where the system allows it; so does the master
// thread here, for both masters alike, else a busy machine's scheduler (not the code) sets
// how late a thread wakes from its pause. Restores the old policy when it goes.
class PollerPriority {
 public:
  explicit PollerPriority(benchmark::State& state) {
    ::pthread_getschedparam(::pthread_self(), &oldPolicy_, &oldParam_);
    sched_param fifo{};
    fifo.sched_priority = 1;
    applied_ = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &fifo) == 0;
    state.counters["fifo"] = applied_ ? 1 : 0;
  }
  ~PollerPriority() {
    if (applied_) ::pthread_setschedparam(::pthread_self(), oldPolicy_, &oldParam_);
  }
  PollerPriority(const PollerPriority&) = delete;
  PollerPriority& operator=(const PollerPriority&) = delete;

 private:
  int oldPolicy_ = SCHED_OTHER;
  sched_param oldParam_{};
  bool applied_ = false;
};

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_KalvixReadPair(benchmark::State& state) {
  PollerPriority priority(state);
  PseudoTerminal pty;
  LibmodbusSlave slave(pty, kSlave, 64);
  PrepareSlave(slave);
  TModBUS link;
  link.PortName = pty.SlavePath();
  if (!pty.Ok() || !slave.Ok() || !link.Open(9600)) {
    state.SkipWithError("cannot set up the line");
    return;
  }
  link.DevAddr = kSlave;
  std::vector<double> wallMs;
  for (auto _ : state) {
    const auto start = Clock::now();
    uint32_t pattern = 0;
    const bool ok = link.ReadPair(kRegister, pattern);
    wallMs.push_back(MillisSince(start));
    if (!ok || std::bit_cast<float>(pattern) != 10.0f) {
      state.SkipWithError(("read failed: " + link.ErrorText).c_str());
      return;
    }
  }
  ReportOverhead(state, wallMs, TModBUS::kTurnaroundMs);
}

void BM_LibmodbusReadPair(benchmark::State& state) {
  PollerPriority priority(state);
  PseudoTerminal pty;
  LibmodbusSlave slave(pty, kSlave, 64);
  PrepareSlave(slave);
  modbus_t* master = modbus_new_rtu(pty.SlavePath().c_str(), 9600, 'N', 8, 1);
  if (!pty.Ok() || !slave.Ok() || master == nullptr || modbus_connect(master) != 0) {
    if (master) modbus_free(master);
    state.SkipWithError("cannot set up the line");
    return;
  }
  modbus_set_slave(master, kSlave);
  std::vector<double> wallMs;
  for (auto _ : state) {
    const auto start = Clock::now();
    uint16_t registers[2] = {};
    const int n = modbus_read_registers(master, kRegister, 2, registers);
    wallMs.push_back(MillisSince(start));
    if (n != 2 || modbus_get_float_abcd(registers) != 10.0f) {
      state.SkipWithError("read failed");
      break;
    }
  }
  modbus_close(master);
  modbus_free(master);
  ReportOverhead(state, wallMs, PseudoTerminal::kTurnaroundMs);
}

// The designed pause alone: how late a thread wakes from a 40 ms sleep on this machine. Our
// master's time beyond its pause, less this, is what its own code costs.
void BM_PauseAlone(benchmark::State& state) {
  PollerPriority priority(state);
  SerialPort port;
  std::vector<double> wallMs;
  for (auto _ : state) {
    const auto start = Clock::now();
    port.Pause(TModBUS::kTurnaroundMs);
    wallMs.push_back(MillisSince(start));
  }
  ReportOverhead(state, wallMs, TModBUS::kTurnaroundMs);
}

BENCHMARK(BM_PauseAlone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_KalvixReadPair)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibmodbusReadPair)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kalvix

BENCHMARK_MAIN();
