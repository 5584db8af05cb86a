#include "app/window/emulator_page.h"

#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "app/emulator_control.h"
#include "app/window/value_grid.h"

namespace kalvix {

EmulatorPage::EmulatorPage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheetEmul");
  CheckBoxEmulFlag = new QCheckBox("Включить эмулятор", this);
  CheckBoxEmulFlag->setObjectName("CheckBoxEmulFlag");
  CheckBoxV120_emul = new QCheckBox("эмулятор V120", this);
  CheckBoxV120_emul->setObjectName("CheckBoxV120_emul");
  CheckBoxEmulJumo = new QCheckBox("эмулятор Jumo", this);
  CheckBoxEmulJumo->setObjectName("CheckBoxEmulJumo");
  ButSetNewEmulVal = new QPushButton("Принять новые значения", this);
  ButSetNewEmulVal->setObjectName("ButSetNewEmulVal");
  StringGridEmulSet = new QTableWidget(this);
  StringGridEmulSet->setObjectName("StringGridEmulSet");
  SetUpValueGrid(StringGridEmulSet);

  // clicked, not toggled: only the operator's click switches, so the boxes never update one
  // another.
  connect(CheckBoxEmulFlag, &QCheckBox::clicked, this, &EmulatorPage::CheckBoxEmulFlagClick);
  connect(CheckBoxV120_emul, &QCheckBox::clicked, this, &EmulatorPage::CheckBoxV120_emulClick);
  connect(CheckBoxEmulJumo, &QCheckBox::clicked, this, &EmulatorPage::CheckBoxEmulJumoClick);
  connect(ButSetNewEmulVal, &QPushButton::clicked, this, &EmulatorPage::ButSetNewEmulValClick);

  auto* switches = new QVBoxLayout;
  switches->addWidget(CheckBoxEmulFlag);
  switches->addWidget(CheckBoxV120_emul);
  switches->addWidget(CheckBoxEmulJumo);
  switches->addSpacing(12);
  switches->addWidget(ButSetNewEmulVal);
  switches->addStretch(1);
  auto* page = new QHBoxLayout(this);
  page->addWidget(StringGridEmulSet, 1);
  page->addLayout(switches);
}

void EmulatorPage::CheckBoxEmulFlagClick() {
  SwitchEmulator(service_, EmulatorSwitch::kBoth, CheckBoxEmulFlag->isChecked());
}

void EmulatorPage::CheckBoxV120_emulClick() {
  SwitchEmulator(service_, EmulatorSwitch::kV120, CheckBoxV120_emul->isChecked());
}

void EmulatorPage::CheckBoxEmulJumoClick() {
  SwitchEmulator(service_, EmulatorSwitch::kJumo, CheckBoxEmulJumo->isChecked());
}

void EmulatorPage::ButSetNewEmulValClick() {
  std::vector<std::string> texts;
  for (int row = 2; row < StringGridEmulSet->rowCount(); ++row) {
    texts.push_back(CellText(StringGridEmulSet, row, 1).toStdString());
  }
  const int bad = AcceptEmulatorValues(service_, texts);
  if (bad >= 0) {
    QMessageBox::critical(this, "Ошибка",
                          QString("\"%1\" - неверное число.")
                              .arg(CellText(StringGridEmulSet, bad + 2, 1)));
  }
}

void EmulatorPage::FillGrid() {
  shownStamp_ = service_.signals.EmulatorValues.Stamp();
  FillValueGrid(service_.signals, &service_.signals.EmulatorValues, StringGridEmulSet, true);
}

void EmulatorPage::RefreshIfNewer() {
  if (service_.signals.EmulatorValues.Stamp() > shownStamp_) FillGrid();
}

}  // namespace kalvix
