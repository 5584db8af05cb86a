// The "Состояние ПУ" page: every signal's instantaneous or averaged value.
#ifndef KALVIX_APP_WINDOW_PLANT_STATE_PAGE_H_
#define KALVIX_APP_WINDOW_PLANT_STATE_PAGE_H_

#include <QRadioButton>
#include <QTableWidget>
#include <QWidget>

#include "app/service_state.h"

namespace kalvix {

class PlantStatePage : public QWidget {
  Q_OBJECT

 public:
  PlantStatePage(ServiceState& service, QWidget* parent = nullptr);

  void Refresh();

  QRadioButton* RadioButtonLastState;
  QRadioButton* RadioButtonAvState;
  QTableWidget* StringGridPAF;

 private:
  ServiceState& service_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_PLANT_STATE_PAGE_H_
