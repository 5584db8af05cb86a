// What the stages of the acquisition cycle, the plant constants and the journal hand their SQL
// to: a sink for statements that run later, in order, and a source that answers one-value
// SELECTs. In service these are the statement and select queues on the work connection; a test
// of the control loop records the statements and answers the SELECTs itself.
#ifndef KALVIX_PERSISTENCE_SQL_INTERFACES_H_
#define KALVIX_PERSISTENCE_SQL_INTERFACES_H_

#include <string_view>

#include "persistence/db_value.h"

namespace kalvix {

class StatementSink {
 public:
  virtual ~StatementSink() = default;

  // Hands one INSERT, UPDATE or DELETE over; it runs later. False when it was not taken.
  virtual bool QueueStatement(std::string_view sql) = 0;
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
