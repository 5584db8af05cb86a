// SpoolKeeper: the service's keeper of rows that must not be lost. It puts the minute and
// journal rows that the server cannot take now into the spool on disk, writes them back
// (oldest first) when the server is there again, and says in the log how many wait.
//
// Replay is idempotent: a minute row is one statement that inserts it or updates the row
// already there; a journal row is inserted only when no row with its moment, NPP and text is
// in control_log yet. A row leaves the spool only after the server confirmed it; one the
// server refuses is said in the log and dropped, as the statement queue drops a refused
// statement, so that it cannot hold back every row behind it.
//
// A spool that cannot be opened or written costs the rows that came meanwhile (counted and
// said once a minute); the next row tries the file again.
//
// Threads: Keep* from any thread; Replay on the database thread; the rest from any thread.
#ifndef KALVIX_PERSISTENCE_SPOOL_KEEPER_H_
#define KALVIX_PERSISTENCE_SPOOL_KEEPER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "persistence/db_connection.h"
#include "persistence/minute_history.h"
#include "persistence/spool.h"
#include "persistence/sql_interfaces.h"

namespace kalvix {

// What the status page and the log show.
struct SpoolWaiting {
  int64_t rows = 0;
  std::optional<DateTime> oldest;
};

class SpoolKeeper final : public RowKeeper {
 public:
  SpoolKeeper() = default;

  // Opens (or makes) the spool at path; rows a former run left are counted and will be
  // written back. Says in the log what fails.
  SpoolStatus Open(const std::string& path);
  void Close();
  // The bound: rows older than this many days before the newest go (<= 0: no bound).
  void SetMaxDays(int days) { maxDays_.store(days); }

  void KeepJournal(DateTime moment, int32_t npp, std::string_view message,
                   std::string_view source) override;
  void KeepMinute(DateTime moment, std::string_view minuteKey, std::string_view upsert,
                  std::string_view counters) override;

  // Writes up to budget rows back on work (connected), oldest first; returns how many left
  // the spool. When the spool runs empty after a write-back, `replayEnded` hears how many
  // rows it took.
  int Replay(DbConnection& work, int budget);
  void SetReplayEnded(std::function<void(int64_t rows)> ended) { replayEnded_ = std::move(ended); }

  SpoolWaiting Waiting() const;
  // The newest kept minute before the minute `before` (its key), for the counters' priming at
  // a new start: a restart within a kept minute counts that minute from the one before it.
  std::optional<KeptMinute> NewestMinute(std::string_view before = {});

  // The minute's lines: rows that could not be kept since the last call (and why), and how
  // many rows wait and since when. Called once a minute.
  void ReportMinute();

 private:
  void Kept(const SpoolPutResult& put);
  void Refresh();
  SpoolStatus EnsureOpen();

  Spool spool_;
  std::atomic<int> maxDays_{kDefaultSpoolDays};
  std::atomic<int64_t> waiting_{0};
  std::atomic<double> oldest_{0};             // 0: none
  std::function<void(int64_t)> replayEnded_;  // set before the database thread runs
  int64_t replayed_ = 0;                      // database thread only: rows of this write-back
  // Database thread only: the row the server has taken whose removal from the spool failed.
  std::optional<SpoolRow> unremoved_;

  mutable std::mutex mutex_;
  std::string path_;        // guarded by mutex_
  int64_t lostRows_ = 0;    // guarded by mutex_; rows not kept since the last report
  std::string lostReason_;  // guarded by mutex_
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SPOOL_KEEPER_H_
