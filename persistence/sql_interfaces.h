// What the stages of the acquisition cycle, the plant constants and the journal hand their SQL
// to: a sink for statements that run later, in order, and a source that answers one-value
// SELECTs. In service these are the statement and select queues on the work connection; a test
// of the control loop records the statements and answers the SELECTs itself.
#ifndef KALVIX_PERSISTENCE_SQL_INTERFACES_H_
#define KALVIX_PERSISTENCE_SQL_INTERFACES_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "persistence/db_value.h"
#include "util/date_time.h"

namespace kalvix {

// Where the rows that must not be lost go while the server cannot take them: the spool in
// service. Any thread.
class RowKeeper {
 public:
  virtual ~RowKeeper() = default;

  // A journal row, with its original moment and NPP.
  virtual void KeepJournal(DateTime moment, int32_t npp, std::string_view message,
                           std::string_view source) = 0;
  // A minute's history row as one statement that inserts it or updates the row already
  // there. counters is the history's own text of what it carries into the next minute.
  virtual void KeepMinute(DateTime moment, std::string_view minuteKey, std::string_view upsert,
                          std::string_view counters) = 0;
};

class StatementSink {
 public:
  virtual ~StatementSink() = default;

  // Hands one INSERT, UPDATE or DELETE over; it runs later. False when it was not taken.
  virtual bool QueueStatement(std::string_view sql) = 0;

  // Where rows that cannot be written now are kept; null when nothing keeps them (the spool
  // is switched off): the caller then hands its statement to QueueStatement, as ever.
  virtual RowKeeper* Keeper() { return nullptr; }

  // Hands over a statement that must not be lost. False when it cannot be written now - the
  // server is down or the queue is full - and the caller keeps the row itself. `lost` runs
  // later, on the serving thread, when the statement is given up after it was taken: lost with
  // the connection, or still waiting when the service ends.
  virtual bool QueueKept(std::string_view sql, std::function<void()> lost) {
    (void)lost;
    return QueueStatement(sql);
  }
};

class SelectSource {
 public:
  virtual ~SelectSource() = default;

  // Runs sql, whose one result column is named Rez, and waits for the answer. True: value is
  // the first row's Rez (NULL when there is no row). False: no answer; value is untouched.
  virtual bool SelectValue(std::string_view sql, DbValue& value) = 0;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SQL_INTERFACES_H_
