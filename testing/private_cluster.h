// A three-node MariaDB Galera cluster of the test's own (scripts/galera.sh in a temporary
// folder), for the suites that run the service against a replicated database and take its
// nodes away. Every node's database `kalvix` holds the default plant.
#ifndef KALVIX_TESTING_PRIVATE_CLUSTER_H_
#define KALVIX_TESTING_PRIVATE_CLUSTER_H_

#include <string>

namespace kalvix {

class PrivateCluster {
 public:
  // providerOptions: more Galera provider options for the nodes (';'-separated), or "".
  explicit PrivateCluster(std::string providerOptions = "");
  ~PrivateCluster();  // stops the nodes and removes the folder
  PrivateCluster(const PrivateCluster&) = delete;
  PrivateCluster& operator=(const PrivateCluster&) = delete;

  // scripts/galera.sh COMMAND DIR [NODE] (start, stop, status; kill, restart, stop with a
  // node 1..3); its output goes to script.log in the folder.
  bool Run(const std::string& command, int node = 0);

  const std::string& Dir() const { return dir_; }
  // A value of the folder's env file (KALVIX_GALERA_COMP, KALVIX_GALERA_NODE2_PORT, ...).
  std::string EnvValue(const std::string& name) const;
  std::string NodeSocket(int node) const;
  // The three nodes as host:port, comma-separated, as [MySQL] Comp takes them.
  std::string Comp() const { return EnvValue("KALVIX_GALERA_COMP"); }
  // The entry of Comp that names the node.
  std::string NodeEntry(int node) const;
  std::string ScriptLog() const;

 private:
  std::string dir_;
  std::string providerOptions_;
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_PRIVATE_CLUSTER_H_
