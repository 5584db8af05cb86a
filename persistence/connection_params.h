// ConnectionParams: the parameter list of a database connection, kept as "Name=Value" lines
// (HostName, Database, User_Name, Password). The settings code sets host, user and password on
// the user connection; the control thread copies the whole list to the work connection.
#ifndef KALVIX_PERSISTENCE_CONNECTION_PARAMS_H_
#define KALVIX_PERSISTENCE_CONNECTION_PARAMS_H_

#include <string>
#include <string_view>
#include <vector>

namespace kalvix {

inline constexpr const char* kDefaultDatabase = "kalvix";

class ConnectionParams {
 public:
  // HostName=127.0.0.1, Database=kalvix, User_Name=root, Password= (empty).
  ConnectionParams();

  // Sets one parameter: the first line whose name (the text before '=') equals name, ignoring
  // letter case, becomes name=value; when there is none, name=value is appended. Only the
  // name is compared, so a value that happens to contain another parameter's name (a user
  // called "Password_admin") never makes that line the one replaced.
  void Set(std::string_view name, std::string_view value);

  // The value of the first line named name (ignoring case), or the empty text.
  std::string Value(std::string_view name) const;

  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// Where HostName points. Forms: "host" (default port), "host:port", "[v6-address]:port", an
// IPv6 address without brackets (default port) and an absolute path to a Unix socket.
struct DbEndpoint {
  std::string host;        // empty for a socket
  unsigned port = 0;       // 0: the client library's default (3306)
  std::string socketPath;  // set for the socket form
};

// False when the text after the last ':' of a host:port form is no port number (1..65535).
bool ParseHostName(std::string_view hostName, DbEndpoint& endpoint);

// The servers that HostName names: a comma-separated list, each entry one of the forms above,
// blanks around an entry ignored. A text without a comma is one entry, as it stands (also
// the empty text: the client library's default host). False when an entry of a list is empty
// or does not parse.
bool SplitHostList(std::string_view hostName, std::vector<std::string>& entries);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_CONNECTION_PARAMS_H_
