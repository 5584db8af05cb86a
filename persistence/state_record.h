// The current-state record: the one row of last_state that the plant's other programs read,
// rewritten every cycle with the instantaneous value of every signal that is read or
// calculated (set-points written to devices are left out).
//
// Control thread only, but for LastQueuedNs, which any thread reads. The object lives as long
// as the service: the check that the row exists is made once per run, not at every start of
// the control thread.
#ifndef KALVIX_PERSISTENCE_STATE_RECORD_H_
#define KALVIX_PERSISTENCE_STATE_RECORD_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "persistence/sql_interfaces.h"
#include "plant/signal_set.h"

namespace kalvix {

// "UPDATE last_state SET RecMoment=Now(), `A`=1.5, `C`=0.25"
std::string StateRecordStatement(const SignalSet& set);

class StateRecord {
 public:
  // Queues the UPDATE (inserting the row first when the table is empty, once per run).
  // False, with "!!! Ошибка в функции UpdateStateRecord() !!!" posted, on a fault.
  bool UpdateStateRecord(const SignalSet& set, SelectSource& selects, StatementSink& statements);

  // Steady-clock time, in nanoseconds, at which the statement queue last accepted the row's
  // UPDATE; 0 before the first. Stamped on the queue's acceptance, not the server's answer:
  // while the server is away the cycles skip the row and a full queue refuses it, so the
  // stamp ages then; a server that holds the statements without answering shows in the
  // queue's length instead.
  int64_t LastQueuedNs() const { return lastQueuedNs_.load(std::memory_order_relaxed); }

 private:
  bool rowChecked_ = false;
  std::atomic<int64_t> lastQueuedNs_{0};
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_STATE_RECORD_H_
