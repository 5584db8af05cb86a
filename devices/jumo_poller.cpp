#include "devices/jumo_poller.h"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "devices/line_recovery.h"
#include "journal/event_log.h"
#include "plant/stop_pause.h"
#include "plant/thread_entry.h"
#include "plant/thread_priority.h"
#include "util/date_time.h"
#include "util/tick_count.h"

namespace kalvix {
namespace {

int ModuleOf(const TSignalSet& signal) { return signal.DevNum == 1 ? kModuleJumo1 : kModuleJumo2; }

bool Stopped(const JumoPollerContext& c) {
  return c.control.StopRequest.load(std::memory_order_acquire);
}

bool LinkReady(const JumoPollerContext& c) { return c.link != nullptr && c.link->Connected.load(); }

void Address(TModBUS& link, const TSignalSet& signal) {
  link.DevAddr = signal.DevNum;
  link.InverseBytes = signal.InverseBytes;
  link.InverseWords = signal.InverseWords;
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
  Address(link, signal);
  if (signal.Kind == kKindInt) {
    int32_t reg = 0;
    if (!link.ReadRegister(signal.Addr, reg)) return false;
    *value = reg;
    return true;
  }
  uint32_t pattern = 0;
  if (!link.ReadPair(signal.Addr, pattern)) return false;
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

}  // namespace

bool IsJumoInput(const TSignalSet& signal) {
  return signal.BusName == "JUMO" && !signal.SignalName.empty() && signal.SignalName[0] != '_';
}

bool IsJumoOutput(const TSignalSet& signal) {
  return signal.BusName == "JUMO" && !signal.SignalName.empty() && signal.SignalName[0] == '_';
}

bool JumoRead(const JumoPollerContext& c) {
  try {
    // Switching emulation takes effect at the next pass, never half-way through one.
    const bool emulated = c.control.JumoEmulFlag.load();
    if (!emulated && !LinkReady(c)) return false;
    const auto& signals = c.signals.Signals();
    for (size_t slot = 0; slot < signals.size(); ++slot) {
      const TSignalSet& signal = signals[slot];
      if (!IsJumoInput(signal)) continue;
      const int module = ModuleOf(signal);
      const int index = static_cast<int>(slot);
      if (emulated) {
        c.signals.RawValues.SetSlot(index, c.signals.EmulatorValues.Slot(index));
        c.control.ModuleLastOk[module].store(Now());
        continue;
      }
      if (Stopped(c)) return false;
      double value = 0;
      if (ReadSignal(*c.link, signal, &value)) {
        c.signals.RawValues.SetSlot(index, value);
        c.control.ModuleLastOk[module].store(Now());
      } else if (Stopped(c)) {
        return false;  // the stop ended the exchange: not the controller's failure
      } else {
        c.control.ModuleErrors[module].fetch_add(1);
        PostEvent(std::string(kTextJumoReadFailed) + signal.SignalName);
      }
      if (!PauseUnlessStopped(c.control, kJumoReadPauseMs)) return false;
    }
    return true;
  } catch (...) {
    PostEvent(kTextJumoReadFault);
    return false;
  }
}

bool JumoWrite(const JumoPollerContext& c) {
  if (!c.setpoints.JumoWritePending.load()) {
    PauseUnlessStopped(c.control, kJumoIdleWritePauseMs);
    return true;
  }
  ConsumeWritePass(c.setpoints);
  if (c.control.JumoEmulFlag.load()) {
    PauseUnlessStopped(c.control, kJumoIdleWritePauseMs);
    return true;
  }
  if (!LinkReady(c)) return false;
  bool result = true;
  const auto& signals = c.signals.Signals();
  for (size_t slot = 0; slot < signals.size(); ++slot) {
    const TSignalSet& signal = signals[slot];
    if (!IsJumoOutput(signal)) continue;
    if (Stopped(c)) return false;
    Address(*c.link, signal);
    const float value = ToSingle(c.signals.OutputValues.Slot(static_cast<int>(slot)));
    if (!c.link->WritePair(signal.Addr, std::bit_cast<uint32_t>(value))) {
      if (Stopped(c)) return false;  // the stop ended the exchange
      // The controller did not confirm the set-point: counted and posted like a failed read.
      c.control.ModuleErrors[ModuleOf(signal)].fetch_add(1);
      PostEvent(std::string(kTextJumoWriteFailed) + signal.SignalName);
      result = false;
    }
    if (!PauseUnlessStopped(c.control, kJumoWritePauseMs)) return false;
  }
  return result;
}

void RunJumoPass(const JumoPollerContext& c) {
  c.counters.JumoCycleCounter.fetch_add(1);
  JumoRead(c);
  JumoWrite(c);
}

void RunJumoPoller(const JumoPollerContext& c) {
  RaiseThreadPriority(ThreadPriority::kHighest);
  c.counters.JumoCycleCounter.store(0);
  ModbusLineRecovery recovery(c.link);
  while (!Stopped(c)) {
    const uint32_t t0 = TickCount();
    if (!c.control.JumoEmulFlag.load()) recovery.BeforePass();
    RunJumoPass(c);
    WaitCycleEnd(c.control, t0, kCyclePeriodMs);
  }
}

int JumoPollerEntry(const JumoPollerContext& c) {
  return RunThreadEntry(c.control.JumoActive, kThreadNameJumo, [&c] { RunJumoPoller(c); });
}

}  // namespace kalvix
