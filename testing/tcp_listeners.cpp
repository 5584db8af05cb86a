#include "testing/tcp_listeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kalvix {
namespace {

// A listening loopback socket on a free port; -1 when it cannot be made.
int ListenOnLoopback(unsigned& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

SilentListener::SilentListener() { fd_ = ListenOnLoopback(port_); }

SilentListener::~SilentListener() {
  if (fd_ >= 0) ::close(fd_);
}

ClosingListener::ClosingListener() {
  fd_ = ListenOnLoopback(port_);
  if (fd_ >= 0) thread_ = std::thread([this] { Body(); });
}

ClosingListener::~ClosingListener() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void ClosingListener::Body() {
  while (!stop_.load()) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;  // a short wait: the destructor waits for it
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++accepted_;
    ::close(client);
  }
}

}  // namespace kalvix
