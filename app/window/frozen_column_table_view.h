// FrozenColumnTableView: a table view whose first column stays in place when the grid
// scrolls sideways, so a row's name stays in sight while its far columns are edited. A
// second view over the same model and selection shows only that column on top of the first.
#ifndef KALVIX_APP_WINDOW_FROZEN_COLUMN_TABLE_VIEW_H_
#define KALVIX_APP_WINDOW_FROZEN_COLUMN_TABLE_VIEW_H_

#include <QTableView>
#include <functional>
#include <vector>

class QAbstractItemDelegate;

namespace kalvix {

class FrozenColumnTableView : public QTableView {
  Q_OBJECT

 public:
  explicit FrozenColumnTableView(QWidget* parent = nullptr);

  void setModel(QAbstractItemModel* model) override;

  // The delegate of a column, one made for each view that shows it: a delegate serves one
  // view, since its editors report back to every view it is set on.
  void SetColumnDelegate(int column,
                         const std::function<QAbstractItemDelegate*(QObject* parent)>& make);
  void SetEditTriggers(EditTriggers triggers);
  // Column widths in pixels, kept across resets of the model.
  void SetColumnWidths(std::vector<int> widths);
  // The height of every row, in both views.
  void SetRowHeight(int pixels);

  // Posts the cell being edited, as leaving the cell would; false when no cell was being
  // edited.
  bool CommitEdit();

  QTableView* FrozenView() const { return frozen_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

 private:
  void ApplyColumns();
  void UpdateFrozenGeometry();
  void UpdateSectionWidth(int logicalIndex, int oldSize, int newSize);
  void UpdateSectionHeight(int logicalIndex, int oldSize, int newSize);

  QTableView* frozen_;  // owned through the Qt parent
  std::vector<int> widths_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_FROZEN_COLUMN_TABLE_VIEW_H_
