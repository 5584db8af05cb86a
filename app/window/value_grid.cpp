#include "app/window/value_grid.h"

#include <QHeaderView>
#include <QTableWidget>

#include "app/display_format.h"
#include "plant/signal_set.h"
#include "util/date_time.h"

namespace kalvix {
namespace {

constexpr int kFixedRows = 2;

void SetCell(QTableWidget* grid, int row, int column, const QString& text, bool editable) {
  QTableWidgetItem* item = grid->item(row, column);
  if (item == nullptr) {
    item = new QTableWidgetItem;
    grid->setItem(row, column, item);
  }
  const bool fixed = row < kFixedRows || column == 0;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (editable && !fixed) flags |= Qt::ItemIsEditable;
  if (item->flags() != flags) item->setFlags(flags);
  if (fixed && item->background() != grid->palette().button()) {
    item->setBackground(grid->palette().button());
  }
  if (item->text() != text) item->setText(text);
}

}  // namespace

void SetUpValueGrid(QTableWidget* grid) {
  grid->setColumnCount(2);
  grid->horizontalHeader()->hide();
  grid->verticalHeader()->hide();
  grid->setColumnWidth(0, 200);
  grid->setColumnWidth(1, 200);
  grid->verticalHeader()->setDefaultSectionSize(20);
}

void FillValueGrid(const SignalSet& signals, const ValueSet* values, QTableWidget* grid,
                   bool editable) {
  const int count = signals.SignalCount();
  if (count <= 0 || values == nullptr || grid == nullptr) return;
  if (grid->columnCount() != 2) grid->setColumnCount(2);
  if (grid->rowCount() != count + kFixedRows) grid->setRowCount(count + kFixedRows);
  SetCell(grid, 0, 0, "Сигнал", editable);
  SetCell(grid, 0, 1, "Значение", editable);
  SetCell(grid, 1, 0, "Время:", editable);
  SetCell(grid, 1, 1, QString::fromStdString(FormatDateTime("hh:nn:ss", values->Stamp())),
          editable);
  const auto& list = signals.Signals();
  for (int slot = 0; slot < count && slot < static_cast<int>(list.size()); ++slot) {
    SetCell(grid, slot + kFixedRows, 0, QString::fromStdString(list[slot].SignalName), editable);
    SetCell(grid, slot + kFixedRows, 1, QString::fromStdString(FormatFixed(values->Slot(slot), 3)),
            editable);
  }
}

QString CellText(const QTableWidget* grid, int row, int column) {
  const QTableWidgetItem* item = grid->item(row, column);
  return item != nullptr ? item->text() : QString();
}

}  // namespace kalvix
