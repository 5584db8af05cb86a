#include "app/window/task_page.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "app/display_format.h"
#include "app/operator_task.h"
#include "app/settings_page_values.h"
#include "app/window/error_report.h"

namespace kalvix {

TaskPage::TaskPage(ServiceState& service, QWidget* parent) : QWidget(parent), service_(service) {
  setObjectName("TabSheetControl");
  LabelControlTime = new QLabel("__.__.____ __:__:__", this);
  LabelControlTime->setObjectName("LabelControlTime");
  Edit_PLSZ = new QLineEdit(this);
  Edit_PLSZ->setObjectName("Edit_PLSZ");
  Edit_TNZ = new QLineEdit(this);
  Edit_TNZ->setObjectName("Edit_TNZ");
  ButSetNewControl = new QPushButton("Установить", this);
  ButSetNewControl->setObjectName("ButSetNewControl");
  connect(ButSetNewControl, &QPushButton::clicked, this, &TaskPage::ButSetNewControlClick);

  Edit_PLSZ->setFixedWidth(120);
  Edit_TNZ->setFixedWidth(120);
  auto* form = new QGridLayout;
  form->setVerticalSpacing(10);
  form->addWidget(new QLabel("Время задания:", this), 0, 0);
  form->addWidget(LabelControlTime, 0, 1);
  form->addWidget(new QLabel("Заданная плотность магнетитовой суспензии:", this), 1, 0);
  form->addWidget(Edit_PLSZ, 1, 1);
  form->addWidget(new QLabel("Заданная нагрузка на фабрику, т/час:", this), 2, 0);
  form->addWidget(Edit_TNZ, 2, 1);
  form->addWidget(ButSetNewControl, 3, 1, Qt::AlignLeft);
  form->setColumnStretch(2, 1);
  auto* page = new QVBoxLayout(this);
  page->addLayout(form);
  page->addStretch(1);
}

void TaskPage::Refresh() {
  const Setpoints& sp = service_.setpoints;
  const DateTime taskTime = sp.LastTaskTime.load();
  if (taskTime <= shownTaskTime_) return;
  shownTaskTime_ = taskTime;
  LabelControlTime->setText(
      QString::fromStdString(FormatDateTime("dd.mm.yyyy hh:nn:ss", taskTime)));
  Edit_PLSZ->setText(QString::fromStdString(FormatFixed(sp.PlszSetpoint.load(), 2)));
  Edit_TNZ->setText(QString::fromStdString(FormatFixed(sp.TnzSetpoint.load(), 2)));
}

void TaskPage::ButSetNewControlClick() {
  const OperatorTaskResult result = EnterOperatorTask(
      service_, Edit_PLSZ->text().toStdString(), Edit_TNZ->text().toStdString());
  switch (result.kind) {
    case OperatorTaskResult::kStored:
      break;
    case OperatorTaskResult::kNotANumber:
      QMessageBox::critical(this, "Ошибка", kBadNumberMessage);
      break;
    case OperatorTaskResult::kDatabaseError:
      ShowErrorReport(this, QString::fromStdString("Задание не записано: " + result.error));
      break;
  }
}

}  // namespace kalvix
