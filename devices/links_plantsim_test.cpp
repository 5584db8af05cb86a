// The Vision and BK-003 links against the simulated plant's V120 and BK-003, whose protocol
// code is written independently of ours: values written through the link come back through
// it, pinned plant values arrive decoded, and each fault the simulator can switch on ends
// in the failure the link is meant to report.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "devices/bk003_link.h"
#include "devices/vision_link.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix {
namespace {

using plantsim::DeviceId;
using plantsim::FaultSet;
using plantsim::Line;
using plantsim::VisionArea;

class LinksOnPlantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plantsim::PlantOptions options;
    options.modelNoise = false;
    options.v120Unit = 3;
    options.bkDeviceNumber = 0x31;
    plant_ = std::make_unique<plantsim::PlantSimulator>(options);
    std::string error;
    ASSERT_TRUE(plant_->Start(&error)) << error;
  }

  std::unique_ptr<plantsim::PlantSimulator> plant_;
};

TEST_F(LinksOnPlantTest, VisionValuesGoAndComeBack) {
  TVisionLink link;
  link.SetPortName(plant_->PortPath(Line::kVision));
  link.SetActive(true);
  ASSERT_TRUE(link.Active()) << link.Status();
  link.SetUnitID(3);

  const std::array<int32_t, 2> words = {1234, 65535};
  ASSERT_TRUE(link.SetIntArray(1500, 2, words, false)) << link.Status();
  std::array<int32_t, 2> back = {};
  ASSERT_TRUE(link.GetIntArray(1500, 2, back, false)) << link.Status();
  EXPECT_EQ(back, words);

  const std::array<int32_t, 2> longs = {-2, 100000};
  ASSERT_TRUE(link.SetIntArray(200, 2, longs, true)) << link.Status();
  ASSERT_TRUE(link.GetIntArray(200, 2, back, true)) << link.Status();
  EXPECT_EQ(back, longs);

  const std::array<uint8_t, 3> bits = {1, 0, 1};
  ASSERT_TRUE(link.SetBitArray(4000, 3, bits)) << link.Status();
  std::array<uint8_t, 3> bitsBack = {};
  ASSERT_TRUE(link.GetBitArray(4000, 3, bitsBack)) << link.Status();
  EXPECT_EQ(bitsBack, bits);

  ASSERT_TRUE(plant_->V120().SetValue(VisionArea::kMI, 1600, 4321));
  std::array<int32_t, 1> pinned = {};
  ASSERT_TRUE(link.GetIntArray(1600, 1, pinned, false)) << link.Status();
  EXPECT_EQ(pinned[0], 4321);
  EXPECT_EQ(link.ErrorCounter(), 0);

  // Another unit number gets no answer.
  link.SetUnitID(4);
  EXPECT_FALSE(link.GetIntArray(1600, 1, pinned, false));
  EXPECT_EQ(link.Status(), "Не удалось принять блок информации.");
}

TEST_F(LinksOnPlantTest, VisionFaultsEndInTheirFailures) {
  TVisionLink link;
  link.SetPortName(plant_->PortPath(Line::kVision));
  link.SetActive(true);
  ASSERT_TRUE(link.Active()) << link.Status();
  link.SetUnitID(3);
  ASSERT_TRUE(plant_->V120().SetValue(VisionArea::kMI, 10, 77));

  struct Case {
    const char* name;
    FaultSet fault;
    bool ok;
    const char* status;
  };
  const Case cases[] = {
      {"corrupt checksum", {.corruptChecksum = true}, false, "CRC check error."},
      {"noise before the reply", {.noiseBytes = 5}, false, "STX1 is missing in answer."},
      {"truncated: no CR", {.truncateBytes = 1}, false, "Не удалось принять блок информации."},
      {"slow but within a second", {.delayMs = 300}, true, "Recive() OK"},
      {"silent", {.silent = true}, false, "Не удалось принять блок информации."},
      {"no fault", {}, true, "Recive() OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plant_->SetFault(DeviceId::kV120, c.fault);
    std::array<int32_t, 1> value = {-1};
    EXPECT_EQ(link.GetIntArray(10, 1, value, false), c.ok);
    EXPECT_EQ(link.Status(), c.status);
    EXPECT_EQ(value[0], c.ok ? 77 : -1);
  }
}

TEST_F(LinksOnPlantTest, Bk003AnswerIsDecoded) {
  Bk003Link link(std::filesystem::temp_directory_path(), false);
  ASSERT_TRUE(link.BkOpenPort(plant_->PortPath(Line::kBk003), 9600));
  ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkStatusOffset, 0x03));
  ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkCounterOffset, 4294967295.0));
  ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkRateOffset, 500));

  BkReadings readings;
  ASSERT_EQ(link.Exchange(305, 2, &readings), BkExchangeResult::kOk);  // low byte 0x31
  EXPECT_EQ(readings.G23, 4294967295.0);
  EXPECT_EQ(readings.TNK23, 500);
  EXPECT_EQ(readings.BKK23, 1);
  ASSERT_EQ(link.Exchange(305, 4, &readings), BkExchangeResult::kOk);
  EXPECT_EQ(readings.BKK23, 0);

  // Another device number gets no answer.
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kShortAnswer);
}

TEST_F(LinksOnPlantTest, Bk003ShortAndLateAnswers) {
  Bk003Link link(std::filesystem::temp_directory_path(), false);
  ASSERT_TRUE(link.BkOpenPort(plant_->PortPath(Line::kBk003), 9600));
  ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkRateOffset, 700));
  BkReadings readings;

  plant_->SetFault(DeviceId::kBk003, {.truncateBytes = 1});
  EXPECT_EQ(link.Exchange(0x31, 2, &readings), BkExchangeResult::kShortAnswer);
  plant_->SetFault(DeviceId::kBk003, {.silent = true});
  EXPECT_EQ(link.Exchange(0x31, 2, &readings), BkExchangeResult::kShortAnswer);

  // An answer that comes after the read gave up is dropped before the next request, so it
  // cannot be taken for the next answer.
  plant_->SetFault(DeviceId::kBk003, {.delayMs = 250});
  EXPECT_EQ(link.Exchange(0x31, 2, &readings), BkExchangeResult::kShortAnswer);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  plant_->SetFault(DeviceId::kBk003, {});
  ASSERT_TRUE(plant_->Bk003().SetValue(plantsim::kBkRateOffset, 800));
  ASSERT_EQ(link.Exchange(0x31, 2, &readings), BkExchangeResult::kOk);
  EXPECT_EQ(readings.TNK23, 800);
}

}  // namespace
}  // namespace kalvix
