#include "app/window/choice_delegate.h"

#include <QComboBox>
#include <QTimer>

namespace kalvix {

ChoiceDelegate::ChoiceDelegate(QStringList choices, Stores stores, QObject* parent)
    : QStyledItemDelegate(parent), choices_(std::move(choices)), stores_(stores) {}

QWidget* ChoiceDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                      const QModelIndex&) const {
  auto* combo = new QComboBox(parent);
  combo->addItems(choices_);
  combo->setEditable(false);
  // A pick is a post: the cell is written as soon as the operator chooses.
  connect(combo, &QComboBox::activated, this, &ChoiceDelegate::CommitAndClose);
  QTimer::singleShot(0, combo, [combo] {
    if (combo->isVisible()) combo->showPopup();
  });
  return combo;
}

void ChoiceDelegate::CommitAndClose() {
  auto* combo = qobject_cast<QWidget*>(sender());
  if (combo == nullptr) return;
  Q_EMIT commitData(combo);
  Q_EMIT closeEditor(combo);
}

void ChoiceDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  auto* combo = static_cast<QComboBox*>(editor);
  const QVariant value = index.data(Qt::EditRole);
  combo->setCurrentIndex(
      stores_ == Stores::kPosition ? value.toInt() : combo->findText(value.toString().trimmed()));
}

void ChoiceDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                  const QModelIndex& index) const {
  auto* combo = static_cast<QComboBox*>(editor);
  if (combo->currentIndex() < 0) return;  // nothing picked: the cell keeps its value
  model->setData(index,
                 stores_ == Stores::kPosition ? QVariant(combo->currentIndex())
                                              : QVariant(combo->currentText()),
                 Qt::EditRole);
}

}  // namespace kalvix
