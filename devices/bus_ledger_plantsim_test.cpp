// The bus ledger as the pollers keep it against the simulated plant: each fault the plant
// can put on a line moves exactly its cause in the ledger of the module it hits and nothing
// else anywhere, a line pulled out shows as I/O errors and then as reopenings, and good
// exchanges carry the round-trip the line gives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "devices/bk003_poller.h"
#include "devices/bus_ledger.h"
#include "devices/jumo_poller.h"
#include "devices/v120_poller.h"
#include "testing/poller_test_plant.h"
#include "tools/plantsim/control_commands.h"

namespace kalvix {
namespace {

using plantsim::Line;

constexpr Module kAllModules[] = {kModuleJumo1, kModuleJumo2, kModuleV120, kModuleBk003};
const char* const kModuleNames[] = {"JUMO 1", "JUMO 2", "V-120", "BK-003"};

uint64_t Count(const BusLedgerSnapshot& s, BusFault cause) {
  return s.faults[static_cast<size_t>(cause)];
}

class BusLedgerPlantTest : public testing::PlantPollerTest {
 protected:
  // A command of the plant's control console, as an operator of the simulator types it.
  void Command(const std::string& line) {
    const plantsim::CommandResult result = plantsim::RunControlCommand(*plant_, line);
    ASSERT_EQ(result.output.rfind("error", 0), std::string::npos) << line << ": " << result.output;
  }

  Bk003PollerSettings BkSettings(const std::string& portName) const {
    Bk003PollerSettings settings;
    settings.portName = portName;
    settings.workDir = workDir_;
    return settings;
  }

  // One read pass of each poller, the three at once, each on its own line as in service.
  void ReadPassOfEach(BusLedgers& ledgers) {
    const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_, ledgers};
    const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_, ledgers};
    const Bk003PollerContext bk{control_, signals_, counters_, ledgers};
    std::thread threads[] = {
        std::thread([&] { JumoRead(jumo); }),
        std::thread([&] { V120Read(v120); }),
        std::thread([&] {
          Bk003Poller poller(bk, BkSettings(plant_->PortPath(Line::kBk003)));
          poller.Start();
          poller.RunPass();
          poller.Finish();
        }),
    };
    for (std::thread& t : threads) t.join();
  }
};

