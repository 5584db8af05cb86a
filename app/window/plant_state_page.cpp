#include "app/window/plant_state_page.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/window/value_grid.h"

namespace kalvix {

PlantStatePage::PlantStatePage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("TabSheetPU_state");
  RadioButtonLastState = new QRadioButton("Мгновенное", this);
  RadioButtonLastState->setObjectName("RadioButtonLastState");
  RadioButtonLastState->setChecked(true);
  RadioButtonAvState = new QRadioButton("Усредненное", this);
  RadioButtonAvState->setObjectName("RadioButtonAvState");
  StringGridPAF = new QTableWidget(this);
  StringGridPAF->setObjectName("StringGridPAF");
  SetUpValueGrid(StringGridPAF);
  StringGridPAF->setEditTriggers(QAbstractItemView::NoEditTriggers);

  auto* choice = new QVBoxLayout;
  choice->addWidget(RadioButtonLastState);
  choice->addWidget(RadioButtonAvState);
  choice->addStretch(1);
  auto* page = new QHBoxLayout(this);
  page->addWidget(StringGridPAF, 1);
  page->addLayout(choice);
}

void PlantStatePage::Refresh() {
  SignalSet& set = service_.signals;
  FillValueGrid(set, RadioButtonLastState->isChecked() ? &set.InstantValues : &set.AveragedValues,
                StringGridPAF, false);
}

}  // namespace kalvix
