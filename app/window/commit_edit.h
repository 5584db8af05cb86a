// Posting the cell an operator is still typing into, as leaving the cell would, for a
// button that acts on the grid's rows ("Применить" must not miss the last value typed).
#ifndef KALVIX_APP_WINDOW_COMMIT_EDIT_H_
#define KALVIX_APP_WINDOW_COMMIT_EDIT_H_

class QAbstractItemView;

namespace kalvix {

// Writes the open editor of the view's current cell to the model and closes it; false when
// no cell was being edited.
bool CommitEdit(QAbstractItemView* view);

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_COMMIT_EDIT_H_