// Under each fault every exchange of the modules it hits fails by that cause alone, and every
// other module's exchanges are all good. The V-120's pass ends at its first failure, so it
// makes one exchange then; the JUMO pass reads each controller's every input.
TEST_F(BusLedgerPlantTest, EachFaultMovesExactlyItsCause) {
  struct Case {
    const char* command;
    std::vector<Module> hit;
    BusFault cause;
  };
  const Case cases[] = {
      {"fault jumo1 silent", {kModuleJumo1}, BusFault::kTimeout},
      {"fault jumo corrupt", {kModuleJumo1, kModuleJumo2}, BusFault::kChecksum},
      {"fault jumo2 truncate 2", {kModuleJumo2}, BusFault::kIncomplete},
      // More foreign bytes before the reply than the master skips.
      {"fault jumo1 noise 200", {kModuleJumo1}, BusFault::kWrongPeer},
      // Stray bytes before "/A": the line does not begin as a reply, so it is no answer of
      // this controller to the request (never a bad checksum: the sum is not even looked at).
      {"fault v120 noise 5", {kModuleV120}, BusFault::kWrongPeer},
      {"fault v120 corrupt", {kModuleV120}, BusFault::kChecksum},
      {"fault v120 silent", {kModuleV120}, BusFault::kTimeout},
      {"fault v120 truncate 1", {kModuleV120}, BusFault::kIncomplete},  // the CR never comes
      {"fault bk003 silent", {kModuleBk003}, BusFault::kTimeout},
      {"fault bk003 truncate 3", {kModuleBk003}, BusFault::kIncomplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Command(c.command);
    BusLedgers ledgers;
    ReadPassOfEach(ledgers);
    Command("fault all off");

    for (Module m : kAllModules) {
      SCOPED_TRACE(kModuleNames[m]);
      const BusLedgerSnapshot s = ledgers[m].Read();
      const bool hit = std::find(c.hit.begin(), c.hit.end(), m) != c.hit.end();
      EXPECT_GT(s.exchanges, 0u);
      EXPECT_EQ(s.good, hit ? 0 : s.exchanges);
      for (int k = 0; k < kBusFaultCount; ++k) {
        const bool expected = hit && static_cast<BusFault>(k) == c.cause;
        EXPECT_EQ(s.faults[k], expected ? s.exchanges : 0) << kBusFaultNames[k];
      }
      EXPECT_EQ(s.reopenings, 0u);
    }
  }
}

// A request the device refuses (a register or operand it does not have) is the device's
// error, on reads and writes alike. The V-120's refusal of a bit read still passes for the
// bit 0 with the poller, as designed; the ledger shows it for what it is.
TEST_F(BusLedgerPlantTest, RefusedRequestIsTheDevicesError) {
  auto row = [](const char* name, const char* bus, int32_t kind, uint16_t address) {
    TSignalSet s;
    s.BusName = bus;
    s.SignalName = name;
    s.DevNum = 1;
    s.Kind = kind;
    s.Addr = address;
    s.Direction = name[0] == '_' ? kDirectionWrite : kDirectionRead;
    return s;
  };
  struct Case {
    const char* name;
    TSignalSet signal;
    Module module;
  };
  const Case cases[] = {
      {"JUMO read of a register it lacks", row("NOREG", "JUMO", kKindFloat, 9000), kModuleJumo1},
      {"JUMO write to a register it lacks", row("_NOREG", "JUMO", kKindFloat, 9000), kModuleJumo1},
      {"V-120 read beyond its integers", row("NOINT", "V120", kKindInt, 4000), kModuleV120},
      {"V-120 read beyond its bits", row("NOBIT", "V120", kKindBit, 5000), kModuleV120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    signals_.Replace({c.signal});
    BusLedgers ledgers;
    const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_, ledgers};
    const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_, ledgers};
    if (c.module == kModuleV120) {
      V120Read(v120);
    } else {
      JumoRead(jumo);
      setpoints_.JumoWriteCountdown = 0;
      setpoints_.JumoWritePending = true;
      JumoWrite(jumo);
    }
    for (Module m : kAllModules) {
      SCOPED_TRACE(kModuleNames[m]);
      const BusLedgerSnapshot s = ledgers[m].Read();
      EXPECT_EQ(s.exchanges, m == c.module ? 1u : 0u);
      EXPECT_EQ(Count(s, BusFault::kDeviceError), s.exchanges);
    }
  }
}

