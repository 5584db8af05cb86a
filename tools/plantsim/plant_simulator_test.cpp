// The simulated plant driven over its real pseudo-terminals: raw bytes go in at the slave
// end, and each reply is compared byte for byte with a frame worked out by hand (CRCs and
// checksums computed independently of the simulator), never with the simulator's encoder.
#include "tools/plantsim/plant_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "tools/plantsim/test_line_client.h"

namespace kalvix::plantsim {
namespace {

using D = DeviceId;
using K = PointKind;

Waveform Fixed(double value) { return Waveform{value, 0, 600, 0, 0, 0}; }

// Fixed values at known places, so every reply is known to the byte.
std::vector<LayoutPoint> TestLayout() {
  return {
      {"INT0", D::kJumo1, 0, K::kInt, false, false, Fixed(0x0201)},
      {"F_ABCD", D::kJumo1, 16, K::kFloat, true, false, Fixed(10.0)},
      {"F_CDAB", D::kJumo1, 20, K::kFloat, true, true, Fixed(10.0)},
      {"F_BADC", D::kJumo1, 22, K::kFloat, false, true, Fixed(10.0)},
      {"F_DCBA", D::kJumo1, 24, K::kFloat, false, false, Fixed(10.0)},
      {"MAX", D::kJumo1, 30, K::kInt, false, false, Fixed(65535)},
      {"_SET", D::kJumo2, 16, K::kFloat, true, false, Fixed(0)},
      {"P2", D::kJumo2, 53, K::kFloat, true, true, Fixed(1.5)},
      {"MI5", D::kV120, 5, K::kInt, false, false, Fixed(255)},
      {"_MI6", D::kV120, 6, K::kInt, false, false, Fixed(0)},
      {"ML7", D::kV120, 7, K::kLong, false, false, Fixed(-2)},
      {"MB3", D::kV120, 3, K::kBit, false, false, Fixed(1)},
      {"MB5", D::kV120, 5, K::kBit, false, false, Fixed(1)},
      {"BKK", D::kBk003, kBkStatusOffset, K::kBit, false, false, Fixed(3)},
      {"CNT", D::kBk003, kBkCounterOffset, K::kLong, false, false, Fixed(100000)},
      {"RATE", D::kBk003, kBkRateOffset, K::kInt, false, false, Fixed(500)},
  };
}

class PlantOnPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlantOptions options;
    options.layout = TestLayout();
    options.modelNoise = false;
    plant_ = std::make_unique<PlantSimulator>(options);
    std::string error;
    ASSERT_TRUE(plant_->Start(&error)) << error;
  }

  std::unique_ptr<TestLineClient> Connect(Line line) {
    auto client = std::make_unique<TestLineClient>(plant_->PortPath(line));
    EXPECT_TRUE(client->IsOpen()) << plant_->PortPath(line);
    return client;
  }

  std::unique_ptr<PlantSimulator> plant_;
};

struct Exchange {
  const char* name;
  Bytes request;
  Bytes reply;  // empty: no reply may come
};

void RunExchanges(TestLineClient& line, const std::vector<Exchange>& cases) {
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.reply.empty()) {
      ASSERT_TRUE(line.Send(c.request));
      EXPECT_EQ(line.ReceiveFor(200), Bytes{});
    } else {
      EXPECT_EQ(line.Exchange(c.request, c.reply.size()), c.reply);
    }
  }
}

