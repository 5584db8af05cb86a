// The window's standard error report: what a handler cannot carry on with (a database error
// while writing back an edit, a failed insert) is written to the log and shown to the
// operator in a modal box, and the handler ends there.
#ifndef KALVIX_APP_WINDOW_ERROR_REPORT_H_
#define KALVIX_APP_WINDOW_ERROR_REPORT_H_

#include <QString>

class QWidget;

namespace kalvix {

void ShowErrorReport(QWidget* parent, const QString& text);

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_ERROR_REPORT_H_
