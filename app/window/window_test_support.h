// Helpers of the window suites: the one QApplication of a test runner (offscreen unless a
// platform is named), and answering a modal message box that the code under test raises,
// as an operator would.
#ifndef KALVIX_APP_WINDOW_WINDOW_TEST_SUPPORT_H_
#define KALVIX_APP_WINDOW_WINDOW_TEST_SUPPORT_H_

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <functional>
#include <memory>

#include "app/load_config.h"

namespace kalvix {

QApplication& TestApplication();

struct MessageBoxSeen {
  bool cancelled = false;  // set to stop waiting for a box that did not come
  bool answered = false;
  QString title;
  QString text;
};

// The next modal message box (within 10 s) is answered with `button`; what it said is kept.
std::shared_ptr<MessageBoxSeen> AnswerNextMessageBox(QMessageBox::StandardButton button);

// Serves the event loop until `done` holds or `timeoutMs` has passed; returns done().
bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs);

// The settings load without its designed pauses: `attempts` connects 10 ms apart, no settle.
LoadConfigTiming QuickLoadConfigTiming(int attempts = 2);

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_WINDOW_TEST_SUPPORT_H_
