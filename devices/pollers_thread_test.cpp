// The three pollers as the control thread runs them: each on its own named thread under its
// running flag, one copy at a time, all three serving the simulated plant together, and all
// three gone shortly after StopRequest.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "devices/bk003_poller.h"
#include "devices/jumo_poller.h"
#include "devices/v120_poller.h"
#include "plant/thread_entry.h"
#include "testing/poller_test_plant.h"

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;

std::string ThreadName(std::thread& thread) {
  char name[16] = {};
  pthread_getname_np(thread.native_handle(), name, sizeof name);
  return name;
}

class PollerThreadsTest : public testing::PlantPollerTest {};

TEST_F(PollerThreadsTest, AllThreeServeThePlantAndStopPromptly) {
  const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_, ledgers_};
  const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_, ledgers_};
  const Bk003PollerContext bk{control_, signals_, counters_, ledgers_};
  Bk003PollerSettings bkSettings;
  bkSettings.portName = plant_->PortPath(plantsim::Line::kBk003);
  bkSettings.workDir = workDir_;

  int results[3] = {-1, -1, -1};
  std::thread threads[3] = {
      std::thread([&] { results[0] = V120PollerEntry(v120); }),
      std::thread([&] { results[1] = JumoPollerEntry(jumo); }),
      std::thread([&] { results[2] = Bk003PollerEntry(bk, bkSettings); }),
  };
  const bool served = WaitFor(
      [&] {
        for (const auto& stamp : control_.ModuleLastOk) {
          if (stamp.load() == 0) return false;
        }
        return true;
      },
      std::chrono::seconds(10), testing::kPollEvery);
  EXPECT_TRUE(served) << "every module answered";
  EXPECT_TRUE(control_.JumoActive && control_.V120Active && control_.BkActive);
  EXPECT_EQ(ThreadName(threads[0]), kThreadNameV120);
  EXPECT_EQ(ThreadName(threads[1]), kThreadNameJumo);
  EXPECT_EQ(ThreadName(threads[2]), kThreadNameBk003);

  // A second copy of each returns at once and leaves the first running.
  EXPECT_EQ(V120PollerEntry(v120), 0);
  EXPECT_EQ(JumoPollerEntry(jumo), 0);
  EXPECT_EQ(Bk003PollerEntry(bk, bkSettings), 0);
  EXPECT_TRUE(control_.JumoActive && control_.V120Active && control_.BkActive);

  // Let a full period pass so the pacing waits are in play, then stop.
  const int32_t jumoPasses = counters_.JumoCycleCounter.load();
  ASSERT_TRUE(WaitFor([&] { return counters_.JumoCycleCounter.load() > jumoPasses; },
                      std::chrono::seconds(3), testing::kPollEvery));
  const auto stop = Clock::now();
  control_.StopRequest = true;
  for (std::thread& t : threads) t.join();
  // Within a wait a stop is seen within 200 ms; a healthy exchange in progress adds little.
  EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(200 + 400));

  for (int r : results) EXPECT_EQ(r, 1);
  EXPECT_FALSE(control_.JumoActive || control_.V120Active || control_.BkActive);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load(), 0);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo2].load(), 0);
  EXPECT_EQ(control_.ModuleErrors[kModuleV120].load(), 0);
  EXPECT_EQ(counters_.BkFailCount.load(), 0);
}

// A stop reaches every poller at once, wherever it is: in its pacing wait (a healthy plant)
// or in the middle of an exchange with a silent device, the BK-003's under a site's file
// that allows 2^32 ms. Each running flag clears within kStopBound of the request, far below
// the 200 ms slices the waits were once polled in, and below any read the devices could
// make it wait for.
TEST_F(PollerThreadsTest, StopReachesEveryPollerWithinTheBound) {
  constexpr auto kStopBound = std::chrono::milliseconds(50);
  struct Case {
    const char* name;
    bool silent;
  };
  for (const Case& c : {Case{"in the pacing waits", false}, Case{"in exchanges", true}}) {
    SCOPED_TRACE(c.name);
    control_.StopRequest = false;
    const plantsim::FaultSet faults{.silent = c.silent};
    for (auto device : {plantsim::DeviceId::kJumo1, plantsim::DeviceId::kJumo2,
                        plantsim::DeviceId::kV120, plantsim::DeviceId::kBk003}) {
      plant_->SetFault(device, faults);
    }
    const std::string bkPort = plant_->PortPath(plantsim::Line::kBk003);
    std::ofstream(workDir_ / (std::filesystem::path(bkPort).filename().string() + "SET.INI"))
        << "[timeouts]\nRInterval=0\nRMult=4294967295\nRConst=4294967295\n";
    const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_, ledgers_};
    const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_, ledgers_};
    const Bk003PollerContext bk{control_, signals_, counters_, ledgers_};
    Bk003PollerSettings bkSettings;
    bkSettings.portName = bkPort;
    bkSettings.workDir = workDir_;
    bkSettings.setTimeouts = true;

    counters_.JumoCycleCounter = 0;
    counters_.V120CycleCounter = 0;
    counters_.BkCycleCounter = 0;
    std::thread threads[3] = {
        std::thread([&] { V120PollerEntry(v120); }),
        std::thread([&] { JumoPollerEntry(jumo); }),
        std::thread([&] { Bk003PollerEntry(bk, bkSettings); }),
    };
    // Every poller has begun its passes; with silent devices each is then inside a read.
    ASSERT_TRUE(WaitFor(
        [&] {
          return counters_.JumoCycleCounter.load() >= 1 && counters_.V120CycleCounter.load() >= 1 &&
                 counters_.BkCycleCounter.load() >= 1;
        },
        std::chrono::seconds(10), testing::kPollEvery));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const auto stop = Clock::now();
    control_.StopRequest = true;
    const RunningFlag* flags[] = {&control_.V120Active, &control_.JumoActive, &control_.BkActive};
    const char* names[] = {"V120", "JUMO", "BK-003"};
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(flags[i]->WaitClearUntil(stop + std::chrono::seconds(5))) << names[i];
      EXPECT_LT(Clock::now() - stop, kStopBound) << names[i];
    }
    for (std::thread& t : threads) t.join();
    std::filesystem::remove(workDir_ /
                            (std::filesystem::path(bkPort).filename().string() + "SET.INI"));
  }
}

}  // namespace
}  // namespace kalvix
