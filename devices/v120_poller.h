// The V120 poller: once a second it reads every V120 input signal through the Vision link
// into RawValues, then writes the moving average of the belt weigher's rate "TNK23" to the
// signal "_TNK23" and, once after each new load set-point, the set-point to "_TNZ". It keeps
// the time of the last pass whose reads all succeeded and the number of failed passes
// (ModuleLastOk and ModuleErrors, entry " V-120").
//
// Signals: a V120 input is a signal of bus "V120" with Direction "READ"; the outputs are the
// signals of bus "V120" named "_TNK23" and "_TNZ". By Kind: INT is a 16-bit operand (RW/SW),
// LONG a 32-bit one (RNL/SNL), BIT a memory bit (RB, read only); FLOAT cannot be read, and
// such a signal fails every pass.
//
// The loop (passes, pacing, line recovery) is the poller skeleton's (devices/poller_skeleton.h);
// this poller supplies the V120 steps. Each exchange names its unit (VisionUnit), so the
// link's UnitID stays as its owner set it. Every exchange, reads and writes, is booked in the
// V-120's bus ledger (good with its round-trip, or failed by cause), and so is a reopened
// line.
//
// Runs (off by default, the settings key V120ReadRuns): inputs that follow one another in
// the pass with the same unit and kind and consecutive addresses are read with one request
// (the command's count field), up to what one reply can carry; each run is one exchange in
// the ledger. A run that fails ends the pass at its first input, and none of its inputs
// takes a value.
//
// Ownership and threads: everything the context refers to belongs to the state owner and
// must outlive the poller thread, which is the only caller of the link's exchanges. The
// context is copied into the thread when it starts.
#ifndef KALVIX_DEVICES_V120_POLLER_H_
#define KALVIX_DEVICES_V120_POLLER_H_

#include <cstdint>
#include <optional>

#include "devices/bus_ledger.h"
#include "devices/vision_link.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/setpoints.h"
#include "plant/signal_set.h"

namespace kalvix {

struct V120PollerContext {
  ControlState& control;
  SignalSet& signals;
  Setpoints& setpoints;
  PollerCounters& counters;
  TVisionLink& link;  // VisionLink
  BusLedgers& ledgers;
  bool readRuns = false;  // V120ReadRuns
};

inline constexpr const char* kTextV120ReadFault = "Ошибка в  V120_read";

bool IsV120Input(const TSignalSet& signal);

// The most operands of a kind one request reads: the two hexadecimal digits of the count
// field, and no more than a reply line of the link's longest length carries.
int32_t V120MaxRun(int32_t kind);

// The integer a value is written as: truncated toward zero, its low 32 bits. Empty for a
// value that is not a number or infinite, which is then not written at all.
std::optional<int32_t> V120WriteValue(double value);

// One read pass over the V120 inputs, in signal-set order, without pauses (each exchange is
// paced by the controller's reply), an exchange per input or per run. With V120EmulFlag set (as it
// was when the pass began) each input takes its EmulatorValues slot without traffic. The first
// failed read ends the pass with false; the inputs after it keep their values. False also for an
// unexpected fault
// ("Ошибка в  V120_read") and when a stop request cut the pass short.
bool V120Read(const V120PollerContext& context);

// One write pass: "_TNK23" from the AveragedValues slot of "TNK23" every pass, "_TNZ" from
// TnzSetpoint when TnzWritePending is set, which is cleared before the write whatever its
// outcome. Writes are attempted under V120 emulation too; a failed write is neither reported
// nor retried. Always true.
bool V120Write(const V120PollerContext& context);

// One pass without the pacing wait: the pass counter, V120Read (success stamps ModuleLastOk,
// failure counts in ModuleErrors, a pass cut short by a stop request does neither), V120Write.
void RunV120Pass(const V120PollerContext& context);

// The poller's body: raises the thread's priority, zeroes V120CycleCounter and runs passes
// paced to the cycle period until StopRequest is set.
void RunV120Poller(const V120PollerContext& context);

// The thread's entry: RunV120Poller under the running flag V120Active (see thread_entry.h).
int V120PollerEntry(const V120PollerContext& context);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_V120_POLLER_H_
