#include "persistence/spool_keeper.h"

#include <vector>

#include "journal/event_log.h"
#include "persistence/journal_record.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

std::string Moment(DateTime moment) { return FormatDateTime("dd.mm.yyyy hh:nn:ss", moment); }

// Whether control_log holds the row already: the statement that wrote it may have reached the
// server before its connection broke, or a former write-back may have ended before its
// removal from the spool.
DbStatus JournalRowPresent(DbConnection& work, const SpoolRow& row, bool& present) {
  DbValue count;
  const DbStatus status =
      work.QueryValue("select count(*) as Rez from control_log where RecMoment='" +
                          FormatDateTime("yyyy-mm-dd hh:nn:ss", row.moment) +
                          "' and NPP=" + SqlFloat(static_cast<double>(row.npp)) +
                          " and MessageText=" + SqlText(row.message),
                      "Rez", count);
  double n = 0;
  present = status.ok() && DbToNumber(count, n) && n > 0;
  return status;
}

// The same row as the spool gave it before: a new spool file numbers its rows anew.
bool SameRow(const SpoolRow& a, const SpoolRow& b) {
  return a.id == b.id && a.revision == b.revision && a.kind == b.kind && a.moment == b.moment &&
         a.statement == b.statement && a.npp == b.npp && a.message == b.message &&
         a.source == b.source;
}

}  // namespace

SpoolStatus SpoolKeeper::Open(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
  }
  const SpoolStatus status = spool_.Open(path);
  if (!status.ok()) {
    PostEvent("*** Буфер записей " + path + " не открыт: " + status.Describe() + " ***");
  }
  Refresh();
  if (const int64_t rows = waiting_.load(); rows > 0) {
    PostEvent("Записей в буфере от прошлой работы: " + std::to_string(rows));
  }
  return status;
}

void SpoolKeeper::Close() { spool_.Close(); }

SpoolStatus SpoolKeeper::EnsureOpen() {
  if (spool_.IsOpen()) return SpoolStatus::Ok();
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = path_;
  }
  if (path.empty()) return {SpoolErrorKind::kNotOpen, 0, "no spool file"};
  return spool_.Open(path);
}

void SpoolKeeper::Kept(const SpoolPutResult& put) {
  if (!put.status.ok()) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++lostRows_;
    lostReason_ = put.status.Describe();
    return;
  }
  if (put.dropped > 0) {
    PostEvent("*** Буфер записей: удалено старейших строк: " + std::to_string(put.dropped) +
              " (старше " + std::to_string(maxDays_.load()) + " дн.) ***");
  }
  Refresh();
}

void SpoolKeeper::KeepJournal(DateTime moment, int32_t npp, std::string_view message,
                              std::string_view source) {
  SpoolPutResult put;
  put.status = EnsureOpen();
  if (put.status.ok()) put = spool_.PutJournal(moment, npp, message, source, maxDays_.load());
  Kept(put);
}

void SpoolKeeper::KeepMinute(DateTime moment, std::string_view minuteKey, std::string_view upsert,
                             std::string_view counters) {
  SpoolPutResult put;
  put.status = EnsureOpen();
  if (put.status.ok()) {
    put = spool_.PutMinute(moment, minuteKey, upsert, maxDays_.load(), counters);
  }
  Kept(put);
}

void SpoolKeeper::Refresh() {
  int64_t rows = 0;
  std::optional<DateTime> oldest;
  if (!spool_.Count(rows).ok() || !spool_.OldestMoment(oldest).ok()) return;
  waiting_.store(rows);
  oldest_.store(oldest.value_or(0));
}

int SpoolKeeper::Replay(DbConnection& work, int budget) {
  if (budget <= 0 || waiting_.load() == 0) return 0;
  std::vector<SpoolRow> rows;
  if (!spool_.Oldest(static_cast<size_t>(budget), rows).ok()) return 0;
  int done = 0;
  for (const SpoolRow& row : rows) {
    if (!unremoved_ || !SameRow(*unremoved_, row)) {
      DbStatus status;
      std::string sql = row.statement;
      if (row.kind == SpoolRowKind::kJournal) {
        bool present = false;
        status = JournalRowPresent(work, row, present);
        sql = JournalStatement(row.moment, row.npp, row.message, row.source);
        if (status.ok() && !present) status = work.Execute(sql);
      } else {
        status = work.Execute(sql);
      }
      if (status.ConnectionDown()) break;  // stays for the next session
      if (!status.ok()) {
        PostEvent("*** SQL error: " + SqlText(sql));
        PostEvent("    MySQL: " + status.Describe());
        PostEvent("*** Строка буфера записей от " + Moment(row.moment) +
                  " отвергнута сервером и удалена ***");
      } else {
        ++replayed_;
      }
      unremoved_ = row;
    }
    // A minute rewritten meanwhile keeps its newer values for the next round. A removal that
    // fails (a full disk fails a delete too) is tried again without writing the row again:
    // the minute may have been written since by a new start within it.
    if (!spool_.Remove(row.id, row.revision).ok()) break;
    unremoved_.reset();
    ++done;
  }
  Refresh();
  if (waiting_.load() == 0 && replayed_ > 0) {
    const int64_t replayed = replayed_;
    replayed_ = 0;
    if (replayEnded_) replayEnded_(replayed);
  }
  return done;
}

SpoolWaiting SpoolKeeper::Waiting() const {
  SpoolWaiting w;
  w.rows = waiting_.load();
  if (const double oldest = oldest_.load(); w.rows > 0 && oldest != 0) w.oldest = oldest;
  return w;
}

std::optional<KeptMinute> SpoolKeeper::NewestMinute(std::string_view before) {
  SpoolRow row;
  bool found = false;
  if (!spool_.NewestMinute(before, row, found).ok() || !found) return std::nullopt;
  return KeptMinute{row.minuteKey, row.moment, row.counters};
}

void SpoolKeeper::ReportMinute() {
  int64_t lost = 0;
  std::string reason;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lost = lostRows_;
    reason = lostReason_;
    path = path_;
    lostRows_ = 0;
  }
  if (lost > 0) {
    PostEvent("*** Буфер записей " + path + " недоступен: " + reason +
              "; строк не сохранено: " + std::to_string(lost) + " ***");
  } else if (!path.empty()) {
    // Said every minute while it lasts, rows or not: the next outage would lose its rows.
    if (const SpoolStatus status = EnsureOpen(); !status.ok()) {
      PostEvent("*** Буфер записей " + path + " не открыт: " + status.Describe() + " ***");
    } else {
      Refresh();
    }
  }
  const SpoolWaiting w = Waiting();
  if (w.rows > 0) {
    PostEvent("Записей в буфере: " + std::to_string(w.rows) +
              (w.oldest ? ", старейшая от " + Moment(*w.oldest) : std::string()));
  }
}

}  // namespace kalvix
