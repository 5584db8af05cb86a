#include "app/settings_page_values.h"

#include <gtest/gtest.h>

namespace kalvix {
namespace {

TEST(SettingsPageValuesTest, BuiltInTextsBecomeTheSettings) {
  SettingsPageValues page;  // the database was down, the page was never filled
  Settings settings;
  settings.Password = "secret";
  ASSERT_TRUE(ApplySettingsPage(page, settings));
  EXPECT_EQ(settings.ModBUS_PortSpeed, 38400);
  EXPECT_EQ(settings.V120_PortSpeed, 38400);
  EXPECT_EQ(settings.VK_device_num, 49);
  EXPECT_EQ(settings.DatabaseSize, 200);
  EXPECT_EQ(settings.Login, "");
  EXPECT_FALSE(settings.AutoCleanFlag);
  EXPECT_FALSE(settings.AutoStart);
  EXPECT_FALSE(settings.AutoHide);
  EXPECT_EQ(settings.Password, "secret");  // an empty password box keeps it
}

TEST(SettingsPageValuesTest, ABadNumberChangesNothing) {
  std::string SettingsPageValues::*fields[] = {
      &SettingsPageValues::AverageLen,   &SettingsPageValues::ModBUS_PortSpeed,
      &SettingsPageValues::V120_PortSpeed, &SettingsPageValues::DatabaseSize,
      &SettingsPageValues::VK_PortSpeed, &SettingsPageValues::VK_device_num,
  };
  for (auto field : fields) {
    SettingsPageValues page;
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
