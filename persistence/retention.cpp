#include "persistence/retention.h"

#include <cmath>

#include "persistence/sql_statement_queue.h"

namespace kalvix {
namespace {

// Whole hours between two moments, either way round. Counted on milliseconds so that a span
// of exactly two hours is not lost to the rounding of the day fractions.
long long WholeHoursBetween(DateTime a, DateTime b) {
  const long long ms = std::llround(std::fabs(a - b) * kMillisecondsPerDay);
  return ms / 3600000;
}

}  // namespace

RetentionCheck::RetentionCheck(DateTime lastClean) : lastClean_(lastClean) {}

std::vector<std::string> RetentionStatements(int databaseSize) {
  const std::string cond =
      " where DATEDIFF( CURDATE(), RecMoment ) > " + std::to_string(databaseSize);
  return {"delete from pu_data " + cond, "delete from control_log " + cond,
          "delete from control_vector " + cond};
}

bool RetentionCheck::Run(bool autoCleanFlag, int databaseSize, DateTime now,
                         SqlStatementQueue& queue) {
  if (!autoCleanFlag || databaseSize < kMinRetentionDays) return false;
  if (WholeHoursBetween(now, lastClean_) <= 1) return false;
  lastClean_ = now;
  for (const std::string& sql : RetentionStatements(databaseSize)) queue.QueueStatement(sql);
  return true;
}

}  // namespace kalvix
