#include "tools/plantsim/line_server.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "util/tick_count.h"

namespace kalvix::plantsim {

namespace {

// Without pending bytes the thread sleeps in poll until data or a stop arrives; this bound
// only limits how long a lost wake-up could go unnoticed.
constexpr int kIdlePollMs = 100;
// Pending bytes beyond this are dropped: no request of these devices is that long.
constexpr size_t kMaxPending = 4096;

}  // namespace

LineServer::LineServer(std::string threadName, std::unique_ptr<PtyEndpoint> pty,
                       LineResponder& responder, const FaultBoard& faults, uint32_t turnaroundMs,
                       uint32_t seed)
    : threadName_(std::move(threadName)),
      pty_(std::move(pty)),
      responder_(responder),
      faults_(faults),
      turnaroundMs_(turnaroundMs),
      rng_(seed) {}

LineServer::~LineServer() {
  Stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool LineServer::Start(std::string* error) {
  if (wakeFd_ >= 0) {  // started before: a server runs once
    if (!thread_.joinable() && error) *error = "line server already stopped";
    return thread_.joinable();
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] {
    // Nothing may leave the thread: a failure ends this line's service and says so.
    try {
      Run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: line stopped: %s\n", threadName_.c_str(), e.what());
    }
  });
  // Named from here rather than by the thread itself, so the name is there once Start
  // returns.
  pthread_setname_np(thread_.native_handle(), threadName_.c_str());
  return true;
}

void LineServer::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  thread_.join();
}

void LineServer::Run() {
  std::vector<uint8_t> pending;
  uint32_t lastByteTick = TickCount();
  const uint32_t gap = responder_.FrameGapMs();
  std::array<uint8_t, 1024> buffer;

  while (!stop_.load()) {
    int timeout = kIdlePollMs;
    if (gap > 0 && !pending.empty()) {
      const uint32_t quiet = TicksBetween(lastByteTick, TickCount());
      timeout = quiet >= gap ? 0 : static_cast<int>(gap - quiet);
    }
    pollfd fds[2] = {{pty_->MasterFd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0 || stop_.load()) break;

    if (fds[0].revents & POLLIN) {
      const ssize_t n = pty_->Read(buffer);
      if (n > 0) {
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
        lastByteTick = TickCount();
      }
    } else if (fds[0].revents != 0) {
      // A hang-up or error without data: wait a little instead of spinning on it.
      if (!WaitUntil(TickCount(), kIdlePollMs)) break;
    }
    const bool idle = gap > 0 && !pending.empty() && TicksBetween(lastByteTick, TickCount()) >= gap;
    while (!pending.empty()) {
      const size_t length = responder_.RequestLength(pending, idle);
      if (length == 0) break;
      const std::vector<uint8_t> request(pending.begin(), pending.begin() + length);
      pending.erase(pending.begin(), pending.begin() + length);
      Handle(request, lastByteTick);
      if (stop_.load()) return;
    }
    if (pending.size() > kMaxPending) pending.clear();
  }
}

void LineServer::Handle(std::span<const uint8_t> request, uint32_t endTick) {
  const std::optional<DeviceId> device = responder_.Addressee(request);
  if (!device) return;
  requests_[DeviceIndex(*device)].fetch_add(1, std::memory_order_relaxed);
  const FaultSet faults = faults_.Get(*device);
  if (faults.silent) return;
  const std::optional<DeviceReply> reply = responder_.Serve(request);
  if (!reply) return;
  const std::vector<uint8_t> bytes = ApplyFaults(*reply, faults, rng_);
  if (!WaitUntil(endTick, turnaroundMs_ + faults.delayMs)) return;
  if (!bytes.empty()) pty_->Write(bytes);
  replies_[DeviceIndex(*device)].fetch_add(1, std::memory_order_relaxed);
}

bool LineServer::WaitUntil(uint32_t fromTick, uint32_t ms) {
  for (;;) {
    const uint32_t waited = TicksBetween(fromTick, TickCount());
    if (waited >= ms) return !stop_.load();
    pollfd wake = {wakeFd_, POLLIN, 0};
    if (poll(&wake, 1, static_cast<int>(ms - waited)) > 0 || stop_.load()) return false;
  }
}

}  // namespace kalvix::plantsim
