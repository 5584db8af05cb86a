#include "testing/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "util/ascii_case.h"

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Waits for the socket until the deadline; false when it passed.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

}  // namespace

std::string HttpReply::Header(std::string_view name) const {
  size_t at = 0;
  while (at < headers.size()) {
    size_t end = headers.find("\r\n", at);
    if (end == std::string::npos) end = headers.size();
    const std::string_view line(headers.data() + at, end - at);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoringAsciiCase(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    at = end + 2;
  }
  return "";
}

std::optional<HttpReply> HttpRequest(uint16_t port, std::string_view method, std::string_view path,
                                     std::chrono::milliseconds limit, std::string_view body) {
  const auto deadline = Clock::now() + limit;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::nullopt;
  }
  std::string request = std::string(method) + " " + std::string(path) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  for (size_t sent = 0; sent < request.size();) {
    if (!WaitReady(fd, POLLOUT, deadline)) return std::nullopt;
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return std::nullopt;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    if (!WaitReady(fd, POLLIN, deadline)) return std::nullopt;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  // "HTTP/1.1 200 OK\r\n" headers "\r\n\r\n" body
  const size_t headEnd = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos) return std::nullopt;
  HttpReply reply;
  reply.status = std::atoi(answer.c_str() + answer.find(' ') + 1);
  const size_t firstLineEnd = answer.find("\r\n");
  reply.headers = answer.substr(firstLineEnd + 2, headEnd - firstLineEnd - 2);
  reply.body = answer.substr(headEnd + 4);
  return reply;
}

uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace kalvix
