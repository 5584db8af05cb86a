// kalvix-screenshots: renders every page of the main window, running against a plant, into
// PNG files. scripts/screenshots.sh runs it offscreen against the demo plant.
//
//   kalvix-screenshots --config PATH --out DIR
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QStyleFactory>
#include <QTableView>
#include <QThread>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

#include "acquisition/control_thread.h"
#include "app/service_state.h"
#include "app/window/form_main.h"

namespace {

void ServeEvents(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

bool ServeEventsUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) ServeEvents(50);
  return done();
}

// Page file names, in the order of the pages.
constexpr const char* kPageFiles[] = {"1-settings",    "2-status",  "3-signal-layout",
                                      "4-emulator",    "5-plant-state", "6-calibrations",
                                      "7-tasks"};

}  // namespace

int main(int argc, char** argv) {
  using namespace kalvix;
  std::string config, out;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--config") == 0) config = argv[i + 1];
    if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
  }
  if (config.empty() || out.empty()) {
    std::fprintf(stderr, "usage: kalvix-screenshots --config PATH --out DIR\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setQuitOnLastWindowClosed(false);
  QDir().mkpath(QString::fromStdString(out));

  ServiceState service(ResolveWorkingPaths(config));
  TFormMain window(service);
  window.show();
  if (!ServeEventsUntil([&] { return service.startup.StartupTick >= 10; }, 60000)) {
    std::fprintf(stderr, "kalvix-screenshots: the start-up did not end\n");
    return 1;
  }
  if (!service.control.ControlActive.load()) ButStartClick(service.acquisition);
  // A few cycles, so the counters, the module grid and the values are filled.
  if (!ServeEventsUntil([&] { return service.control.CycleCounter.load() >= 12; }, 60000)) {
    std::fprintf(stderr, "kalvix-screenshots: acquisition did not run\n");
  }

  int failures = 0;
  const int pages = std::min<int>(window.PageControl->count(), std::size(kPageFiles));
  for (int page = 0; page < pages; ++page) {
    window.PageControl->setTabVisible(page, true);
    window.PageControl->setCurrentIndex(page);
    ServeEvents(700);
    const QString file = QString::fromStdString(out) + "/" + kPageFiles[page] + ".png";
    if (!window.grab().save(file)) {
      std::fprintf(stderr, "kalvix-screenshots: cannot write %s\n", file.toUtf8().constData());
      ++failures;
    } else {
      std::printf("%s\n", file.toUtf8().constData());
    }
  }
  window.RequestEnd();
  return failures == 0 ? 0 : 1;
}
