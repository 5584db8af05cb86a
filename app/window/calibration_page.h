// The "Калибровки" page: the calibration points of one signal in an editing grid, written
// back at once, and "Применить", which restarts acquisition with the new points.
//
// "Применить" stops the control thread, waits a second with the window still serving its
// events, reloads the signal set on the user connection and starts the thread again (also
// when it was not running before).
#ifndef KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_
#define KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_

#include <QWidget>

#include "app/service_state.h"
#include "app/window/db_table_model.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

namespace kalvix {

class CalibrationPage : public QWidget {
  Q_OBJECT

 public:
  CalibrationPage(ServiceState& service, QWidget* parent = nullptr);

  // ComboBoxSignalName from the loaded signal set, in slot order. Called after every load.
  // The selected name stays selected while the set still has it; an open grid is read again.
  void FillSignalNames();

  // The page has been shown: the first signal is selected and its points listed.
  void TabSheetCalibrShow();
  // The grid shows the points of the name in ComboBoxSignalName.
  void ComboBoxSignalNameChange();
  void ButAddRecordClick();
  void ButDelRecordClick();
  void ButSaveClick();

  // A calibration row is about to be written: a row without a signal name gets the selected one.
  void ClientDataSetCalibrEditBeforePost(std::vector<DbValue>& row);
  // After a calibration row is posted or deleted: writes the change to `kalibr`.
  DbStatus ClientDataSetCalibrEditSaveChanges(const RowChange& change);

  // "Применить" is between its question and the restart.
  bool Applying() const { return applying_; }

  QComboBox* ComboBoxSignalName() const { return comboBoxSignalName_; }
  QTableView* DBGridEhKalibr() const { return grid_; }
  DbTableModel* ClientDataSetCalibrEdit() const { return model_; }

 Q_SIGNALS:
  // "Применить" loaded the signal set again.
  void signalSetReloaded();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Steps 6 and 7 of "Применить", a second after the control thread was asked to stop.
  void ReloadAndRestart();

  ServiceState& service_;
  QLabel* labelSignalName_;  // owned through the Qt parent, as all widgets here
  QComboBox* comboBoxSignalName_;
  DbTableModel* model_;
  QTableView* grid_;
  QPushButton* butAddRecord_;
  QPushButton* butDelRecord_;
  QPushButton* butSave_;
  bool applying_ = false;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_CALIBRATION_PAGE_H_
