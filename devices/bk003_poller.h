// The BK-003 poller: it owns the belt weigher's port, opens it itself, asks the controller
// for its readings about once a second and stores "G23", "TNK23" and "BKK23" in RawValues.
// It keeps the time of the last good answer (ModuleLastOk entry "BK-003"), a pass counter
// and a failure counter; when more than kBkFailLimit attempts in a row to reopen the port
// have failed it gives up and ends, and however it ends it releases the port. Only failed
// reopenings in a row count toward giving up: counted over the whole run, a dozen short
// answers at any time would have made the first lost line the poller's end.
//
// Failures: an open that fails is retried once per pass, each attempt counting one failure;
// a failed request write and a short answer count one failure each; a failed read call
// counts none. After a failed write or read call the port is closed, so the next pass opens
// it again: a line that failed that way (an adapter pulled out, the other end gone) stays
// dead until it is reopened, and the poller recovers when the device returns.
//
// Every exchange is booked in the BK-003's bus ledger (good with its round-trip, or failed by
// cause), and every opening of the port after it had been open as a reopening of the line.
//
// Every read is bounded even with set_timeouts off (see Bk003Link), and the port watches
// StopRequest, so a silent device cannot hold the poller past a stop request: every pause
// and every wait on the line ends the moment StopRequest is set.
//
// Ownership and threads: one Bk003Poller lives on the poller thread, which is the only user
// of its port. The context's objects belong to the state owner and outlive the thread; the
// settings are a copy taken when the thread starts.
#ifndef KALVIX_DEVICES_BK003_POLLER_H_
#define KALVIX_DEVICES_BK003_POLLER_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "devices/bk003_link.h"
#include "devices/bus_ledger.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/signal_set.h"

namespace kalvix {

// Failures after which the poller stops reopening the port and ends.
inline constexpr int32_t kBkFailLimit = 10;
// After a pass without an answer the next request follows sooner than a full period: 250 ms
// after a failed open, write or read call, 500 ms after a short answer.
inline constexpr uint32_t kBkRetryPauseMs = 250;
inline constexpr uint32_t kBkShortAnswerPauseMs = 500;

struct Bk003PollerContext {
  ControlState& control;
  SignalSet& signals;
  PollerCounters& counters;
  BusLedgers& ledgers;
};

// The settings the poller needs, copied from the settings when the thread starts.
struct Bk003PollerSettings {
  std::string portName;           // VK_PortName
  int32_t speed = 9600;           // VK_PortSpeed
  int32_t deviceNum = 1;          // VK_device_num; its low byte is sent
  int32_t bkk23Mask = 2;          // bkk23_mask
  bool setTimeouts = true;        // set_timeouts
  std::filesystem::path workDir;  // the folder of the per-port time-out files
  uint32_t retryPauseMs = kBkRetryPauseMs;
  uint32_t shortAnswerPauseMs = kBkShortAnswerPauseMs;
};

enum class BkPassOutcome {
  kAnswer,       // the readings were stored
  kNoPort,       // the port could not be opened
  kWriteFailed,  // the request did not go out (the port is closed)
  kReadFailed,   // the read call failed (the port is closed)
  kShortAnswer,  // fewer than 14 bytes came
  kGaveUp,       // more than kBkFailLimit failed reopenings of the port in a row
};

class Bk003Poller {
 public:
  Bk003Poller(const Bk003PollerContext& context, Bk003PollerSettings settings);
  Bk003Poller(const Bk003Poller&) = delete;
  Bk003Poller& operator=(const Bk003Poller&) = delete;

  // The whole body: raises the thread's priority, Start, passes with their pauses until
  // StopRequest is set or the poller gives up, Finish.
  void Run();

  // Opens the port (a failure only leaves it closed) and zeroes the two counters.
  void Start();
  // One pass without its pause.
  BkPassOutcome RunPass();
  // The pause after a pass: the rest of the cycle period after an answer, the retry pauses
  // otherwise. Ends early when StopRequest is set.
  void PauseAfter(BkPassOutcome outcome) const;
  // Releases the port.
  void Finish() { link_.Close(); }

  bool PortOpen() const { return link_.IsOpen(); }

 private:
  // Opens the port; an opening after the port had been open is a reopening of the line.
  bool OpenPort();
  void Store(const BkReadings& readings);

  // Constant after construction.
  const Bk003PollerContext context_;
  const Bk003PollerSettings settings_;

  Bk003Link link_;            // BkPort
  int32_t failedReopenings_ = 0;  // in a row; an opened port resets it
  bool openedBefore_ = false;     // the port has been open at least once
  uint32_t requestTick_ = 0;  // when the last request went out, for the pacing wait
};

// The thread's entry: a Bk003Poller run under the running flag BkActive (see
// thread_entry.h); the port is released however the body ends.
int Bk003PollerEntry(const Bk003PollerContext& context, const Bk003PollerSettings& settings);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_BK003_POLLER_H_
