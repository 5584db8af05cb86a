// PollControlVector: picks a new operator task (set-points) up from control_vector, once per
// cycle on the control thread, and hands it to the pollers through the write flags.
#ifndef KALVIX_ACQUISITION_CONTROL_VECTOR_H_
#define KALVIX_ACQUISITION_CONTROL_VECTOR_H_

#include <cstdint>

#include "persistence/journal_record.h"
#include "persistence/sql_interfaces.h"
#include "plant/setpoints.h"
#include "plant/signal_set.h"
#include "util/date_time.h"

namespace kalvix {

// True when there was nothing new or the new task was applied (its journal row stamped now);
// false when a SELECT failed (nothing is changed and the row is tried again in the next cycle).
//
// A new density is placed into the output slot of "_PLSZ" before the write flag is raised:
// the JUMO poller may write on its next pass, before the next cycle's CalcWorks, and must
// then send the new set-point, not the previous one.
bool PollControlVector(Setpoints& setpoints, SignalSet& signals, int32_t maxWriteCount,
                       SelectSource& selects, JournalNumbering& journal, StatementSink& statements,
                       DateTime now = Now());

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_CONTROL_VECTOR_H_
