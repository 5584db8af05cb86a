#include "devices/bk003_poller.h"

#include <utility>

#include "devices/bus_exchange.h"
#include "plant/stop_pause.h"
#include "plant/thread_entry.h"
#include "plant/thread_priority.h"
#include "util/date_time.h"
#include "util/tick_count.h"

namespace kalvix {

Bk003Poller::Bk003Poller(const Bk003PollerContext& context, Bk003PollerSettings settings)
    : context_(context),
      settings_(std::move(settings)),
      link_(settings_.workDir, settings_.setTimeouts) {
  // The poller owns its port, so it is the one to make the stop request reach the port's
  // waits: a stop then ends an exchange in progress at once.
  link_.WatchStop(context_.control.StopRequest.PollFd());
}

void Bk003Poller::Run() {
  RaiseThreadPriority(ThreadPriority::kHighest);
  Start();
  while (!context_.control.StopRequest.load(std::memory_order_acquire)) {
    const BkPassOutcome outcome = RunPass();
    context_.control.PollerFirstPasses.PassEnded(Poller::kBk003);
    if (outcome == BkPassOutcome::kGaveUp) break;
    PauseAfter(outcome);
  }
  Finish();
}

void Bk003Poller::Start() {
  OpenPort();
  context_.counters.BkCycleCounter.store(0);
  context_.counters.BkFailCount.store(0);
}

BkPassOutcome Bk003Poller::RunPass() {
  PollerCounters& counters = context_.counters;
  counters.BkCycleCounter.fetch_add(1);
  if (!link_.IsOpen()) {
    OpenPort();
    counters.BkFailCount.fetch_add(1);
    if (!link_.IsOpen()) {
      return ++failedReopenings_ > kBkFailLimit ? BkPassOutcome::kGaveUp : BkPassOutcome::kNoPort;
    }
    failedReopenings_ = 0;
  }
  requestTick_ = TickCount();
  BkReadings readings;
  const BkExchangeResult result =
      link_.Exchange(settings_.deviceNum, settings_.bkk23Mask, &readings);
  RecordExchange(context_.ledgers[kModuleBk003], link_.LastExchange());
  switch (result) {
    case BkExchangeResult::kOk:
      Store(readings);
      return BkPassOutcome::kAnswer;
    case BkExchangeResult::kNotOpen:
      return BkPassOutcome::kNoPort;
    case BkExchangeResult::kWriteFailed:
      counters.BkFailCount.fetch_add(1);
      link_.Close();
      return BkPassOutcome::kWriteFailed;
    case BkExchangeResult::kReadFailed:
      link_.Close();
      return BkPassOutcome::kReadFailed;
    case BkExchangeResult::kShortAnswer:
      counters.BkFailCount.fetch_add(1);
      return BkPassOutcome::kShortAnswer;
  }
  return BkPassOutcome::kNoPort;
}

bool Bk003Poller::OpenPort() {
  if (!link_.BkOpenPort(settings_.portName, settings_.speed)) return false;
  if (openedBefore_) context_.ledgers[kModuleBk003].RecordReopening();
  openedBefore_ = true;
  return true;
}

void Bk003Poller::PauseAfter(BkPassOutcome outcome) const {
  switch (outcome) {
    case BkPassOutcome::kAnswer:
      WaitCycleEnd(context_.control, requestTick_, kCyclePeriodMs);
      return;
    case BkPassOutcome::kShortAnswer:
      PauseUnlessStopped(context_.control, settings_.shortAnswerPauseMs);
      return;
    case BkPassOutcome::kNoPort:
    case BkPassOutcome::kWriteFailed:
    case BkPassOutcome::kReadFailed:
      PauseUnlessStopped(context_.control, settings_.retryPauseMs);
      return;
    case BkPassOutcome::kGaveUp:
      return;
  }
}

void Bk003Poller::Store(const BkReadings& readings) {
  SignalSet& signals = context_.signals;
  // A name missing from the set resolves to the spare slot, so the poller goes on without it.
  signals.RawValues.SetSlot(signals.SignalIndex("G23"), readings.G23);
  signals.RawValues.SetSlot(signals.SignalIndex("TNK23"), readings.TNK23);
  signals.RawValues.SetSlot(signals.SignalIndex("BKK23"), readings.BKK23);
  context_.control.ModuleLastOk[kModuleBk003].store(Now());
}

int Bk003PollerEntry(const Bk003PollerContext& context, const Bk003PollerSettings& settings) {
  return RunThreadEntry(context.control.BkActive, kThreadNameBk003, [&] {
    Bk003Poller poller(context, settings);
    poller.Run();
  });
}

}  // namespace kalvix
