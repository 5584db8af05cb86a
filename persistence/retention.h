// The retention check: every two hours, queue the deletion of history, journal and
// set-point rows older than DatabaseSize days. It runs at the end of each step of the
// statement server, on that one thread, so it needs no lock; the deletes themselves run as
// ordinary queued statements at the next steps.
#ifndef KALVIX_PERSISTENCE_RETENTION_H_
#define KALVIX_PERSISTENCE_RETENTION_H_

#include <string>
#include <vector>

#include "util/date_time.h"

namespace kalvix {

class SqlStatementQueue;

// A DatabaseSize of 30 days or fewer switches the clean-up off (the settings never go below
// 60, so it takes an edited memory value to get there).
inline constexpr int kMinRetentionDays = 31;

// What the settings say about clean-up ([MySQL] AutoCleanFlag and DatabaseSize).
struct RetentionPolicy {
  bool AutoCleanFlag = true;
  int DatabaseSize = 240;  // days
};

class RetentionCheck {
 public:
  // lastClean: the moment the service started; the first clean-up comes two hours later.
  explicit RetentionCheck(DateTime lastClean);

  // Queues the three deletes when autoCleanFlag is set, databaseSize exceeds 30 and two whole
  // hours have passed since the last clean-up (which then becomes now). True when it queued
  // them. A delete the queue refuses is lost; the next attempt is two hours later.
  bool Run(bool autoCleanFlag, int databaseSize, DateTime now, SqlStatementQueue& queue);

  DateTime LastClean() const { return lastClean_; }

 private:
  DateTime lastClean_;
};

// The three deletes, in the order they run: history, journal, set-points. Age counts calendar
// days by the server's date.
std::vector<std::string> RetentionStatements(int databaseSize);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_RETENTION_H_
