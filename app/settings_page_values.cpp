#include "app/settings_page_values.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "app/operator_input.h"

namespace kalvix {

void SettingsToPage(const Settings& settings, SettingsPageValues& page) {
  page.Comp = settings.Comp;
  page.Login = settings.Login;
  page.AutoCleanFlag = settings.AutoCleanFlag;
  page.DatabaseSize = std::to_string(settings.DatabaseSize);
  page.ModBUS_PortName = settings.ModBUS_PortName;
  page.ModBUS_PortSpeed = std::to_string(settings.ModBUS_PortSpeed);
  page.V120_PortName = settings.V120_PortName;
  page.V120_PortSpeed = std::to_string(settings.V120_PortSpeed);
  page.VK_PortName = settings.VK_PortName;
  page.VK_PortSpeed = std::to_string(settings.VK_PortSpeed);
  page.VK_device_num = std::to_string(settings.VK_device_num);
  page.AverageLen = std::to_string(settings.AverageLen);
  page.AutoStart = settings.AutoStart;
  page.AutoHide = settings.AutoHide;
  page.known.set();
}

bool ApplySettingsPage(SettingsPageValues& page, Settings& settings) {
  int32_t averageLen = 0, modbusSpeed = 0, v120Speed = 0, databaseSize = 0, vkSpeed = 0,
          vkDevice = 0;
  if (!ParseOperatorInteger(page.AverageLen, averageLen) ||
      !ParseOperatorInteger(page.ModBUS_PortSpeed, modbusSpeed) ||
      !ParseOperatorInteger(page.V120_PortSpeed, v120Speed) ||
      !ParseOperatorInteger(page.DatabaseSize, databaseSize) ||
      !ParseOperatorInteger(page.VK_PortSpeed, vkSpeed) ||
      !ParseOperatorInteger(page.VK_device_num, vkDevice)) {
    return false;
  }
  using F = SettingsPageField;
  const auto take = [&page](F field, auto& setting, auto value) {
    if (page.Known(field)) setting = std::move(value);
  };
  take(F::kAutoCleanFlag, settings.AutoCleanFlag, page.AutoCleanFlag);
  if (page.Known(F::kDatabaseSize) && databaseSize < kMinDatabaseSize) {
    databaseSize = kMinDatabaseSize;
    page.DatabaseSize = std::to_string(kMinDatabaseSize);
  }
  take(F::kDatabaseSize, settings.DatabaseSize, databaseSize);
  take(F::kComp, settings.Comp, page.Comp);
  take(F::kLogin, settings.Login, page.Login);
  take(F::kV120_PortName, settings.V120_PortName, page.V120_PortName);
  take(F::kModBUS_PortName, settings.ModBUS_PortName, page.ModBUS_PortName);
  take(F::kAverageLen, settings.AverageLen, averageLen);
  take(F::kModBUS_PortSpeed, settings.ModBUS_PortSpeed, modbusSpeed);
  take(F::kV120_PortSpeed, settings.V120_PortSpeed, v120Speed);
  take(F::kVK_PortName, settings.VK_PortName, std::string(TrimBlanks(page.VK_PortName)));
  take(F::kVK_PortSpeed, settings.VK_PortSpeed, vkSpeed);
  take(F::kVK_device_num, settings.VK_device_num, vkDevice);
  take(F::kAutoStart, settings.AutoStart, page.AutoStart);
  take(F::kAutoHide, settings.AutoHide, page.AutoHide);
  if (!page.Password.empty()) {
    settings.Password = page.Password;
    settings.passwordEntered = true;
  }
  return true;
}

}  // namespace kalvix
