#include "app/window/error_report.h"

#include <QMessageBox>

#include "journal/event_log.h"

namespace kalvix {

void ShowErrorReport(QWidget* parent, const QString& text) {
  PostEvent("### " + text.toStdString() + " ###");
  QMessageBox::critical(parent, "Ошибка", text);
}

}  // namespace kalvix
