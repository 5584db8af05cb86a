// The bus ledger of one polled module, beside the module grid of the status page: exchanges,
// round-trips, failures by cause, reopenings of the line and the last good exchange. The
// page chooses the module (a click on its row in the grid) and calls Refresh with its timer.
#ifndef KALVIX_APP_WINDOW_BUS_LEDGER_PANEL_H_
#define KALVIX_APP_WINDOW_BUS_LEDGER_PANEL_H_

#include <QLabel>
#include <QWidget>
#include <array>

#include "devices/bus_ledger.h"
#include "plant/control_state.h"

namespace kalvix {

class BusLedgerPanel : public QWidget {
  Q_OBJECT

 public:
  BusLedgerPanel(const BusLedgers& ledgers, QWidget* parent = nullptr);

  // Shows `module` from now on and at once; the first module until the first call.
  void ShowModule(Module module);
  Module ShownModule() const { return module_; }

  // Reads the shown module's ledger (relaxed loads only, never a wait) and sets the texts.
  void Refresh();

  QLabel* LabelBusModule;
  QLabel* LabelBusExchanges;
  QLabel* LabelBusRoundTripLast;
  QLabel* LabelBusRoundTripP50;
  QLabel* LabelBusRoundTripP99;
  std::array<QLabel*, kBusFaultCount> LabelBusFaults;  // in BusFault order
  QLabel* LabelBusReopenings;
  QLabel* LabelBusLastGood;

 private:
  const BusLedgers& ledgers_;
  Module module_ = kModuleJumo1;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_BUS_LEDGER_PANEL_H_
