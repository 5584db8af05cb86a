// kalvixsrv: the reception service with its window and tray icon.
//
// The process entry as in kalvixd (options, the single-copy test, the database service's
// start and the StartTime wait), then the window, whose timers run everything else.
// `kalvixsrv --headless` becomes kalvixd before any Qt object exists.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QStyleFactory>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/instance_count.h"
#include "app/process_entry.h"
#include "app/program_version.h"
#include "app/service_state.h"
#include "app/shutdown_signals.h"
#include "app/window/form_main.h"
#include "journal/event_log.h"
#include "persistence/server_wait.h"

namespace {


// Replaces this process by kalvixd from the same folder, with the same arguments.
int ExecHeadless(char** argv) {
  const std::filesystem::path daemon =
      std::filesystem::path(kalvix::ExecutablePath()).parent_path() / "kalvixd";
  argv[0] = const_cast<char*>(daemon.c_str());
  ::execv(daemon.c_str(), argv);
  std::cerr << "kalvixsrv: cannot run " << daemon << ": " << std::strerror(errno) << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kalvix;
  const std::vector<std::string> args(argv, argv + argc);
  const CommandLine cl = ParseCommandLine(args);
  if (!cl.error.empty()) {
    std::cerr << cl.error << "\n" << UsageText("kalvixsrv");
    return 2;
  }
  if (cl.help) {
    std::cout << UsageText("kalvixsrv");
    return 0;
  }
  if (cl.version) {
    std::cout << "kalvixsrv " << kProgramVersion << "\n";
    return 0;
  }
  if (cl.headless) return ExecHeadless(argv);

  EventQueue();  // exists before anything else, so every step may post
  if (InstanceCount(ExecutablePath()) >= 2) return 0;

  // Before Qt starts its own threads, so they inherit the blocked signals.
  ShutdownSignals signals;
  // A file that reaches the size limit (a full quota) fails its one write, as in kalvixd.
  ::signal(SIGXFSZ, SIG_IGN);
  const WorkingPaths paths = ResolveWorkingPaths(cl.config);
  if (::chdir(paths.workDir.c_str()) != 0) {
    std::cerr << "kalvixsrv: cannot enter " << paths.workDir << "\n";
  }
  const EntryKeys keys = ReadEntryKeys(paths.iniFileName);
  StartDatabaseService(keys.ServiceName);
  if (signals.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(keys.StartTime))) {
    return 0;
  }

  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setApplicationName("Служба приема KALVIX");
  // Hidden to the tray or with a message box closed, the program goes on.
  QApplication::setQuitOnLastWindowClosed(false);

  ServiceState service(paths);
  // Read by the entry, before the settings load.
  service.ApplySettings([&keys](Settings& settings) {
    settings.AutoHide = keys.AutoHide;
    return true;
  });
  TFormMain window(service);
  window.SetShutdownSignalPoll([&signals] { return signals.Poll(); });
  if (!keys.AutoHide) window.show();
  // A query of the window thread (an operator's action, the start's probe) ends when a
  // shutdown signal arrives; the status timer then takes the signal and ends the program.
  const ServerWaitInterrupts interrupts({signals.PollFd()});
  app.exec();
  return 0;
}
