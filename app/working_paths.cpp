#include "app/working_paths.h"

#include <system_error>

namespace kalvix {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

WorkingPaths ResolveWorkingPaths(const std::filesystem::path& configOverride) {
  WorkingPaths paths;
  if (configOverride.empty()) {
    paths.iniFileName = ExecutablePath().parent_path() / kIniFileName;
  } else {
    std::error_code ec;
    paths.iniFileName = std::filesystem::absolute(configOverride, ec);
    if (ec) paths.iniFileName = configOverride;
  }
  paths.iniFileName = paths.iniFileName.lexically_normal();
  paths.workDir = paths.iniFileName.parent_path();
  paths.logDir = paths.workDir / kLogDirName;
  return paths;
}

}  // namespace kalvix
