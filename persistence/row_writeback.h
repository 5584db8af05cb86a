// Writing an edited row back to its table. The plant's tables `signal` and `kalibr` have no
// row id, so a row to change or delete is found by ALL its previous column values (a NULL
// by IS NULL, a real at its column's precision), and the statement carries LIMIT 1: of two
// identical rows only one, the one the operator edited, changes. Which of two identical rows
// the server picks does not matter, since they cannot be told apart.
//
// A row that is no longer there (another program changed or deleted it since it was read)
// matches nothing; WriteRowChange reports that as an error instead of a silent success, so
// the editor can show the operator what is stored.
//
// Window thread, on the user connection.
#ifndef KALVIX_PERSISTENCE_ROW_WRITEBACK_H_
#define KALVIX_PERSISTENCE_ROW_WRITEBACK_H_

#include <string>
#include <string_view>
#include <vector>

#include "persistence/db_connection.h"
#include "persistence/db_value.h"

namespace kalvix {

// One posted change of a row. Values are in the order of the column list they go with.
struct RowChange {
  enum class Kind { kInsert, kUpdate, kDelete };
  Kind kind = Kind::kUpdate;
  std::vector<DbValue> before;  // update, delete: the row as it was read
  std::vector<DbValue> after;   // insert, update: the row as it is to be stored
};

// A value as it goes into SET and VALUES: NULL, an integer, a real through SqlFloat, a text
// through SqlText (an empty text stays an empty text, not NULL, so that a required column
// keeps its value), a date-time as 'yyyy-mm-dd hh:nn:ss'.
std::string RowValueSql(const DbValue& v);

// The condition that finds a row by its values: `a` = 1 AND `b` IS NULL AND ... `types`
// (the columns' types as the query that read the row gave them; empty or shorter when
// unknown) decide how a real is compared, at the column's own precision:
//  - DOUBLE: exactly, written with every digit it needs to be read back exactly (the server
//    sends a DOUBLE that way), not rounded to the 15 digits of SqlFloat, which would miss a
//    stored 1/3;
//  - FLOAT: as the server writes it, 6 significant digits, which is all it sends of a FLOAT,
//    so that a stored 0.1 or 1/3 is found (compared exactly it never is);
//  - a column with fixed decimals (FLOAT(9,4), DOUBLE(12,3), DECIMAL(12,4)): against the
//    value rounded to them, in the column's type, as the server stored it;
//  - of unknown type: exactly.
std::string RowMatchSql(const std::vector<std::string>& columns, const std::vector<DbValue>& values,
                        const std::vector<DbColumnType>& types = {});

// The statement for a change; empty for an update that changes no column. An update sets
// only the columns whose value differs.
std::string RowChangeSql(std::string_view table, const std::vector<std::string>& columns,
                         const RowChange& change, const std::vector<DbColumnType>& types = {});

// Runs the change on the connection. A statement that finds no row gives kRejected with a
// message for the operator; a database error gives its status.
DbStatus WriteRowChange(DbConnection& connection, std::string_view table,
                        const std::vector<std::string>& columns, const RowChange& change,
                        const std::vector<DbColumnType>& types = {});

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_ROW_WRITEBACK_H_
