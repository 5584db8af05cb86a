// The "Эмулятор" page: the three switches that make the JUMO and V120 pollers take their
// readings from the operator's values, and the grid in which those raw values are typed.
#ifndef KALVIX_APP_WINDOW_EMULATOR_PAGE_H_
#define KALVIX_APP_WINDOW_EMULATOR_PAGE_H_

#include <QCheckBox>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include "app/service_state.h"

namespace kalvix {

class EmulatorPage : public QWidget {
  Q_OBJECT

 public:
  EmulatorPage(ServiceState& service, QWidget* parent = nullptr);

  // Fills the grid from EmulatorValues and remembers the stamp shown.
  void FillGrid();
  // Refills the grid when EmulatorValues carry a newer stamp than the one shown.
  void RefreshIfNewer();

  QCheckBox* CheckBoxEmulFlag;
  QCheckBox* CheckBoxV120_emul;
  QCheckBox* CheckBoxEmulJumo;
  QPushButton* ButSetNewEmulVal;
  QTableWidget* StringGridEmulSet;

 private:
  void CheckBoxEmulFlagClick();
  void CheckBoxV120_emulClick();
  void CheckBoxEmulJumoClick();
  void ButSetNewEmulValClick();

  ServiceState& service_;
  DateTime shownStamp_ = 0;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_EMULATOR_PAGE_H_
