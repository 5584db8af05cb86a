#include "app/window/form_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QHBoxLayout>
#include <QTabBar>
#include <QMessageBox>
#include <QThread>
#include <QVBoxLayout>
#include <atomic>
#include <thread>

#include "app/display_format.h"
#include "app/service_jobs.h"
#include "app/window/calibration_page.h"
#include "app/window/emulator_page.h"
#include "app/window/plant_state_page.h"
#include "app/window/settings_page.h"
#include "app/window/signal_layout_page.h"
#include "app/window/status_page.h"
#include "app/window/task_page.h"
#include "app/window/tray_icons.h"
#include "app/window/window_style.h"
#include "journal/event_log.h"
#include "persistence/server_wait.h"

namespace kalvix {
namespace {

bool IsOperatorInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
      return true;
    default:
      return false;
  }
}

// While it lives, the operator's input to the main window reaches only one control (the
// other windows, such as the exit question, take theirs as ever).
class InputGate : public QObject {
 public:
  InputGate(QWidget* window, QWidget* open) : window_(window), open_(open) {
    qApp->installEventFilter(this);
  }
  ~InputGate() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* target, QEvent* event) override {
    if (!IsOperatorInput(event->type())) return false;
    auto* widget = qobject_cast<QWidget*>(target);
    return widget != nullptr && widget->window() == window_ && widget != open_;
  }

 private:
  QWidget* const window_;
  QWidget* const open_;
};

void BeepOnWindowThread() {
  // Beep may be called from any thread; the window system is touched only on the window's.
  QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

QString DisplayedHint(const char* hint) {
  // The hints are kept with Windows line breaks; a tooltip here breaks at '\n'.
  return QString(hint).replace("\r\n", "\n");
}

}  // namespace

TFormMain::TFormMain(ServiceState& service, const LoadConfigTiming& timing, QWidget* parent)
    : QWidget(parent), service_(service) {
  setObjectName("FormMain");
  setWindowTitle(kWindowCaption);
  ApplyWindowStyle(this);
  setFixedSize(kClientWidth, kClientHeight);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  BuildPages();

  hooks_.loadConfigTiming = timing;
  hooks_.loadConfigTiming.pause = [this](std::chrono::milliseconds length) {
    StartupPause(length);
  };
  hooks_.loadConfigTiming.ending = [this] { return EndingDuringStartup(); };
  hooks_.loadConfigTiming.attempt = [this](const std::function<void()>& attempt) {
    StartupAttempt(attempt);
  };
  hooks_.hideWindow = [this] {
    showMinimized();
    hide();
  };
  hooks_.showEmulatorPage = [this](bool visible) { SetEmulatorPageVisible(visible); };
  hooks_.configLoaded = [this] {
    if (service_.db.user.Connected()) TabSheetSignal->OpenSignalTable();
    TabSheetCalibr->FillSignalNames();
  };
  hooks_.showSettings = [this] { TabSheetSetup->ShowSettings(); };
  hooks_.fillEmulatorGrid = [this] { TabSheetEmul->FillGrid(); };

  trayIcons_ = MakeTrayIcons();
  TrayIcon1 = new QSystemTrayIcon(this);
  TrayIcon1->setObjectName("TrayIcon1");
  connect(TrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) TrayIcon1Restore();
          });
  RefreshTray();

  // The creation handler: the log drain may start, the emulator page waits for the
  // settings, the program's start is logged.
  service_.log.EnableDrain();
  SetEmulatorPageVisible(false);
  SetBeepFunction(BeepOnWindowThread);
  PostEvent("--> Запуск программы <---");
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    TrayIcon1->show();
  } else {
    PostEvent("Область уведомлений недоступна: окно сворачивается на панель задач.");
  }

  const auto timer = [this](const char* name, std::chrono::milliseconds interval,
                            std::function<void()> job) {
    auto* t = new QTimer(this);
    t->setObjectName(name);
    t->setInterval(interval);
    connect(t, &QTimer::timeout, this, std::move(job));
    t->start();
    return t;
  };
  for (PeriodicJob& job : ServicePeriodicJobs(service_, [this] { TimerUpdateTimer(); })) {
    QTimer* t = timer(job.name, job.interval, std::move(job.run));
    if (std::string_view(job.name) == kTimerUpdate) TimerUpdate = t;
    if (std::string_view(job.name) == kTimerGetLog) TimerGetLog = t;
  }

  // The desktop session's end runs the same sequence as SIGTERM.
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { RequestEnd(); });
}

