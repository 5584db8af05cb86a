// The settings page as texts and tick marks, and the two ways between it and the settings:
// filling the page from the settings, and taking the page back after validating it. The
// window binds these values to its controls; nothing here writes the settings file.
#ifndef KALVIX_APP_SETTINGS_PAGE_VALUES_H_
#define KALVIX_APP_SETTINGS_PAGE_VALUES_H_

#include <bitset>
#include <cstddef>
#include <string>

#include "plant/settings.h"

namespace kalvix {

// The page's values that stand for a setting (the password aside: an empty password box
// always means "keep the stored one").
enum class SettingsPageField {
  kComp,
  kLogin,
  kAutoCleanFlag,
  kDatabaseSize,
  kModBUS_PortName,
  kModBUS_PortSpeed,
  kV120_PortName,
  kV120_PortSpeed,
  kVK_PortName,
  kVK_PortSpeed,
  kVK_device_num,
  kAverageLen,
  kAutoStart,
  kAutoHide,
};
inline constexpr size_t kSettingsPageFieldCount = 14;

struct SettingsPageValues {
  std::string Comp = "127.0.0.1";
  std::string Login;
  std::string Password;  // shown masked; empty leaves the stored password
  bool AutoCleanFlag = false;
  std::string DatabaseSize = "200";
  std::string ModBUS_PortName = "COM5";
  std::string ModBUS_PortSpeed = "38400";
  std::string V120_PortName = "COM6";
  std::string V120_PortSpeed = "38400";
  std::string VK_PortName = "COM7";
  std::string VK_PortSpeed = "9600";
  std::string VK_device_num = "49";
  std::string AverageLen = "60";
  bool AutoStart = false;
  bool AutoHide = false;

  // The values that hold a setting (all of them once SettingsToPage has filled the page) or
  // what the operator entered. The others still hold the page's built-in texts, which stand
  // for no setting: taking them would replace the settings read from the file with
  // placeholders, and the file with them at the end of the run.
  std::bitset<kSettingsPageFieldCount> known;

  void MarkEntered(SettingsPageField field) { known.set(static_cast<size_t>(field)); }
  bool Known(SettingsPageField field) const { return known.test(static_cast<size_t>(field)); }
};
// A default-constructed SettingsPageValues holds the page's built-in texts, which it shows
// until the settings have been loaded from a reachable database; none of them is known.

// The speeds offered by both speed lists; any other integer may be typed.
inline constexpr const char* kPortSpeedChoices[] = {"2400",  "4800",  "9600",  "14400",
                                                    "19200", "33600", "38400", "57000",
                                                    "57600", "115200"};

// The page filled from the settings, every value known; the password is not shown, so it
// stays as it was.
void SettingsToPage(const Settings& settings, SettingsPageValues& page);

// Validates the six numeric texts; when one is not an integer nothing changes and the
// result is false. Otherwise copies the known values into the settings (a database size
// below 60 becomes 60, also on the page; the BK-003 port name without surrounding blanks;
// the password only when one was typed) and returns true. A built-in text the page still
// shows is not taken.
bool ApplySettingsPage(SettingsPageValues& page, Settings& settings);

inline constexpr const char* kBadNumberMessage = "Правильно вводите числа.";

}  // namespace kalvix

#endif  // KALVIX_APP_SETTINGS_PAGE_VALUES_H_
