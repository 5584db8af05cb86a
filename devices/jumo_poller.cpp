#include "devices/jumo_poller.h"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "devices/bus_exchange.h"
#include "devices/line_recovery.h"
#include "devices/poller_skeleton.h"
#include "journal/event_log.h"
#include "plant/thread_entry.h"
#include "util/date_time.h"

namespace kalvix {
namespace {

int ModuleOf(const TSignalSet& signal) { return signal.DevNum == 1 ? kModuleJumo1 : kModuleJumo2; }

ModbusTarget TargetOf(const TSignalSet& signal) {
  return {signal.DevNum, signal.InverseBytes, signal.InverseWords};
}

// The nearest single-precision value; beyond the float range the matching infinity (a plain
// conversion of such a double is undefined).
float ToSingle(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// One signal's exchange; the value as RawValues holds it.
bool ReadSignal(TModBUS& link, const TSignalSet& signal, double* value) {
  const ModbusTarget target = TargetOf(signal);
  if (signal.Kind == kKindInt) {
    int32_t reg = 0;
    if (!link.ReadRegister(target, signal.Addr, reg)) return false;
    *value = reg;
    return true;
  }
  uint32_t pattern = 0;
  if (!link.ReadPair(target, signal.Addr, pattern)) return false;
  *value = static_cast<double>(std::bit_cast<float>(pattern));
  return true;
}

// Ends the pending state once the countdown has run out. A task the control thread applies
// between the countdown step and the clearing would be lost, so the flag is raised again
// when the countdown has meanwhile been renewed (the control thread renews the countdown
// before it raises the flag).
void ConsumeWritePass(Setpoints& setpoints) {
  const int32_t left = setpoints.JumoWriteCountdown.fetch_sub(1);
  if (left > 0) return;
  setpoints.JumoWritePending.store(false);
  if (setpoints.JumoWriteCountdown.load() > 0) setpoints.JumoWritePending.store(true);
}

// The JUMO controllers as the poller skeleton sees them: a failed input is counted for its
// controller, posted and passed over; an unconfirmed set-point likewise, but it fails the
// write pass.
class JumoDevice {
 public:
  static constexpr uint32_t kReadPauseMs = kJumoReadPauseMs;
  static constexpr uint32_t kWritePauseMs = kJumoWritePauseMs;
  static constexpr uint32_t kIdleWritePauseMs = kJumoIdleWritePauseMs;
  static constexpr const char* kReadFaultText = kTextJumoReadFault;
  static constexpr Poller kPoller = Poller::kJumo;

  explicit JumoDevice(const JumoPollerContext& context)
      : c_(context), recovery_(context.link, context.ledgers) {}

  ControlState& Control() { return c_.control; }
  SignalSet& Signals() { return c_.signals; }
  std::atomic<int32_t>& PassCounter() { return c_.counters.JumoCycleCounter; }
  bool Emulated() { return c_.control.JumoEmulFlag.load(); }
  void Recover() { recovery_.BeforePass(); }
  bool LineReady() { return c_.link != nullptr && c_.link->Connected.load(); }
  bool IsInput(const TSignalSet& signal) { return IsJumoInput(signal); }
  bool IsOutput(const TSignalSet& signal) { return IsJumoOutput(signal); }

  void InputEmulated(const TSignalSet& signal) {
    c_.control.ModuleLastOk[ModuleOf(signal)].store(Now());
  }

  PollStep ReadInput(const TSignalSet& signal, int slot) {
    const int module = ModuleOf(signal);
    double value = 0;
    if (ReadSignal(*c_.link, signal, &value)) {
      Book(signal);
      c_.signals.RawValues.SetSlot(slot, value);
      c_.control.ModuleLastOk[module].store(Now());
    } else if (Stopped()) {
      return PollStep::kEndPass;  // the stop ended the exchange: not the controller's failure
    } else {
      Book(signal);
      c_.control.ModuleErrors[module].fetch_add(1);
      PostEvent(std::string(kTextJumoReadFailed) + signal.SignalName);
    }
    return PollStep::kDone;
  }

  void ReadPassEnded(bool) {}

  WritePassStart BeginWritePass() {
    if (!c_.setpoints.JumoWritePending.load()) return WritePassStart::kIdle;
    ConsumeWritePass(c_.setpoints);
    if (c_.control.JumoEmulFlag.load()) return WritePassStart::kIdle;
    return LineReady() ? WritePassStart::kWrite : WritePassStart::kUnavailable;
  }

  PollStep WriteOutput(const TSignalSet& signal, int slot) {
    const float value = ToSingle(c_.signals.OutputValues.Slot(slot));
    if (c_.link->WritePair(TargetOf(signal), signal.Addr, std::bit_cast<uint32_t>(value))) {
      Book(signal);
      return PollStep::kDone;
    }
    if (Stopped()) return PollStep::kEndPass;  // the stop ended the exchange
    Book(signal);
    // The controller did not confirm the set-point: counted and posted like a failed read.
    c_.control.ModuleErrors[ModuleOf(signal)].fetch_add(1);
    PostEvent(std::string(kTextJumoWriteFailed) + signal.SignalName);
    return PollStep::kFailed;
  }

 private:
  bool Stopped() const { return c_.control.StopRequest.load(std::memory_order_acquire); }

  // The exchange just made, in the ledger of the controller it addressed.
  void Book(const TSignalSet& signal) {
    RecordExchange(c_.ledgers[static_cast<Module>(ModuleOf(signal))], c_.link->LastExchange);
  }

  const JumoPollerContext& c_;
  ModbusLineRecovery recovery_;
};

static_assert(PollerDevice<JumoDevice>);

}  // namespace

bool IsJumoInput(const TSignalSet& signal) {
  return signal.BusName == "JUMO" && !signal.SignalName.empty() && signal.SignalName[0] != '_';
}

bool IsJumoOutput(const TSignalSet& signal) {
  return signal.BusName == "JUMO" && !signal.SignalName.empty() && signal.SignalName[0] == '_';
}

bool JumoRead(const JumoPollerContext& c) {
  JumoDevice device(c);
  return PollerSkeleton(device).ReadPass();
}

bool JumoWrite(const JumoPollerContext& c) {
  JumoDevice device(c);
  return PollerSkeleton(device).WritePass();
}

void RunJumoPass(const JumoPollerContext& c) {
  JumoDevice device(c);
  PollerSkeleton(device).RunPass();
}

void RunJumoPoller(const JumoPollerContext& c) {
  JumoDevice device(c);
  PollerSkeleton(device).Run();
}

int JumoPollerEntry(const JumoPollerContext& c) {
  return RunThreadEntry(c.control.JumoActive, kThreadNameJumo, [&c] { RunJumoPoller(c); });
}

}  // namespace kalvix
