#include "monitor/listen_address.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace kalvix {
namespace {

// Pending connections the system holds before the server thread accepts them.
constexpr int kBacklog = 16;

std::string Describe(const ListenAddress& a) {
  const bool v6 = a.host.find(':') != std::string::npos;
  return (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  if (host.empty() || host.find_first_of(" \t[]") != std::string_view::npos) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 ||
      value > 65535) {
    return std::nullopt;
  }
  return ListenAddress{std::string(host), static_cast<uint16_t>(value)};
}

int OpenListenSocket(const ListenAddress& address, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  const int resolved = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) {
    if (error) *error = Describe(address) + ": " + ::gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  int lastErrno = 0;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastErrno = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
      lastErrno = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0 && error) *error = Describe(address) + ": " + std::strerror(lastErrno);
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  if (bound.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  }
  if (bound.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
  }
  return 0;
}

}  // namespace kalvix
