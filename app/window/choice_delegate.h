// ChoiceDelegate: a cell edited by picking from a fixed list. The list opens as soon as the
// cell is edited, and picking an item posts it at once. The model receives either the item's
// text or its position in the list (a code stored as a number, such as a value kind).
#ifndef KALVIX_APP_WINDOW_CHOICE_DELEGATE_H_
#define KALVIX_APP_WINDOW_CHOICE_DELEGATE_H_

#include <QStringList>
#include <QStyledItemDelegate>

namespace kalvix {

class ChoiceDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  enum class Stores { kText, kPosition };

  ChoiceDelegate(QStringList choices, Stores stores, QObject* parent = nullptr);

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;

 private:
  void CommitAndClose();  // the picking combo box is the sender

  const QStringList choices_;
  const Stores stores_;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_CHOICE_DELEGATE_H_
