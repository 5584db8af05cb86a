#include "app/window/calibration_page.h"

namespace kalvix {

CalibrationPage::CalibrationPage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {}

void CalibrationPage::FillSignalNames() {}

}  // namespace kalvix
