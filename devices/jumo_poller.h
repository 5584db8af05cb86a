// The JUMO poller: once a second it reads every JUMO input signal through the Modbus master
// into RawValues, and while a new density set-point is pending it writes every JUMO output
// signal. Per controller it keeps the time of the last good read and a count of failed
// reads and unconfirmed writes (ModuleLastOk and ModuleErrors, entries " JUMO 1" and
// " JUMO 2").
//
// Signals: a JUMO input is a signal of bus "JUMO" whose name is not empty and does not begin
// with "_"; a JUMO output is one whose name begins with "_". DevNum 1 counts for " JUMO 1",
// every other DevNum for " JUMO 2".
//
// The loop (passes, pauses, pacing, line recovery) is the poller skeleton's
// (devices/poller_skeleton.h); this poller supplies the JUMO steps. Each exchange names its
// controller and register order (ModbusTarget), so the master's DevAddr and byte-order
// fields stay as their owner set them. Every exchange is booked in its controller's bus
// ledger (good with its round-trip, or failed by cause), except one a stop request ended;
// a reopened line counts for both controllers.
//
// Ownership and threads: everything the context refers to belongs to the state owner and
// must outlive the poller thread. The poller thread is the only one that transacts on the
// Modbus master; the control thread opens and closes it. The context is copied into the
// thread when it starts.
#ifndef KALVIX_DEVICES_JUMO_POLLER_H_
#define KALVIX_DEVICES_JUMO_POLLER_H_

#include <cstdint>

#include "devices/bus_ledger.h"
#include "devices/modbus_io.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/setpoints.h"
#include "plant/signal_set.h"

namespace kalvix {

struct JumoPollerContext {
  ControlState& control;
  SignalSet& signals;
  Setpoints& setpoints;
  PollerCounters& counters;
  TModBUS* link;  // ModbusLink; null while it does not exist
  BusLedgers& ledgers;
};

// The pauses the line was commissioned with: after each signal read, after each set-point
// write, and in place of a write pass that has nothing to send. With the plant's seven inputs
// a pass takes about 0.4 s plus 0.1 s, well inside the 980 ms period.
inline constexpr uint32_t kJumoReadPauseMs = 50;
inline constexpr uint32_t kJumoWritePauseMs = 200;
inline constexpr uint32_t kJumoIdleWritePauseMs = 100;

inline constexpr const char* kTextJumoReadFailed = "Сбой чтения сигнала ";
inline constexpr const char* kTextJumoWriteFailed = "Сбой записи сигнала ";
inline constexpr const char* kTextJumoReadFault = "Ошибка в функции  ModBUS_read()";

bool IsJumoInput(const TSignalSet& signal);
bool IsJumoOutput(const TSignalSet& signal);

// One read pass over the JUMO inputs, in signal-set order. With JumoEmulFlag set (as it was
// when the pass began) each input takes its EmulatorValues slot without any traffic or pause.
// Otherwise false at once, silently, when the master does not exist or is not connected; a
// failed signal is counted, posted and keeps its previous value, and the pass goes on. False
// when an unexpected fault ended the pass ("Ошибка в функции  ModBUS_read()") or a stop
// request cut it short before its end.
bool JumoRead(const JumoPollerContext& context);

// One write pass: while JumoWritePending is set, counts JumoWriteCountdown down (the pending
// state ends on the pass that finds it at 0 or below, so MaxWriteCount + 1 passes write) and
// writes each output's OutputValues slot as a single-precision float into two registers.
// Nothing is sent under JUMO emulation. A write the controller does not confirm (no echo, a
// refusal) is counted in its controller's ModuleErrors and posted as "Сбой записи сигнала "
// with the signal's name, and the pass goes on. False when the master is missing or not
// connected, when a write was not confirmed, or when a stop request cut the pass short (an
// exchange the stop ended is neither counted nor posted).
bool JumoWrite(const JumoPollerContext& context);

// One pass without the pacing wait: the pass counter, JumoRead, JumoWrite.
void RunJumoPass(const JumoPollerContext& context);

// The poller's body: raises the thread's priority, zeroes JumoCycleCounter and runs passes
// paced to the cycle period until StopRequest is set. Every wait, the pass itself between
// two exchanges, and an exchange in progress when the link watches StopRequest (see
// SerialPort::WatchStop), ends the moment StopRequest is set.
void RunJumoPoller(const JumoPollerContext& context);

// The thread's entry: RunJumoPoller under the running flag JumoActive (see thread_entry.h).
int JumoPollerEntry(const JumoPollerContext& context);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_JUMO_POLLER_H_
