// Shared fixture of the state-record and minute-history suites: a scratch database whose
// tables carry the columns of a small signal set, and the window thread's statement server.
#ifndef KALVIX_TESTING_HISTORY_TEST_SUPPORT_H_
#define KALVIX_TESTING_HISTORY_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "persistence/retention.h"
#include "persistence/sql_literal.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"
#include "plant/signal_set.h"
#include "testing/test_database.h"

namespace kalvix::testing {

inline TSignalSet Signal(const std::string& name, const std::string& direction) {
  TSignalSet s;
  s.BusName = "V120";
  s.SignalName = name;
  s.Direction = direction;
  return s;
}

class RecordTest : public DbTest {
 protected:
  // Gives the tables pu_data and last_state exactly the columns of `signals`.
  void UseSignals(std::vector<TSignalSet> signals) {
    std::string history = "create table pu_data (RecMoment datetime not null primary key";
    std::string state = "create table last_state (RecMoment datetime";
    for (const TSignalSet& s : signals) {
      history += ", " + SqlIdentifier(s.SignalName) + " double";
      if (s.Direction != "WRITE") state += ", " + SqlIdentifier(s.SignalName) + " double";
    }
    db_.Exec("drop table pu_data");
    db_.Exec("drop table last_state");
    db_.Exec(history + ")");
    db_.Exec(state + ")");
    set_.Replace(std::move(signals));
  }

  // Runs every queued statement, as the window thread's statement timer would; a statement
  // the server rejects shows up as an event.
  void RunStatements() {
    if (!work_.Connected()) {
      ASSERT_TRUE(work_.Connect().ok());
    }
    std::atomic<bool> closing{false};
    RetentionCheck retention(Now());
    const RetentionPolicy policy;
    while (statements_.Count() > 0) {
      ASSERT_GT(TimerMySQL_workTimer(statements_, work_, closing, retention, policy), 0);
    }
  }

  int Slot(const char* name) const { return set_.SignalIndex(name); }

  SignalSet set_;
  SqlSelectQueue selects_;
  SqlStatementQueue statements_;
};

}  // namespace kalvix::testing

#endif  // KALVIX_TESTING_HISTORY_TEST_SUPPORT_H_
