#include "app/window/signal_layout_page.h"

namespace kalvix {

SignalLayoutPage::SignalLayoutPage(ServiceState& service, QWidget* parent)
    : QWidget(parent), service_(service) {}

void SignalLayoutPage::OpenSignalTable() {}

}  // namespace kalvix
