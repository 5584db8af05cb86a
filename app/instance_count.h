// The single-copy test: how many running processes are this program. The service has two
// faces, kalvixsrv (window) and kalvixd (headless), which are copies of one another because
// they would poll the same lines and write the same rows.
#ifndef KALVIX_APP_INSTANCE_COUNT_H_
#define KALVIX_APP_INSTANCE_COUNT_H_

#include <filesystem>
#include <string>
#include <vector>

namespace kalvix {

// Executable file names of one service.
inline const std::vector<std::string> kServiceExecutables = {"kalvixsrv", "kalvixd"};

// The number of processes (the caller included) whose executable file name equals the file
// name of exePath, or any of the equivalent names, ignoring the case of a to z. Processes are
// found under procDir (/proc); 0 when it cannot be read.
int InstanceCount(const std::filesystem::path& exePath,
                  const std::vector<std::string>& equivalentNames = kServiceExecutables,
                  const std::filesystem::path& procDir = "/proc");

// Whether two file names are equal, ignoring the case of a to z only.
bool SameFileNameIgnoringCase(const std::string& a, const std::string& b);

}  // namespace kalvix

#endif  // KALVIX_APP_INSTANCE_COUNT_H_
