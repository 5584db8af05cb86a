#include "app/process_entry.h"

#include <spawn.h>
#include <sys/wait.h>

#include "plant/settings.h"
#include "util/profile_file.h"

extern char** environ;

namespace kalvix {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--config" && i + 1 < args.size()) {
      cl.config = args[++i];
    } else if (a.rfind("--config=", 0) == 0) {
      cl.config = a.substr(9);
    } else if (a == "--headless") {
      cl.headless = true;
    } else if (a == "--version") {
      cl.version = true;
    } else if (a == "--help" || a == "-h") {
      cl.help = true;
    } else {
      cl.error = "unknown option: " + a;
    }
  }
  return cl;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " [--config PATH] [--headless] [--version] [--help]\n"
         "  --config PATH  the settings file (default: kalvixsrv.ini beside the program);\n"
         "                 its folder holds the LOG folder and the port time-out files\n"
         "  --headless     run without a window (the window program hands over to kalvixd)\n"
         "  --version      print the version and exit\n";
}

EntryKeys ReadEntryKeys(const std::filesystem::path& iniFileName) {
  EntryKeys keys;
  ProfileFile ini(iniFileName);
  ini.Load();
  keys.ServiceName = ini.ReadString(kSectionMySQL, "ServiceName", keys.ServiceName).substr(0, 99);
  keys.StartTime = std::max(0, ini.ReadInteger(kSectionMySQL, "StartTime", keys.StartTime));
  keys.AutoHide = ini.ReadInteger(kSectionMain, "AutoHide", 0) != 0;
  return keys;
}

void StartDatabaseService(const std::string& serviceName) {
  if (serviceName.empty()) return;
  // The shell puts systemctl in the background and returns at once, so nothing here waits
  // for the service manager; the name travels as an argument, never as shell text.
  std::string sh = "/bin/sh";
  std::string c = "-c";
  std::string script = "systemctl start -- \"$1\" >/dev/null 2>&1 </dev/null &";
  std::string zero = "kalvix-start-db";
  std::string name = serviceName;
  char* argv[] = {sh.data(), c.data(), script.data(), zero.data(), name.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, sh.c_str(), nullptr, nullptr, argv, environ) == 0) {
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace kalvix