TEST_F(PlantOnPtyTest, JumoControllersAnswerReadsWritesAndExceptions) {
  auto line = Connect(Line::kModbus);
  RunExchanges(
      *line,
      {
          {"16-bit register",
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
           {0x01, 0x03, 0x02, 0x02, 0x01, 0x78, 0xE4}},
          {"register holding 0xFFFF",
           {0x01, 0x03, 0x00, 0x1E, 0x00, 0x01, 0xE4, 0x0C},
           {0x01, 0x03, 0x02, 0xFF, 0xFF, 0xB9, 0xF4}},
          {"float ABCD",
           {0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE},
           {0x01, 0x03, 0x04, 0x41, 0x20, 0x00, 0x00, 0xEF, 0xC5}},
          {"float CDAB",
           {0x01, 0x03, 0x00, 0x14, 0x00, 0x02, 0x84, 0x0F},
           {0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0x20, 0xCB, 0xBB}},
          {"float BADC",
           {0x01, 0x03, 0x00, 0x16, 0x00, 0x02, 0x25, 0xCF},
           {0x01, 0x03, 0x04, 0x20, 0x41, 0x00, 0x00, 0xA1, 0xE7}},
          {"float DCBA",
           {0x01, 0x03, 0x00, 0x18, 0x00, 0x02, 0x44, 0x0C},
           {0x01, 0x03, 0x04, 0x00, 0x00, 0x20, 0x41, 0x23, 0xC3}},
          {"slave 2 on the same line",
           {0x02, 0x03, 0x00, 0x35, 0x00, 0x02, 0xD4, 0x36},
           {0x02, 0x03, 0x04, 0x00, 0x00, 0x3F, 0xC0, 0xD8, 0x93}},
          {"write two registers: echo",
           {0x02, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0x41, 0x20, 0x00, 0x00, 0xE8, 0x11},
           {0x02, 0x10, 0x00, 0x10, 0x00, 0x02, 0x40, 0x3E}},
          {"written value reads back",
           {0x02, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xFD},
           {0x02, 0x03, 0x04, 0x41, 0x20, 0x00, 0x00, 0xDC, 0xC5}},
          {"unknown register",
           {0x01, 0x03, 0x00, 0x01, 0x00, 0x01, 0xD5, 0xCA},
           {0x01, 0x83, 0x02, 0xC0, 0xF1}},
          {"range running past the map",
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B},
           {0x01, 0x83, 0x02, 0xC0, 0xF1}},
          {"unknown function",
           {0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x31, 0xCA},
           {0x01, 0x84, 0x01, 0x82, 0xC0}},
          {"quantity 0",
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x45, 0xCA},
           {0x01, 0x83, 0x03, 0x01, 0x31}},
          {"write to an unknown register",
           {0x01, 0x10, 0x00, 0x02, 0x00, 0x01, 0x02, 0x00, 0x05, 0x67, 0xB1},
           {0x01, 0x90, 0x02, 0xCD, 0xC1}},
          {"bad CRC: silence", {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0B}, {}},
          {"other slave address: silence", {0x03, 0x03, 0x00, 0x00, 0x00, 0x01, 0x85, 0xE8}, {}},
          {"after silence the line still answers",
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
           {0x01, 0x03, 0x02, 0x02, 0x01, 0x78, 0xE4}},
      });
}

TEST_F(PlantOnPtyTest, V120AnswersVisionCommands) {
  auto line = Connect(Line::kVision);
  RunExchanges(*line,
               {
                   {"RW", ToBytes("/01RW00050130\r"), ToBytes("/A01RW00FFF6\r")},
                   {"RNL echoes RN", ToBytes("/01RNL00070175\r"), ToBytes("/A01RNFFFFFFFE30\r")},
                   {"RB", ToBytes("/01RB0003031B\r"), ToBytes("/A01RB10187\r")},
                   {"SB", ToBytes("/01SB000402107D\r"), ToBytes("/A01SBF6\r")},
                   {"SB took effect", ToBytes("/01RB0004021B\r"), ToBytes("/A01RB1056\r")},
                   {"SW", ToBytes("/01SW00060100C80D\r"), ToBytes("/A01SW0B\r")},
                   {"SW took effect", ToBytes("/01RW00060131\r"), ToBytes("/A01RW00C8E5\r")},
                   {"SNL echoes SN", ToBytes("/01SNL0008010000006401\r"), ToBytes("/A01SN02\r")},
                   {"SNL took effect", ToBytes("/01RNL00080176\r"), ToBytes("/A01RN000000648B\r")},
                   {"noise before the request", ToBytes("\x7f\x13/01RW00050130\r"),
                    ToBytes("/A01RW00FFF6\r")},
                   {"checksum wrong", ToBytes("/01RW0005013F\r"), ToBytes("/A01ER0159\r")},
                   {"unknown command", ToBytes("/01XX00010133\r"), ToBytes("/A01ER025A\r")},
                   {"SW with eight digits for one value", ToBytes("/01SW000501FFFFFFFF61\r"),
                    ToBytes("/A01ER035B\r")},
                   {"address range beyond MI", ToBytes("/01RW07FF025F\r"), ToBytes("/A01ER045C\r")},
                   {"other unit: silence", ToBytes("/02RW00050131\r"), {}},
               });
}

TEST_F(PlantOnPtyTest, Bk003AnswersItsDeviceNumberOnly) {
  auto line = Connect(Line::kBk003);
  RunExchanges(
      *line,
      {
          {"own number",
           {0x01, 0x0D, 0x0A},
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x86, 0xA0, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00}},
          {"other number", {0x31, 0x0D, 0x0A}, {}},
          {"noise, then the request",
           {0x55, 0x01, 0x0D, 0x0A},
           {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x86, 0xA0, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00}},
      });
}

