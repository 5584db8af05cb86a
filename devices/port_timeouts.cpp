#include "devices/port_timeouts.h"

#include <charconv>
#include <optional>
#include <string>

#include "util/profile_file.h"

namespace kalvix {
namespace {

// A whole decimal number from 0 to 0xFFFFFFFF ("+5" too, as the settings reader takes it);
// anything else, a sign of minus included, is no value.
std::optional<uint32_t> ParseTimeout(std::string_view text) {
  if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::filesystem::path PortTimeoutsFile(const std::filesystem::path& workDir,
                                       std::string_view portName) {
  // Port names come as "COM5", "\\.\COM12" or "/dev/ttyUSB0": the last component after
  // either kind of separator names the file.
  const size_t cut = portName.find_last_of("/\\");
  const std::string_view last = cut == std::string_view::npos ? portName : portName.substr(cut + 1);
  return workDir / (std::string(last) + "SET.INI");
}

PortTimeouts ReadPortTimeouts(const std::filesystem::path& workDir, std::string_view portName) {
  ProfileFile file(PortTimeoutsFile(workDir, portName));
  PortTimeouts t;
  if (!file.Load()) return t;  // unreadable: the defaults, as for a missing file
  auto read = [&file](const char* key, uint32_t fallback) {
    const std::optional<std::string> text = file.ReadValue("timeouts", key);
    if (!text) return fallback;
    return ParseTimeout(*text).value_or(fallback);
  };
  t.readInterval = read("RInterval", t.readInterval);
  t.readMultiplier = read("RMult", t.readMultiplier);
  t.readConstant = read("RConst", t.readConstant);
  t.writeMultiplier = read("WMult", t.writeMultiplier);
  t.writeConstant = read("WConst", t.writeConstant);
  return t;
}

}  // namespace kalvix
