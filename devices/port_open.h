// The port-opening procedure shared by the three instrument links (Modbus, Vision, BK-003):
// check the speed, open the device exclusively, install time-outs, set the line format,
// discard stale input. The links differ in where their time-outs come from, when they are
// installed, whether RTS is dropped, and how each failure is reported; the procedure returns
// the step that failed and each link reports it its own way with the texts below.
//
// A failure after the device was opened leaves it open: the link releases it when it closes.
#ifndef KALVIX_DEVICES_PORT_OPEN_H_
#define KALVIX_DEVICES_PORT_OPEN_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "devices/port_timeouts.h"
#include "devices/serial_port.h"

namespace kalvix {

// The speeds a link may be configured with, in bits per second; any other is refused.
inline constexpr std::array<int32_t, 15> kAcceptedSpeeds = {110,   300,   600,    1200,   2400,
                                                            4800,  9600,  14400,  19200,  38400,
                                                            56000, 57600, 115200, 128000, 256000};

bool IsAcceptedSpeed(int32_t speed);

// The device behind a configured port name: "COMn" (any case, n >= 1) is /dev/ttyS(n-1); a
// name beginning with '/' is a device path; any other name is looked up under /dev. The
// device-namespace prefix "\\.\" that two of the links put before the name is dropped first.
std::filesystem::path ResolvePortPath(std::string_view portName);

// The link's own prefix before a port name ("\\.\"), kept so the names the links build stay
// those of the plant's documentation.
inline constexpr std::string_view kDeviceNamespacePrefix = "\\\\.\\";

enum class PortOpenResult {
  kOk,
  kWrongSpeed,       // the device was not touched
  kCannotOpen,       // missing, or held by another program
  kCannotReadState,  // the device stays open
  kCannotSetState,   // the device stays open
};

struct PortOpenPlan {
  int32_t speed = 9600;
  // Installed right after the open, before the line settings (Modbus and Vision links).
  std::optional<PortTimeouts> timeoutsBeforeLine;
  // Installed after the line settings (BK-003 link, when its set_timeouts setting is on).
  std::optional<PortTimeouts> timeoutsAfterLine;
  // Vision link: RTS handshaking off and RTS dropped.
  bool disableRts = false;
};

// Runs the procedure on `port` for the device that `portName` names.
PortOpenResult RunPortOpen(SerialPort& port, std::string_view portName, const PortOpenPlan& plan);

// The texts with which the links report the failed steps.
inline constexpr const char* kTextWrongSpeed = "Попытка соединения с неправильной скоростью!";
inline constexpr const char* kTextCannotOpen =
    "Не могу открыть COM-порт.\n\rВозможно, он используется\n\rдругой программой.";
inline constexpr const char* kTextCannotReadState = "Не могу узнать состояние порта.";
inline constexpr const char* kTextCannotSetState = "Не могу установить параметры порта.";
// Caption of the wrong-speed notice.
inline constexpr const char* kCaptionFatalError = "Фатальная ошибка!";

// The text of a failed step ("" for kOk).
const char* PortOpenText(PortOpenResult result);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_PORT_OPEN_H_
