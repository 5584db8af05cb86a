#include "devices/port_timeouts.h"

#include "app/profile_file.h"

namespace kalvix {

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
    return static_cast<uint32_t>(file.ReadInteger("timeouts", key, static_cast<int>(fallback)));
  };
  t.readInterval = read("RInterval", t.readInterval);
  t.readMultiplier = read("RMult", t.readMultiplier);
  t.readConstant = read("RConst", t.readConstant);
  t.writeMultiplier = read("WMult", t.writeMultiplier);
  t.writeConstant = read("WConst", t.writeConstant);
  return t;
}

}  // namespace kalvix
