// The instruments misbehave under the running service: silent, noise before the reply,
// a corrupted checksum, a truncated or a late reply, a line that disappears and comes back.
// A fault must count against its own module only, leave the other devices polled, and be
// forgotten within a few cycles once it ends, without acquisition being restarted.
#include <iostream>
#include <thread>
#include <vector>

#include "faults/service_harness.h"
#include "util/date_time.h"

namespace kalvix::faults {
namespace {

using plantsim::DeviceId;
using plantsim::FaultSet;
using plantsim::Line;

constexpr const char* kJumoReadFailed = "Сбой чтения сигнала ";

FaultSet Silent() { FaultSet f; f.silent = true; return f; }
FaultSet Noise(uint32_t n) { FaultSet f; f.noiseBytes = n; return f; }
FaultSet Corrupt() { FaultSet f; f.corruptChecksum = true; return f; }
FaultSet Truncate(uint32_t n) { FaultSet f; f.truncateBytes = n; return f; }
FaultSet Slow(uint32_t ms) { FaultSet f; f.delayMs = ms; return f; }

struct DeviceFault {
  const char* name;
  DeviceId device;
  FaultSet fault;
  bool readsFail;  // the service must notice (false: it must ride it out unnoticed)
};

// The limits: a JUMO reply may follow at most 129 stray bytes and must start within 400 ms;
// a V120 reply must end within 1 s, and a pass of its 11 exchanges within the 5 s after
// which the cycles find the module stale; a BK-003 answer must arrive within
// 7 x 14 + 40 = 138 ms. The simulator adds its 10 ms turnaround to every delay.
const DeviceFault kFaults[] = {
    {"jumo1 silent", DeviceId::kJumo1, Silent(), true},
    {"jumo1 noise 40", DeviceId::kJumo1, Noise(40), false},
    {"jumo1 noise 200", DeviceId::kJumo1, Noise(200), true},
    {"jumo2 corrupt", DeviceId::kJumo2, Corrupt(), true},
    {"jumo1 truncate 2", DeviceId::kJumo1, Truncate(2), true},
    {"jumo1 slow 250", DeviceId::kJumo1, Slow(250), false},
    {"jumo2 slow 600", DeviceId::kJumo2, Slow(600), true},
    {"v120 silent", DeviceId::kV120, Silent(), true},
    {"v120 noise 5", DeviceId::kV120, Noise(5), true},
    {"v120 corrupt", DeviceId::kV120, Corrupt(), true},
    {"v120 slow 250", DeviceId::kV120, Slow(250), false},
    {"v120 slow 1300", DeviceId::kV120, Slow(1300), true},
    {"bk003 silent", DeviceId::kBk003, Silent(), true},
    {"bk003 truncate 4", DeviceId::kBk003, Truncate(4), true},
    {"bk003 slow 80", DeviceId::kBk003, Slow(80), false},
    {"bk003 slow 400", DeviceId::kBk003, Slow(400), true},
};

class DeviceFaultTest : public ServiceHarness {
 protected:
  // Whether `text` has a read-failure line for a signal of the JUMO controller.
  static bool JumoFailureIn(std::string_view text, DeviceId device) {
    static const std::vector<std::string> kJumo1 = {"PLS", "Y_VODA", "UR_SUSP"};
    static const std::vector<std::string> kJumo2 = {"Q_SUSP", "Q_VODA", "P_GC", "UR_MAGN"};
    for (const std::string& name : device == DeviceId::kJumo1 ? kJumo1 : kJumo2) {
      if (text.find(kJumoReadFailed + name + "\r") != std::string_view::npos) return true;
    }
    return false;
  }
  double SecondsSince(double moment) { return (Now() - moment) * kSecondsPerDay; }
  // True while last_state was written within the last 3 s.
  bool CyclesRunning() {
    const auto m = StateMoment();
    return m && SecondsSince(*m) < 3.0;
  }
  // Waits until last_state's TNK23 column shows a reading other than `old`.
  bool WaitForTnk23Change(double old, std::chrono::milliseconds limit) {
    return WaitFor([&] { auto v = StateValue("TNK23"); return v && *v != old; }, limit);
  }
};

TEST_F(DeviceFaultTest, EachFaultCountsForItsModuleAndIsForgottenWhenItEnds) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();
  double bkRate = 3000;
  ASSERT_TRUE(plant_.SetSignal("TNK23", bkRate));
  ASSERT_TRUE(WaitFor([&] { return StateValue("TNK23").has_value(); }, 10s));

