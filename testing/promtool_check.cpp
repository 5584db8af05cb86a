#include "testing/promtool_check.h"

#include <stdio.h>
#include <sys/wait.h>

#include <fstream>

namespace kalvix {

PromtoolVerdict CheckMetricsWithPromtool(const std::string& text,
                                         const std::filesystem::path& scratch) {
  PromtoolVerdict verdict;
  std::ofstream(scratch) << text;
  const std::string command = "promtool check metrics < '" + scratch.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return verdict;
  char buffer[512];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    verdict.said.append(buffer, n);
  const int status = ::pclose(pipe);
  verdict.ran = WIFEXITED(status);
  if (verdict.ran) verdict.exitCode = WEXITSTATUS(status);
  return verdict;
}

}  // namespace kalvix
