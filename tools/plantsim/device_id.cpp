#include "tools/plantsim/device_id.h"

#include <cctype>

namespace kalvix::plantsim {

namespace {

constexpr std::array<std::string_view, kDeviceCount> kNames = {"jumo1", "jumo2", "v120", "bk003"};

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string_view DeviceName(DeviceId id) { return kNames[DeviceIndex(id)]; }

std::optional<DeviceId> DeviceFromName(std::string_view name) {
  for (DeviceId id : kAllDevices) {
    if (EqualIgnoringCase(name, DeviceName(id))) return id;
  }
  return std::nullopt;
}

}  // namespace kalvix::plantsim
