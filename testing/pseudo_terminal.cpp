#include "testing/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kalvix {

PseudoTerminal::PseudoTerminal() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::string("posix_openpt: ") + std::strerror(errno);
    return;
  }
  char name[128];
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
    error_ = std::string("pty setup: ") + std::strerror(errno);
    ::close(fd);
    return;
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0) {
    error_ = std::string(name) + ": " + std::strerror(errno);
    ::close(fd);
    return;
  }
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  masterFd_ = fd;
  heldSlaveFd_ = slave;
  slavePath_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  if (heldSlaveFd_ >= 0) ::close(heldSlaveFd_);
  if (masterFd_ >= 0) ::close(masterFd_);
}

bool PseudoTerminal::WriteMaster(std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = ::write(masterFd_, bytes.data() + sent, bytes.size() - sent);
    if (r > 0) {
      sent += static_cast<size_t>(r);
    } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{masterFd_, POLLOUT, 0};
      ::poll(&p, 1, 50);
    } else {
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> PseudoTerminal::ReadMaster(size_t maxBytes, int firstMs, int gapMs) {
  std::vector<uint8_t> out;
  int waitMs = firstMs;
  while (out.size() < maxBytes) {
    pollfd p{masterFd_, POLLIN, 0};
    const int r = ::poll(&p, 1, waitMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(p.revents & POLLIN)) break;
    uint8_t buf[512];
    const size_t want = std::min(sizeof buf, maxBytes - out.size());
    const ssize_t n = ::read(masterFd_, buf, want);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
    waitMs = gapMs;
  }
  return out;
}

void PseudoTerminal::DiscardMaster() { ::tcflush(masterFd_, TCIFLUSH); }

}  // namespace kalvix
