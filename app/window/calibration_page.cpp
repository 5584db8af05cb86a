#include "app/window/calibration_page.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>

#include "acquisition/control_thread.h"
#include "acquisition/signal_loader.h"
#include "app/load_config.h"
#include "app/window/commit_edit.h"
#include "app/window/error_report.h"
#include "app/window/grouped_header_view.h"
#include "journal/event_log.h"
#include "persistence/journal_record.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

const char kCalibrTable[] = "kalibr";
const char kApplyTitle[] = "Калибровки";
const char kApplyQuestion[] =
    "Для применения настроек понадобиться перезапуск\r\nпотока контроля аппаратуры.\r\n"
    "   Применить изменение настроек?";

// The pause after the stop request, in which the control thread and its pollers leave.
constexpr int kApplySettleMs = 1000;
// A poller still inside a slow exchange after that second gets this much longer before the
// set is left alone: it must never be replaced under a running poller.
constexpr std::chrono::milliseconds kWorkersBound{2000};

enum Column { kAVal, kFVal };

std::vector<GridColumn> CalibrColumns() {
  using Type = GridColumn::Type;
  const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
  return {
      {"AVal", "Значение\nАппаратное", Type::kReal, true, {}, right},
      {"FVal", "Значение\nФизическое", Type::kReal, true, {}, right},
  };
}

}  // namespace

CalibrationPage::CalibrationPage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheetCalibr");

  labelSignalName_ = new QLabel("Название сигнала:", this);
  labelSignalName_->setObjectName("LabelSignalName");
  comboBoxSignalName_ = new QComboBox(this);
  comboBoxSignalName_->setObjectName("ComboBoxSignalName");
  comboBoxSignalName_->setEditable(false);
  comboBoxSignalName_->setMinimumWidth(180);
  comboBoxSignalName_->setMaxVisibleItems(20);
  labelSignalName_->setBuddy(comboBoxSignalName_);

  model_ = new DbTableModel(
      CalibrColumns(),
      [this](const std::string& sql, DbResult& result) {
        return service_.UserConnection().Query(sql, result);
      },
      [this](const RowChange& change) { return ClientDataSetCalibrEditSaveChanges(change); }, this,
      this);
  model_->setObjectName("ClientDataSetCalibrEdit");
  model_->beforePost = [this](std::vector<DbValue>& row) {
    ClientDataSetCalibrEditBeforePost(row);
  };

  grid_ = new QTableView(this);
  grid_->setObjectName("DBGridEhKalibr");
  grid_->setHorizontalHeader(new GroupedHeaderView(grid_));  // "Значение" over both
  grid_->setModel(model_);
  grid_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                         QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->verticalHeader()->hide();
  grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
  grid_->horizontalHeader()->setDefaultSectionSize(170);

  butAddRecord_ = new QPushButton("Добавить", this);
  butAddRecord_->setObjectName("ButAddRecord");
  butDelRecord_ = new QPushButton("Удалить", this);
  butDelRecord_->setObjectName("ButDelRecord");
  butSave_ = new QPushButton("Применить", this);
  butSave_->setObjectName("ButSave");

  auto* top = new QHBoxLayout;
  top->addWidget(labelSignalName_);
  top->addWidget(comboBoxSignalName_);
  top->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(butAddRecord_);
  buttons->addWidget(butDelRecord_);
  buttons->addStretch(1);
  buttons->addWidget(butSave_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addLayout(top);
  layout->addWidget(grid_, 1);
  layout->addLayout(buttons);

  connect(comboBoxSignalName_, &QComboBox::activated, this,
          &CalibrationPage::ComboBoxSignalNameChange);
  connect(butAddRecord_, &QPushButton::clicked, this, &CalibrationPage::ButAddRecordClick);
  connect(butDelRecord_, &QPushButton::clicked, this, &CalibrationPage::ButDelRecordClick);
  connect(butSave_, &QPushButton::clicked, this, &CalibrationPage::ButSaveClick);
}

void CalibrationPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  TabSheetCalibrShow();
}