TEST(PlantDeviceNumbers, Bk003NumberIsTheLowByteAndV120UnitIsItsOwn) {
  PlantOptions options;
  options.layout = TestLayout();
  options.modelNoise = false;
  options.bkDeviceNumber = 305 & 0xFF;  // the service sends the low byte of 305: 0x31
  options.v120Unit = 10;
  PlantSimulator plant(options);
  std::string error;
  ASSERT_TRUE(plant.Start(&error)) << error;
  TestLineClient bk(plant.PortPath(Line::kBk003));
  EXPECT_EQ(bk.Exchange({0x31, 0x0D, 0x0A}, 14).size(), 14u);
  TestLineClient v120(plant.PortPath(Line::kVision));
  // Unit 10 is "0A"; the checksum of "0ARW000501" is 0x40.
  EXPECT_EQ(v120.Exchange(ToBytes("/0ARW00050140\r"), 13), ToBytes("/A0ARW00FF06\r"));
}

// One request and its normal reply per line, to bend with faults.
struct LineCase {
  const char* name;
  Line line;
  DeviceId device;
  Bytes request;
  Bytes reply;
};

std::vector<LineCase> FaultLines() {
  return {
      {"modbus",
       Line::kModbus,
       D::kJumo1,
       {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
       {0x01, 0x03, 0x02, 0x02, 0x01, 0x78, 0xE4}},
      {"vision", Line::kVision, D::kV120, ToBytes("/01RW00050130\r"), ToBytes("/A01RW00FFF6\r")},
      {"bk003",
       Line::kBk003,
       D::kBk003,
       {0x01, 0x0D, 0x0A},
       {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x86, 0xA0, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00}},
  };
}

TEST_F(PlantOnPtyTest, FaultsBendRepliesAndSwitchOff) {
  for (const LineCase& c : FaultLines()) {
    SCOPED_TRACE(c.name);
    auto line = Connect(c.line);

    plant_->SetFault(c.device, FaultSet{.silent = true});
    ASSERT_TRUE(line->Send(c.request));
    EXPECT_EQ(line->ReceiveFor(250), Bytes{}) << "silent";

    plant_->SetFault(c.device, FaultSet{.noiseBytes = 20});
    Bytes got = line->Exchange(c.request, 20 + c.reply.size());
    ASSERT_EQ(got.size(), 20 + c.reply.size()) << "noise";
    EXPECT_EQ(Bytes(got.begin() + 20, got.end()), c.reply);
    if (c.line == Line::kModbus) {
      // The master finds the start of a reply by its slave address.
      EXPECT_EQ(std::count(got.begin(), got.begin() + 20, 0x01), 0);
    }
    if (c.line == Line::kVision) {
      EXPECT_EQ(std::count(got.begin(), got.begin() + 20, '\r'), 0);
    }

    plant_->SetFault(c.device, FaultSet{.corruptChecksum = true});
    got = line->Exchange(c.request, c.reply.size());
    ASSERT_EQ(got.size(), c.reply.size()) << "corrupt";
    EXPECT_NE(got, c.reply);
    if (c.line == Line::kModbus) {
      EXPECT_EQ(Bytes(got.begin(), got.end() - 2), Bytes(c.reply.begin(), c.reply.end() - 2));
    }
    if (c.line == Line::kVision) {
      // Still two upper-case hexadecimal digits, so only the sum is wrong.
      EXPECT_EQ(Bytes(got.begin(), got.end() - 3), Bytes(c.reply.begin(), c.reply.end() - 3));
      EXPECT_TRUE(std::isxdigit(got[got.size() - 3]) && !std::islower(got[got.size() - 3]));
      EXPECT_TRUE(std::isxdigit(got[got.size() - 2]) && !std::islower(got[got.size() - 2]));
    }

    plant_->SetFault(c.device, FaultSet{.truncateBytes = 1});
    EXPECT_EQ(line->Exchange(c.request, c.reply.size(), 500),
              Bytes(c.reply.begin(), c.reply.end() - 1))
        << "truncate";

    plant_->SetFault(c.device, FaultSet{.delayMs = 300});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line->Exchange(c.request, c.reply.size()), c.reply) << "slow";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    plant_->SetFault(c.device, FaultSet{});
    EXPECT_EQ(line->Exchange(c.request, c.reply.size()), c.reply) << "off";
  }
}

TEST_F(PlantOnPtyTest, SilentDeviceDoesNotApplyWrites) {
  auto line = Connect(Line::kModbus);
  plant_->SetFault(D::kJumo2, FaultSet{.silent = true});
  ASSERT_TRUE(
      line->Send({0x02, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0x41, 0x20, 0x00, 0x00, 0xE8, 0x11}));
  EXPECT_EQ(line->ReceiveFor(200), Bytes{});
  EXPECT_EQ(plant_->SignalValue("_SET"), 0.0);
  EXPECT_TRUE(plant_->Writes().empty());
  // Slave 1 on the same line is not affected.
  EXPECT_EQ(line->Exchange({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}, 7).size(), 7u);
}

