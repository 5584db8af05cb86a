#include "app/window/form_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QTabBar>
#include <QMessageBox>
#include <QThread>
#include <QVBoxLayout>

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

namespace kalvix {
namespace {

// LoadConfig's pauses (up to 16 connection attempts a second apart): the window keeps
// painting and its log timer keeps running, but takes no operator input meanwhile,
// so no button can act on a half-loaded configuration.
void ServeEventsFor(std::chrono::milliseconds length) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < length.count()) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    QThread::msleep(10);
  }
}

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
  hooks_.loadConfigTiming.pause = ServeEventsFor;
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
  if (pollShutdownSignal_ && pollShutdownSignal_() != 0) endRequested_ = true;
  if (service_.startup.StartupBusy) return;
  if (endRequested_) {
    EndProgram(false);
    return;
  }
  if (!RunStartupTick(service_, hooks_)) return;
  RefreshStatus();
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
  EndProgram(true);
}

void TFormMain::RequestEnd() {
  endRequested_ = true;
  if (!service_.startup.StartupBusy) EndProgram(false);
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
