// kalvixd: the reception service without a window, as systemd runs it.
//
// The main thread plays the window thread: it runs the start-up ticks and the log drain at
// their intervals until SIGTERM, SIGINT or SIGHUP, and then the same shutdown sequence as the
// window's end of session. The database thread of the state owner serves the SQL queues.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_count.h"
#include "app/periodic_loop.h"
#include "app/program_version.h"
#include "app/process_entry.h"
#include "app/service_jobs.h"
#include "app/service_state.h"
#include "app/shutdown_signals.h"
#include "app/startup.h"
#include "app/systemd_notify.h"
#include "journal/event_log.h"
#include "persistence/server_wait.h"

namespace {

// A path in double quotes with '"' and '\' escaped, as a stream writes a path.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kalvix;
  // One malloc arena for every thread: each thread's own arena kept 4 to 64 kB of touched
  // heap for a few small strings per cycle, while the threads hardly ever allocate at the same
  // moment. MALLOC_ARENA_MAX in the environment (the unit's Environment=) still decides.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) ::mallopt(M_ARENA_MAX, 1);
  EventQueue();  // exists before anything else, so every step may post
  const std::vector<std::string> args(argv, argv + argc);
  const CommandLine cl = ParseCommandLine(args);
  if (!cl.error.empty()) {
    std::fprintf(stderr, "%s\n%s", cl.error.c_str(), UsageText("kalvixd").c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(UsageText("kalvixd").c_str(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("kalvixd %s\n", kProgramVersion);
    return 0;
  }
  if (InstanceCount(ExecutablePath()) >= 2) return 0;

  // Signals are blocked before any thread starts, so they arrive only through the loop.
  ShutdownSignals signals;
  SystemdNotifier systemd;  // off without NOTIFY_SOCKET
  // A file that reaches the size limit (a full quota, RLIMIT_FSIZE) must fail the one write,
  // as a full disk does, instead of ending the whole service.
  ::signal(SIGXFSZ, SIG_IGN);
  const WorkingPaths paths = ResolveWorkingPaths(cl.config);
  if (::chdir(paths.workDir.c_str()) != 0) {
    std::fprintf(stderr, "kalvixd: cannot enter %s\n", Quoted(paths.workDir.string()).c_str());
  }
  const EntryKeys keys = ReadEntryKeys(paths.iniFileName);
  StartDatabaseService(keys.ServiceName);
  if (signals.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(keys.StartTime))) {
    systemd.Stopping();
    return 0;
  }

  ServiceState service(paths);
  // Read by the entry, before the settings load.
  service.ApplySettings([&keys](Settings& settings) {
    settings.AutoHide = keys.AutoHide;
    return true;
  });
  service.log.EnableDrain();
  PostEvent("--> Запуск программы <---");

  // A shutdown signal ends the settings load's connection attempts and pauses at once; the
  // main loop then takes it and ends the program.
  StartupHooks hooks;
  hooks.loadConfigTiming.ending = [&signals] { return signals.Pending(); };
  hooks.loadConfigTiming.pause = [&signals](std::chrono::milliseconds length) {
    signals.WaitPendingUntil(std::chrono::steady_clock::now() + length);
  };
  PeriodicLoop loop;
  for (PeriodicJob& job : ServicePeriodicJobs(service, [&] { RunStartupTick(service, hooks); })) {
    loop.Add(job.name, job.interval, std::move(job.run));
  }
  // After the start-up ticks and the log drain, so READY=1 follows the tick that ends the
  // start-up and its lines in the log.
  for (PeriodicJob& job : SystemdJobs(service, systemd)) {
    loop.Add(job.name, job.interval, std::move(job.run));
  }
  {
    // Every wait of this thread on the server (the settings load's attempts and queries, the
    // probe query that starts acquisition) ends when a shutdown signal arrives.
    const ServerWaitInterrupts interrupts({signals.PollFd()});
    loop.Run(
        [&](PeriodicLoop::Clock::time_point deadline) { return signals.WaitUntil(deadline) == 0; });
  }

  systemd.Stopping();
  ShutdownService(service, ShutdownReason::kSessionEnd);
  return 0;
}
