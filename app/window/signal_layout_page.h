// The "Планировка сигналов" page: the rows of the table `signal` in an editing grid; each
// posted change is written back at once. Rows are neither added nor deleted here, and a
// signal's name and direction stay as they are: they tie the row to the columns of the
// history tables. The running acquisition sees the changes at the next load of the set.
#ifndef KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_
#define KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_

#include <QWidget>

#include "app/page_services.h"
#include "app/window/db_table_model.h"
#include "app/window/frozen_column_table_view.h"

namespace kalvix {

class SignalLayoutPage : public QWidget {
  Q_OBJECT

 public:
  SignalLayoutPage(PageServices& service, QWidget* parent = nullptr);

  // Fills the grid from the whole table on the user connection. Called once the user
  // connection is up after the settings load.
  void OpenSignalTable();

  // After a signal row is posted or deleted: writes the change to `signal`.
  DbStatus ClientDataSetSigEditAfterPost(const RowChange& change);

  FrozenColumnTableView* DBGridEhSigEdit() const { return grid_; }
  DbTableModel* ClientDataSetSigEdit() const { return model_; }

 private:
  PageServices& service_;
  DbTableModel* model_;          // owned through the Qt parent
  FrozenColumnTableView* grid_;  // owned through the Qt parent
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_SIGNAL_LAYOUT_PAGE_H_
