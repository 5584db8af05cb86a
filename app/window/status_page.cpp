#include "app/window/status_page.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "acquisition/control_thread.h"
#include "app/display_format.h"
#include "app/window/value_grid.h"
#include "app/window/window_style.h"

namespace kalvix {
namespace {

// Draws the module grid's cells: the fixed row and column as usual; every other cell white,
// its text centred, navy for the time and red for the error count.
class ModuleGridDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (index.row() == 0 || index.column() == 0) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    StringGrid_stateDrawCell(painter, option.rect, index.column(), index.data().toString());
  }

  static void StringGrid_stateDrawCell(QPainter* painter, const QRect& rect, int column,
                                       const QString& text) {
    painter->save();
    painter->fillRect(rect, Qt::white);
    painter->setPen(column == 1 ? kNavy : kRed);
    const QFontMetrics metrics(painter->font());
    const int x = rect.left() + (rect.width() - metrics.horizontalAdvance(text)) / 2;
    const int y = rect.top() + (rect.height() - metrics.height()) / 2;
    painter->drawText(QRect(x, y, metrics.horizontalAdvance(text), metrics.height()),
                      Qt::AlignLeft | Qt::AlignTop, text);
    painter->restore();
  }
};

QLabel* NamedLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  return label;
}

constexpr const char* kModuleNames[kModuleCount] = {" JUMO 1", " JUMO 2", " V-120", "BK-003"};

}  // namespace

StatusPage::StatusPage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheet2");
  LabelThreadInfo = NamedLabel("LabelThreadInfo", this);
  LabelCycleCounter = NamedLabel("LabelCycleCounter", this);
  Label_v120_cycle_count = NamedLabel("Label_v120_cycle_count", this);
  Label_jumo_cycle_count = NamedLabel("Label_jumo_cycle_count", this);
  Label_vk003_cycle_count = NamedLabel("Label_vk003_cycle_count", this);
  LabelErrorCounter = NamedLabel("LabelErrorCounter", this);
  LabelWorkTime = NamedLabel("LabelWorkTime", this);
  LabelDbFailCount = NamedLabel("LabelDbFailCount", this);
  LabelSpool = NamedLabel("LabelSpool", this);

  auto* labels = new QGridLayout;
  const std::pair<const char*, QLabel*> rows[] = {
      {"Поток контроля аппаратуры:", LabelThreadInfo},
      {"Количество циклов опроса:", LabelCycleCounter},
      {"Циклов опроса V-120:", Label_v120_cycle_count},
      {"Циклов опроса JUMO:", Label_jumo_cycle_count},
      {"Циклов опроса BK-003:", Label_vk003_cycle_count},
      {"Количество ошибок:", LabelErrorCounter},
      {"Время работы потока:", LabelWorkTime},
      {"Сбоев связи с MySQL:", LabelDbFailCount},
      {"Записей в буфере:", LabelSpool},
  };
  int row = 0;
  for (const auto& [caption, label] : rows) {
    labels->addWidget(new QLabel(caption, this), row, 0);
    labels->addWidget(label, row, 1);
    ++row;
  }
  labels->setColumnStretch(1, 1);

  ButStart = new QPushButton("Старт", this);
  ButStart->setObjectName("ButStart");
  ButStop = new QPushButton("Стоп", this);
  ButStop->setObjectName("ButStop");
  connect(ButStart, &QPushButton::clicked, this, &StatusPage::ButStartClick);
  connect(ButStop, &QPushButton::clicked, this, &StatusPage::ButStopClick);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ButStart);
  buttons->addWidget(ButStop);
  buttons->addStretch(1);

  StringGrid_state = new QTableWidget(5, 3, this);
  StringGrid_state->setObjectName("StringGrid_state");
  StringGrid_state->horizontalHeader()->hide();
  StringGrid_state->verticalHeader()->hide();
  StringGrid_state->verticalHeader()->setDefaultSectionSize(24);
  StringGrid_state->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid_state->setSelectionMode(QAbstractItemView::NoSelection);
  StringGrid_state->setFocusPolicy(Qt::NoFocus);
  StringGrid_state->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid_state->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const int widths[] = {80, 300, 70};
  for (int c = 0; c < 3; ++c) StringGrid_state->setColumnWidth(c, widths[c]);
  const int frame = 2 * StringGrid_state->frameWidth();
  StringGrid_state->setFixedSize(80 + 300 + 70 + frame, 5 * 24 + frame);
  StringGrid_state->setItemDelegate(new ModuleGridDelegate(StringGrid_state));
  const char* titles[] = {" Модуль", "   Последний успешный опрос", "Ошибок"};
  for (int c = 0; c < 3; ++c) {
    StringGrid_state->setItem(0, c, new QTableWidgetItem(titles[c]));
  }
  for (int m = 0; m < kModuleCount; ++m) {
    StringGrid_state->setItem(m + 1, 0, new QTableWidgetItem(kModuleNames[m]));
    StringGrid_state->setItem(m + 1, 1, new QTableWidgetItem);
    StringGrid_state->setItem(m + 1, 2, new QTableWidgetItem);
  }
  for (int r = 0; r < 5; ++r) {
    for (int c = 0; c < 3; ++c) {
      if (r == 0 || c == 0) StringGrid_state->item(r, c)->setBackground(palette().button());
    }
  }

  // The grid selects nothing and takes no focus, as designed; a click on a module's row
  // chooses the ledger shown beside it.
  PanelBusLedger = new BusLedgerPanel(service_.busLedgers, this);
  connect(StringGrid_state, &QTableWidget::cellClicked, this, [this](int row, int) {
    if (row >= 1 && row <= kModuleCount) PanelBusLedger->ShowModule(static_cast<Module>(row - 1));
  });

  auto* left = new QVBoxLayout;
  left->addLayout(buttons);
  left->addWidget(StringGrid_state);
  left->addStretch(1);
  auto* lower = new QHBoxLayout;
  lower->addLayout(left);
  lower->addWidget(PanelBusLedger, 1);

  auto* page = new QVBoxLayout(this);
  page->addLayout(labels);
  page->addLayout(lower, 1);
}

