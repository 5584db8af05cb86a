#include "devices/v120_poller.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "devices/bus_exchange.h"
#include "devices/line_recovery.h"
#include "devices/poller_skeleton.h"
#include "devices/vision_frame.h"
#include "journal/event_log.h"
#include "plant/thread_entry.h"
#include "util/date_time.h"

namespace kalvix {
namespace {

constexpr const char* kOutputTnk23 = "_TNK23";
constexpr const char* kOutputTnz = "_TNZ";
constexpr const char* kAveragedTnk23 = "TNK23";

// One item by the signal's kind; FLOAT and unknown kinds have no read command. An exchange
// made is booked in the ledger.
bool ReadSignal(TVisionLink& link, BusLedger& ledger, const TSignalSet& signal, double* value) {
  const VisionUnit unit{signal.DevNum};
  switch (signal.Kind) {
    case kKindInt:
    case kKindLong: {
      std::array<int32_t, 1> item = {};
      const bool read = link.GetIntArray(unit, signal.Addr, 1, item, signal.Kind == kKindLong);
      RecordExchange(ledger, link.LastExchange());
      if (!read) return false;
      *value = item[0];
      return true;
    }
    case kKindBit: {
      std::array<uint8_t, 1> bit = {};
      const bool read = link.GetBitArray(unit, signal.Addr, 1, bit);
      RecordExchange(ledger, link.LastExchange());
      if (!read) return false;
      *value = bit[0] != 0 ? 1 : 0;
      return true;
    }
    default:
      return false;
  }
}

// The characters of a read reply around its data: "/A", unit and command echo, checksum.
constexpr size_t kReplyFrameLength = 2 + kVisionEchoLength + 2;

size_t DigitsPerOperand(int32_t kind) {
  switch (kind) {
    case kKindInt:
      return 4;
    case kKindLong:
      return 8;
    case kKindBit:
      return 1;
    default:
      return 0;
  }
}

bool IsV120Output(const TSignalSet& signal) {
  return signal.BusName == "V120" && !signal.SignalName.empty() && signal.SignalName[0] == '_';
}

// The V120 as the poller skeleton sees it: the first failed input ends the read pass, which
// counts as one failure of the module; the two outputs are written without pauses, and a
// failed write is neither reported nor retried.
class V120Device {
 public:
  static constexpr uint32_t kReadPauseMs = 0;  // each exchange is paced by the reply
  static constexpr uint32_t kWritePauseMs = 0;
  static constexpr uint32_t kIdleWritePauseMs = 0;
  static constexpr const char* kReadFaultText = kTextV120ReadFault;
  static constexpr Poller kPoller = Poller::kV120;

  explicit V120Device(const V120PollerContext& context)
      : c_(context), recovery_(context.link, context.ledgers[kModuleV120]) {}

  ControlState& Control() { return c_.control; }
  SignalSet& Signals() { return c_.signals; }
  std::atomic<int32_t>& PassCounter() { return c_.counters.V120CycleCounter; }
  bool Emulated() { return c_.control.V120EmulFlag.load(); }
  void Recover() { recovery_.BeforePass(); }
  bool LineReady() { return true; }  // an inactive link fails its exchanges itself
  bool IsInput(const TSignalSet& signal) { return IsV120Input(signal); }
  bool IsOutput(const TSignalSet& signal) { return IsV120Output(signal); }
  void InputEmulated(const TSignalSet&) {}

  PollStep ReadInput(const TSignalSet& signal, int slot) {
    if (c_.readRuns) return ReadRunFrom(signal, slot);
    double value = 0;
    if (!ReadSignal(c_.link, c_.ledgers[kModuleV120], signal, &value)) return PollStep::kEndPass;
    c_.signals.RawValues.SetSlot(slot, value);
    return PollStep::kDone;
  }

  // A pass cut short by a stop is no failure of the module.
  void ReadPassEnded(bool ok) {
    runEnd_ = -1;
    if (ok) {
      c_.control.ModuleLastOk[kModuleV120].store(Now());
    } else if (!c_.control.StopRequest.load(std::memory_order_acquire)) {
      c_.control.ModuleErrors[kModuleV120].fetch_add(1);
    }
  }

  WritePassStart BeginWritePass() { return WritePassStart::kWrite; }

