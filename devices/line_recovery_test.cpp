#include "devices/line_recovery.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "testing/poller_test_plant.h"

namespace kalvix {
namespace {

using plantsim::Line;

// The lines are opened through symbolic links that stand for the device names, so the test
// can take the devices away and bring new ones back under the same names, as a USB adapter
// pulled out and plugged in again does.
class LineRecoveryTest : public testing::PlantPollerTest {
 protected:
  void SetUp() override {
    PlantPollerTest::SetUp();
    if (HasFatalFailure()) return;
    for (Line line : {Line::kModbus, Line::kVision}) PointAt(line, *plant_);
    modbus_.Close();
    modbus_.PortName = Link(Line::kModbus).string();
    ASSERT_TRUE(modbus_.Open(9600));
    vision_.SetActive(false);
    vision_.SetPortName(Link(Line::kVision).string());
    vision_.SetActive(true);
    ASSERT_TRUE(vision_.Active());
  }
  void TearDown() override {
    for (Line line : {Line::kModbus, Line::kVision}) std::filesystem::remove(Link(line));
  }
  std::filesystem::path Link(Line line) const {
    return workDir_ / ("kalvix-line-" + std::string(plantsim::LineName(line)) + "-" +
                       std::to_string(getpid()));
  }
  void PointAt(Line line, plantsim::PlantSimulator& plant) {
    std::filesystem::remove(Link(line));
    std::filesystem::create_symlink(plant.PortPath(line), Link(line));
  }
};

TEST_F(LineRecoveryTest, LinesThatWentAwayAreReopenedWhenTheDevicesReturn) {
  ModbusLineRecovery modbusRecovery(&modbus_, ledgers_);
  VisionLineRecovery visionRecovery(vision_, ledgers_[kModuleV120]);
  int32_t value = 0;
  std::array<int32_t, 1> ints{};
  ASSERT_TRUE(modbus_.ReadRegister(40, value));
  ASSERT_TRUE(vision_.GetIntArray(100, 1, ints, false));
  EXPECT_TRUE(modbusRecovery.BeforePass());

  plant_->Stop();
  EXPECT_FALSE(modbus_.ReadRegister(40, value));
  EXPECT_FALSE(vision_.GetIntArray(100, 1, ints, false));
  EXPECT_FALSE(modbusRecovery.BeforePass()) << "the device is not back yet";
  EXPECT_FALSE(visionRecovery.BeforePass());
  EXPECT_TRUE(modbusRecovery.Lost());
  EXPECT_FALSE(modbus_.Connected.load()) << "a failed line is not left open";

  plantsim::PlantOptions options;
  options.modelNoise = false;
  plantsim::PlantSimulator returned(options);
  std::string error;
  ASSERT_TRUE(returned.Start(&error)) << error;
  for (Line line : {Line::kModbus, Line::kVision}) PointAt(line, returned);

  EXPECT_TRUE(modbusRecovery.BeforePass());
  EXPECT_TRUE(visionRecovery.BeforePass());
  EXPECT_TRUE(modbus_.ReadRegister(40, value)) << modbus_.ErrorText;
  EXPECT_TRUE(vision_.GetIntArray(100, 1, ints, false)) << vision_.Status();
  const auto events = DrainEvents();
  EXPECT_NE(std::find(events.begin(), events.end(),
                      "=== JUMO: порт " + Link(Line::kModbus).string() + " открыт заново ==="),
            events.end());
}

// A line that merely times out (a silent device) is not reopened.
TEST_F(LineRecoveryTest, SilentDeviceIsNoLostLine) {
  ModbusLineRecovery recovery(&modbus_, ledgers_);
  plantsim::FaultSet silent;
  silent.silent = true;
  plant_->SetFault(plantsim::DeviceId::kJumo1, silent);
  int32_t value = 0;
  EXPECT_FALSE(modbus_.ReadRegister(40, value));
  EXPECT_TRUE(recovery.BeforePass());
  EXPECT_FALSE(recovery.Lost());
}

}  // namespace
}  // namespace kalvix
