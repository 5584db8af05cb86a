#include "app/instance_count.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "util/ascii_case.h"
#include "util/whole_file.h"

namespace kalvix {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

// The executable file name of a process: the target of /proc/PID/exe (readable for every
// process when we run as root), else argv[0] from /proc/PID/cmdline.
std::string ProcessFileName(const std::filesystem::path& processDir) {
  std::error_code ec;
  std::string target = std::filesystem::read_symlink(processDir / "exe", ec).string();
  if (ec) {
    ReadWholeFile(processDir / "cmdline", target);
    target.resize(std::min(target.size(), target.find('\0')));
  }
  // A binary replaced while it runs (an upgrade) shows as "path (deleted)".
  if (target.size() > kDeletedSuffix.size() &&
      target.compare(target.size() - kDeletedSuffix.size(), kDeletedSuffix.size(),
                     kDeletedSuffix) == 0) {
    target.resize(target.size() - kDeletedSuffix.size());
  }
  return std::filesystem::path(target).filename().string();
}

bool IsProcessDir(const std::filesystem::directory_entry& entry) {
  const std::string name = entry.path().filename().string();
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

}  // namespace

bool SameFileNameIgnoringCase(const std::string& a, const std::string& b) {
  return EqualsIgnoringAsciiCase(a, b);
}

int InstanceCount(const std::filesystem::path& exePath,
                  const std::vector<std::string>& equivalentNames,
                  const std::filesystem::path& procDir) {
  const std::string own = exePath.filename().string();
  std::vector<std::string> names = {own};
  const bool ownIsEquivalent =
      std::any_of(equivalentNames.begin(), equivalentNames.end(),
                  [&](const std::string& n) { return SameFileNameIgnoringCase(n, own); });
  if (ownIsEquivalent) names.insert(names.end(), equivalentNames.begin(), equivalentNames.end());

  std::error_code ec;
  std::filesystem::directory_iterator it(procDir, ec);
  if (ec) return 0;
  int count = 0;
  for (const auto& entry : it) {
    if (!IsProcessDir(entry)) continue;
    const std::string name = ProcessFileName(entry.path());
    if (name.empty()) continue;
    if (std::any_of(names.begin(), names.end(),
                    [&](const std::string& n) { return SameFileNameIgnoringCase(n, name); })) {
      ++count;
    }
  }
  return count;
}

}  // namespace kalvix
