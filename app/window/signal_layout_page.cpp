#include "app/window/signal_layout_page.h"

#include <QHeaderView>
#include <QVBoxLayout>

#include "app/window/choice_delegate.h"

namespace kalvix {
namespace {

const char kSignalTable[] = "signal";
// `signal` is a reserved word of the server: always quoted.
const char kSignalSelect[] = "select * from `signal` order by BusName, SignalName";

enum Column {
  kBusName,
  kSignalName,
  kDevNum,
  kAddr,
  kKind,
  kInverseBytes,
  kInverseWords,
  kDirection
};

std::vector<GridColumn> SignalColumns() {
  using Type = GridColumn::Type;
  const Qt::Alignment centre = Qt::AlignCenter;
  return {
      {"BusName", "Источник", Type::kText, true, {"CALC", "ICP", "V120", "JUMO", "BK"}},
      {"SignalName", "Название сигнала", Type::kText, false, {}},
      {"DevNum", "№ устройства", Type::kInteger, true, {}},
      {"Addr", "Адрес", Type::kInteger, true, {}, centre},
      {"Kind", "Тип значения", Type::kInteger, true, {"INT", "FLOAT", "LONG", "BIT"}},
      {"InverseBytes", "Обратный порядок\nбайт", Type::kFlag, true, {}, centre},
      {"InverseWords", "Обратный порядок\nСлов", Type::kFlag, true, {}, centre},
      {"Direction", "Направление", Type::kText, false, {}},
  };
}

}  // namespace

SignalLayoutPage::SignalLayoutPage(PageServices& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheetSignal");
  const std::vector<GridColumn> columns = SignalColumns();
  model_ = new DbTableModel(
      columns,
      [this](const std::string& sql, DbResult& result) {
        return service_.UserConnection().Query(sql, result);
      },
      [this](const RowChange& change) { return ClientDataSetSigEditAfterPost(change); }, this,
      this);
  model_->setObjectName("ClientDataSetSigEdit");

  grid_ = new FrozenColumnTableView(this);
  grid_->setObjectName("DBGridEhSigEdit");
  grid_->setModel(model_);
  for (const auto& [column, stores] : {std::pair{kBusName, ChoiceDelegate::Stores::kText},
                                       std::pair{kKind, ChoiceDelegate::Stores::kPosition}}) {
    const QStringList choices = columns[column].choices;
    grid_->SetColumnDelegate(column, [choices, stores](QObject* parent) {
      return new ChoiceDelegate(choices, stores, parent);
    });
  }
  grid_->SetEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                         QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
  grid_->setSelectionBehavior(QAbstractItemView::SelectItems);
  grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  grid_->verticalHeader()->hide();
  grid_->SetRowHeight(grid_->fontMetrics().height() + 6);
  grid_->SetColumnWidths({70, 150, 115, 60, 100, 130, 130, 95});

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(grid_);
}

void SignalLayoutPage::OpenSignalTable() { model_->Open(kSignalSelect); }

DbStatus SignalLayoutPage::ClientDataSetSigEditAfterPost(const RowChange& change) {
  return WriteRowChange(service_.UserConnection(), kSignalTable, model_->TableColumns(), change,
                        model_->TableColumnTypes());
}

}  // namespace kalvix
