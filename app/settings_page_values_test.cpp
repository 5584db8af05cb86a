#include "app/settings_page_values.h"

#include <gtest/gtest.h>

namespace kalvix {
namespace {

// The database was down at start, so the page was never filled: its built-in texts (speeds
// 38400, device 49, ...) stand for no setting and are not taken; what the operator entered
// is, even where it equals a built-in text.
TEST(SettingsPageValuesTest, NeverFilledPageGivesOnlyWhatWasEntered) {
  Settings settings;
  settings.Comp = "db.plant";
  settings.Login = "operator";
  settings.ModBUS_PortSpeed = 19200;
  settings.V120_PortSpeed = 115200;
  settings.VK_device_num = 7;
  settings.DatabaseSize = 365;
  settings.AutoStart = true;
  settings.AutoHide = true;
  settings.Password = "secret";
  const Settings loaded = settings;

  SettingsPageValues page;
  ASSERT_TRUE(ApplySettingsPage(page, settings));
  EXPECT_EQ(settings, loaded);

  page.V120_PortSpeed = "9600";
  page.MarkEntered(SettingsPageField::kV120_PortSpeed);
  page.MarkEntered(SettingsPageField::kAutoStart);  // ticked and unticked: false, as shown
  ASSERT_TRUE(ApplySettingsPage(page, settings));
  Settings expected = loaded;
  expected.V120_PortSpeed = 9600;
  expected.AutoStart = false;
  EXPECT_EQ(settings, expected);
  EXPECT_EQ(page.DatabaseSize, "200") << "a value not taken is not adjusted either";
}

TEST(SettingsPageValuesTest, ABadNumberChangesNothing) {
  std::string SettingsPageValues::*fields[] = {
      &SettingsPageValues::AverageLen,   &SettingsPageValues::ModBUS_PortSpeed,
      &SettingsPageValues::V120_PortSpeed, &SettingsPageValues::DatabaseSize,
      &SettingsPageValues::VK_PortSpeed, &SettingsPageValues::VK_device_num,
  };
  for (auto field : fields) {
    SettingsPageValues page;
    page.known.set();
    page.Comp = "db.plant";
    page.*field = "12x";
    Settings settings;
    const Settings before = settings;
    EXPECT_FALSE(ApplySettingsPage(page, settings));
    EXPECT_EQ(settings, before);
  }
}

TEST(SettingsPageValuesTest, CopiesWithItsAdjustments) {
  Settings settings;
  SettingsPageValues page;
  SettingsToPage(settings, page);
  page.DatabaseSize = "30";
  page.VK_PortName = "  COM7 ";
  page.ModBUS_PortName = " /dev/ttyUSB0 ";
  page.ModBUS_PortSpeed = "57000";  // refused later, when the port opens
  page.Password = "new";
  ASSERT_TRUE(ApplySettingsPage(page, settings));
  EXPECT_EQ(settings.DatabaseSize, 60);
  EXPECT_EQ(page.DatabaseSize, "60");
  EXPECT_EQ(settings.VK_PortName, "COM7");
  EXPECT_EQ(settings.ModBUS_PortName, " /dev/ttyUSB0 ");
  EXPECT_EQ(settings.ModBUS_PortSpeed, 57000);
  EXPECT_EQ(settings.Password, "new");

  SettingsPageValues shown;
  SettingsToPage(settings, shown);
  EXPECT_EQ(shown.Password, "");  // never shown
  EXPECT_EQ(shown.DatabaseSize, "60");
}

}  // namespace
}  // namespace kalvix
