#include "app/window/db_table_model.h"

#include <QMetaObject>
#include <QWidget>
#include <cstdlib>

#include "app/operator_input.h"
#include "app/window/error_report.h"
#include "persistence/sql_literal.h"
#include "util/number_format.h"

namespace kalvix {
namespace {

// The value the server holds after storing x: reals go through SqlFloat's 15 digits.
DbValue AsStored(const DbValue& v) {
  if (const double* x = std::get_if<double>(&v)) return std::strtod(SqlFloat(*x).c_str(), nullptr);
  return v;
}

}  // namespace

DbTableModel::DbTableModel(std::vector<GridColumn> columns, QueryFn query, SaveFn saveChanges,
                           QWidget* errorParent, QObject* parent)
    : QAbstractTableModel(parent),
      columns_(std::move(columns)),
      query_(std::move(query)),
      saveChanges_(std::move(saveChanges)),
      errorParent_(errorParent) {}

bool DbTableModel::Open(std::string selectSql) {
  selectSql_ = std::move(selectSql);
  DbStatus status;
  if (!ReadRows(status)) {
    ShowErrorReport(errorParent_, QString::fromStdString(status.Describe()));
    return false;
  }
  return true;
}

void DbTableModel::Close() {
  beginResetModel();
  open_ = false;
  newRow_ = false;
  result_ = {};
  tableIndex_.clear();
  endResetModel();
}

bool DbTableModel::ReadRows(DbStatus& status) {
  beginResetModel();
  DbResult result;
  status = query_(selectSql_, result);
  open_ = status.ok();
  newRow_ = false;
  result_ = open_ ? std::move(result) : DbResult{};
  tableIndex_.clear();
  for (const GridColumn& column : columns_)
    tableIndex_.push_back(result_.ColumnIndex(column.field));
  endResetModel();
  return open_;
}

int DbTableModel::GridColumnOf(const std::string& field) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].field == field) return static_cast<int>(i);
  }
  return -1;
}

int DbTableModel::AppendRow() {
  if (!open_) return -1;
  const int row = static_cast<int>(result_.rows.size());
  if (newRow_) return row - 1;
  beginInsertRows(QModelIndex(), row, row);
  result_.rows.emplace_back(result_.columns.size());
  newRow_ = true;
  endInsertRows();
  return row;
}

void DbTableModel::DiscardNewRow() {
  if (!newRow_) return;
  const int row = static_cast<int>(result_.rows.size()) - 1;
  beginRemoveRows(QModelIndex(), row, row);
  result_.rows.pop_back();
  newRow_ = false;
  endRemoveRows();
}

bool DbTableModel::DeleteRow(int row) {
  if (row < 0 || row >= rowCount() || writing_) return false;
  if (newRow_ && row == rowCount() - 1) {
    DiscardNewRow();
    return true;
  }
  if (!Save({RowChange::Kind::kDelete, result_.rows[row], {}})) return false;
  beginRemoveRows(QModelIndex(), row, row);
  result_.rows.erase(result_.rows.begin() + row);
  endRemoveRows();
  return true;
}

bool DbTableModel::Complete(const std::vector<DbValue>& row) const {
  for (int index : tableIndex_) {
    if (index >= 0 && DbIsNull(row[index])) return false;
  }
  return true;
}

bool DbTableModel::Save(const RowChange& change) {
  writing_ = true;
  const DbStatus status = saveChanges_(change);
  writing_ = false;
  if (status.ok()) return true;
  ++writeFailures_;
  ReportLater(status.Describe());
  return false;
}

void DbTableModel::ReportLater(const std::string& text) {
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        // The stored state first, so the grid behind the box already shows it.
        QString message = QString::fromStdString(text);
        DbStatus status;
        if (!ReadRows(status)) message += "\n" + QString::fromStdString(status.Describe());
        ShowErrorReport(errorParent_, message);
      },
      Qt::QueuedConnection);
}

