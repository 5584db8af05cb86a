#include "persistence/row_writeback.h"

#include <charconv>
#include <cmath>

#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

// The shortest text that reads back as exactly x.
std::string ExactReal(double x) {
  if (!std::isfinite(x)) return "NULL";
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
  if (ec != std::errc()) return SqlFloat(x);
  return std::string(buf, end);
}

// The condition on one column. A real is compared at the column's own precision: the value
// held is either what the server sent or what the operator typed, which the server stored
// rounded to the column.
std::string MatchSql(const std::string& column, const DbValue& v, const DbColumnType& type) {
  using Kind = DbColumnType::Kind;
  if (DbIsNull(v)) return column + " IS NULL";
  const double* real = std::get_if<double>(&v);
  if (real == nullptr) return column + " = " + RowValueSql(v);
  const std::string exact = ExactReal(*real);
  // A real that is no number cannot be stored, so it matches nothing, as NULL = NULL does.
  if (!std::isfinite(*real)) return column + " = " + exact;
  const std::string decimals = std::to_string(type.decimals);
  switch (type.kind) {
    case Kind::kFloat:
      if (type.FixedDecimals()) {
        return column + " = CAST(ROUND(" + exact + ", " + decimals + ") AS FLOAT)";
      }
      // Of a FLOAT the server sends 6 significant digits, not the stored value. Both sides
      // written as the server writes a FLOAT give the same text when they show alike;
      // 6 digits pass through single precision unchanged, so a value read back or typed
      // finds its row (tried on MariaDB 10.11 over the whole FLOAT range).
      return "CAST(" + column + " AS CHAR) = CAST(CAST(" + exact + " AS FLOAT) AS CHAR)";
    case Kind::kDouble:
    case Kind::kDecimal:
      if (type.FixedDecimals()) return column + " = ROUND(" + exact + ", " + decimals + ")";
      break;
    default:
      break;
  }
  return column + " = " + exact;
}

bool SameValue(const DbValue& a, const DbValue& b) { return a == b; }

std::string ColumnList(const std::vector<std::string>& columns) {
  std::string out;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out += ", ";
    out += SqlIdentifier(columns[i]);
  }
  return out;
}

}  // namespace

std::string RowValueSql(const DbValue& v) {
  struct Visitor {
    std::string operator()(std::monostate) const { return "NULL"; }
    std::string operator()(int64_t x) const { return std::to_string(x); }
    std::string operator()(double x) const { return SqlFloat(x); }
    std::string operator()(const std::string& s) const { return SqlString(s); }
    std::string operator()(const DbDateTime& d) const {
      return "'" + FormatDateTime("yyyy-mm-dd hh:nn:ss", d.value) + "'";
    }
  };
  return std::visit(Visitor{}, v);
}

std::string RowMatchSql(const std::vector<std::string>& columns, const std::vector<DbValue>& values,
                        const std::vector<DbColumnType>& types) {
  std::string out;
  for (size_t i = 0; i < columns.size() && i < values.size(); ++i) {
    if (i > 0) out += " AND ";
    out += MatchSql(SqlIdentifier(columns[i]), values[i],
                    i < types.size() ? types[i] : DbColumnType{});
  }
  return out;
}

std::string RowChangeSql(std::string_view table, const std::vector<std::string>& columns,
                         const RowChange& change, const std::vector<DbColumnType>& types) {
  const std::string name = SqlIdentifier(table);
  switch (change.kind) {
    case RowChange::Kind::kInsert: {
      std::string values;
      for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) values += ", ";
        values += i < change.after.size() ? RowValueSql(change.after[i]) : "NULL";
      }
      return "INSERT INTO " + name + " (" + ColumnList(columns) + ") VALUES (" + values + ")";
    }
    case RowChange::Kind::kUpdate: {
      std::string sets;
      for (size_t i = 0; i < columns.size() && i < change.after.size(); ++i) {
        if (i < change.before.size() && SameValue(change.before[i], change.after[i])) continue;
        if (!sets.empty()) sets += ", ";
        sets += SqlIdentifier(columns[i]) + " = " + RowValueSql(change.after[i]);
      }
      if (sets.empty()) return {};
      return "UPDATE " + name + " SET " + sets + " WHERE " +
             RowMatchSql(columns, change.before, types) + " LIMIT 1";
    }
    case RowChange::Kind::kDelete:
      return "DELETE FROM " + name + " WHERE " + RowMatchSql(columns, change.before, types) +
             " LIMIT 1";
  }
  return {};
}

DbStatus WriteRowChange(DbConnection& connection, std::string_view table,
                        const std::vector<std::string>& columns, const RowChange& change,
                        const std::vector<DbColumnType>& types) {
  const std::string sql = RowChangeSql(table, columns, change, types);
  if (sql.empty()) return DbStatus::Ok();
  DbStatus status = connection.Execute(sql);
  if (!status.ok()) return status;
  DbValue affected;
  status = connection.QueryValue("select row_count() as Rez", "Rez", affected);
  if (!status.ok()) return status;
  if (DbNumberOr(affected, 0) < 1) {
    return DbStatus::Error(DbErrorKind::kRejected, 0,
                           "Запись не найдена в таблице " + std::string(table) +
                               ": другая программа изменила или удалила ее.");
  }
  return DbStatus::Ok();
}

}  // namespace kalvix