TEST_F(PlantOnPtyTest, EveryWriteIsRecorded) {
  auto modbus = Connect(Line::kModbus);
  auto vision = Connect(Line::kVision);
  ASSERT_EQ(
      modbus
          ->Exchange({0x02, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0x41, 0x20, 0x00, 0x00, 0xE8, 0x11},
                     8)
          .size(),
      8u);
  ASSERT_EQ(vision->Exchange(ToBytes("/01SW00060100C80D\r"), 9).size(), 9u);
  ASSERT_EQ(vision->Exchange(ToBytes("/01SB000402107D\r"), 9).size(), 9u);

  const std::vector<WriteRecord> writes = plant_->Writes();
  ASSERT_EQ(writes.size(), 4u);
  struct Expected {
    DeviceId device;
    const char* operand;
    const char* signal;
    double value;
    const char* raw;
  };
  const Expected expected[] = {
      {D::kJumo2, "reg 16", "_SET", 10.0, "41 20 00 00"},
      {D::kV120, "MI 6", "_MI6", 200, "00C8"},
      {D::kV120, "MB 4", "", 1, "1"},
      {D::kV120, "MB 5", "MB5", 0, "0"},
  };
  for (size_t i = 0; i < writes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(writes[i].device, expected[i].device);
    EXPECT_EQ(writes[i].operand, expected[i].operand);
    EXPECT_EQ(writes[i].signal, expected[i].signal);
    EXPECT_EQ(writes[i].value, expected[i].value);
    EXPECT_EQ(writes[i].raw, expected[i].raw);
    EXPECT_NEAR(writes[i].time, Now(), 60.0 / kSecondsPerDay);
  }
  EXPECT_NE(plant_->FormatWrites().find("jumo2 reg 16 (_SET) = 10 [raw 41 20 00 00]"),
            std::string::npos);
  // A written set-point holds: the model does not overwrite it.
  EXPECT_EQ(plant_->SignalValue("_SET"), 10.0);
}

TEST(PlantModel, ValuesMoveAndCountersRise) {
  PlantOptions options;
  options.layout = {
      {"CNT", D::kBk003, kBkCounterOffset, K::kLong, false, false, {1000, 0, 600, 0, 0, 5000}},
      {"WAVE", D::kJumo1, 0, K::kFloat, true, false, {10, 5, 0.2, 0, 0, 0}},
  };
  PlantSimulator plant(options);
  std::string error;
  ASSERT_TRUE(plant.Start(&error)) << error;
  TestLineClient bk(plant.PortPath(Line::kBk003));
  auto counter = [&bk] {
    const Bytes answer = bk.Exchange({0x01, 0x0D, 0x0A}, 14);
    return answer.size() == 14
               ? uint32_t{answer[4]} << 24 | answer[5] << 16 | answer[6] << 8 | answer[7]
               : 0u;
  };
  const uint32_t first = counter();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint32_t second = counter();
  EXPECT_GE(first, 1000u);
  EXPECT_GT(second, first);

  std::set<double> seen;
  for (int i = 0; i < 5; ++i) {
    seen.insert(*plant.SignalValue("WAVE"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_GT(seen.size(), 1u);
  for (double v : seen) {
    EXPECT_GE(v, 5.0 - 1e-6);
    EXPECT_LE(v, 15.0 + 1e-6);
  }
}

TEST_F(PlantOnPtyTest, LinesRunOnNamedThreads) {
  std::set<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  EXPECT_TRUE(names.contains("plantsim-jumo"));
  EXPECT_TRUE(names.contains("plantsim-v120"));
  EXPECT_TRUE(names.contains("plantsim-bk003"));
}

TEST_F(PlantOnPtyTest, StopEndsWithinTheBoundEvenDuringASlowReply) {
  plant_->SetFault(D::kBk003, FaultSet{.delayMs = 10000});
  auto line = Connect(Line::kBk003);
  ASSERT_TRUE(line->Send({0x01, 0x0D, 0x0A}));
  // Let the line thread take the request and start waiting out the delay.
  for (int i = 0; i < 100 && plant_->Requests(D::kBk003) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(plant_->Requests(D::kBk003), 1u);
  const auto start = std::chrono::steady_clock::now();
  plant_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_FALSE(plant_->Running());
  EXPECT_EQ(plant_->PortPath(Line::kBk003), "");
}

}  // namespace
}  // namespace kalvix::plantsim
