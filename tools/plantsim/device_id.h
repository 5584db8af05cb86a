// The four simulated instruments and the names the simulator's commands and records use.
#ifndef KALVIX_TOOLS_PLANTSIM_DEVICE_ID_H_
#define KALVIX_TOOLS_PLANTSIM_DEVICE_ID_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kalvix::plantsim {

// The JUMO controllers share the Modbus line; the V120 and the BK-003 have a line each.
enum class DeviceId { kJumo1 = 0, kJumo2 = 1, kV120 = 2, kBk003 = 3 };

inline constexpr size_t kDeviceCount = 4;
inline constexpr std::array<DeviceId, kDeviceCount> kAllDevices = {
    DeviceId::kJumo1, DeviceId::kJumo2, DeviceId::kV120, DeviceId::kBk003};

constexpr size_t DeviceIndex(DeviceId id) { return static_cast<size_t>(id); }

// "jumo1", "jumo2", "v120", "bk003".
std::string_view DeviceName(DeviceId id);

// The device of a name (letter case ignored); empty for an unknown name.
std::optional<DeviceId> DeviceFromName(std::string_view name);

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_DEVICE_ID_H_
