// The "Текущее состояние" page: the control thread's state and counters, the start and stop
// buttons, and the module grid with each polled module's last good exchange and its errors;
// beside the grid, the bus ledger of the module whose row was clicked last.
#ifndef KALVIX_APP_WINDOW_STATUS_PAGE_H_
#define KALVIX_APP_WINDOW_STATUS_PAGE_H_

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include "app/service_state.h"
#include "app/window/bus_ledger_panel.h"

namespace kalvix {

class StatusPage : public QWidget {
  Q_OBJECT

 public:
  StatusPage(ServiceState& service, QWidget* parent = nullptr);

  // Steps 1 to 3 of the status refresh: labels, buttons and the module grid; then the bus
  // ledger panel.
  void Refresh();

  QLabel* LabelThreadInfo;
  QLabel* LabelCycleCounter;
  QLabel* Label_v120_cycle_count;
  QLabel* Label_jumo_cycle_count;
  QLabel* Label_vk003_cycle_count;
  QLabel* LabelErrorCounter;
  QLabel* LabelWorkTime;
  // Beside the designed rows: failed reopenings of the work connection, and the rows that wait
  // in the spool for the server (with the moment of the oldest).
  QLabel* LabelDbFailCount;
  QLabel* LabelSpool;
  QPushButton* ButStart;
  QPushButton* ButStop;
  QTableWidget* StringGrid_state;
  BusLedgerPanel* PanelBusLedger;

 private:
  void ButStartClick();
  void ButStopClick();

  ServiceState& service_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_STATUS_PAGE_H_
