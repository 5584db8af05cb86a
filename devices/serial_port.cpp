#include "devices/serial_port.h"

// termios2 (for speeds outside the Bxxx set) lives in the kernel's headers, which clash with
// glibc's <termios.h>; this file therefore uses the ioctls directly and never includes it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct StandardRate {
  uint32_t rate;
  tcflag_t code;
};
constexpr StandardRate kStandardRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<tcflag_t> StandardCode(uint32_t rate) {
  for (const auto& r : kStandardRates)
    if (r.rate == rate) return r.code;
  return std::nullopt;
}

// A budget of multiplier * n + constant ms, at most the ceiling; both zero mean no limit,
// which the ceiling bounds as well.
int64_t Budget(uint32_t multiplier, uint32_t constant, size_t n) {
  if (multiplier == 0 && constant == 0) return kMaxPortWaitMs;
  const int64_t budget = static_cast<int64_t>(multiplier) * static_cast<int64_t>(n) + constant;
  return std::min(budget, kMaxPortWaitMs);
}

}  // namespace

// How a read of n bytes waits.
struct SerialPort::ReadPlan {
  bool atOnce = false;         // return at once with what has arrived
  bool firstBytesEnd = false;  // return as soon as anything has arrived
  int64_t totalMs = 0;         // the whole read's budget
  int64_t gapMs = 0;           // the longest silence after the first byte; 0: no gap limit
};

SerialPort::ReadPlan SerialPort::PlanRead(const PortTimeouts& t, size_t n) {
  ReadPlan plan;
  if (t.readInterval == kReturnImmediately) {
    if (t.readMultiplier == 0 && t.readConstant == 0) {
      plan.atOnce = true;
      return plan;
    }
    if (t.readMultiplier == kReturnImmediately && t.readConstant > 0 &&
        t.readConstant < kReturnImmediately) {
      plan.firstBytesEnd = true;
      plan.totalMs = std::min<int64_t>(t.readConstant, kMaxPortWaitMs);
      return plan;
    }
  } else {
    plan.gapMs = t.readInterval;
  }
  plan.totalMs = Budget(t.readMultiplier, t.readConstant, n);
  return plan;
}

SerialPort::SerialPort() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SerialPort::~SerialPort() {
  Close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool SerialPort::Open(const std::filesystem::path& device, std::string* error) {
  Close();
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = device.string() + ": " + std::strerror(errno);
    return false;
  }
  // flock holds against root as well; TIOCEXCL alone does not.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (error) *error = device.string() + ": held by another program";
    ::close(fd);
    return false;
  }
  ::ioctl(fd, TIOCEXCL);  // not a terminal: the line settings will fail later
  fd_ = fd;
  device_ = device;
  timeouts_ = kDefaultPortTimeouts;
  ClearInterrupt();
  lineFailed_.store(false, std::memory_order_release);
  return true;
}

void SerialPort::Close() {
  if (fd_ < 0) return;
  // The exclusive bit belongs to the terminal, not to our descriptor: clear it so that a
  // descriptor someone else still holds does not keep the next opener out.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

LineResult SerialPort::SetLine(uint32_t speed, bool disableRts) {
  if (fd_ < 0) return LineResult::kReadFailed;
  struct termios2 t;
  if (::ioctl(fd_, TCGETS2, &t) != 0) return LineResult::kReadFailed;

  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | CSTOPB);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  if (auto code = StandardCode(speed)) {
    t.c_cflag |= *code;
  } else {
    t.c_cflag |= BOTHER;
  }
  t.c_ispeed = speed;  // input speed follows the output speed (CIBAUD left zero)
  t.c_ospeed = speed;
  if (disableRts) t.c_cflag &= ~CRTSCTS;

  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  // Reads never block in the driver: every wait is a poll() with our own budget.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  if (::ioctl(fd_, TCSETS2, &t) != 0) return LineResult::kWriteFailed;
  speed_ = speed;
  if (disableRts) {
    int rts = TIOCM_RTS;
    ::ioctl(fd_, TIOCMBIC, &rts);  // a pseudo-terminal has no modem lines: ignored
  }
  return LineResult::kOk;
}

