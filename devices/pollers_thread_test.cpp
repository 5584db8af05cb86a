// The three pollers as the control thread runs them: each on its own named thread under its
// running flag, one copy at a time, all three serving the simulated plant together, and all
// three gone shortly after StopRequest.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <string>
#include <thread>

#include "acquisition/thread_entry.h"
#include "devices/bk003_poller.h"
#include "devices/jumo_poller.h"
#include "devices/poller_test_plant.h"
#include "devices/v120_poller.h"

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;
using testing::WaitFor;

std::string ThreadName(std::thread& thread) {
  char name[16] = {};
  pthread_getname_np(thread.native_handle(), name, sizeof name);
  return name;
}

class PollerThreadsTest : public testing::PlantPollerTest {};

TEST_F(PollerThreadsTest, AllThreeServeThePlantAndStopPromptly) {
  const JumoPollerContext jumo{control_, signals_, setpoints_, counters_, &modbus_};
  const V120PollerContext v120{control_, signals_, setpoints_, counters_, vision_};
  const Bk003PollerContext bk{control_, signals_, counters_};
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
      std::chrono::seconds(10));
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
                      std::chrono::seconds(3)));
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

}  // namespace
}  // namespace kalvix
