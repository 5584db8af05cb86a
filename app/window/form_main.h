// TFormMain: the main window and, through its timers, the clock of the window thread. It
// runs the start-up ticks and refreshes the status display every 250 ms, drains the event
// queue into the daily log, hides to and restores from the tray, and ends the program on the
// operator's confirmed "Закрыть", at the end of the desktop session or on SIGTERM. The SQL
// queues are served by the database thread; nothing on the window's timers waits for the
// database server.
#ifndef KALVIX_APP_WINDOW_FORM_MAIN_H_
#define KALVIX_APP_WINDOW_FORM_MAIN_H_

#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "app/service_state.h"
#include "app/startup.h"
#include "plant/thread_flags.h"

namespace kalvix {

class CalibrationPage;
class EmulatorPage;
class PlantStatePage;
class SettingsPage;
class SignalLayoutPage;
class StatusPage;
class TaskPage;

inline constexpr const char* kWindowCaption = "Служба приема KALVIX  1.20";
inline constexpr int kClientWidth = 673;
inline constexpr int kClientHeight = 493;

class TFormMain : public QWidget {
  Q_OBJECT

 public:
  TFormMain(ServiceState& service, const LoadConfigTiming& timing = {}, QWidget* parent = nullptr);
  ~TFormMain() override;

  // A shutdown signal that arrived, or 0; polled by the status timer.
  void SetShutdownSignalPoll(std::function<int()> poll) { pollShutdownSignal_ = std::move(poll); }

  // Ends the program as at the end of the desktop session: at once, or as soon as the
  // settings load now running has returned (which the request cuts short, also in the middle
  // of a connection attempt).
  void RequestEnd();
  bool Ended() const { return ended_; }

  void TimerUpdateTimer();
  void ButCloseClick();
  void ButHideClick();
  void ButSetClick();
  void TrayIcon1Restore();

  QTabWidget* PageControl;
  SettingsPage* TabSheetSetup;
  StatusPage* TabSheet2;
  SignalLayoutPage* TabSheetSignal;
  EmulatorPage* TabSheetEmul;
  PlantStatePage* TabSheetPU_state;
  CalibrationPage* TabSheetCalibr;
  TaskPage* TabSheetControl;
  QPushButton* ButClose;
  QPushButton* ButSet;
  QPushButton* ButHide;
  QSystemTrayIcon* TrayIcon1;
  QTimer* TimerUpdate = nullptr;
  QTimer* TimerGetLog = nullptr;

  // The icon now shown in the tray (0, 1 or 2) and its hint, also without a tray.
  int TrayIconIndexShown() const { return trayIndex_; }
  QString TrayHint() const { return trayHint_; }

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose
  void showEvent(QShowEvent* event) override;    // FormShow

 private:
  void BuildPages();
  void SetEmulatorPageVisible(bool visible);
  void RefreshStatus();
  void RefreshTray();
  void EndProgram(bool operatorCommand);

  // The end was asked for (a signal, the session's end, a confirmed "Закрыть"): the settings
  // load's waits end at once; the status timer then ends the program.
  void MarkEndRequested();
  void PollShutdownSignal();
  bool EndingDuringStartup();
  // The settings load's waits: the window keeps painting and its log timer runs, and of the
  // operator's input only "Закрыть" is taken, so no other control acts on a half-loaded
  // configuration while the program can still be ended. Until `done` holds.
  void ServeStartupEvents(const std::function<bool()>& done);
  void StartupPause(std::chrono::milliseconds length);
  // A connection attempt on a helper thread, whose waits on the server end with the end
  // request, while the window serves its events.
  void StartupAttempt(const std::function<void()>& attempt);

  ServiceState& service_;
  StartupHooks hooks_;
  std::function<int()> pollShutdownSignal_;
  std::array<QIcon, 3> trayIcons_;
  int trayIndex_ = -1;
  QString trayHint_;
  bool endRequested_ = false;
  bool operatorEnd_ = false;  // the end was the operator's "Закрыть"
  bool ended_ = false;
  StopSignal endSignal_;  // set with endRequested_; ends the start-up attempt's waits
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_FORM_MAIN_H_
