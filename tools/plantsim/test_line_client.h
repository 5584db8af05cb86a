// The tests' end of a simulated line: the slave side of a pseudo-terminal opened raw, with
// plain byte writes and reads that wait for a given count or for silence. It shares no code
// with the service's serial layer, so the simulator is checked on its own.
#ifndef KALVIX_TOOLS_PLANTSIM_TEST_LINE_CLIENT_H_
#define KALVIX_TOOLS_PLANTSIM_TEST_LINE_CLIENT_H_

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kalvix::plantsim {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

class TestLineClient {
 public:
  explicit TestLineClient(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
      tcflush(fd_, TCIFLUSH);
    }
  }
  ~TestLineClient() {
    if (fd_ >= 0) close(fd_);
  }
  TestLineClient(const TestLineClient&) = delete;
  TestLineClient& operator=(const TestLineClient&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  bool Send(const Bytes& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Bytes until `count` have come, or until nothing more arrives for quietMs after the
  // first byte, or until timeoutMs in all.
  Bytes Receive(size_t count, int timeoutMs = 2000, int quietMs = 100) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes received;
    while (received.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd fd = {fd_, POLLIN, 0};
      const int wait = received.empty() ? static_cast<int>(left) : std::min<int>(quietMs, left);
      if (poll(&fd, 1, wait) <= 0) break;
      uint8_t buffer[512];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) received.insert(received.end(), buffer, buffer + n);
    }
    return received;
  }

  // Everything that arrives within windowMs (for replies that must not come).
  Bytes ReceiveFor(int windowMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(windowMs);
    Bytes received;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return received;
      pollfd fd = {fd_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) return received;
      uint8_t buffer[512];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) received.insert(received.end(), buffer, buffer + n);
    }
  }

  Bytes Exchange(const Bytes& request, size_t expected, int timeoutMs = 2000) {
    if (!Send(request)) return {};
    return Receive(expected, timeoutMs);
  }

 private:
  const int fd_;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_TEST_LINE_CLIENT_H_