TFormMain::~TFormMain() {
  SetBeepFunction(nullptr);
  TrayIcon1->hide();
}

void TFormMain::BuildPages() {
  PageControl = new QTabWidget(this);
  PageControl->setObjectName("PageControl");
  TabSheetSetup = new SettingsPage(service_, PageControl);
  TabSheet2 = new StatusPage(service_, PageControl);
  TabSheetSignal = new SignalLayoutPage(service_, PageControl);
  TabSheetSignal->setObjectName("TabSheetSignal");
  TabSheetEmul = new EmulatorPage(service_, PageControl);
  TabSheetPU_state = new PlantStatePage(service_, PageControl);
  TabSheetCalibr = new CalibrationPage(service_, PageControl);
  TabSheetCalibr->setObjectName("TabSheetCalibr");
  TabSheetControl = new TaskPage(service_, PageControl);
  PageControl->addTab(TabSheetSetup, "Настройки");
  PageControl->addTab(TabSheet2, "Текущее состояние");
  PageControl->addTab(TabSheetSignal, "Планировка сигналов");
  PageControl->addTab(TabSheetEmul, "Эмулятор");
  PageControl->addTab(TabSheetPU_state, "Состояние ПУ");
  PageControl->addTab(TabSheetCalibr, "Калибровки");
  PageControl->addTab(TabSheetControl, "Задания");
  PageControl->setCurrentWidget(TabSheet2);
  // Seven captions in the designed face need more than the window's width; a smaller face
  // for the tabs alone keeps every caption in view without scrolling.
  QFont tabFont = WindowFont();
  tabFont.setPixelSize(11);
  PageControl->tabBar()->setFont(tabFont);
  PageControl->setStyleSheet(
      "QTabBar::tab { padding: 4px 4px; margin-right: 1px; border: 1px solid #a8a8a8;"
      " border-bottom: none; border-top-left-radius: 3px; border-top-right-radius: 3px;"
      " background: #e4e4e4; }"
      "QTabBar::tab:selected { background: #fafafa; }"
      "QTabBar::tab:!selected { margin-top: 2px; }"
      "QTabWidget::pane { border: 1px solid #a8a8a8; }");

  ButClose = new QPushButton("Закрыть", this);
  ButClose->setObjectName("ButClose");
  ButSet = new QPushButton("Принять изменения", this);
  ButSet->setObjectName("ButSet");
  ButHide = new QPushButton("Скрыть", this);
  ButHide->setObjectName("ButHide");
  ButHide->setDefault(true);
  connect(ButClose, &QPushButton::clicked, this, &TFormMain::ButCloseClick);
  connect(ButSet, &QPushButton::clicked, this, &TFormMain::ButSetClick);
  connect(ButHide, &QPushButton::clicked, this, &TFormMain::ButHideClick);

  auto* panel = new QHBoxLayout;
  panel->addWidget(ButClose);
  panel->addStretch(1);
  panel->addWidget(ButSet);
  panel->addWidget(ButHide);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 6);
  layout->addWidget(PageControl, 1);
  layout->addLayout(panel);
}

void TFormMain::SetEmulatorPageVisible(bool visible) {
  PageControl->setTabVisible(PageControl->indexOf(TabSheetEmul), visible);
}

void TFormMain::TimerUpdateTimer() {
  PollShutdownSignal();
  if (service_.startup.StartupBusy) return;
  if (endRequested_) {
    EndProgram(operatorEnd_);
    return;
  }
  const bool refresh = RunStartupTick(service_, hooks_);
  if (endRequested_) {  // asked for during the settings load, which it cut short
    EndProgram(operatorEnd_);
    return;
  }
  if (refresh) RefreshStatus();
}

