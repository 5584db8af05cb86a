// Points the service's settings file at the simulator's lines: writes ModBUS_PortName,
// V120_PortName and VK_PortName in [main] of the file, creating it when missing and keeping
// every other line as it was.
#ifndef KALVIX_TOOLS_PLANTSIM_PORT_KEYS_H_
#define KALVIX_TOOLS_PLANTSIM_PORT_KEYS_H_

#include <filesystem>
#include <string>

namespace kalvix::plantsim {

struct PortNames {
  std::string modbus;  // the JUMO line
  std::string vision;  // the V120's line
  std::string bk003;   // the BK-003's line
};

// False with the reason when the file cannot be read or written.
bool WritePortKeys(const std::filesystem::path& iniPath, const PortNames& ports,
                   std::string* error);

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_PORT_KEYS_H_
