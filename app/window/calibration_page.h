// The "Калибровки" page: the calibration points of one signal in an editing grid, written
// back at once, and "Применить", which restarts acquisition with the new points.
#ifndef KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_
#define KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_

#include <QWidget>

#include "app/service_state.h"

namespace kalvix {

class CalibrationPage : public QWidget {
  Q_OBJECT

 public:
  CalibrationPage(ServiceState& service, QWidget* parent = nullptr);

  // ComboBoxSignalName from the loaded signal set, in slot order. Called after every load.
  void FillSignalNames();

 Q_SIGNALS:
  // "Применить" loaded the signal set again.
  void signalSetReloaded();

 private:
  ServiceState& service_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_
