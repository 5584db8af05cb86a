// The BK-003 poller against the simulated plant's belt weigher over a pseudo-terminal: the
// readings it stores, a short answer, a port that never opens, a line that goes away and
// comes back, and the port released at the end.
#include "devices/bk003_poller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "devices/serial_port.h"
#include "testing/poller_test_plant.h"

namespace kalvix {
namespace {

using plantsim::DeviceId;
using plantsim::Line;
using Clock = std::chrono::steady_clock;

class Bk003PollerTest : public testing::PlantPollerTest {
 protected:
  Bk003PollerContext Context() {
    return Bk003PollerContext{control_, signals_, counters_, ledgers_};
  }

  Bk003PollerSettings Settings(const std::string& portName) {
    Bk003PollerSettings settings;
    settings.portName = portName;
    settings.setTimeouts = false;
    settings.workDir = workDir_;
    return settings;
  }

  void PinAnswer(double status, double counter, double rate) {
    ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkStatusOffset, status));
    ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkCounterOffset, counter));
    ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkRateOffset, rate));
  }
};

TEST_F(Bk003PollerTest, AnswerIsStoredAndStamped) {
  PinAnswer(0x03, 4294967295.0, 500);
  Bk003Poller poller(Context(), Settings(plant_->PortPath(Line::kBk003)));
  poller.Start();
  ASSERT_TRUE(poller.PortOpen());

  const DateTime before = Now();
  EXPECT_EQ(poller.RunPass(), BkPassOutcome::kAnswer);
  EXPECT_EQ(Raw("G23"), 4294967295.0);
  EXPECT_EQ(Raw("TNK23"), 500);
  EXPECT_EQ(Raw("BKK23"), 1);
  EXPECT_GE(control_.ModuleLastOk[kModuleBk003].load(), before);
  EXPECT_EQ(counters_.BkCycleCounter.load(), 1);
  EXPECT_EQ(counters_.BkFailCount.load(), 0);
}

TEST_F(Bk003PollerTest, ShortOrMissingAnswerCountsOneFailureAndKeepsTheValues) {
  // With set_timeouts off the read is still bounded: a silent device ends the read.
  const plantsim::FaultSet faults[] = {{.truncateBytes = 1}, {.silent = true}};
  Bk003Poller poller(Context(), Settings(plant_->PortPath(Line::kBk003)));
  poller.Start();
  signals_.RawValues.SetSlot(Slot("TNK23"), 7);
  int32_t failures = 0;
  for (const plantsim::FaultSet& fault : faults) {
    SCOPED_TRACE(plantsim::DescribeFaults(fault));
    plant_->SetFault(DeviceId::kBk003, fault);
    const auto start = Clock::now();
    EXPECT_EQ(poller.RunPass(), BkPassOutcome::kShortAnswer);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(counters_.BkFailCount.load(), ++failures);
    EXPECT_EQ(Raw("TNK23"), 7);
    EXPECT_EQ(control_.ModuleLastOk[kModuleBk003].load(), 0);
    EXPECT_TRUE(poller.PortOpen()) << "the port stays open across short answers";
  }
}

TEST_F(Bk003PollerTest, PortThatCannotBeOpenedEndsThePollerAfterTheEleventhRetry) {
  Bk003PollerSettings settings = Settings((workDir_ / "kalvix-no-such-port").string());
  settings.retryPauseMs = 5;
  Bk003Poller poller(Context(), settings);

  poller.Run();  // returns by itself

  EXPECT_EQ(counters_.BkFailCount.load(), kBkFailLimit + 1);
  EXPECT_EQ(counters_.BkCycleCounter.load(), kBkFailLimit + 1);
  EXPECT_FALSE(poller.PortOpen());
}

TEST_F(Bk003PollerTest, PortIsHeldWhileRunningAndReleasedAtTheEnd) {
  const std::string path = plant_->PortPath(Line::kBk003);
  std::thread thread([&] { Bk003PollerEntry(Context(), Settings(path)); });
  ASSERT_TRUE(WaitFor([&] { return counters_.BkCycleCounter.load() >= 1; },
                      std::chrono::seconds(5), testing::kPollEvery));
  SerialPort other;
  EXPECT_FALSE(other.Open(path)) << "a second opener is refused while the poller holds it";

  control_.StopRequest = true;
  thread.join();
  EXPECT_FALSE(control_.BkActive.load());
  EXPECT_TRUE(other.Open(path)) << "the poller released the port";
}

// A line whose device went away fails with an I/O error; the poller closes it and opens it
// again on a later pass, so it reads again once the device is back under the same name.
TEST_F(Bk003PollerTest, LineThatWentAwayIsReopenedWhenItReturns) {
  const std::filesystem::path link = workDir_ / ("kalvix-bk-line-" + std::to_string(getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(plant_->PortPath(Line::kBk003), link);
  Bk003Poller poller(Context(), Settings(link.string()));
  poller.Start();
  ASSERT_EQ(poller.RunPass(), BkPassOutcome::kAnswer);

  plant_->Stop();
  const BkPassOutcome lost = poller.RunPass();
  EXPECT_TRUE(lost == BkPassOutcome::kWriteFailed || lost == BkPassOutcome::kReadFailed);
  EXPECT_FALSE(poller.PortOpen());
  // Failures of the run so far do not count toward giving up: only reopenings in a row.
  counters_.BkFailCount = 50;
  for (int pass = 0; pass < kBkFailLimit; ++pass) EXPECT_EQ(poller.RunPass(), BkPassOutcome::kNoPort);

  plantsim::PlantOptions options;
  options.modelNoise = false;
  auto returned = std::make_unique<plantsim::PlantSimulator>(options);
  std::string error;
  ASSERT_TRUE(returned->Start(&error)) << error;
  ASSERT_TRUE(returned->Bk003().SetValue(plantsim::kBkRateOffset, 432));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(returned->PortPath(Line::kBk003), link);

  EXPECT_EQ(poller.RunPass(), BkPassOutcome::kAnswer);
  EXPECT_EQ(Raw("TNK23"), 432);
  poller.Finish();
  std::filesystem::remove(link);
}

}  // namespace
}  // namespace kalvix
