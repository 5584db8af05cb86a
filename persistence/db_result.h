// DbResult: the rows of a query, read whole, for the few queries that want more than one
// value (the signal layout, the calibration tables, the column list of a table).
#ifndef KALVIX_PERSISTENCE_DB_RESULT_H_
#define KALVIX_PERSISTENCE_DB_RESULT_H_

#include <string>
#include <string_view>
#include <vector>

#include "persistence/db_value.h"

namespace kalvix {

// A result column's type as the server describes it (Connector/C's MYSQL_FIELD), so that a
// value read from it can be compared at the column's own precision: the server sends a
// FLOAT with 6 significant digits, which do not give back the stored value.
struct DbColumnType {
  enum class Kind { kOther, kInteger, kDecimal, kFloat, kDouble, kText, kDateTime };
  // The server's mark for a column whose digits after the point are not fixed.
  static constexpr unsigned kFloatingDecimals = 31;

  Kind kind = Kind::kOther;
  unsigned decimals = kFloatingDecimals;  // fixed digits after the point: FLOAT(9,4) has 4

  bool FixedDecimals() const { return decimals < kFloatingDecimals; }
  friend bool operator==(const DbColumnType&, const DbColumnType&) = default;
};

struct DbResult {
  std::vector<std::string> columns;
  std::vector<std::vector<DbValue>> rows;  // each row has columns.size() values
  std::vector<DbColumnType> columnTypes;   // one per column; empty when nobody said

  // The index of the first column named name, ignoring letter case as column names do on
  // the server; -1 when there is none.
  int ColumnIndex(std::string_view name) const;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DB_RESULT_H_
