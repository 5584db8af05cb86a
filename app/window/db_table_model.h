// DbTableModel: the rows of one query on a table, for an editing grid. Every change the
// operator posts (a cell edited and left, a box ticked, a row deleted) is written back to
// the table at once through the saveChanges hook; when the database refuses it, the
// operator sees the standard error report and the model reads the table again, so the grid
// never shows what is not stored.
//
// A new row is held in the model only until every grid column has a value; then it is
// inserted. A row without values is therefore never stored (the table would take a
// calibration point without values as a real one, or refuse it).
//
// Window thread only. The model holds no connection: the page reads through `query` and
// writes through `saveChanges`, both on the user connection.
#ifndef KALVIX_APP_WINDOW_DB_TABLE_MODEL_H_
#define KALVIX_APP_WINDOW_DB_TABLE_MODEL_H_

#include <QAbstractTableModel>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "persistence/db_result.h"
#include "persistence/db_status.h"
#include "persistence/row_writeback.h"

class QWidget;

namespace kalvix {

// One column of a grid: which table column it shows and how it is edited.
struct GridColumn {
  enum class Type {
    kText,
    kInteger,  // typed as a number, or picked from `choices` (value i shows choices[i])
    kReal,     // typed with a point or a comma
    kFlag,     // a check box, stored as 1 or 0
  };
  std::string field;
  QString title;  // a line break divides the header into two lines
  Type type = Type::kText;
  bool editable = true;
  QStringList choices;
  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

class DbTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Reads the rows of a SELECT; the page binds it to its connection.
  using QueryFn = std::function<DbStatus(const std::string& sql, DbResult& result)>;
  // Writes one change; the page's after-post handler.
  using SaveFn = std::function<DbStatus(const RowChange& change)>;
  // Completes a row before it is written, values in the order of TableColumns().
  using BeforePostFn = std::function<void(std::vector<DbValue>& row)>;

  // errorParent: the widget over which error reports are shown; it outlives the model.
  DbTableModel(std::vector<GridColumn> columns, QueryFn query, SaveFn saveChanges,
               QWidget* errorParent, QObject* parent = nullptr);

  // Runs the query and shows its rows; false (after the error report) when it failed.
  bool Open(std::string selectSql);
  // Empties the grid; a new row not yet stored is dropped.
  void Close();
  bool IsOpen() const { return open_; }

  // The table's columns as the query returned them (all of them, for `select *`).
  const std::vector<std::string>& TableColumns() const { return result_.columns; }
  // Their types as the server described them: a row is found at each column's precision.
  const std::vector<DbColumnType>& TableColumnTypes() const { return result_.columnTypes; }
  // A row's values in the order of TableColumns().
  const std::vector<DbValue>& Row(int row) const { return result_.rows[row]; }
  // The grid column that shows a table column, -1 when none.
  int GridColumnOf(const std::string& field) const;

  // Appends an empty row (or returns the new row already waiting for its values); -1 when
  // the model is not open.
  int AppendRow();
  bool HasNewRow() const { return newRow_; }
  // Drops the new row if it is still waiting for values.
  void DiscardNewRow();
  // Deletes a row from the table and the grid; false when it failed (reported).
  bool DeleteRow(int row);

  // How many writes have failed since the model was made.
  int WriteFailures() const { return writeFailures_; }

  BeforePostFn beforePost;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  bool ReadRows(DbStatus& status);
  // A cell's new value from what the editor gave; false when the text is no value.
  bool ParseCell(const GridColumn& column, const QVariant& value, int role, DbValue& out) const;
  bool Complete(const std::vector<DbValue>& row) const;
  bool Save(const RowChange& change);
  // Reported after the editor that caused it has closed: the box takes the focus, and a
  // focus change under a running write would post the same edit a second time.
  void ReportLater(const std::string& text);

  const std::vector<GridColumn> columns_;
  const QueryFn query_;
  const SaveFn saveChanges_;
  QWidget* const errorParent_;

  std::string selectSql_;
  bool open_ = false;
  DbResult result_;
  std::vector<int> tableIndex_;  // per grid column: its index in result_.columns, or -1
  bool newRow_ = false;          // the last row of result_ is not stored yet
  bool writing_ = false;
  int writeFailures_ = 0;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_DB_TABLE_MODEL_H_