bool DbTableModel::ParseCell(const GridColumn& column, const QVariant& value, int role,
                             DbValue& out) const {
  if (column.type == GridColumn::Type::kFlag) {
    if (role != Qt::CheckStateRole) return false;
    out = int64_t{value.toInt() == Qt::Checked ? 1 : 0};
    return true;
  }
  if (role != Qt::EditRole) return false;
  const std::string text = value.toString().trimmed().toStdString();
  switch (column.type) {
    case GridColumn::Type::kText:
      out = value.toString().toStdString();
      return true;
    case GridColumn::Type::kInteger: {
      if (text.empty()) {
        out = std::monostate{};
        return true;
      }
      int32_t number = 0;
      if (!ParseOperatorInteger(text, number)) return false;
      out = int64_t{number};
      return true;
    }
    case GridColumn::Type::kReal: {
      if (text.empty()) {
        out = std::monostate{};
        return true;
      }
      double number = 0;
      if (!ParseOperatorNumber(text, number)) return false;
      out = number;
      return true;
    }
    case GridColumn::Type::kFlag:
      break;
  }
  return false;
}

int DbTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(result_.rows.size());
}

int DbTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant DbTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const GridColumn& column = columns_[index.column()];
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column.alignment);
  const int field = tableIndex_[index.column()];
  if (field < 0) return {};
  const DbValue& v = result_.rows[index.row()][field];
  double number = 0;
  const bool isNumber = DbToNumber(v, number);

  if (column.type == GridColumn::Type::kFlag) {
    if (role != Qt::CheckStateRole) return {};
    return isNumber && number != 0 ? Qt::Checked : Qt::Unchecked;
  }
  if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
  if (DbIsNull(v))
    return role == Qt::EditRole && !column.choices.isEmpty() ? QVariant(-1) : QString();
  switch (column.type) {
    case GridColumn::Type::kInteger: {
      const long long whole = static_cast<long long>(number);
      if (!column.choices.isEmpty()) {
        if (role == Qt::EditRole) return static_cast<int>(whole);
        if (whole >= 0 && whole < column.choices.size()) return column.choices[whole];
      }
      return QString::number(whole);
    }
    case GridColumn::Type::kReal:
      return isNumber ? QString::fromStdString(FormatDisplay(number))
                      : QString::fromStdString(DbToText(v));
    default:
      return QString::fromStdString(DbToText(v));
  }
}

bool DbTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.row() >= rowCount() || writing_) return false;
  const GridColumn& column = columns_[index.column()];
  const int field = tableIndex_[index.column()];
  if (!column.editable || field < 0) return false;
  // An editor left with the text it was given changes nothing, even where that text rounds
  // a real stored with more digits than are shown.
  if (role == Qt::EditRole && value.typeId() == QMetaType::QString &&
      value.toString() == data(index, Qt::EditRole).toString()) {
    return true;
  }
  DbValue cell;
  if (column.type == GridColumn::Type::kInteger && !column.choices.isEmpty() &&
      role == Qt::EditRole && value.typeId() == QMetaType::Int) {
    cell = int64_t{value.toInt()};  // the drop-down list gives the position of its item
  } else if (!ParseCell(column, value, role, cell)) {
    return false;
  }

  const int row = index.row();
  const std::vector<DbValue>& before = result_.rows[row];
  std::vector<DbValue> after = before;
  after[field] = cell;
  if (after == before) return true;
  const bool isNew = newRow_ && row == rowCount() - 1;

  if (isNew && !Complete(after)) {
    result_.rows[row] = std::move(after);  // held until the row has all its values
  } else {
    if (beforePost) beforePost(after);
    const RowChange change = isNew ? RowChange{RowChange::Kind::kInsert, {}, after}
                                   : RowChange{RowChange::Kind::kUpdate, before, after};
    if (!Save(change)) return false;
    for (DbValue& v : after) v = AsStored(v);
    result_.rows[row] = std::move(after);
    if (isNew) newRow_ = false;
  }
  Q_EMIT dataChanged(this->index(row, 0), this->index(row, columnCount() - 1));
  return true;
}

Qt::ItemFlags DbTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  const GridColumn& column = columns_[index.column()];
  if (column.editable) {
    flags |= column.type == GridColumn::Type::kFlag ? Qt::ItemIsUserCheckable : Qt::ItemIsEditable;
  }
  return flags;
}

QVariant DbTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) return columns_[section].title;
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  return {};
}

}  // namespace kalvix
