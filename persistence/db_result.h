// DbResult: the rows of a query, read whole, for the few queries that want more than one
// value (the signal layout, the calibration tables, the column list of a table).
#ifndef KALVIX_PERSISTENCE_DB_RESULT_H_
#define KALVIX_PERSISTENCE_DB_RESULT_H_

#include <string>
#include <string_view>
#include <vector>

#include "persistence/db_value.h"

namespace kalvix {

struct DbResult {
  std::vector<std::string> columns;
  std::vector<std::vector<DbValue>> rows;  // each row has columns.size() values

  // The index of the first column named name, ignoring letter case as column names do on
  // the server; -1 when there is none.
  int ColumnIndex(std::string_view name) const;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DB_RESULT_H_
