// One serving thread per simulated line: it reads what the service sends on the
// pseudo-terminal, cuts it into requests with the line's responder, lets the addressed
// device answer, bends the answer by the device's current faults and sends it after the
// device's turnaround time.
//
// Ownership: the server owns its pseudo-terminal; the responder and the fault board are
// the simulator's and must outlive the server. Start and Stop are called from one thread
// (the simulator's owner); a server runs once; Stop wakes the thread at once and joins it.
#ifndef KALVIX_TOOLS_PLANTSIM_LINE_SERVER_H_
#define KALVIX_TOOLS_PLANTSIM_LINE_SERVER_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/plantsim/fault_set.h"
#include "tools/plantsim/line_responder.h"
#include "tools/plantsim/pty_endpoint.h"

namespace kalvix::plantsim {

class LineServer {
 public:
  // threadName: at most 15 characters (pthread_setname_np). turnaroundMs: the time a device
  // takes between the end of a request and the start of its reply.
  LineServer(std::string threadName, std::unique_ptr<PtyEndpoint> pty, LineResponder& responder,
             const FaultBoard& faults, uint32_t turnaroundMs, uint32_t seed);
  ~LineServer();
  LineServer(const LineServer&) = delete;
  LineServer& operator=(const LineServer&) = delete;

  // False with a reason when the wake-up descriptor cannot be made, or after Stop.
  bool Start(std::string* error);
  void Stop();

  const std::string& SlavePath() const { return pty_->SlavePath(); }

  // Replies sent by each device of the line (any thread).
  uint64_t Replies(DeviceId device) const {
    return replies_[DeviceIndex(device)].load(std::memory_order_relaxed);
  }
  // Requests that a device took as its own, answered or not (silent, no reply).
  uint64_t Requests(DeviceId device) const {
    return requests_[DeviceIndex(device)].load(std::memory_order_relaxed);
  }

 private:
  void Run();
  void Handle(std::span<const uint8_t> request, uint32_t endTick);
  // Waits until `ms` after `fromTick`; false when a stop arrived meanwhile.
  bool WaitUntil(uint32_t fromTick, uint32_t ms);

  // Constant after construction.
  const std::string threadName_;
  const std::unique_ptr<PtyEndpoint> pty_;
  LineResponder& responder_;
  const FaultBoard& faults_;
  const uint32_t turnaroundMs_;

  std::mt19937 rng_;  // the line thread's only
  int wakeFd_ = -1;   // eventfd: Stop writes it, the thread polls it
  std::atomic<bool> stop_{false};
  std::array<std::atomic<uint64_t>, kDeviceCount> replies_{};
  std::array<std::atomic<uint64_t>, kDeviceCount> requests_{};
  std::thread thread_;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_LINE_SERVER_H_
