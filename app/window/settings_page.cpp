#include "app/window/settings_page.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace kalvix {
namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

QComboBox* SpeedBox(const char* name, QWidget* parent) {
  auto* box = Named(new QComboBox(parent), name);
  box->setEditable(true);
  for (const char* speed : kPortSpeedChoices) box->addItem(speed);
  return box;
}

QGroupBox* PortGroup(const char* title, std::initializer_list<std::pair<const char*, QWidget*>> rows,
                     QWidget* parent) {
  auto* group = new QGroupBox(title, parent);
  auto* form = new QFormLayout(group);
  for (const auto& [caption, widget] : rows) form->addRow(caption, widget);
  return group;
}

}  // namespace

SettingsPage::SettingsPage(PageServices& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheetSetup");
  EditMySQL_server_name = Named(new QLineEdit(this), "EditMySQL_server_name");
  EditMySQL_login = Named(new QLineEdit(this), "EditMySQL_login");
  EditMySQL_password = Named(new QLineEdit(this), "EditMySQL_password");
  EditMySQL_password->setEchoMode(QLineEdit::Password);
  // The mask character is the dollar sign.
  EditMySQL_password->setStyleSheet("lineedit-password-character: 36");
  CheckBoxAutoClean = Named(new QCheckBox("Автоматически удалять данные", this), "CheckBoxAutoClean");
  EditDatabaseSize = Named(new QLineEdit(this), "EditDatabaseSize");
  EditDatabaseSize->setFixedWidth(60);
  EditModBUS_PortName = Named(new QLineEdit(this), "EditModBUS_PortName");
  ComboBoxModBUS_Speed = SpeedBox("ComboBoxModBUS_Speed", this);
  EditV120_PortName = Named(new QLineEdit(this), "EditV120_PortName");
  ComboBoxV120_Speed = SpeedBox("ComboBoxV120_Speed", this);
  Edit_VK_port_name = Named(new QLineEdit(this), "Edit_VK_port_name");
  Edit_VK_port_speed = Named(new QLineEdit(this), "Edit_VK_port_speed");
  Edit_VK_device_num = Named(new QLineEdit(this), "Edit_VK_device_num");
  EditAvLen = Named(new QLineEdit(this), "EditAvLen");
  EditAvLen->setFixedWidth(60);
  CheckBoxAutoStart =
      Named(new QCheckBox("Автозапуск контроля аппаратуры", this), "CheckBoxAutoStart");
  CheckBoxAutoHide = Named(new QCheckBox("Запуск в скрытом окне", this), "CheckBoxAutoHide");

  auto* database = new QGroupBox("База данных:", this);
  auto* databaseForm = new QFormLayout(database);
  databaseForm->addRow("Адрес сервера:", EditMySQL_server_name);
  databaseForm->addRow("Имя пользователя:", EditMySQL_login);
  databaseForm->addRow("Пароль:", EditMySQL_password);
  auto* retention = new QVBoxLayout;
  retention->addWidget(CheckBoxAutoClean);
  auto* age = new QHBoxLayout;
  age->addWidget(new QLabel("которым более", this));
  age->addWidget(EditDatabaseSize);
  age->addWidget(new QLabel("суток", this));
  age->addStretch(1);
  retention->addLayout(age);
  databaseForm->addRow(retention);

  auto* averageRow = new QHBoxLayout;
  averageRow->addWidget(new QLabel("Длина скользящего среднего:", this));
  averageRow->addWidget(EditAvLen);
  averageRow->addStretch(1);

  auto* left = new QVBoxLayout;
  left->addWidget(database);
  left->addLayout(averageRow);
  left->addWidget(CheckBoxAutoStart);
  left->addWidget(CheckBoxAutoHide);
  left->addStretch(1);

  auto* right = new QVBoxLayout;
  right->addWidget(PortGroup("Связь с контроллерами JUMO:",
                             {{"Порт:", EditModBUS_PortName},
                              {"Скорость обмена:", ComboBoxModBUS_Speed}},
                             this));
  right->addWidget(PortGroup("Связь с модулем V-120:",
                             {{"Порт:", EditV120_PortName}, {"Скорость обмена:", ComboBoxV120_Speed}},
                             this));
  right->addWidget(PortGroup("Контроллер весов ВК-003",
                             {{"Порт:", Edit_VK_port_name},
                              {"Скорость обмена:", Edit_VK_port_speed},
                              {"Номер устройства:", Edit_VK_device_num}},
                             this));
  right->addStretch(1);

  auto* page = new QHBoxLayout(this);
  page->addLayout(left, 1);
  page->addLayout(right, 1);

  Write(SettingsPageValues{});  // the built-in texts, until the settings are loaded
  TrackEntries();
}

