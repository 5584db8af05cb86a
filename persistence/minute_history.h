// The minute history: one pu_data row per minute with every signal's averaged value. The
// first cycle of a minute inserts the row, later cycles of the minute overwrite it, so it
// ends with the minute's last values. The history also keeps the minute totals G_1T2,
// G_1T23 and G_1T41: the rise of the counters G2, G23 and G41 during the minute, times 0.1.
//
// Two ways of computing the totals: the current one keeps the counters in memory, primed
// from the newest stored minute when the user connection opens; the old one (setting
// old_update_mode) reads the previous minute's counter back from the database every cycle.
//
// A minute that could not be written as it went - the work connection down at one of its
// cycles, one of its statements refused by a full queue or given up with the connection - is
// handed whole to the statement sink's keeper (the spool) once it has ended: its row as its
// last cycle left it, as one statement that inserts it or updates the row already there.
// Its totals are the counters' rise in that minute, as if the server had never gone. While
// the minute runs, its first cycle with the server there queues that whole-row statement in
// place of the update, so its row is there at once; the minute is then kept only if a
// statement of it fails again.
//
// Threads: Update_PAF_record and KeepUnwrittenMinute on the control thread,
// SQLConnectionUserAfterConnect on the window thread, a lost statement's report on the
// database thread; the state they share is guarded by a mutex.
#ifndef KALVIX_PERSISTENCE_MINUTE_HISTORY_H_
#define KALVIX_PERSISTENCE_MINUTE_HISTORY_H_

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "persistence/db_connection.h"
#include "persistence/sql_interfaces.h"
#include "plant/control_state.h"
#include "plant/signal_set.h"

namespace kalvix {

// "2011-07-05 14:03:00": the key of the minute holding `moment`. A shorter "minute"
// (minuteSeconds dividing 60; tests only) starts at its own second: "2011-07-05 14:03:20".
std::string MinuteKey(DateTime moment, int minuteSeconds = 60);

// One column of a history row and its value.
struct HistoryValue {
  std::string name;
  double value = 0;
};

// "INSERT into pu_data (RecMoment , `A`, `_B`) VALUES( '2011-07-05 14:03:00' , 1.5, 40) ON
// DUPLICATE KEY UPDATE `A`=VALUES(`A`)": a kept minute's row, written again whether or not
// the minute's insert reached the server. Set-points ("_") are written only by the insert,
// as the minute's own statements do.
std::string HistoryUpsertStatement(const std::vector<HistoryValue>& row, const std::string& key);

// A kept minute row's carry: what the history needs from it at a new start.
struct KeptMinute {
  std::string key;
  DateTime moment = 0;   // the minute's last cycle
  std::string counters;  // as KeepMinute received it
};

// "INSERT into pu_data (RecMoment , `A`, `_B`) VALUES( '2011-07-05 14:03:00' , 1.5, 40)"
std::string HistoryInsertStatement(const SignalSet& set, const std::string& key);
// "UPDATE pu_data SET `A`=1.5  where RecMoment='2011-07-05 14:03:00'" (no "_" signals); empty
// when no signal would be written.
std::string HistoryUpdateStatement(const SignalSet& set, const std::string& key);

struct HistoryOptions {
  double max_dg = -1;  // largest plausible rise of a counter in a minute; <= 0: no test
  bool old_update_mode = false;
  // The work connection is up. The old mode reads the server every cycle and skips the
  // cycle's history while it is down.
  bool serverUp = true;
};

class MinuteHistory {
 public:
  // minuteSeconds: the length of a history "minute"; anything but a divisor of 60 gives 60.
  // Shorter ones let tests see many minutes quickly.
  explicit MinuteHistory(int minuteSeconds = 60);

  // One cycle's history step at `now`. False, with "!!! Ошибка в функции
  // Update_PAF_record() !!!" posted on a fault, or silently when a SELECT of the old mode
  // failed; nothing is queued then.
  bool Update_PAF_record(SignalSet& set, const ControlState& control, const HistoryOptions& opt,
                         SelectSource& selects, StatementSink& statements, DateTime now = Now());

  // The end of a run: the current minute, if it could not be written as it went, goes to
  // keeper now (a statement of it given up later still follows it there).
  void KeepUnwrittenMinute(RowKeeper* keeper);

  // Primes the counters from the newest history row before the current minute, or from
  // newestKept, the newest kept minute before the current one, where that is later. Only
  // counters this process has not read yet are primed: after an outage the counters run on, so
  // no minute is counted twice. A database error is returned, with the counters as far as they
  // were set.
  DbStatus SQLConnectionUserAfterConnect(DbConnection& user, DateTime now = Now(),
                                         const KeptMinute* newestKept = nullptr);

  int MinuteSeconds() const { return minuteSeconds_; }

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
  // A minute's row as its cycles leave it, and whether it must be kept.
  struct MinuteRow {
    std::string key;
    DateTime moment = 0;  // its last cycle
    std::vector<HistoryValue> values;
    bool unwritten = false;  // a cycle's statement was not taken or was given up
    bool kept = false;       // handed to the keeper
  };

  bool OldModeTotals(SignalSet& set, const std::string& key, SelectSource& selects);
  void RefreshCounters(const SignalSet& set, const ControlState& control, DateTime now);
  void ComputeTotals(SignalSet& set, double maxDg);
  // The cycle's values into current_ (a new row when the key changed; the previous one
  // becomes previous_).
  void RecordRow(const SignalSet& set, const std::string& key, DateTime now);
  void MarkUnwritten(const std::string& key, RowKeeper* keeper);
  static void Keep(const MinuteRow& row, RowKeeper* keeper);

  const int minuteSeconds_;
  mutable std::mutex mutex_;
  std::string lastMinuteKey_;  // guarded by mutex_
  Counters counters_;          // guarded by mutex_
  MinuteRow current_;          // guarded by mutex_
  MinuteRow previous_;         // guarded by mutex_; a statement of it may still be given up
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_MINUTE_HISTORY_H_
