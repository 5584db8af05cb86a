#include "persistence/state_record.h"

#include <chrono>
#include <thread>

#include "journal/event_log.h"
#include "persistence/sql_literal.h"

namespace kalvix {

std::string StateRecordStatement(const SignalSet& set) {
  std::string sql = "UPDATE last_state SET RecMoment=Now()";
  const auto& signals = set.Signals();
  const int count = set.SignalCount();
  for (int i = 0; i < count; ++i) {
    const TSignalSet& s = signals[static_cast<size_t>(i)];
    if (s.SignalName.empty() || s.Direction == kDirectionWrite) continue;
    sql += ", " + SqlIdentifier(s.SignalName) + "=" + SqlFloat(set.InstantValues.Slot(i));
  }
  return sql;
}

bool StateRecord::UpdateStateRecord(const SignalSet& set, SelectSource& selects,
                                    StatementSink& statements) {
  try {
    if (!rowChecked_) {
      DbValue count;
      if (selects.SelectValue("select count(*) Rez from last_state", count) &&
          DbNumberOr(count, 0) < 1) {
        statements.QueueStatement("insert into last_state (RecMoment) VALUES( Now() )");
        // Let the insert reach the server before the first update.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      rowChecked_ = true;
    }
    if (statements.QueueStatement(StateRecordStatement(set))) {
      lastQueuedNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count(),
                          std::memory_order_relaxed);
    }
    return true;
  } catch (...) {
    PostEvent("!!! Ошибка в функции UpdateStateRecord() !!!");
    return false;
  }
}

}  // namespace kalvix
