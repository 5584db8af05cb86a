#include "devices/port_open.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kalvix {

bool IsAcceptedSpeed(int32_t speed) {
  return std::find(kAcceptedSpeeds.begin(), kAcceptedSpeeds.end(), speed) != kAcceptedSpeeds.end();
}

std::filesystem::path ResolvePortPath(std::string_view portName) {
  if (portName.starts_with(kDeviceNamespacePrefix))
    portName.remove_prefix(kDeviceNamespacePrefix.size());
  if (portName.size() > 3 && std::toupper(static_cast<unsigned char>(portName[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(portName[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(portName[2])) == 'M') {
    const std::string_view digits = portName.substr(3);
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec == std::errc() && end == digits.data() + digits.size() && number >= 1)
      return "/dev/ttyS" + std::to_string(number - 1);
  }
  if (portName.starts_with('/')) return std::filesystem::path(portName);
  return std::filesystem::path("/dev") / portName;
}

PortOpenResult RunPortOpen(SerialPort& port, std::string_view portName, const PortOpenPlan& plan) {
  if (!IsAcceptedSpeed(plan.speed)) return PortOpenResult::kWrongSpeed;
  if (!port.Open(ResolvePortPath(portName))) return PortOpenResult::kCannotOpen;
  if (plan.timeoutsBeforeLine) port.SetTimeouts(*plan.timeoutsBeforeLine);
  switch (port.SetLine(static_cast<uint32_t>(plan.speed), plan.disableRts)) {
    case LineResult::kOk:
      break;
    case LineResult::kReadFailed:
      return PortOpenResult::kCannotReadState;
    case LineResult::kWriteFailed:
      return PortOpenResult::kCannotSetState;
  }
  if (plan.timeoutsAfterLine) port.SetTimeouts(*plan.timeoutsAfterLine);
  port.DiscardInput();
  return PortOpenResult::kOk;
}

const char* PortOpenText(PortOpenResult result) {
  switch (result) {
    case PortOpenResult::kOk:
      return "";
    case PortOpenResult::kWrongSpeed:
      return kTextWrongSpeed;
    case PortOpenResult::kCannotOpen:
      return kTextCannotOpen;
    case PortOpenResult::kCannotReadState:
      return kTextCannotReadState;
    case PortOpenResult::kCannotSetState:
      return kTextCannotSetState;
  }
  return "";
}

}  // namespace kalvix