void TFormMain::MarkEndRequested() {
  endRequested_ = true;
  endSignal_ = true;
}

void TFormMain::PollShutdownSignal() {
  if (pollShutdownSignal_ && pollShutdownSignal_() != 0) MarkEndRequested();
}

bool TFormMain::EndingDuringStartup() {
  PollShutdownSignal();
  return endRequested_;
}

void TFormMain::ServeStartupEvents(const std::function<bool()>& done) {
  const InputGate gate(this, ButClose);
  while (!done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

void TFormMain::StartupPause(std::chrono::milliseconds length) {
  QElapsedTimer clock;
  clock.start();
  ServeStartupEvents([&] { return EndingDuringStartup() || clock.elapsed() >= length.count(); });
}

void TFormMain::StartupAttempt(const std::function<void()>& attempt) {
  std::atomic<bool> done{false};
  std::thread helper([&] {
    const ServerWaitInterrupts interrupts({endSignal_.PollFd()});
    try {
      attempt();
    } catch (...) {
      Beep();  // nothing leaves the thread
    }
    done.store(true);
  });
  // The end request, polled here, is what ends the helper's waits.
  ServeStartupEvents([&] {
    EndingDuringStartup();
    return done.load();
  });
  helper.join();
}

void TFormMain::RefreshStatus() {
  TabSheet2->Refresh();
  TabSheetPU_state->Refresh();
  TabSheetEmul->RefreshIfNewer();
  RefreshTray();
  if (service_.control.CycleCounter.load() % 10 == 1) TabSheetControl->Refresh();
}

void TFormMain::RefreshTray() {
  const bool active = service_.control.ControlActive.load();
  const int index = TrayIconIndex(active, service_.control.CycleCounter.load());
  if (index != trayIndex_) {
    trayIndex_ = index;
    TrayIcon1->setIcon(trayIcons_[index]);
    setWindowIcon(trayIcons_[index]);
  }
  const QString hint = DisplayedHint(active ? kTrayHintActive : kTrayHintStopped);
  if (hint != trayHint_) {
    trayHint_ = hint;
    TrayIcon1->setToolTip(hint);
  }
}

void TFormMain::ButSetClick() { TabSheetSetup->ApplySettingsEdits(); }

void TFormMain::ButHideClick() {
  TabSheetSetup->ApplySettingsEdits();
  showMinimized();
  // Without a tray the minimised window stays reachable from the task bar.
  if (QSystemTrayIcon::isSystemTrayAvailable()) hide();
}

void TFormMain::TrayIcon1Restore() {
  show();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  showNormal();
  raise();
  activateWindow();
}

void TFormMain::ButCloseClick() {
  const auto answer = QMessageBox::question(
      this, "Выход", "Прекратить прием данных и завершить работу с программой?",
      QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  if (answer != QMessageBox::Yes) return;
  if (service_.startup.StartupBusy) {
    // Taken during the settings load, whose waits serve the window's events: the load ends at
    // once and the tick that runs it ends the program.
    operatorEnd_ = true;
    MarkEndRequested();
    return;
  }
  EndProgram(true);
}

void TFormMain::RequestEnd() {
  MarkEndRequested();
  if (!service_.startup.StartupBusy) EndProgram(operatorEnd_);
}

void TFormMain::EndProgram(bool operatorCommand) {
  if (ended_) return;
  ended_ = true;
  TimerUpdate->stop();
  ShutdownService(service_, operatorCommand ? ShutdownReason::kOperator : ShutdownReason::kSessionEnd);
  TimerGetLog->stop();
  TrayIcon1->hide();
  close();
  QCoreApplication::quit();
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (service_.db.closing.load()) {
    event->accept();
    return;
  }
  // The close box never ends the program.
  event->ignore();
  showMinimized();
}

void TFormMain::showEvent(QShowEvent* event) {
  SetEmulatorPageVisible(service_.SettingsSnapshot().ShowEmulTab);
  QWidget::showEvent(event);
}

}  // namespace kalvix
