// The current-state record: the one row of last_state that the plant's other programs read,
// rewritten every cycle with the instantaneous value of every signal that is read or
// calculated (set-points written to devices are left out).
//
// Control thread only. The object lives as long as the service: the check that the row
// exists is made once per run, not at every start of the control thread.
#ifndef KALVIX_PERSISTENCE_STATE_RECORD_H_
#define KALVIX_PERSISTENCE_STATE_RECORD_H_

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

 private:
  bool rowChecked_ = false;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_STATE_RECORD_H_
