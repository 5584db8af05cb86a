// The address the metrics endpoint listens on, as the settings write it: "host:port", the
// host a name or an address ("127.0.0.1", "localhost", "[::1]", "0.0.0.0" for every
// interface) and the port a number from 1 to 65535. There is no default host: a site that
// wants the endpoint reachable from elsewhere names the address to bind.
#ifndef KALVIX_MONITOR_LISTEN_ADDRESS_H_
#define KALVIX_MONITOR_LISTEN_ADDRESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kalvix {

struct ListenAddress {
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 0;
};

// Nothing for a text that is not host:port as above.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// A listening TCP socket bound to the address (the host resolved, the first usable result
// taken), close-on-exec, with SO_REUSEADDR so a restart finds the port free at once. -1 with
// the reason in *error (e.g. "127.0.0.1:9105: Address already in use").
int OpenListenSocket(const ListenAddress& address, std::string* error);

// The port a bound socket has (for port 0: the one the system chose); 0 on failure.
uint16_t BoundPort(int fd);

}  // namespace kalvix

#endif  // KALVIX_MONITOR_LISTEN_ADDRESS_H_