std::optional<uint32_t> SerialPort::LineSpeed() const {
  if (fd_ < 0) return std::nullopt;
  struct termios2 t;
  if (::ioctl(fd_, TCGETS2, &t) != 0) return std::nullopt;
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  for (const auto& r : kStandardRates)
    if (r.code == code) return r.rate;
  return std::nullopt;
}

PortIo SerialPort::Read(std::span<uint8_t> into) {
  return ReadPlanned(into, PlanRead(timeouts_, into.size()));
}

PortIo SerialPort::ReadArrived(std::span<uint8_t> into, uint32_t ms) {
  if (fd_ < 0) return {0, PortStatus::kNotOpen};
  if (InterruptPending()) return {0, PortStatus::kInterrupted};
  // The caller has just sent a request or taken the part of a reply that had come, so the
  // wait comes first: a read before it would nearly always find nothing, one system call
  // per exchange spent for it. Ready or not when the wait ends, one read takes what is there.
  switch (Wait(POLLIN, std::min<int64_t>(ms, kMaxPortWaitMs))) {
    case WaitResult::kReady:
    case WaitResult::kTimeout:
      return ReadAvailable(into);
    case WaitResult::kInterrupted:
      return {0, PortStatus::kInterrupted};
    case WaitResult::kError:
      return {0, Failed()};
  }
  return {0, PortStatus::kOk};
}

PortIo SerialPort::ReadPlanned(std::span<uint8_t> into, const ReadPlan& plan) {
  if (fd_ < 0) return {0, PortStatus::kNotOpen};
  if (InterruptPending()) return {0, PortStatus::kInterrupted};
  const size_t n = into.size();

  const Clock::time_point start = Clock::now();
  Clock::time_point lastByte = start;
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd_, into.data() + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      // One read takes everything the driver holds: a second would only find it empty.
      if (plan.firstBytesEnd) break;
      lastByte = Clock::now();
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EINTR) return {got, Failed()};
    // Nothing more is waiting now.
    if (plan.atOnce || (plan.firstBytesEnd && got > 0)) break;

    int64_t waitMs = plan.totalMs - MillisSince(start);
    if (got > 0 && plan.gapMs > 0) {
      waitMs = std::min(waitMs, plan.gapMs - MillisSince(lastByte));
    }
    if (waitMs <= 0) break;
    switch (Wait(POLLIN, waitMs)) {
      case WaitResult::kReady:
        break;
      case WaitResult::kTimeout:
        // One last look: a byte may have arrived as the budget ran out.
        continue;
      case WaitResult::kInterrupted:
        return {got, PortStatus::kInterrupted};
      case WaitResult::kError:
        return {got, Failed()};
    }
  }
  return {got, PortStatus::kOk};
}

PortIo SerialPort::ReadAvailable(std::span<uint8_t> into) {
  if (fd_ < 0) return {0, PortStatus::kNotOpen};
  if (InterruptPending()) return {0, PortStatus::kInterrupted};
  for (;;) {
    const ssize_t r = ::read(fd_, into.data(), into.size());
    if (r >= 0) return {static_cast<size_t>(r), PortStatus::kOk};
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {0, PortStatus::kOk};
    return {0, Failed()};
  }
}

PortIo SerialPort::Write(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return {0, PortStatus::kNotOpen};
  if (InterruptPending()) return {0, PortStatus::kInterrupted};
  const int64_t total = Budget(timeouts_.writeMultiplier, timeouts_.writeConstant, bytes.size());
  const Clock::time_point start = Clock::now();
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EINTR) return {sent, Failed()};
    const int64_t waitMs = total - MillisSince(start);
    if (waitMs <= 0) break;
    switch (Wait(POLLOUT, waitMs)) {
      case WaitResult::kReady:
        break;
      case WaitResult::kTimeout:
        return {sent, PortStatus::kOk};
      case WaitResult::kInterrupted:
        return {sent, PortStatus::kInterrupted};
      case WaitResult::kError:
        return {sent, Failed()};
    }
  }
  return {sent, PortStatus::kOk};
}

