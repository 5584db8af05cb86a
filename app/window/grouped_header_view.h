// GroupedHeaderView: a horizontal grid header whose two-line titles ("upper\nlower") share
// their upper line with the neighbouring sections that have the same one: "Обратный порядок"
// is written once over "байт" and "Слов", "Значение" once over "Аппаратное" and
// "Физическое". A title of one line, or an upper line no neighbour shares, is drawn as usual.
#ifndef KALVIX_APP_WINDOW_GROUPED_HEADER_VIEW_H_
#define KALVIX_APP_WINDOW_GROUPED_HEADER_VIEW_H_

#include <QHeaderView>
#include <QRect>
#include <QString>
#include <utility>

namespace kalvix {

class GroupedHeaderView : public QHeaderView {
  Q_OBJECT

 public:
  explicit GroupedHeaderView(QWidget* parent = nullptr);

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

 private:
  // Where the upper line shared by a section and its neighbours is drawn, in viewport
  // coordinates: across the whole group, over the upper half of the header. Empty when the
  // section shares its upper line with no other.
  QRect SharedUpperLineRect(int logicalIndex) const;
  QString Title(int logicalIndex) const;
  // The first and last visual index of the shown sections sharing the section's upper line.
  std::pair<int, int> Group(int logicalIndex) const;
  void PaintCell(QPainter* painter, const QRect& rect, const QString& text, int logicalIndex,
                 bool highlighted) const;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_GROUPED_HEADER_VIEW_H_
