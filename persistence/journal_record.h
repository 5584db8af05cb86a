// Journal rows: events that the plant's other programs must see go into the table
// control_log. AddJournalRecord builds the INSERT and hands it to the statement queue, so
// it never waits for the database and may be called from the window thread and the control
// thread alike.
#ifndef KALVIX_PERSISTENCE_JOURNAL_RECORD_H_
#define KALVIX_PERSISTENCE_JOURNAL_RECORD_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "util/date_time.h"

namespace kalvix {

class StatementSink;

// The source of the service's own journal rows.
inline constexpr const char* kServiceSource = "СЛУЖБА ПРИЕМА";

// The NPP numbering of journal rows: the millisecond part of the moment, raised by one when
// it repeats the last number within the same 0.001-day interval, so rows of one second stay
// apart. Numbering restarts with every start of the service. Any thread; one lock.
class JournalNumbering {
 public:
  // constructed: the moment the service started, the first "last moment".
  explicit JournalNumbering(DateTime constructed);

  // The NPP for a row at now (0 to 1000); now becomes the last moment.
  int32_t Next(DateTime now);

 private:
  std::mutex mutex_;
  DateTime lastMoment_;  // guarded by mutex_
  int32_t lastNpp_ = 0;  // guarded by mutex_
};

// The INSERT of one journal row; an empty source gives NULL.
std::string JournalStatement(DateTime moment, int32_t npp, std::string_view message,
                             std::string_view source);

// Queues one journal row stamped now. False when message is empty (nothing is written) or
// the hand-over failed ("*** Ошибка добавления записи в журнал. ***" is posted). A row that
// cannot be written now (the server down, the queue full) or is given up later goes to the
// queue's keeper with its moment and NPP; with no keeper a full queue loses it silently.
bool AddJournalRecord(JournalNumbering& numbering, StatementSink& queue, std::string_view message,
                      std::string_view source);

// The same, stamped at a given moment.
bool AddJournalRecordAt(JournalNumbering& numbering, StatementSink& queue, DateTime now,
                        std::string_view message, std::string_view source);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_JOURNAL_RECORD_H_
