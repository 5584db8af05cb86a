// What the process entry does before the service exists: the command line, the single-copy
// test, asking the service manager to start the database server and the StartTime wait.
#ifndef KALVIX_APP_PROCESS_ENTRY_H_
#define KALVIX_APP_PROCESS_ENTRY_H_

#include <filesystem>
#include <string>
#include <vector>

namespace kalvix {

struct CommandLine {
  std::filesystem::path config;  // --config PATH
  bool headless = false;         // --headless
  bool version = false;          // --version
  bool help = false;             // --help
  std::string error;             // a bad option: the text to print
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText(const std::string& program);

// The three keys the entry reads before anything else.
struct EntryKeys {
  std::string ServiceName = "mysql";  // at most 99 characters are used
  int StartTime = 10;                 // seconds; a negative value counts as 0
  bool AutoHide = false;
};
EntryKeys ReadEntryKeys(const std::filesystem::path& iniFileName);

// Launches "systemctl start NAME" detached, without waiting and ignoring the result; an
// empty name skips it.
void StartDatabaseService(const std::string& serviceName);

}  // namespace kalvix

#endif  // KALVIX_APP_PROCESS_ENTRY_H_
