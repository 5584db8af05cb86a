#include "persistence/journal_record.h"

#include <cmath>
#include <exception>

#include "journal/event_log.h"
#include "persistence/sql_interfaces.h"
#include "persistence/sql_literal.h"

namespace kalvix {

JournalNumbering::JournalNumbering(DateTime constructed) : lastMoment_(constructed) {}

int32_t JournalNumbering::Next(DateTime now) {
  int32_t npp = DecodeDateTime(now).millisecond;
  std::lock_guard<std::mutex> lock(mutex_);
  // Rounded to 0.001 day (86.4 s): rows further apart than that cannot share a second.
  if (std::nearbyint(now * 1000.0) == std::nearbyint(lastMoment_ * 1000.0) && npp == lastNpp_) {
    ++npp;
  }
  lastNpp_ = npp;
  lastMoment_ = now;
  return npp;
}

std::string JournalStatement(DateTime moment, int32_t npp, std::string_view message,
                             std::string_view source) {
  return "insert into control_log (RecMoment, NPP, MessageText, MessageKind) VALUES('" +
         FormatDateTime("yyyy-mm-dd hh:nn:ss", moment) + "', " +
         SqlFloat(static_cast<double>(npp)) + ", " + SqlText(message) + ", " + SqlText(source) +
         ")";
}

bool AddJournalRecordAt(JournalNumbering& numbering, StatementSink& queue, DateTime now,
                        std::string_view message, std::string_view source) {
  if (message.empty()) return false;
  try {
    const int32_t npp = numbering.Next(now);
    const std::string sql = JournalStatement(now, npp, message, source);
    RowKeeper* keeper = queue.Keeper();
    if (keeper == nullptr) {
      queue.QueueStatement(sql);
      return true;
    }
    auto keep = [keeper, now, npp, text = std::string(message), from = std::string(source)] {
      keeper->KeepJournal(now, npp, text, from);
    };
    if (!queue.QueueKept(sql, keep)) keep();
    return true;
  } catch (const std::exception&) {
    PostEvent("*** Ошибка добавления записи в журнал. ***");
    return false;
  }
}

bool AddJournalRecord(JournalNumbering& numbering, StatementSink& queue, std::string_view message,
                      std::string_view source) {
  return AddJournalRecordAt(numbering, queue, Now(), message, source);
}

}  // namespace kalvix
