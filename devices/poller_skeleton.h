// The loop the JUMO and V120 pollers share. Each pass reads the device's inputs and then
// writes its outputs, both in signal-set order; passes are paced to the cycle period, and
// before a pass that is not emulated a line that failed is brought back. What differs between
// the devices (which signals are theirs, one exchange, what a failure costs, whether a write
// pass has anything to send) is a device policy the skeleton calls; the traversal, the stop
// checks between exchanges, every pause and the pacing are here.
//
// Every wait is StopRequest's own (PauseUnlessStopped, WaitCycleEnd), so a stop ends it the
// moment it is set; between two exchanges the stop is checked before the next one, and an
// exchange in progress ends on the stop through the line (SerialPort::WatchStop).
//
// Threads: one skeleton runs on its poller's thread; the policy is that thread's own.
#ifndef KALVIX_DEVICES_POLLER_SKELETON_H_
#define KALVIX_DEVICES_POLLER_SKELETON_H_

#include <atomic>
#include <concepts>
#include <cstdint>

#include "journal/event_log.h"
#include "plant/control_state.h"
#include "plant/signal_set.h"
#include "plant/stop_pause.h"
#include "plant/thread_priority.h"
#include "util/tick_count.h"

namespace kalvix {

// What one step of a pass (one input read, one output written) came to.
enum class PollStep {
  kDone,        // exchanged; the pass goes on (a failure the device absorbed included)
  kFailed,      // exchanged and failed; the pass goes on but reports failure
  kNoExchange,  // nothing was sent, so no pause follows
  kEndPass,     // the pass ends here and reports failure (a stop, or the device's choice)
};

// How a write pass begins.
enum class WritePassStart {
  kWrite,        // the outputs are written
  kIdle,         // nothing to send: the idle pause stands for the pass, which succeeds
  kUnavailable,  // the line cannot be used: the pass fails at once
};

// The device policy. Pauses of 0 are not made.
template <class D>
concept PollerDevice = requires(D& d, const TSignalSet& signal, int slot, bool ok) {
  { D::kReadPauseMs } -> std::convertible_to<uint32_t>;       // after each input exchange
  { D::kWritePauseMs } -> std::convertible_to<uint32_t>;      // after each output exchange
  { D::kIdleWritePauseMs } -> std::convertible_to<uint32_t>;  // for a write pass kIdle
  { D::kReadFaultText } -> std::convertible_to<const char*>;  // an exception in a read pass
  { D::kPoller } -> std::convertible_to<Poller>;              // for the run's first cycle
  { d.Control() } -> std::same_as<ControlState&>;
  { d.Signals() } -> std::same_as<SignalSet&>;
  { d.PassCounter() } -> std::same_as<std::atomic<int32_t>&>;
  { d.Emulated() } -> std::same_as<bool>;   // the device's emulator switch, read when asked
  {d.Recover()};                            // line recovery before a pass that is not emulated
  { d.LineReady() } -> std::same_as<bool>;  // whether a read pass may exchange at all
  { d.IsInput(signal) } -> std::same_as<bool>;
  { d.IsOutput(signal) } -> std::same_as<bool>;
  {d.InputEmulated(signal)};  // after an input took its EmulatorValues slot
  { d.ReadInput(signal, slot) } -> std::same_as<PollStep>;
  {d.ReadPassEnded(ok)};  // the read pass's outcome, before the write pass
  { d.BeginWritePass() } -> std::same_as<WritePassStart>;
  { d.WriteOutput(signal, slot) } -> std::same_as<PollStep>;
};

template <PollerDevice Device>
class PollerSkeleton {
 public:
  explicit PollerSkeleton(Device& device) : device_(device) {}

  // The read pass. Under emulation (as the switch stood when the pass began) every input takes
  // its EmulatorValues slot without traffic or pauses. Otherwise false at once when the line
  // is not ready; each input is one exchange followed by the read pause. False when a step
  // ended the pass, a stop cut it short, or an exception ended it (the device's text posted).
  bool ReadPass() {
    try {
      const bool emulated = device_.Emulated();
      if (!emulated && !device_.LineReady()) return false;
      SignalSet& set = device_.Signals();
      const auto& signals = set.Signals();
      bool result = true;
      for (size_t i = 0; i < signals.size(); ++i) {
        const TSignalSet& signal = signals[i];
        if (!device_.IsInput(signal)) continue;
        const int slot = static_cast<int>(i);
        if (emulated) {
          set.RawValues.SetSlot(slot, set.EmulatorValues.Slot(slot));
          device_.InputEmulated(signal);
          continue;
        }
        if (Stopped()) return false;
        if (!Step(device_.ReadInput(signal, slot), Device::kReadPauseMs, result)) return false;
      }
      return result;
    } catch (...) {
      PostEvent(Device::kReadFaultText);
      return false;
    }
  }

  // The write pass: as the device begins it, then each output, stop-checked before its
  // exchange and followed by the write pause. False when a step failed or ended the pass,
  // when a stop cut it short, or when the line was unavailable.
  bool WritePass() {
    switch (device_.BeginWritePass()) {
      case WritePassStart::kIdle:
        Pause(Device::kIdleWritePauseMs);
        return true;
      case WritePassStart::kUnavailable:
        return false;
      case WritePassStart::kWrite:
        break;
    }
    const auto& signals = device_.Signals().Signals();
    bool result = true;
    for (size_t i = 0; i < signals.size(); ++i) {
      const TSignalSet& signal = signals[i];
      if (!device_.IsOutput(signal)) continue;
      if (Stopped()) return false;
      const int slot = static_cast<int>(i);
      if (!Step(device_.WriteOutput(signal, slot), Device::kWritePauseMs, result)) return false;
    }
    return result;
  }

  // One pass without the pacing wait: the pass counter, the read pass, the write pass; then
  // the pass's end is told to the run's first cycle, which waits for it.
  void RunPass() {
    device_.PassCounter().fetch_add(1);
    device_.ReadPassEnded(ReadPass());
    WritePass();
    device_.Control().PollerFirstPasses.PassEnded(Device::kPoller);
  }

  // The body: raises the thread's priority, zeroes the pass counter and runs passes paced to
  // the cycle period until StopRequest is set, recovering the line before each pass that is
  // not emulated.
  void Run() {
    RaiseThreadPriority(ThreadPriority::kHighest);
    device_.PassCounter().store(0);
    while (!Stopped()) {
      const uint32_t t0 = TickCount();
      if (!device_.Emulated()) device_.Recover();
      RunPass();
      WaitCycleEnd(device_.Control(), t0, kCyclePeriodMs);
    }
  }

 private:
  bool Stopped() { return device_.Control().StopRequest.load(std::memory_order_acquire); }

  // True when the whole pause passed (also for none).
  bool Pause(uint32_t ms) { return ms == 0 || PauseUnlessStopped(device_.Control(), ms); }

  // Applies one step's outcome to the pass's result; false when the pass ends here.
  bool Step(PollStep step, uint32_t pauseMs, bool& result) {
    switch (step) {
      case PollStep::kEndPass:
        return false;
      case PollStep::kNoExchange:
        return true;
      case PollStep::kFailed:
        result = false;
        break;
      case PollStep::kDone:
        break;
    }
    return Pause(pauseMs);
  }

  Device& device_;
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_POLLER_SKELETON_H_
