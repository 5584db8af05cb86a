#include "app/window/grouped_header_view.h"

#include <QItemSelectionModel>
#include <QPainter>
#include <QStyleOptionHeader>

namespace kalvix {
namespace {

QString UpperLine(const QString& title) {
  const qsizetype cut = title.indexOf('\n');
  return cut < 0 ? QString() : title.left(cut);
}

QString LowerLine(const QString& title) { return title.mid(title.indexOf('\n') + 1); }

}  // namespace

GroupedHeaderView::GroupedHeaderView(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  // As a table view's own header.
  setSectionsClickable(true);
  setHighlightSections(true);
}

QString GroupedHeaderView::Title(int logicalIndex) const {
  return model() == nullptr
             ? QString()
             : model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
}

std::pair<int, int> GroupedHeaderView::Group(int logicalIndex) const {
  const QString upper = UpperLine(Title(logicalIndex));
  const int visual = visualIndex(logicalIndex);
  if (upper.isEmpty() || visual < 0) return {visual, visual};
  // The shown neighbour on each side, past hidden sections.
  const auto next = [this](int from, int step) {
    for (int v = from + step; v >= 0 && v < count(); v += step) {
      if (!isSectionHidden(this->logicalIndex(v))) return v;
    }
    return -1;
  };
  const auto shares = [&](int v) {
    return v >= 0 && UpperLine(Title(this->logicalIndex(v))) == upper;
  };
  int first = visual;
  int last = visual;
  while (shares(next(first, -1))) first = next(first, -1);
  while (shares(next(last, +1))) last = next(last, +1);
  return {first, last};
}

QRect GroupedHeaderView::SharedUpperLineRect(int logicalIndex) const {
  const auto [first, last] = Group(logicalIndex);
  if (first == last) return {};
  const int left = sectionViewportPosition(this->logicalIndex(first));
  const int lastSection = this->logicalIndex(last);
  const int right = sectionViewportPosition(lastSection) + sectionSize(lastSection);
  return QRect(left, 0, right - left, viewport()->height() / 2);
}

void GroupedHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  const QRect upper = SharedUpperLineRect(logicalIndex);
  if (upper.isEmpty()) {
    QHeaderView::paintSection(painter, rect, logicalIndex);
    return;
  }
  const bool highlighted = highlightSections() && selectionModel() != nullptr &&
                           selectionModel()->columnIntersectsSelection(logicalIndex, rootIndex());
  const QString title = Title(logicalIndex);
  // Each section of the group draws the whole shared cell; they draw the same thing.
  PaintCell(painter, QRect(upper.left(), rect.top(), upper.width(), upper.height()),
            UpperLine(title), logicalIndex, false);
  PaintCell(
      painter,
      QRect(rect.left(), rect.top() + upper.height(), rect.width(), rect.height() - upper.height()),
      LowerLine(title), logicalIndex, highlighted);
}

void GroupedHeaderView::PaintCell(QPainter* painter, const QRect& rect, const QString& text,
                                  int logicalIndex, bool highlighted) const {
  QStyleOptionHeader option;
  initStyleOption(&option);
  option.rect = rect;
  option.section = logicalIndex;
  option.text = text;
  option.textAlignment = Qt::AlignCenter;
  option.position = QStyleOptionHeader::Middle;
  if (highlighted) option.state |= QStyle::State_On;
  painter->save();
  QFont font = this->font();
  if (highlighted) font.setBold(true);
  painter->setFont(font);
  style()->drawControl(QStyle::CE_Header, &option, painter, this);
  painter->restore();
}

}  // namespace kalvix
