// Where the service keeps its files. The settings file is kalvixsrv.ini beside the
// executable (both programs use that name) unless --config names another; the folder of the
// settings file is the working folder, which holds the LOG folder and the per-port time-out
// files.
#ifndef KALVIX_APP_WORKING_PATHS_H_
#define KALVIX_APP_WORKING_PATHS_H_

#include <filesystem>

namespace kalvix {

inline constexpr const char* kIniFileName = "kalvixsrv.ini";
inline constexpr const char* kLogDirName = "LOG";

struct WorkingPaths {
  std::filesystem::path iniFileName;  // the settings file
  std::filesystem::path workDir;      // its folder
  std::filesystem::path logDir;       // workDir/LOG
};

// The running program's own executable (/proc/self/exe).
std::filesystem::path ExecutablePath();

// Paths for a settings file given on the command line, or, when empty, for kalvixsrv.ini
// beside the executable. Relative paths are made absolute against the current folder.
WorkingPaths ResolveWorkingPaths(const std::filesystem::path& configOverride = {});

}  // namespace kalvix

#endif  // KALVIX_APP_WORKING_PATHS_H_
