#include "tools/plantsim/control_commands.h"

#include <gtest/gtest.h>

#include <functional>

namespace kalvix::plantsim {
namespace {

using D = DeviceId;
using K = PointKind;

Waveform Fixed(double value) { return Waveform{value, 0, 600, 0, 0, 0}; }

PlantOptions Options() {
  PlantOptions options;
  options.layout = {
      {"F16", D::kJumo1, 16, K::kFloat, true, false, Fixed(10.0)},
      {"MI5", D::kV120, 5, K::kInt, false, false, Fixed(255)},
      {"RATE", D::kBk003, kBkRateOffset, K::kInt, false, false, Fixed(500)},
  };
  options.modelNoise = false;
  return options;
}

struct CommandCase {
  const char* line;
  const char* output;  // expected part of the output
  std::function<bool(PlantSimulator&)> holds;
};

// The simulator is not started: the commands change its devices and faults all the same,
// and no thread runs.
TEST(ControlCommands, ChangeFaultsAndValues) {
  const std::vector<CommandCase> cases = {
      {"fault jumo noise 20", "jumo1: noise 20\njumo2: noise 20\n",
       [](PlantSimulator& p) { return p.Fault(D::kJumo2).noiseBytes == 20; }},
      {"fault JUMO1 silent", "jumo1: silent, noise 20",
       [](PlantSimulator& p) { return p.Fault(D::kJumo1).silent; }},
      {"fault jumo1 silent off", "jumo1: noise 20",
       [](PlantSimulator& p) { return !p.Fault(D::kJumo1).silent; }},
      {"fault v120 corrupt", "v120: corrupt",
       [](PlantSimulator& p) { return p.Fault(D::kV120).corruptChecksum; }},
      {"fault bk003 truncate 1", "bk003: truncate 1",
       [](PlantSimulator& p) { return p.Fault(D::kBk003).truncateBytes == 1; }},
      {"fault bk003 slow 300", "bk003: truncate 1, slow 300",
       [](PlantSimulator& p) { return p.Fault(D::kBk003).delayMs == 300; }},
      {"fault jumo noise 0", "jumo2: none",
       [](PlantSimulator& p) { return p.Fault(D::kJumo2) == FaultSet{}; }},
      {"fault all off", "bk003: none",
       [](PlantSimulator& p) {
         return p.Fault(D::kBk003) == FaultSet{} && p.Fault(D::kV120) == FaultSet{};
       }},
      {"set jumo1 0x10 1.25", "ok", [](PlantSimulator& p) { return p.SignalValue("F16") == 1.25; }},
      {"set f16 2,5", "f16 = 2.5", [](PlantSimulator& p) { return p.SignalValue("F16") == 2.5; }},
      {"free F16", "F16 follows the model",
       [](PlantSimulator& p) { return p.SignalValue("F16") == 10.0; }},
      {"set v120 mi 5 77", "ok",
       [](PlantSimulator& p) { return p.V120().Value(VisionArea::kMI, 5) == 77.0; }},
      {"set v120 MB 4095 1", "ok",
       [](PlantSimulator& p) { return p.V120().Value(VisionArea::kMB, 4095) == 1.0; }},
      {"set bk003 rate 700", "ok",
       [](PlantSimulator& p) { return p.SignalValue("RATE") == 700.0; }},
      {"free all", "every signal", [](PlantSimulator& p) { return p.SignalValue("MI5") == 255.0; }},
      {"get RATE", "RATE = 500", nullptr},
      {"writes", "no writes received", nullptr},
      {"", "", nullptr},
      {"# a comment", "", nullptr},
  };
  PlantSimulator plant(Options());
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.line);
    const CommandResult result = RunControlCommand(plant, c.line);
    EXPECT_NE(result.output.find(c.output), std::string::npos) << result.output;
    EXPECT_FALSE(result.quit);
    if (c.holds) {
      EXPECT_TRUE(c.holds(plant));
    }
  }
}

TEST(ControlCommands, RefuseWhatTheyCannotDoAndChangeNothing) {
  const char* const lines[] = {
      "fault pump silent",
      "fault jumo noise",
      "fault jumo noise -1",
      "fault jumo melt",
      "fault jumo silent 2",
      "fault jumo off now",
      "set NOPE 1",
      "set F16 abc",
      "set F16 nan",
      "set jumo1 70000 1",
      "set jumo1 16",
      "set v120 MX 5 1",
      "set v120 MI 2048 1",
      "set v120 MB 3 2",
      "set bk003 speed 1",
      "set bk003 rate 65536",
      "free NOPE",
      "get NOPE",
      "launch",
  };
  PlantSimulator plant(Options());
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    const CommandResult result = RunControlCommand(plant, line);
    EXPECT_EQ(result.output.rfind("error: ", 0), 0u) << result.output;
  }
  for (DeviceId device : kAllDevices) EXPECT_EQ(plant.Fault(device), FaultSet{});
  EXPECT_EQ(plant.SignalValue("F16"), 10.0);
  EXPECT_EQ(plant.SignalValue("RATE"), 500.0);
}

TEST(ControlCommands, QuitAndHelp) {
  PlantSimulator plant(Options());
  EXPECT_TRUE(RunControlCommand(plant, "quit").quit);
  const std::string help = RunControlCommand(plant, "help").output;
  for (const char* word : {"fault", "set", "free", "get", "writes", "status", "quit"}) {
    EXPECT_NE(help.find(std::string("  ") + word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace kalvix::plantsim
