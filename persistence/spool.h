// The spool: rows the database must not lose, kept on disk while they cannot be written -
// the server is down, the statement was lost with the connection, or the queue is full.
//
// One SQLite file in the working folder, in WAL mode with synchronous=FULL: every Put is one
// transaction that is on the disk when Put returns, so a killed process or a power cut loses
// at most the row being written. Two kinds of rows:
//   - a minute history row, keyed by its minute: a second Put for the same minute replaces
//     the first, so the spool holds one row per minute, as the minute's last cycle left it;
//   - a journal row, with its original moment and NPP.
// Replay takes Oldest(n), writes them and removes each only after the server confirmed it.
//
// A file that is no database or fails its check is moved aside to "<name>.corrupt-<stamp>"
// (never deleted) and a new spool is made in its place. No exception leaves the class; every
// SQLite error is a SpoolStatus with the reason. Any thread; one lock serialises the calls.
#ifndef KALVIX_PERSISTENCE_SPOOL_H_
#define KALVIX_PERSISTENCE_SPOOL_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/date_time.h"

struct sqlite3;

namespace kalvix {

enum class SpoolErrorKind {
  kNone,
  kNotOpen,   // no spool is open (never opened, or its open failed)
  kCantOpen,  // the file cannot be opened or made: a missing or unwritable folder
  kReadOnly,  // the file or its folder cannot be written
  kDiskFull,  // the disk is full or the file reached the process's size limit
  kCorrupt,   // the file is damaged; it has been moved aside
  kIo,        // another input/output error
  kOther,     // anything else SQLite refused, or no memory
};

struct SpoolStatus {
  SpoolErrorKind kind = SpoolErrorKind::kNone;
  int code = 0;         // SQLite's extended result code, 0 when none
  std::string message;  // SQLite's text, with the system's reason where there is one

  bool ok() const { return kind == SpoolErrorKind::kNone; }
  // "диск заполнен: database or disk is full (File too large)", for the log.
  std::string Describe() const;

  static SpoolStatus Ok() { return {}; }
};

enum class SpoolRowKind { kMinute = 1, kJournal = 2 };

struct SpoolRow {
  int64_t id = 0;
  // Raised by every replacing Put of a minute row: Remove with an older revision leaves the
  // newer values in place, so a minute rewritten while its replay ran is not lost.
  int64_t revision = 0;
  SpoolRowKind kind = SpoolRowKind::kJournal;
  DateTime moment = 0;
  // Minute row: its key ("2011-07-05 14:03:00") and the idempotent statement that writes it.
  std::string minuteKey;
  std::string statement;
  std::string counters;  // what the history carries into the next minute (its own text)
  // Journal row.
  int32_t npp = 0;
  std::string message;
  std::string source;
};

struct SpoolPutResult {
  SpoolStatus status;
  // Rows older than the bound that this Put removed (in the same transaction), for the log.
  int64_t dropped = 0;
};

inline constexpr int kDefaultSpoolDays = 30;

class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Opens (or makes) the spool at path, closing any open one. A damaged file is moved aside
  // with a log line and a new one made; the status then is ok.
  SpoolStatus Open(const std::string& path);
  void Close();
  bool IsOpen() const;

  // Rows whose moment lies more than maxDays before the new row's moment go in the same
  // transaction; maxDays <= 0 keeps everything.
  //
  // The minute row is stored as the full text of an idempotent upsert (INSERT ... ON
  // DUPLICATE KEY UPDATE): the replay runs it as it stands, needing neither the signal set
  // of the moment it was made (signals may be reloaded in between) nor any knowledge of
  // pu_data here, and running it twice leaves the same row.
  SpoolPutResult PutMinute(DateTime moment, std::string_view minuteKey,
                           std::string_view upsertStatement, int maxDays = kDefaultSpoolDays,
                           std::string_view counters = {});
  SpoolPutResult PutJournal(DateTime moment, int32_t npp, std::string_view message,
                            std::string_view source, int maxDays = kDefaultSpoolDays);

  // Up to n rows, oldest first: by moment, then in the order they were put.
  SpoolStatus Oldest(size_t n, std::vector<SpoolRow>& rows);
  // Removes the row if it still has this revision; removed says whether it did.
  SpoolStatus Remove(int64_t id, int64_t revision, bool* removed = nullptr);
  SpoolStatus Count(int64_t& count);
  // The minute row with the latest minute key before `before` (a minute key; empty: any);
  // found false when there is none.
  SpoolStatus NewestMinute(std::string_view before, SpoolRow& row, bool& found);
  // The moment of the oldest row; empty when the spool is empty.
  SpoolStatus OldestMoment(std::optional<DateTime>& moment);

  // Where the last damaged file was moved; empty when none was.
  std::string LastMovedAside() const;

 private:
  SpoolStatus OpenLocked(const std::string& path);
  SpoolStatus TryOpen(const std::string& path);
  SpoolStatus MoveAsideAndRecreate(const SpoolStatus& why);
  SpoolStatus Fail(int rc);
  SpoolPutResult Put(const SpoolRow& row, int maxDays);
  // Put under the lock; a file found damaged is moved aside and the row put into the new one.
  SpoolPutResult PutRecovering(const SpoolRow& row, int maxDays);
  void CloseLocked();

  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;   // guarded by mutex_
  std::string path_;        // guarded by mutex_
  std::string movedAside_;  // guarded by mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SPOOL_H_
