#include "tools/plantsim/pty_endpoint.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kalvix::plantsim {

namespace {

std::string Reason(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<PtyEndpoint> PtyEndpoint::Open(std::string* error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    if (error) *error = Reason("posix_openpt");
    return nullptr;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    if (error) *error = Reason("grantpt/unlockpt/ptsname");
    close(master);
    return nullptr;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    if (error) *error = Reason("open slave");
    close(master);
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &tio);
  }
  return std::unique_ptr<PtyEndpoint>(new PtyEndpoint(master, slave, name));
}

PtyEndpoint::~PtyEndpoint() {
  close(slaveFd_);
  close(masterFd_);
}

ssize_t PtyEndpoint::Read(std::span<uint8_t> buffer) {
  const ssize_t n = read(masterFd_, buffer.data(), buffer.size());
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

bool PtyEndpoint::Write(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(masterFd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kalvix::plantsim
