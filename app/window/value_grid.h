// FillValueGrid: a value set in a two-column grid - the header row, the set's time stamp
// and one row per signal slot with its name and value ("########0.###"). The emulator page
// and the plant-state page both show their values this way.
#ifndef KALVIX_APP_WINDOW_VALUE_GRID_H_
#define KALVIX_APP_WINDOW_VALUE_GRID_H_

#include <QString>

class QTableWidget;

namespace kalvix {

class SignalSet;
class ValueSet;

// Does nothing for an empty signal set or a missing value set or grid. The value cells are
// editable when `editable` is set (the emulator's grid); fixed cells never are.
void FillValueGrid(const SignalSet& signals, const ValueSet* values, QTableWidget* grid,
                   bool editable);

// A grid of two columns of 200 pixels with two fixed rows and one fixed column.
void SetUpValueGrid(QTableWidget* grid);

// The grid's cell text, empty where there is no cell.
QString CellText(const QTableWidget* grid, int row, int column);

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_VALUE_GRID_H_
