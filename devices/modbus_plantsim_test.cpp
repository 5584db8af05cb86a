// The Modbus master against the simulated plant's two JUMO controllers, whose protocol code
// is written independently of ours: both controllers answer on one line by their addresses,
// floats come in each controller's register order, a written set-point lands in the
// controller, and each fault the simulator can switch on ends in the failure the master is
// meant to report.
#include <gtest/gtest.h>

#include <bit>
#include <memory>
#include <string>

#include "devices/modbus_io.h"
#include "devices/modbus_messages.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix {
namespace {

using plantsim::DeviceId;
using plantsim::FaultSet;
using plantsim::Line;

class ModbusOnPlantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plantsim::PlantOptions options;
    options.modelNoise = false;
    plant_ = std::make_unique<plantsim::PlantSimulator>(options);
    std::string error;
    ASSERT_TRUE(plant_->Start(&error)) << error;
    link_.PortName = plant_->PortPath(Line::kModbus);
    ASSERT_TRUE(link_.Open(9600)) << link_.ErrorText;
  }

  // Reads a float the way the poller does for a signal of that controller and order.
  bool ReadFloat(int address, uint16_t reg, bool inverseBytes, bool inverseWords, float* value) {
    link_.DevAddr = address;
    link_.InverseBytes = inverseBytes;
    link_.InverseWords = inverseWords;
    uint32_t pattern = 0;
    if (!link_.ReadPair(reg, pattern)) return false;
    *value = std::bit_cast<float>(pattern);
    return true;
  }

  std::unique_ptr<plantsim::PlantSimulator> plant_;
  TModBUS link_;
};

TEST_F(ModbusOnPlantTest, TwoControllersShareTheLine) {
  // Register 53 holds PLS on JUMO 1 (low word first) and Q_SUSP on JUMO 2 (high word first).
  ASSERT_TRUE(plant_->SetSignal("PLS", 12.5));
  ASSERT_TRUE(plant_->SetSignal("Q_SUSP", 7.25));
  ASSERT_TRUE(plant_->SetSignal("UR_SUSP", 600));
  float value = 0;
  ASSERT_TRUE(ReadFloat(1, 53, true, true, &value)) << link_.ErrorText;
  EXPECT_EQ(value, 12.5f);
  ASSERT_TRUE(ReadFloat(2, 53, true, false, &value)) << link_.ErrorText;
  EXPECT_EQ(value, 7.25f);

  link_.DevAddr = 1;
  int32_t level = -1;
  ASSERT_TRUE(link_.ReadRegister(40, level)) << link_.ErrorText;
  EXPECT_EQ(level, 600);
}

TEST_F(ModbusOnPlantTest, SetPointWriteLandsInTheController) {
  link_.DevAddr = 1;
  link_.InverseBytes = true;
  link_.InverseWords = true;
  ASSERT_TRUE(link_.WritePair(8, std::bit_cast<uint32_t>(2.5f))) << link_.ErrorText;
  EXPECT_EQ(plant_->SignalValue("_PLSZ"), 2.5);
  const auto writes = plant_->Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].signal, "_PLSZ");
}

TEST_F(ModbusOnPlantTest, RegisterOutsideTheMapIsAnException) {
  link_.DevAddr = 2;
  int32_t value = 0;
  uint8_t room[TModBUS::kReadReplyRoom];
  link_.FuncCode = 3;
  link_.Query(std::array<uint8_t, 4>{0x0F, 0xFF, 0x00, 0x01}, room, -1);
  EXPECT_EQ(link_.ErrorText, modbus_text::kUnexpectedAnswer);
  EXPECT_FALSE(link_.ReadRegister(0x0FFF, value));
}

TEST_F(ModbusOnPlantTest, FaultsEndInTheirFailures) {
  ASSERT_TRUE(plant_->SetSignal("PLS", 12.5));
  struct Case {
    const char* name;
    FaultSet fault;
    bool readOk;
    bool writeOk;
  };
  const Case cases[] = {
      {"corrupt checksum", {.corruptChecksum = true}, false, false},
      {"noise before the reply", {.noiseBytes = 20}, true, true},
      {"truncated", {.truncateBytes = 1}, false, false},
      {"slow but within the address search", {.delayMs = 300}, true, true},
      {"silent", {.silent = true}, false, false},
      {"no fault", {}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plant_->SetFault(DeviceId::kJumo1, c.fault);
    float value = 0;
    EXPECT_EQ(ReadFloat(1, 53, true, true, &value), c.readOk) << link_.ErrorText;
    EXPECT_EQ(value, c.readOk ? 12.5f : 0.0f);
    EXPECT_EQ(link_.WritePair(8, std::bit_cast<uint32_t>(1.75f)), c.writeOk) << link_.ErrorText;
    // The other controller on the line is not disturbed.
    plant_->SetFault(DeviceId::kJumo1, {});
    int32_t level = -1;
    link_.DevAddr = 2;
    EXPECT_TRUE(link_.ReadRegister(40, level)) << link_.ErrorText;
  }
}

TEST_F(ModbusOnPlantTest, SilentControllerIsReportedAsNoAnswer) {
  plant_->SetFault(DeviceId::kJumo2, {.silent = true});
  link_.DevAddr = 2;
  uint8_t room[TModBUS::kReadReplyRoom];
  link_.FuncCode = 3;
  link_.Query(std::array<uint8_t, 4>{0x00, 40, 0x00, 0x01}, room, -1);
  EXPECT_EQ(link_.ErrorText, modbus_text::kNoAnswer);
  EXPECT_EQ(link_.RecvLen, 0);
  EXPECT_FALSE(link_.WritePair(53, 0));
  EXPECT_EQ(link_.ErrorText, modbus_text::kNoAnswer);
}

}  // namespace
}  // namespace kalvix
