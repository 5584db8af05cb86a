#include "app/window/window_test_support.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdlib>

namespace kalvix {

QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "kalvix_window_test";
  static char* argv[] = {name, nullptr};
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QApplication* app = new QApplication(argc, argv);  // lives as long as the runner
  return *app;
}

std::shared_ptr<MessageBoxSeen> AnswerNextMessageBox(QMessageBox::StandardButton button) {
  auto seen = std::make_shared<MessageBoxSeen>();
  auto* timer = new QTimer(&TestApplication());
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(timer, &QTimer::timeout, [timer, clock, seen, button] {
    auto* box =
        seen->cancelled ? nullptr : qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box != nullptr) {
      seen->answered = true;
      seen->title = box->windowTitle();
      seen->text = box->text();
      if (QAbstractButton* b = box->button(button)) {
        b->click();
      } else {
        box->reject();
      }
    }
    if (box != nullptr || seen->cancelled || clock->elapsed() > 10000) {
      timer->stop();
      timer->deleteLater();
      delete clock;
    }
  });
  timer->start(20);
  return seen;
}

bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

LoadConfigTiming QuickLoadConfigTiming(int attempts) {
  LoadConfigTiming timing;
  timing.attempts = attempts;
  timing.retryPause = std::chrono::milliseconds(10);
  timing.settle = std::chrono::milliseconds(0);
  return timing;
}

}  // namespace kalvix