  for (const DeviceFault& row : kFaults) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(WaitFor([&] { return CyclesRunning(); }, 15s)) << "healthy before the fault";
    const double tnkBefore = *StateValue("TNK23");
    const size_t logBefore = Log().size();
    std::array<uint64_t, plantsim::kDeviceCount> replies{};
    for (DeviceId d : plantsim::kAllDevices) replies[static_cast<size_t>(d)] = plant_.Replies(d);

    plant_.SetFault(row.device, row.fault);
    const auto faultStart = std::chrono::steady_clock::now();
    bkRate = bkRate == 3000 ? 3900 : 3000;
    ASSERT_TRUE(plant_.SetSignal("TNK23", bkRate));  // a new reading the BK-003 would bring
    bool noticed = false;
    switch (row.device) {
      case DeviceId::kJumo1:
      case DeviceId::kJumo2:
        noticed = WaitFor([&] { return JumoFailureIn(Log().substr(logBefore), row.device); },
                          row.readsFail ? 10s : 5s);
        break;
      case DeviceId::kV120:  // the cycles need a fresh V120: they stop after 5 s without
        noticed = WaitFor([&] { return !CyclesRunning(); }, row.readsFail ? 12s : 8s);
        break;
      case DeviceId::kBk003:  // the cycles go on; the reading stays as it was
        noticed = !WaitForTnk23Change(tnkBefore, 5s);
        EXPECT_TRUE(CyclesRunning()) << "the BK-003 does not hold up the cycles";
        break;
    }
    EXPECT_EQ(noticed, row.readsFail) << Log();
    std::this_thread::sleep_until(faultStart + 3s);  // long enough for every other device
    for (DeviceId d : plantsim::kAllDevices) {
      if (d == row.device) continue;
      EXPECT_GT(plant_.Replies(d), replies[static_cast<size_t>(d)])
          << plantsim::DeviceName(d) << " is still polled and answers\n" << Log();
    }
    // A reply later than the budget still occupies the shared Modbus line when the master
    // asks the other controller, so only a late reply may cost the other one a read.
    if ((row.device == DeviceId::kJumo1 || row.device == DeviceId::kJumo2) &&
        row.fault.delayMs == 0) {
      const DeviceId other = row.device == DeviceId::kJumo1 ? DeviceId::kJumo2 : DeviceId::kJumo1;
      EXPECT_FALSE(JumoFailureIn(Log().substr(logBefore), other))
          << "a fault of one controller is not counted for the other";
    }

    plant_.SetFault(row.device, FaultSet{});
    const double cleared = Now();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitForCycleAfter(cleared, 15s)) << "cycles resume\n" << Log();
    if (row.device == DeviceId::kBk003) {
      EXPECT_TRUE(WaitForTnk23Change(tnkBefore, 15s)) << "the BK-003 reading is back";
    }
    const double recovery = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "[ recovery ] " << row.name << (row.readsFail ? " (noticed)" : " (ridden out)")
              << ": " << recovery << " s\n";
    EXPECT_TRUE(ServiceAlive());
  }
  EXPECT_EQ(StopService(), 0) << Log();
}

// The three lines vanish (the pseudo-terminals closed, the names gone) and return as new
// devices under the same names: the JUMO and V-120 pollers reopen them without acquisition
// restarting.
TEST_F(DeviceFaultTest, LinesPulledOutAndPluggedBackIn) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitForCycles()) << Log();

  plant_.Stop();
  for (Line line : plantsim::kAllLines) PointLine(line, plant_);
  EXPECT_TRUE(WaitForLog("*** JUMO: линия " + LinePath(Line::kModbus).string() + " потеряна", 10s))
      << Log();
  EXPECT_TRUE(WaitForLog("*** V120: линия " + LinePath(Line::kVision).string() + " потеряна", 10s))
      << Log();
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(ServiceAlive());

  plantsim::PlantSimulator returned;
  std::string error;
  ASSERT_TRUE(returned.Start(&error)) << error;
  for (Line line : plantsim::kAllLines) PointLine(line, returned);
  const double back = Now();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitForLog("=== JUMO: порт " + LinePath(Line::kModbus).string() + " открыт заново ===",
                         10s))
      << Log();
  EXPECT_TRUE(WaitForLog("=== V120: порт " + LinePath(Line::kVision).string() + " открыт заново ===",
                         10s));
  EXPECT_TRUE(WaitForCycleAfter(back, 20s)) << Log();
  // The BK-003 poller is not expected back: after more than ten failed reopenings in a row
  // (about 3 s of a missing line) it ends until acquisition restarts. Its reopening within
  // that limit is the poller's own test.
  std::cout << "[ recovery ] lines back after 3 s: "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
            << " s\n";
  EXPECT_EQ(StopService(), 0) << Log();
  returned.Stop();
}

}  // namespace
}  // namespace kalvix::faults