bool SerialPort::Drain() {
  if (fd_ < 0) return false;
  int queued = 0;
  if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return false;
  const int64_t total =
      Budget(timeouts_.writeMultiplier, timeouts_.writeConstant, static_cast<size_t>(queued));
  const Clock::time_point start = Clock::now();
  // The driver offers no wake-up for "transmitter empty" that a poll() can wait on
  // (tcdrain blocks without a bound), so the queue is sampled about as often as the line
  // can send what is left.
  while (queued > 0) {
    int64_t waitMs = std::max<int64_t>(1, (static_cast<int64_t>(queued) * CharTimeMicros()) / 1000);
    const int64_t left = total - MillisSince(start);
    if (left <= 0) return false;
    waitMs = std::min(waitMs, left);
    if (!Pause(static_cast<uint32_t>(waitMs))) return false;
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return false;
  }
  return true;
}

bool SerialPort::DiscardInput() {
  if (fd_ < 0) return false;
  return ::ioctl(fd_, TCFLSH, TCIFLUSH) == 0;
}

size_t SerialPort::BytesWaiting() const {
  if (fd_ < 0) return 0;
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

bool SerialPort::WaitReadable(uint32_t ms) {
  if (fd_ < 0) return false;
  if (BytesWaiting() > 0) return true;
  return Wait(POLLIN, ms) == WaitResult::kReady;
}

bool SerialPort::Pause(uint32_t ms) { return Wait(0, ms) != WaitResult::kInterrupted; }

void SerialPort::Interrupt() {
  interrupted_.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

// An atomic rather than a look at the eventfd: checked on every read and write, it must not
// cost a system call.
bool SerialPort::InterruptPending() const { return interrupted_.load(); }

void SerialPort::ClearInterrupt() {
  interrupted_.store(false);
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
}

SerialPort::WaitResult SerialPort::Wait(short events, int64_t timeoutMs) {
  const Clock::time_point start = Clock::now();
  timeoutMs = std::clamp<int64_t>(timeoutMs, 0, kMaxPortWaitMs);
  for (;;) {
    // The wake-ups first: an interrupt or a stop wins over a ready line.
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {wakeFd_, POLLIN, 0};
    const int stopFd = stopFd_.load(std::memory_order_acquire);
    if (stopFd >= 0) fds[count++] = {stopFd, POLLIN, 0};
    const nfds_t wakeCount = count;
    if (events != 0 && fd_ >= 0) fds[count++] = {fd_, events, 0};

    const int64_t remaining = timeoutMs - MillisSince(start);
    if (remaining <= 0 && count == wakeCount) return WaitResult::kTimeout;
    const int r = ::poll(fds, count, static_cast<int>(std::max<int64_t>(remaining, 0)));
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    for (nfds_t i = 0; i < wakeCount; ++i) {
      if (fds[i].revents & POLLIN) return WaitResult::kInterrupted;
    }
    if (r == 0) return WaitResult::kTimeout;
    if (count > wakeCount) {
      const short got = fds[wakeCount].revents;
      if (got & events) return WaitResult::kReady;
      if (got & (POLLERR | POLLHUP | POLLNVAL)) return WaitResult::kError;
    }
    // Something else woke the poll (a wake-up descriptor in error): never spin past the end.
    if (MillisSince(start) >= timeoutMs) return WaitResult::kTimeout;
  }
}

uint32_t SerialPort::CharTimeMicros() const {
  // 8N1: a start bit, eight data bits and a stop bit per character.
  return speed_ == 0 ? 10000 : std::max<uint32_t>(1, 10'000'000u / speed_);
}

}  // namespace kalvix
