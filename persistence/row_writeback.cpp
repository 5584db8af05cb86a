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

std::string MatchValueSql(const DbValue& v) {
  if (const double* real = std::get_if<double>(&v)) return ExactReal(*real);
  return RowValueSql(v);
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
    std::string operator()(const std::string& s) const { return s.empty() ? "''" : SqlText(s); }
    std::string operator()(const DbDateTime& d) const {
      return "'" + FormatDateTime("yyyy-mm-dd hh:nn:ss", d.value) + "'";
    }
  };
  return std::visit(Visitor{}, v);
}

std::string RowMatchSql(const std::vector<std::string>& columns,
                        const std::vector<DbValue>& values) {
  std::string out;
  for (size_t i = 0; i < columns.size() && i < values.size(); ++i) {
    if (i > 0) out += " AND ";
    out += SqlIdentifier(columns[i]);
    const std::string literal = MatchValueSql(values[i]);
    // A real that is no number cannot be stored, so it matches nothing, as NULL = NULL does.
    out += DbIsNull(values[i]) ? " IS NULL" : " = " + literal;
  }
  return out;
}

std::string RowChangeSql(std::string_view table, const std::vector<std::string>& columns,
                         const RowChange& change) {
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
      return "UPDATE " + name + " SET " + sets + " WHERE " + RowMatchSql(columns, change.before) +
             " LIMIT 1";
    }
    case RowChange::Kind::kDelete:
      return "DELETE FROM " + name + " WHERE " + RowMatchSql(columns, change.before) + " LIMIT 1";
  }
  return {};
}

DbStatus WriteRowChange(DbConnection& connection, std::string_view table,
                        const std::vector<std::string>& columns, const RowChange& change) {
  const std::string sql = RowChangeSql(table, columns, change);
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