void StatusPage::ButStartClick() { kalvix::ButStartClick(service_.acquisition); }
void StatusPage::ButStopClick() { kalvix::ButStopClick(service_.acquisition); }

void StatusPage::Refresh() {
  const ControlState& c = service_.control;
  const bool active = c.ControlActive.load();
  LabelThreadInfo->setText(active ? "Активен" : "Остановлен");
  QPalette palette = LabelThreadInfo->palette();
  palette.setColor(QPalette::WindowText, active ? kGreen : kRed);
  LabelThreadInfo->setPalette(palette);
  LabelCycleCounter->setText(QString::number(c.CycleCounter.load()));
  LabelErrorCounter->setText(QString::number(c.ErrorCounter.load()));
  LabelDbFailCount->setText(QString::number(c.DbFailCount.load()));
  const SpoolWaiting waiting = service_.db.spool.Waiting();
  std::string spool = std::to_string(waiting.rows);
  if (waiting.oldest)
    spool += ", старейшая от " + FormatDateTime("dd.mm.yyyy hh:nn:ss", *waiting.oldest);
  LabelSpool->setText(QString::fromStdString(spool));
  ButStart->setEnabled(!active);
  ButStop->setEnabled(active);

  LabelWorkTime->setText(
      active ? QString::fromStdString(FormatWorkTime(Now() - c.ThreadStartTime.load())) : "");

  const PollerCounters& p = service_.pollerCounters;
  Label_v120_cycle_count->setText(QString::number(p.V120CycleCounter.load()));
  Label_jumo_cycle_count->setText(QString::number(p.JumoCycleCounter.load()));
  Label_vk003_cycle_count->setText(QString::number(p.BkCycleCounter.load()));
  service_.control.ModuleErrors[kModuleBk003] = p.BkFailCount.load();
  for (int m = 0; m < kModuleCount; ++m) {
    const DateTime lastOk = c.ModuleLastOk[m].load();
    const QString time =
        lastOk > 0 ? QString::fromStdString(FormatDateTime("dd.mm.yyyy hh:nn:ss", lastOk)) : "";
    if (StringGrid_state->item(m + 1, 1)->text() != time) {
      StringGrid_state->item(m + 1, 1)->setText(time);
    }
    const QString errors = QString::number(c.ModuleErrors[m].load());
    if (StringGrid_state->item(m + 1, 2)->text() != errors) {
      StringGrid_state->item(m + 1, 2)->setText(errors);
    }
  }
  PanelBusLedger->Refresh();
}

}  // namespace kalvix
