#include "tools/plantsim/port_keys.h"

#include "plant/settings.h"
#include "util/profile_file.h"

namespace kalvix::plantsim {

bool WritePortKeys(const std::filesystem::path& iniPath, const PortNames& ports,
                   std::string* error) {
  ProfileFile file(iniPath);
  if (!file.Load(error)) return false;
  file.WriteString(kSectionMain, "ModBUS_PortName", ports.modbus);
  file.WriteString(kSectionMain, "V120_PortName", ports.vision);
  file.WriteString(kSectionMain, "VK_PortName", ports.bk003);
  return file.Save(error);
}

}  // namespace kalvix::plantsim