void SettingsPage::TrackEntries() {
  using F = SettingsPageField;
  // Only the operator's own changes count: textEdited, activated and clicked are not sent
  // when the program sets a control.
  const auto mark = [this](F field) {
    return [this, field] { known_.set(static_cast<size_t>(field)); };
  };
  const std::pair<QLineEdit*, F> edits[] = {
      {EditMySQL_server_name, F::kComp},
      {EditMySQL_login, F::kLogin},
      {EditDatabaseSize, F::kDatabaseSize},
      {EditModBUS_PortName, F::kModBUS_PortName},
      {EditV120_PortName, F::kV120_PortName},
      {Edit_VK_port_name, F::kVK_PortName},
      {Edit_VK_port_speed, F::kVK_PortSpeed},
      {Edit_VK_device_num, F::kVK_device_num},
      {EditAvLen, F::kAverageLen},
  };
  for (const auto& [edit, field] : edits) connect(edit, &QLineEdit::textEdited, this, mark(field));
  const std::pair<QComboBox*, F> speeds[] = {{ComboBoxModBUS_Speed, F::kModBUS_PortSpeed},
                                             {ComboBoxV120_Speed, F::kV120_PortSpeed}};
  for (const auto& [box, field] : speeds) {
    connect(box, &QComboBox::activated, this, mark(field));
    connect(box->lineEdit(), &QLineEdit::textEdited, this, mark(field));
  }
  const std::pair<QCheckBox*, F> checks[] = {{CheckBoxAutoClean, F::kAutoCleanFlag},
                                             {CheckBoxAutoStart, F::kAutoStart},
                                             {CheckBoxAutoHide, F::kAutoHide}};
  for (const auto& [check, field] : checks) connect(check, &QCheckBox::clicked, this, mark(field));
}

SettingsPageValues SettingsPage::Read() const {
  SettingsPageValues v;
  v.Comp = EditMySQL_server_name->text().toStdString();
  v.Login = EditMySQL_login->text().toStdString();
  v.Password = EditMySQL_password->text().toStdString();
  v.AutoCleanFlag = CheckBoxAutoClean->isChecked();
  v.DatabaseSize = EditDatabaseSize->text().toStdString();
  v.ModBUS_PortName = EditModBUS_PortName->text().toStdString();
  v.ModBUS_PortSpeed = ComboBoxModBUS_Speed->currentText().toStdString();
  v.V120_PortName = EditV120_PortName->text().toStdString();
  v.V120_PortSpeed = ComboBoxV120_Speed->currentText().toStdString();
  v.VK_PortName = Edit_VK_port_name->text().toStdString();
  v.VK_PortSpeed = Edit_VK_port_speed->text().toStdString();
  v.VK_device_num = Edit_VK_device_num->text().toStdString();
  v.AverageLen = EditAvLen->text().toStdString();
  v.AutoStart = CheckBoxAutoStart->isChecked();
  v.AutoHide = CheckBoxAutoHide->isChecked();
  v.known = known_;
  return v;
}

void SettingsPage::Write(const SettingsPageValues& v) {
  EditMySQL_server_name->setText(QString::fromStdString(v.Comp));
  EditMySQL_login->setText(QString::fromStdString(v.Login));
  CheckBoxAutoClean->setChecked(v.AutoCleanFlag);
  EditDatabaseSize->setText(QString::fromStdString(v.DatabaseSize));
  EditModBUS_PortName->setText(QString::fromStdString(v.ModBUS_PortName));
  ComboBoxModBUS_Speed->setCurrentText(QString::fromStdString(v.ModBUS_PortSpeed));
  EditV120_PortName->setText(QString::fromStdString(v.V120_PortName));
  ComboBoxV120_Speed->setCurrentText(QString::fromStdString(v.V120_PortSpeed));
  Edit_VK_port_name->setText(QString::fromStdString(v.VK_PortName));
  Edit_VK_port_speed->setText(QString::fromStdString(v.VK_PortSpeed));
  Edit_VK_device_num->setText(QString::fromStdString(v.VK_device_num));
  EditAvLen->setText(QString::fromStdString(v.AverageLen));
  CheckBoxAutoStart->setChecked(v.AutoStart);
  CheckBoxAutoHide->setChecked(v.AutoHide);
  known_ = v.known;
}

void SettingsPage::ShowSettings() {
  SettingsPageValues values = Read();
  SettingsToPage(service_.SettingsSnapshot(), values);
  Write(values);
}

bool SettingsPage::ApplySettingsEdits() {
  SettingsPageValues values = Read();
  const bool applied = service_.ApplySettings(
      [&values](Settings& settings) { return ApplySettingsPage(values, settings); });
  if (applied) {
    EditDatabaseSize->setText(QString::fromStdString(values.DatabaseSize));
    return true;
  }
  QMessageBox::critical(this, "Ошибка", kBadNumberMessage);
  return false;
}

}  // namespace kalvix
