#include "app/window/bus_ledger_panel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <chrono>

#include "app/display_format.h"
#include "app/window/window_style.h"
#include "util/date_time.h"

namespace kalvix {
namespace {

constexpr const char* kModuleTitles[kModuleCount] = {"JUMO 1", "JUMO 2", "V-120", "BK-003"};

// In BusFault order, under "Сбоев по причинам:".
constexpr const char* kFaultCaptions[kBusFaultCount] = {
    "нет ответа:",       "неполный ответ:",    "контрольная сумма:",
    "чужой адрес, эхо:", "ошибка устройства:", "ошибка линии:"};

// The rows under a sub-heading: a margin rather than blanks, which would cost two characters
// of the room the values have.
constexpr int kIndent = 8;

QLabel* ValueLabel(const QString& name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

// Empty until there is a good exchange to measure, as the grid leaves the time of a module
// never polled.
QString Milliseconds(uint32_t us, bool measured) {
  return measured ? QString::fromStdString(FormatFixed(us / 1000.0, 1)) : QString();
}

}  // namespace

BusLedgerPanel::BusLedgerPanel(const BusLedgers& ledgers, QWidget* parent)
    : QWidget(parent), ledgers_(ledgers) {
  setObjectName("PanelBusLedger");
  // The face of the tab captions: a dozen captions in the designed 13 pixels would not fit
  // the space the fixed window leaves beside the grid.
  QFont font = WindowFont();
  font.setPixelSize(11);
  setFont(font);

  LabelBusModule = new QLabel(this);
  LabelBusModule->setObjectName("LabelBusModule");
  LabelBusModule->setToolTip("Модуль выбирается щелчком по его строке в таблице");
  LabelBusExchanges = ValueLabel("LabelBusExchanges", this);
  LabelBusRoundTripLast = ValueLabel("LabelBusRoundTripLast", this);
  LabelBusRoundTripP50 = ValueLabel("LabelBusRoundTripP50", this);
  LabelBusRoundTripP99 = ValueLabel("LabelBusRoundTripP99", this);
  for (int f = 0; f < kBusFaultCount; ++f) {
    LabelBusFaults[f] = ValueLabel(QString("LabelBusFault_") + kBusFaultNames[f], this);
  }
  LabelBusReopenings = ValueLabel("LabelBusReopenings", this);
  LabelBusLastGood = ValueLabel("LabelBusLastGood", this);

  // A row per figure, its value right-aligned: a value takes whatever room its own caption
  // leaves, where a column of values would get only what the longest caption leaves.
  auto* rows = new QVBoxLayout(this);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(1);
  const auto add = [&](const char* caption, QLabel* value, int indent = 0) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(indent, 0, 0, 0);
    row->addWidget(new QLabel(caption, this));
    row->addStretch(1);
    if (value != nullptr) row->addWidget(value);
    rows->addLayout(row);
  };
  // The module's name heads the panel in the caption of its first row.
  auto* first = new QHBoxLayout;
  first->addWidget(LabelBusModule);
  first->addStretch(1);
  first->addWidget(LabelBusExchanges);
  rows->addLayout(first);
  add("Время ответа, мс:", nullptr);
  add("последнее:", LabelBusRoundTripLast, kIndent);
  add("p50:", LabelBusRoundTripP50, kIndent);
  add("p99:", LabelBusRoundTripP99, kIndent);
  add("Сбоев по причинам:", nullptr);
  for (int f = 0; f < kBusFaultCount; ++f) add(kFaultCaptions[f], LabelBusFaults[f], kIndent);
  add("Переоткрытий линии:", LabelBusReopenings);
  add("Последний успешный обмен:", nullptr);
  rows->addWidget(LabelBusLastGood);
  rows->addStretch(1);

  ShowModule(kModuleJumo1);
}

void BusLedgerPanel::ShowModule(Module module) {
  module_ = module;
  LabelBusModule->setText(QString("Обменов с ") + kModuleTitles[module] + ":");
  Refresh();
}

void BusLedgerPanel::Refresh() {
  const BusLedgerSnapshot s = ledgers_[module_].Read();
  const auto set = [](QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
  };
  set(LabelBusExchanges, QString::number(s.exchanges));
  set(LabelBusRoundTripLast, Milliseconds(s.lastRoundTripUs, s.good > 0));
  set(LabelBusRoundTripP50, Milliseconds(s.p50RoundTripUs, s.windowSamples > 0));
  set(LabelBusRoundTripP99, Milliseconds(s.p99RoundTripUs, s.windowSamples > 0));
  for (int f = 0; f < kBusFaultCount; ++f) set(LabelBusFaults[f], QString::number(s.faults[f]));
  set(LabelBusReopenings, QString::number(s.reopenings));
  QString lastGood;
  if (s.lastGoodUnixMs != 0) {
    const std::chrono::system_clock::time_point at{std::chrono::milliseconds(s.lastGoodUnixMs)};
    lastGood = QString::fromStdString(FormatDateTime("dd.mm.yyyy hh:nn:ss", FromTimePoint(at)));
  }
  set(LabelBusLastGood, lastGood);
}

}  // namespace kalvix