  PollStep WriteOutput(const TSignalSet& signal, int) {
    double value = 0;
    if (signal.SignalName == kOutputTnk23) {
      value = c_.signals.AveragedValues.Slot(c_.signals.SignalIndex(kAveragedTnk23));
    } else if (signal.SignalName == kOutputTnz && c_.setpoints.TnzWritePending.exchange(false)) {
      // The flag is taken before the value: the control thread stores the set-point before it
      // raises the flag, so the value read here is at least as new as the flag it answers.
      value = c_.setpoints.TnzSetpoint.load();
    } else {
      return PollStep::kNoExchange;
    }
    const std::optional<int32_t> item = V120WriteValue(value);
    if (!item) return PollStep::kNoExchange;
    if (signal.Kind != kKindInt && signal.Kind != kKindLong) return PollStep::kNoExchange;
    const std::array<int32_t, 1> items = {*item};
    c_.link.SetIntArray(VisionUnit{signal.DevNum}, signal.Addr, 1, items, signal.Kind == kKindLong);
    RecordExchange(c_.ledgers[kModuleV120], c_.link.LastExchange());
    return PollStep::kDone;
  }

 private:
  // The input at `slot` and the inputs after it in the pass that continue its run, read in
  // one exchange; an input that an earlier run of this pass has read already needs none.
  PollStep ReadRunFrom(const TSignalSet& first, int slot) {
    if (slot <= runEnd_) return PollStep::kNoExchange;
    const auto& signals = c_.signals.Signals();
    std::vector<int> slots = {slot};
    const int32_t most = V120MaxRun(first.Kind);
    for (size_t j = static_cast<size_t>(slot) + 1;
         j < signals.size() && static_cast<int32_t>(slots.size()) < most; ++j) {
      const TSignalSet& next = signals[j];
      if (!IsV120Input(next)) continue;  // not part of the pass: it neither joins nor ends a run
      if (next.DevNum != first.DevNum || next.Kind != first.Kind ||
          int32_t{next.Addr} != int32_t{first.Addr} + static_cast<int32_t>(slots.size())) {
        break;
      }
      slots.push_back(static_cast<int>(j));
    }
    if (slots.size() == 1) {
      double value = 0;
      if (!ReadSignal(c_.link, c_.ledgers[kModuleV120], first, &value)) return PollStep::kEndPass;
      c_.signals.RawValues.SetSlot(slot, value);
      return PollStep::kDone;
    }

    const VisionUnit unit{first.DevNum};
    const int32_t count = static_cast<int32_t>(slots.size());
    std::vector<double> values(slots.size());
    bool read = false;
    if (first.Kind == kKindBit) {
      std::vector<uint8_t> bits(slots.size());
      read = c_.link.GetBitArray(unit, first.Addr, count, bits);
      std::transform(bits.begin(), bits.end(), values.begin(),
                     [](uint8_t bit) { return bit != 0 ? 1.0 : 0.0; });
    } else {
      std::vector<int32_t> items(slots.size());
      read = c_.link.GetIntArray(unit, first.Addr, count, items, first.Kind == kKindLong);
      std::copy(items.begin(), items.end(), values.begin());
    }
    RecordExchange(c_.ledgers[kModuleV120], c_.link.LastExchange());
    if (!read) return PollStep::kEndPass;
    for (size_t k = 0; k < slots.size(); ++k) c_.signals.RawValues.SetSlot(slots[k], values[k]);
    runEnd_ = slots.back();
    return PollStep::kDone;
  }

  const V120PollerContext& c_;
  VisionLineRecovery recovery_;
  int runEnd_ = -1;  // the last slot the latest run of this pass read
};

static_assert(PollerDevice<V120Device>);

}  // namespace

int32_t V120MaxRun(int32_t kind) {
  const size_t digits = DigitsPerOperand(kind);
  if (digits == 0) return 1;
  return static_cast<int32_t>(
      std::min<size_t>(0xFF, (kVisionMaxReplyLength - kReplyFrameLength) / digits));
}

bool IsV120Input(const TSignalSet& signal) {
  return signal.BusName == "V120" && signal.Direction == kDirectionRead;
}

std::optional<int32_t> V120WriteValue(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // fmod is exact, so the low 32 bits survive values beyond the range of any integer type.
  const double low = std::fmod(std::trunc(value), 4294967296.0);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(low)));
}

bool V120Read(const V120PollerContext& c) {
  V120Device device(c);
  return PollerSkeleton(device).ReadPass();
}

bool V120Write(const V120PollerContext& c) {
  V120Device device(c);
  PollerSkeleton(device).WritePass();  // a failed or cut-short write pass is not reported
  return true;
}

void RunV120Pass(const V120PollerContext& c) {
  V120Device device(c);
  PollerSkeleton(device).RunPass();
}

void RunV120Poller(const V120PollerContext& c) {
  V120Device device(c);
  PollerSkeleton(device).Run();
}

int V120PollerEntry(const V120PollerContext& c) {
  return RunThreadEntry(c.control.V120Active, kThreadNameV120, [&c] { RunV120Poller(c); });
}

}  // namespace kalvix
