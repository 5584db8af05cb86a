#include "app/window/frozen_column_table_view.h"

#include <QHeaderView>
#include <QScrollBar>

#include "app/window/commit_edit.h"
#include "app/window/grouped_header_view.h"

namespace kalvix {

FrozenColumnTableView::FrozenColumnTableView(QWidget* parent)
    : QTableView(parent), frozen_(new QTableView(this)) {
  // Neighbouring two-line titles share their upper line, before the header is connected to.
  setHorizontalHeader(new GroupedHeaderView(this));
  frozen_->setFocusPolicy(Qt::NoFocus);
  frozen_->verticalHeader()->hide();
  frozen_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  frozen_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  frozen_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  frozen_->setVerticalScrollMode(ScrollPerPixel);
  setHorizontalScrollMode(ScrollPerPixel);
  setVerticalScrollMode(ScrollPerPixel);
  viewport()->stackUnder(frozen_);

  connect(horizontalHeader(), &QHeaderView::sectionResized, this,
          &FrozenColumnTableView::UpdateSectionWidth);
  connect(verticalHeader(), &QHeaderView::sectionResized, this,
          &FrozenColumnTableView::UpdateSectionHeight);
  connect(frozen_->verticalScrollBar(), &QAbstractSlider::valueChanged, verticalScrollBar(),
          &QAbstractSlider::setValue);
  connect(verticalScrollBar(), &QAbstractSlider::valueChanged, frozen_->verticalScrollBar(),
          &QAbstractSlider::setValue);
}

void FrozenColumnTableView::setModel(QAbstractItemModel* model) {
  QTableView::setModel(model);
  frozen_->setModel(model);
  frozen_->setSelectionModel(selectionModel());
  frozen_->setSelectionBehavior(selectionBehavior());
  // A reset of the model gives the headers their default sections again.
  if (model != nullptr) {
    connect(model, &QAbstractItemModel::modelReset, this, &FrozenColumnTableView::ApplyColumns);
  }
  ApplyColumns();
  frozen_->show();
}

void FrozenColumnTableView::SetColumnWidths(std::vector<int> widths) {
  widths_ = std::move(widths);
  ApplyColumns();
}

void FrozenColumnTableView::SetRowHeight(int pixels) {
  verticalHeader()->setDefaultSectionSize(pixels);
  frozen_->verticalHeader()->setDefaultSectionSize(pixels);
}

void FrozenColumnTableView::ApplyColumns() {
  for (size_t column = 0; column < widths_.size(); ++column) {
    setColumnWidth(static_cast<int>(column), widths_[column]);
  }
  if (model() != nullptr) {
    for (int column = 1; column < model()->columnCount(); ++column) {
      frozen_->setColumnHidden(column, true);
    }
  }
  frozen_->setColumnWidth(0, columnWidth(0));
  UpdateFrozenGeometry();
}

void FrozenColumnTableView::SetColumnDelegate(
    int column, const std::function<QAbstractItemDelegate*(QObject* parent)>& make) {
  setItemDelegateForColumn(column, make(this));
  if (column == 0) frozen_->setItemDelegateForColumn(column, make(frozen_));
}

void FrozenColumnTableView::SetEditTriggers(EditTriggers triggers) {
  setEditTriggers(triggers);
  frozen_->setEditTriggers(triggers);
}

bool FrozenColumnTableView::CommitEdit() {
  return kalvix::CommitEdit(this) || kalvix::CommitEdit(frozen_);
}

void FrozenColumnTableView::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  UpdateFrozenGeometry();
}

QModelIndex FrozenColumnTableView::moveCursor(CursorAction cursorAction,
                                              Qt::KeyboardModifiers modifiers) {
  const QModelIndex current = QTableView::moveCursor(cursorAction, modifiers);
  // Moving left into a column hidden under the frozen one scrolls it out from under.
  if (cursorAction == MoveLeft && current.column() > 0 &&
      visualRect(current).topLeft().x() < frozen_->columnWidth(0)) {
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() +
                                    visualRect(current).topLeft().x() - frozen_->columnWidth(0));
  }
  return current;
}

void FrozenColumnTableView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  if (index.column() > 0) QTableView::scrollTo(index, hint);
}

void FrozenColumnTableView::UpdateFrozenGeometry() {
  frozen_->horizontalHeader()->setFixedHeight(horizontalHeader()->height());
  const int left = (verticalHeader()->isHidden() ? 0 : verticalHeader()->width()) + frameWidth();
  frozen_->setGeometry(left, frameWidth(), columnWidth(0),
                       viewport()->height() + horizontalHeader()->height());
}

void FrozenColumnTableView::UpdateSectionWidth(int logicalIndex, int, int newSize) {
  if (logicalIndex != 0) return;
  frozen_->setColumnWidth(0, newSize);
  UpdateFrozenGeometry();
}

void FrozenColumnTableView::UpdateSectionHeight(int logicalIndex, int, int newSize) {
  frozen_->setRowHeight(logicalIndex, newSize);
}

}  // namespace kalvix
