// The minute history: one pu_data row per minute with every signal's averaged value. The
// first cycle of a minute inserts the row, later cycles of the minute overwrite it, so it
// ends with the minute's last values. The history also keeps the minute totals G_1T2,
// G_1T23 and G_1T41: the rise of the counters G2, G23 and G41 during the minute, times 0.1.
//
// Two ways of computing the totals: the current one keeps the counters in memory, primed
// from the newest stored minute when the user connection opens; the old one (setting
// old_update_mode) reads the previous minute's counter back from the database every cycle.
//
// Threads: Update_PAF_record on the control thread, SQLConnectionUserAfterConnect on the
// window thread; the counter state they share is guarded by a mutex.
#ifndef KALVIX_PERSISTENCE_MINUTE_HISTORY_H_
#define KALVIX_PERSISTENCE_MINUTE_HISTORY_H_

#include <array>
#include <mutex>
#include <string>

#include "persistence/db_connection.h"
#include "persistence/sql_interfaces.h"
#include "plant/control_state.h"
#include "plant/signal_set.h"

namespace kalvix {

// "2011-07-05 14:03:00": the key of the minute holding `moment`.
std::string MinuteKey(DateTime moment);

// "INSERT into pu_data (RecMoment , `A`, `_B`) VALUES( '2011-07-05 14:03:00' , 1.5, 40)"
std::string HistoryInsertStatement(const SignalSet& set, const std::string& key);
// "UPDATE pu_data SET `A`=1.5  where RecMoment='2011-07-05 14:03:00'" (no "_" signals); empty
// when no signal would be written.
std::string HistoryUpdateStatement(const SignalSet& set, const std::string& key);

struct HistoryOptions {
  double max_dg = -1;  // largest plausible rise of a counter in a minute; <= 0: no test
  bool old_update_mode = false;
};

class MinuteHistory {
 public:
  // One cycle's history step at `now`. False, with "!!! Ошибка в функции
  // Update_PAF_record() !!!" posted on a fault, or silently when a SELECT of the old mode
  // failed; nothing is queued then.
  bool Update_PAF_record(SignalSet& set, const ControlState& control, const HistoryOptions& opt,
                         SelectSource& selects, StatementSink& statements, DateTime now = Now());

  // Primes the counters from the newest history row before the current minute. A database
  // error is returned, with the counters as far as they were set.
  DbStatus SQLConnectionUserAfterConnect(DbConnection& user, DateTime now = Now());

  struct Counters {
    std::array<double, 3> start{};  // G2, G23, G41
    std::array<double, 3> last{};
    // Whether the counter has a reading at all (from the history or the device): a counter
    // without one starts counting at its first reading, not at 0.
    std::array<bool, 3> known{};
    std::string previousMinuteKey;
    DateTime lastRefresh = 0;
  };
  Counters CurrentCounters() const;

 private:
  bool OldModeTotals(SignalSet& set, const std::string& key, SelectSource& selects);
  void RefreshCounters(const SignalSet& set, const ControlState& control, DateTime now);
  void ComputeTotals(SignalSet& set, double maxDg);

  mutable std::mutex mutex_;
  std::string lastMinuteKey_;  // guarded by mutex_
  Counters counters_;          // guarded by mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_MINUTE_HISTORY_H_
