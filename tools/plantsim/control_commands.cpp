#include "tools/plantsim/control_commands.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kalvix::plantsim {

namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whole unsigned number, decimal or 0x hexadecimal, within limit.
std::optional<uint32_t> ParseUnsigned(const std::string& text, uint32_t limit) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// A finite number; a comma is taken as the decimal point too.
std::optional<double> ParseValue(std::string text) {
  for (char& c : text) {
    if (c == ',') c = '.';
  }
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string FormatValue(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

CommandResult Error(const std::string& text) { return {"error: " + text + "\n", false}; }
CommandResult Ok(const std::string& text) { return {text + "\n", false}; }

// The devices a fault command names: "jumo" is both JUMO controllers, "all" every device.
std::vector<DeviceId> FaultTargets(const std::string& name) {
  if (name == "all") return {kAllDevices.begin(), kAllDevices.end()};
  if (name == "jumo") return {DeviceId::kJumo1, DeviceId::kJumo2};
  if (const std::optional<DeviceId> device = DeviceFromName(name)) return {*device};
  return {};
}

CommandResult Fault(PlantSimulator& plant, const std::vector<std::string>& words) {
  if (words.size() < 3 || words.size() > 4) {
    return Error("usage: fault DEVICE silent|noise N|corrupt|truncate N|slow MS|off");
  }
  const std::vector<DeviceId> targets = FaultTargets(Lower(words[1]));
  if (targets.empty()) return Error("unknown device " + words[1]);
  const std::string kind = Lower(words[2]);
  const std::string arg = words.size() == 4 ? Lower(words[3]) : "";

  // Switch faults (silent, corrupt) take an optional on/off; amounts take a number, 0 = off.
  std::optional<bool> onOff;
  std::optional<uint32_t> amount;
  if (kind == "silent" || kind == "corrupt") {
    if (arg.empty() || arg == "on") onOff = true;
    if (arg == "off") onOff = false;
    if (!onOff) return Error(kind + " takes on or off");
  } else if (kind == "noise" || kind == "truncate" || kind == "slow") {
    amount = ParseUnsigned(arg, kind == "slow" ? 600000 : 4096);
    if (!amount) return Error(kind + " needs a number");
  } else if (kind != "off" || !arg.empty()) {
    return Error("unknown fault " + words[2]);
  }

  std::string report;
  for (DeviceId device : targets) {
    FaultSet faults = plant.Fault(device);
    if (kind == "off") faults = FaultSet{};
    if (kind == "silent") faults.silent = *onOff;
    if (kind == "corrupt") faults.corruptChecksum = *onOff;
    if (kind == "noise") faults.noiseBytes = *amount;
    if (kind == "truncate") faults.truncateBytes = *amount;
    if (kind == "slow") faults.delayMs = *amount;
    plant.SetFault(device, faults);
    report += std::string(DeviceName(device)) + ": " + DescribeFaults(faults) + "\n";
  }
  return {report, false};
}

CommandResult Set(PlantSimulator& plant, const std::vector<std::string>& words) {
  if (words.size() == 3) {
    const std::optional<double> value = ParseValue(words[2]);
    if (!value) return Error("not a number: " + words[2]);
    if (!plant.SetSignal(words[1], *value)) {
      return Error("no signal " + words[1] + " or value out of its range");
    }
    return Ok(words[1] + " = " + FormatValue(*value));
  }
  if (words.size() == 4 || words.size() == 5) {
    const std::string device = Lower(words[1]);
    const std::optional<double> value = ParseValue(words.back());
    if (!value) return Error("not a number: " + words.back());
    bool done = false;
    if ((device == "jumo1" || device == "jumo2") && words.size() == 4) {
      const std::optional<uint32_t> reg = ParseUnsigned(words[2], 0xFFFF);
      if (!reg) return Error("not a register: " + words[2]);
      done = plant.Jumo(*DeviceFromName(device)).SetValue(static_cast<uint16_t>(*reg), *value);
    } else if (device == "v120" && words.size() == 5) {
      const std::optional<VisionArea> area = VisionAreaFromName(words[2]);
      const std::optional<uint32_t> address = ParseUnsigned(words[3], 0xFFFF);
      if (!area || !address) return Error("usage: set v120 MB|MI|ML ADDRESS VALUE");
      done = plant.V120().SetValue(*area, *address, *value);
    } else if (device == "bk003" && words.size() == 4) {
      const std::string field = Lower(words[2]);
      const uint16_t offset = field == "status"    ? kBkStatusOffset
                              : field == "counter" ? kBkCounterOffset
                              : field == "rate"    ? kBkRateOffset
                                                   : 0;
      if (offset == 0) return Error("bk003 fields: status, counter, rate");
      done = plant.Bk003().SetValue(offset, *value);
    } else {
      return Error(
          "usage: set SIGNAL VALUE | set jumo1|jumo2 REG VALUE | "
          "set v120 MB|MI|ML ADDR VALUE | set bk003 status|counter|rate VALUE");
    }
    if (!done) return Error("no such operand or value out of its range");
    return Ok("ok");
  }
  return Error("usage: set SIGNAL VALUE (see help)");
}

CommandResult Free(PlantSimulator& plant, const std::vector<std::string>& words) {
  if (words.size() != 2) return Error("usage: free SIGNAL|all");
  if (Lower(words[1]) == "all") {
    plant.ReleaseAll();
    return Ok("every signal follows the model");
  }
  if (!plant.ReleaseSignal(words[1])) return Error("no signal " + words[1]);
  return Ok(words[1] + " follows the model");
}

CommandResult Get(PlantSimulator& plant, const std::vector<std::string>& words) {
  if (words.size() != 2) return Error("usage: get SIGNAL");
  const std::optional<double> value = plant.SignalValue(words[1]);
  if (!value) return Error("no signal " + words[1]);
  return Ok(words[1] + " = " + FormatValue(*value));
}

std::string Status(const PlantSimulator& plant) {
  std::string text;
  for (Line line : kAllLines) {
    text += std::string(LineName(line)) + " " + plant.PortPath(line) + "\n";
  }
  for (DeviceId device : kAllDevices) {
    text += std::string(DeviceName(device)) + ": requests " +
            std::to_string(plant.Requests(device)) + ", replies " +
            std::to_string(plant.Replies(device)) + ", faults " +
            DescribeFaults(plant.Fault(device)) + "\n";
  }
  return text;
}

}  // namespace

std::string ControlHelp() {
  return "Commands (one per line):\n"
         "  fault DEVICE silent [on|off]  the device ignores requests\n"
         "  fault DEVICE noise N          N stray bytes before each reply (0: off)\n"
         "  fault DEVICE corrupt [on|off] wrong checksum in each reply\n"
         "  fault DEVICE truncate N       the last N bytes of each reply are not sent (0: off)\n"
         "  fault DEVICE slow MS          each reply MS milliseconds late (0: off)\n"
         "  fault DEVICE off              all faults of the device off\n"
         "      DEVICE: jumo1, jumo2, jumo (both), v120, bk003, all\n"
         "  set SIGNAL VALUE              hold a signal of the layout at VALUE\n"
         "  set jumo1|jumo2 REG VALUE     a register (the float or integer starting there)\n"
         "  set v120 MB|MI|ML ADDR VALUE  an operand of the V120\n"
         "  set bk003 status|counter|rate VALUE\n"
         "  free SIGNAL|all               the signal follows the plant model again\n"
         "  get SIGNAL                    the signal's current value\n"
         "  writes                        print the writes received so far\n"
         "  status                        lines, request counts and faults\n"
         "  help                          this list\n"
         "  quit                          stop the simulator\n"
         "Numbers: registers and addresses in decimal or 0x hex; values with . or ,\n";
}

CommandResult RunControlCommand(PlantSimulator& plant, std::string_view line) {
  const std::vector<std::string> words = Words(line);
  if (words.empty() || words[0][0] == '#') return {};
  const std::string command = Lower(words[0]);
  if (command == "fault") return Fault(plant, words);
  if (command == "set") return Set(plant, words);
  if (command == "free") return Free(plant, words);
  if (command == "get") return Get(plant, words);
  if (command == "writes") return {plant.FormatWrites(), false};
  if (command == "status") return {Status(plant), false};
  if (command == "help") return {ControlHelp(), false};
  if (command == "quit" || command == "exit") return {"stopping\n", true};
  return Error("unknown command " + words[0] + " (help lists the commands)");
}

}  // namespace kalvix::plantsim
