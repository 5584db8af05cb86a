// The "Планировка сигналов" page: the rows of the table `signal` in an editing grid; each
// posted change is written back at once.
#ifndef KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_
#define KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_

#include <QWidget>

#include "app/service_state.h"

namespace kalvix {

class SignalLayoutPage : public QWidget {
  Q_OBJECT

 public:
  SignalLayoutPage(ServiceState& service, QWidget* parent = nullptr);

  // Fills the grid from the whole table on the user connection. Called once the user
  // connection is up after the settings load.
  void OpenSignalTable();

 private:
  ServiceState& service_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_
