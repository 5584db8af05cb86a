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
  // settings load now running has returned.
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

  ServiceState& service_;
  StartupHooks hooks_;
  std::function<int()> pollShutdownSignal_;
  std::array<QIcon, 3> trayIcons_;
  int trayIndex_ = -1;
  QString trayHint_;
  bool endRequested_ = false;
  bool ended_ = false;
};

}  // namespace kalvix

#endif  // KALVIX_APP_WINDOW_FORM_MAIN_H_
