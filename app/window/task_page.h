// The "Задания" page: the current task (its moment, density and load), and the operator's
// entry of a new one.
#ifndef KALVIX_APP_WINDOW_TASK_PAGE_H_
#define KALVIX_APP_WINDOW_TASK_PAGE_H_

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "app/service_state.h"

namespace kalvix {

class TaskPage : public QWidget {
  Q_OBJECT

 public:
  TaskPage(ServiceState& service, QWidget* parent = nullptr);

  // Shows a task newer than the one shown; the operator's unsent entry stays otherwise.
  void Refresh();

  QLabel* LabelControlTime;
  QLineEdit* Edit_PLSZ;
  QLineEdit* Edit_TNZ;
  QPushButton* ButSetNewControl;

 private:
  void ButSetNewControlClick();

  ServiceState& service_;
  DateTime shownTaskTime_ = 0;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_TASK_PAGE_H_