// The lines are opened through symbolic links standing for the device names, so the test can
// pull the devices out and plug new ones in under the same names. The pollers run as in
// service; the exchange that meets the lost line fails as an I/O error, and the line that
// comes back counts as reopened for every module on it.
TEST_F(BusLedgerPlantTest, PulledLineShowsIoErrorsThenReopenings) {
  auto link = [this](Line line) {
    return workDir_ / ("kalvix-ledger-" + std::string(plantsim::LineName(line)) + "-" +
                       std::to_string(getpid()));
  };
  auto pointAt = [&](plantsim::PlantSimulator& plant) {
    for (Line line : plantsim::kAllLines) {
      std::filesystem::remove(link(line));
      std::filesystem::create_symlink(plant.PortPath(line), link(line));
    }
  };
  pointAt(*plant_);
  modbus_.Close();
  modbus_.PortName = link(Line::kModbus).string();
  ASSERT_TRUE(modbus_.Open(9600));
  vision_.SetActive(false);
  vision_.SetPortName(link(Line::kVision).string());
  vision_.SetActive(true);
  ASSERT_TRUE(vision_.Active());

  BusLedgers ledgers;
  const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_, ledgers};
  const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_, ledgers};
  const Bk003PollerContext bk{control_, signals_, counters_, ledgers};
  const Bk003PollerSettings bkSettings = BkSettings(link(Line::kBk003).string());
  std::thread threads[] = {
      std::thread([&] { JumoPollerEntry(jumo); }),
      std::thread([&] { V120PollerEntry(v120); }),
      std::thread([&] { Bk003PollerEntry(bk, bkSettings); }),
  };
  auto every = [&](auto holds) {
    return WaitFor(
        [&] {
          for (Module m : kAllModules) {
            if (!holds(m, ledgers[m].Read())) return false;
          }
          return true;
        },
        std::chrono::seconds(10), testing::kPollEvery);
  };
  EXPECT_TRUE(every([](Module, const BusLedgerSnapshot& s) { return s.good > 0; }));

  plant_->Stop();
  // The JUMO controllers share one line: the pass that meets the loss may have been past
  // JUMO 1's inputs already, so the line counts as one.
  const bool lost = WaitFor(
      [&] {
        return Count(ledgers[kModuleJumo1].Read(), BusFault::kIoError) +
                       Count(ledgers[kModuleJumo2].Read(), BusFault::kIoError) >
                   0 &&
               Count(ledgers[kModuleV120].Read(), BusFault::kIoError) > 0 &&
               Count(ledgers[kModuleBk003].Read(), BusFault::kIoError) > 0;
      },
      std::chrono::seconds(10), testing::kPollEvery);
  EXPECT_TRUE(lost);
  for (Module m : kAllModules) {
    EXPECT_EQ(ledgers[m].Read().reopenings, 0u) << kModuleNames[m] << ": not back yet";
  }

  plantsim::PlantOptions options;
  options.modelNoise = false;
  plantsim::PlantSimulator returned(options);
  std::string error;
  ASSERT_TRUE(returned.Start(&error)) << error;
  pointAt(returned);
  std::vector<uint64_t> goodBefore;
  for (Module m : kAllModules) goodBefore.push_back(ledgers[m].Read().good);
  EXPECT_TRUE(every([&](Module m, const BusLedgerSnapshot& s) {
    return s.reopenings == 1 && s.good > goodBefore[m];
  })) << "every module reopened once and answering again";

  control_.StopRequest = true;
  for (std::thread& t : threads) t.join();
  for (Line line : plantsim::kAllLines) std::filesystem::remove(link(line));

  // A line that went away fails as the line's fault; nothing passes for a device's fault.
  for (Module m : kAllModules) {
    SCOPED_TRACE(kModuleNames[m]);
    const BusLedgerSnapshot s = ledgers[m].Read();
    EXPECT_EQ(s.reopenings, 1u);
    for (BusFault cause : {BusFault::kTimeout, BusFault::kIncomplete, BusFault::kChecksum,
                           BusFault::kWrongPeer, BusFault::kDeviceError}) {
      EXPECT_EQ(Count(s, cause), 0u) << kBusFaultNames[static_cast<int>(cause)];
    }
  }
}

// The round-trip runs from the request's write to the reply's last byte. The simulated
// devices answer kPlantTurnaroundMs after a request, plus the delay of a `slow` fault; the
// Modbus master does not listen before its own turnaround has passed, so a JUMO controller
// shows the later of the two. Bounds: never below what the line allows, and within a
// tolerance above it.
TEST_F(BusLedgerPlantTest, RoundTripFollowsTheDevicesReplyDelay) {
  constexpr int kPlantTurnaroundMs = 10;  // PlantOptions::turnaroundMs
  // Within the BK-003's read budget with the default time-outs (7 x 14 + 40 ms).
  constexpr int kSlowMs = 100;
  constexpr int kToleranceMs = 60;
  auto expectedMs = [](Module m, int delayMs) {
    const int reply = kPlantTurnaroundMs + delayMs;
    const bool jumo = m == kModuleJumo1 || m == kModuleJumo2;
    return jumo ? std::max<int>(reply, TModBUS::kTurnaroundMs) : reply;
  };
  struct Case {
    const char* command;
    Module slowed;  // the module the fault delays; the others keep their usual round-trip
  };
  const Case cases[] = {
      {"fault jumo1 slow 100", kModuleJumo1},
      {"fault v120 slow 100", kModuleV120},
      {"fault bk003 slow 100", kModuleBk003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Command(c.command);
    BusLedgers ledgers;
    ReadPassOfEach(ledgers);
    Command("fault all off");
    for (Module m : kAllModules) {
      SCOPED_TRACE(kModuleNames[m]);
      const BusLedgerSnapshot s = ledgers[m].Read();
      ASSERT_GT(s.good, 0u);
      EXPECT_EQ(s.good, s.exchanges);
      const int expected = expectedMs(m, m == c.slowed ? kSlowMs : 0);
      const double p50Ms = s.p50RoundTripUs / 1000.0;
      EXPECT_GE(p50Ms, expected - 2) << "a tick of the plant's clock early at most";
      EXPECT_LE(p50Ms, expected + kToleranceMs);
      EXPECT_LE(s.p50RoundTripUs, s.p99RoundTripUs);
      EXPECT_GT(s.lastGoodUnixMs, 0);
    }
  }
}

}  // namespace
}  // namespace kalvix