void CalibrationPage::FillSignalNames() {
  const QString selected = comboBoxSignalName_->currentText();
  {
    const QSignalBlocker block(comboBoxSignalName_);
    comboBoxSignalName_->clear();
    for (const std::string& name : service_.signals.SignalNames()) {
      comboBoxSignalName_->addItem(QString::fromStdString(name));
    }
    const int kept = comboBoxSignalName_->findText(selected, Qt::MatchExactly);
    comboBoxSignalName_->setCurrentIndex(kept >= 0 ? kept : 0);
  }
  // The points on show may have changed with the load (a signal without points gets two).
  if (model_->IsOpen()) ComboBoxSignalNameChange();
}

void CalibrationPage::TabSheetCalibrShow() {
  comboBoxSignalName_->setCurrentIndex(0);
  ComboBoxSignalNameChange();
}

void CalibrationPage::ComboBoxSignalNameChange() {
  model_->Close();
  const std::string name = comboBoxSignalName_->currentText().toStdString();
  model_->Open("select * from kalibr where SignalName=" + SqlString(name) + " order by AVal");
}

void CalibrationPage::ButAddRecordClick() {
  // Without a signal on show a point would belong to none.
  if (!model_->IsOpen() || comboBoxSignalName_->currentText().isEmpty()) return;
  CommitEdit(grid_);
  const int row = model_->AppendRow();
  const QModelIndex cell = model_->index(row, kAVal);
  grid_->setCurrentIndex(cell);
  grid_->edit(cell);
}

void CalibrationPage::ButDelRecordClick() {
  const int row = grid_->currentIndex().row();
  if (row >= 0) model_->DeleteRow(row);
}

void CalibrationPage::ClientDataSetCalibrEditBeforePost(std::vector<DbValue>& row) {
  const int field = DbResult{model_->TableColumns(), {}, {}}.ColumnIndex("SignalName");
  if (field < 0) return;
  const DbValue& name = row[field];
  if (DbIsNull(name) || DbToText(name).empty()) {
    row[field] = comboBoxSignalName_->currentText().toStdString();
  }
}

DbStatus CalibrationPage::ClientDataSetCalibrEditSaveChanges(const RowChange& change) {
  return WriteRowChange(service_.UserConnection(), kCalibrTable, model_->TableColumns(), change,
                        model_->TableColumnTypes());
}

void CalibrationPage::ButSaveClick() {
  if (applying_) return;
  QMessageBox question(QMessageBox::Warning, kApplyTitle, kApplyQuestion,
                       QMessageBox::Yes | QMessageBox::No, this);
  if (question.exec() != QMessageBox::Yes) return;

  // The value still being typed is posted; a new point that lacks a value is dropped rather
  // than stored. A failed write ends the apply with acquisition as it was.
  const int failures = model_->WriteFailures();
  CommitEdit(grid_);
  model_->DiscardNewRow();
  if (model_->WriteFailures() != failures) return;

  AddJournalRecord(service_, "!!! Изменены калибровки !!!", kServiceSource);
  PostEvent("=== В калибровочные таблицы внесены изменения. ===");
  PostEvent("Поток контроля останавливается для применения настроек");
  StopControl(service_.acquisition);
  // The second's wait runs on a timer so that the window keeps serving its events.
  applying_ = true;
  butSave_->setEnabled(false);
  QTimer::singleShot(kApplySettleMs, this, &CalibrationPage::ReloadAndRestart);
}

void CalibrationPage::ReloadAndRestart() {
  applying_ = false;
  butSave_->setEnabled(true);
  PostEvent("Загружаем новые калибровки...");
  if (!WaitForAcquisitionToEnd(service_, kWorkersBound)) {
    PostEvent("*** Набор сигналов не перезагружен: потоки приема еще работают ***");
    return;
  }
  const DbStatus status = LoadSignalSet(service_.UserConnection(), service_.signals);
  if (!status.ok()) {
    ShowErrorReport(this, QString::fromStdString(status.Describe()));
    return;  // acquisition stays stopped
  }
  PostEvent("Запускаем поток приема...");
  StartControl(service_.acquisition);
  Q_EMIT signalSetReloaded();
  FillSignalNames();
}

}  // namespace kalvix
