#include "app/window/commit_edit.h"

#include <QAbstractItemView>
#include <QMetaObject>

namespace kalvix {

bool CommitEdit(QAbstractItemView* view) {
  QWidget* editor = view->indexWidget(view->currentIndex());
  if (editor == nullptr) return false;
  // commitData and closeEditor are the view's own slots, run as when the editor loses focus.
  QMetaObject::invokeMethod(view, "commitData", Q_ARG(QWidget*, editor));
  QMetaObject::invokeMethod(
      view, "closeEditor", Q_ARG(QWidget*, editor),
      Q_ARG(QAbstractItemDelegate::EndEditHint, QAbstractItemDelegate::NoHint));
  return true;
}

}  // namespace kalvix
