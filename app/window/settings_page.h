// The "Настройки" page: the database, port and start-up settings in edit boxes, lists and
// check boxes. ShowSettings fills it; ApplySettingsEdits validates it and copies it back
// into the settings (not into the file: that is written when the program ends). Until
// ShowSettings has run (the database was down at start), the page shows built-in texts;
// only the controls the operator has changed are then taken.
#ifndef KALVIX_APP_WINDOW_SETTINGS_PAGE_H_
#define KALVIX_APP_WINDOW_SETTINGS_PAGE_H_

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QWidget>
#include <bitset>

#include "app/page_services.h"
#include "app/settings_page_values.h"

namespace kalvix {

class SettingsPage : public QWidget {
  Q_OBJECT

 public:
  SettingsPage(PageServices& service, QWidget* parent = nullptr);

  void ShowSettings();
  // False, after the message "Правильно вводите числа.", when a numeric text is no integer.
  bool ApplySettingsEdits();

  QLineEdit* EditMySQL_server_name;
  QLineEdit* EditMySQL_login;
  QLineEdit* EditMySQL_password;
  QCheckBox* CheckBoxAutoClean;
  QLineEdit* EditDatabaseSize;
  QLineEdit* EditModBUS_PortName;
  QComboBox* ComboBoxModBUS_Speed;
  QLineEdit* EditV120_PortName;
  QComboBox* ComboBoxV120_Speed;
  QLineEdit* Edit_VK_port_name;
  QLineEdit* Edit_VK_port_speed;
  QLineEdit* Edit_VK_device_num;
  QLineEdit* EditAvLen;
  QCheckBox* CheckBoxAutoStart;
  QCheckBox* CheckBoxAutoHide;

 private:
  SettingsPageValues Read() const;
  void Write(const SettingsPageValues& values);
  // Marks a control's value as the operator's once they change it.
  void TrackEntries();

  PageServices& service_;
  std::bitset<kSettingsPageFieldCount> known_;  // see SettingsPageValues::known
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_SETTINGS_PAGE_H_
