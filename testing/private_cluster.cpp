#include "testing/private_cluster.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "testing/file_text.h"

namespace kalvix {

PrivateCluster::PrivateCluster(std::string providerOptions)
    : providerOptions_(std::move(providerOptions)) {
  char pattern[] = "/tmp/kalvix-cluster-XXXXXX";
  if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

PrivateCluster::~PrivateCluster() {
  if (dir_.empty()) return;
  Run("stop");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool PrivateCluster::Run(const std::string& command, int node) {
  if (dir_.empty()) return false;
  std::string line;
  if (!providerOptions_.empty()) {
    line = "KALVIX_GALERA_PROVIDER_OPTIONS='" + providerOptions_ + "' ";
  }
  line += "bash '" + std::string(KALVIX_SOURCE_DIR) + "/scripts/galera.sh' " + command + " '" +
          dir_ + "'";
  if (node > 0) line += " " + std::to_string(node);
  line += " >>'" + dir_ + "/script.log' 2>&1";
  return std::system(line.c_str()) == 0;
}

std::string PrivateCluster::EnvValue(const std::string& name) const {
  std::istringstream lines(ReadFileText(dir_ + "/env"));
  const std::string prefix = name + "=";
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string value = line.substr(prefix.size());
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "";
}

std::string PrivateCluster::NodeSocket(int node) const {
  return EnvValue("KALVIX_GALERA_NODE" + std::to_string(node) + "_SOCKET");
}

std::string PrivateCluster::NodeEntry(int node) const {
  return EnvValue("KALVIX_GALERA_HOST") + ":" +
         EnvValue("KALVIX_GALERA_NODE" + std::to_string(node) + "_PORT");
}

std::string PrivateCluster::ScriptLog() const { return ReadFileText(dir_ + "/script.log"); }

}  // namespace kalvix
