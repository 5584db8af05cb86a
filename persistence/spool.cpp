#include "persistence/spool.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "journal/event_log.h"

namespace kalvix {
namespace {

// moment and id order the replay; the index keeps Oldest and the bound cheap on a spool of
// 30 days (43200 minute rows and the journal rows beside them).
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS spool_row("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " revision INTEGER NOT NULL DEFAULT 1,"
    " kind INTEGER NOT NULL,"
    " moment REAL NOT NULL,"
    " minute_key TEXT UNIQUE,"  // NULL for journal rows; NULLs never collide
    " statement TEXT,"
    " counters TEXT,"  // minute rows: what the history carries into the next minute
    " npp INTEGER,"
    " message TEXT,"
    " source TEXT);"
    "CREATE INDEX IF NOT EXISTS spool_row_order ON spool_row(moment, id);";

// Finalizes the statement on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int rc() const { return rc_; }
  sqlite3_stmt* get() const { return stmt_; }
  void Text(int index, std::string_view text) {
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
    }
  }
  void Real(int index, double value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_double(stmt_, index, value);
  }
  void Int(int index, int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
  }
  // One step; SQLITE_ROW, SQLITE_DONE or the error.
  int Step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }

  std::string ColumnText(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text != nullptr
               ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
               : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

SpoolErrorKind KindOf(int rc, int systemErrno) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return SpoolErrorKind::kNone;
    case SQLITE_FULL:
      return SpoolErrorKind::kDiskFull;
    case SQLITE_READONLY:
      return SpoolErrorKind::kReadOnly;
    case SQLITE_CANTOPEN:
      return SpoolErrorKind::kCantOpen;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return SpoolErrorKind::kCorrupt;
    case SQLITE_IOERR:
      // A write past RLIMIT_FSIZE fails with EFBIG, which SQLite reports as a write error.
      if (systemErrno == ENOSPC || systemErrno == EFBIG || systemErrno == EDQUOT) {
        return SpoolErrorKind::kDiskFull;
      }
      if (systemErrno == EROFS || systemErrno == EACCES || systemErrno == EPERM) {
        return SpoolErrorKind::kReadOnly;
      }
      return SpoolErrorKind::kIo;
    default:
      return SpoolErrorKind::kOther;
  }
}

SpoolStatus Error(SpoolErrorKind kind, int code, std::string message) {
  SpoolStatus status;
  status.kind = kind;
  status.code = code;
  status.message = std::move(message);
  return status;
}

SpoolStatus FromException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return Error(SpoolErrorKind::kOther, 0, e.what());
  } catch (...) {
    return Error(SpoolErrorKind::kOther, 0, "unknown exception");
  }
}

SpoolStatus NotOpen() { return Error(SpoolErrorKind::kNotOpen, 0, "spool is not open"); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A free name "<path>.corrupt-20110705-140327", "-2", "-3"... when several in one second.
std::string AsideName(const std::string& path) {
  const std::string base = path + ".corrupt-" + FormatDateTime("yyyymmdd-hhnnss", Now());
  std::string name = base;
  for (int n = 2; Exists(name) || Exists(name + "-wal"); ++n) name = base + "-" + std::to_string(n);
  return name;
}

// SQLite's page cache starts each connection with a block of 20 pages (about 87 kB) taken in
// one allocation; the spool of a connected service reads a few pages, so the block was most of
// what SQLite kept on the heap. Without it pages are allocated one by one as they are needed.
// Process-wide, and only possible before SQLite initialises, so the first open does it.
void UseSmallPageCache() {
  static const bool done = [] {
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    return true;
  }();
  (void)done;
}

}  // namespace

std::string SpoolStatus::Describe() const {
  const char* what = "";
  switch (kind) {
    case SpoolErrorKind::kNone:
      return "OK";
    case SpoolErrorKind::kNotOpen:
      what = "не открыт";
      break;
    case SpoolErrorKind::kCantOpen:
      what = "не открывается";
      break;
    case SpoolErrorKind::kReadOnly:
      what = "запись запрещена";
      break;
    case SpoolErrorKind::kDiskFull:
      what = "диск заполнен";
      break;
    case SpoolErrorKind::kCorrupt:
      what = "файл поврежден";
      break;
    case SpoolErrorKind::kIo:
      what = "ошибка ввода-вывода";
      break;
    case SpoolErrorKind::kOther:
      what = "ошибка";
      break;
  }
  return message.empty() ? std::string(what) : std::string(what) + ": " + message;
}

Spool::~Spool() { Close(); }

void Spool::CloseLocked() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void Spool::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

bool Spool::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

std::string Spool::LastMovedAside() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return movedAside_;
}

SpoolStatus Spool::Fail(int rc) {
  // SQLite keeps the system's reason only for some failures (not for a write past the file
  // size limit); errno still holds it, Fail being called right after the failed call.
  const int callErrno = errno;
  // The system's errno is kept from the last failed call of the file layer, so it is told only
  // for the errors that come from there.
  const int primary = rc & 0xff;
  const bool fromFiles = primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN ||
                         primary == SQLITE_FULL || primary == SQLITE_READONLY;
  int systemErrno = db_ != nullptr && fromFiles ? sqlite3_system_errno(db_) : 0;
  if (fromFiles && systemErrno == 0) systemErrno = callErrno;
  std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  if (systemErrno != 0) message += std::string(" (") + std::strerror(systemErrno) + ")";
  return Error(KindOf(rc, systemErrno), rc, std::move(message));
}

SpoolStatus Spool::TryOpen(const std::string& path) {
  CloseLocked();
  path_ = path;
  UseSmallPageCache();
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (db_ != nullptr) {
    sqlite3_extended_result_codes(db_, 1);
    // Someone reading the file by hand (the sqlite3 shell) holds its lock only briefly; a
    // short wait keeps that from failing a put, and is short enough for the control thread.
    sqlite3_busy_timeout(db_, 100);
  }
  if (rc != SQLITE_OK) {
    SpoolStatus status = Fail(rc);
    CloseLocked();
    return status;
  }
  auto failed = [this](int code) {
    SpoolStatus status = Fail(code);
    CloseLocked();
    return status;
  };
  {
    // The first read of the file: garbage shows here as "file is not a database".
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    int step = wal.Step();
    if (step != SQLITE_ROW) return failed(step);
    if (const std::string mode = wal.ColumnText(0); mode != "wal") {
      CloseLocked();
      return Error(SpoolErrorKind::kReadOnly, 0, "WAL mode refused (" + mode + ")");
    }
  }
  // FULL in WAL mode syncs the log at every commit, so a committed row survives a power cut.
  if (int step = sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
      step != SQLITE_OK) {
    return failed(step);
  }
  {
    Statement check(db_, "PRAGMA quick_check");
    int step = check.Step();
    if (step != SQLITE_ROW) return failed(step);
    if (check.ColumnText(0) != "ok") {
      SpoolStatus status =
          Error(SpoolErrorKind::kCorrupt, SQLITE_CORRUPT, "quick_check: " + check.ColumnText(0));
      CloseLocked();
      return status;
    }
  }
  if (int step = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr); step != SQLITE_OK) {
    return failed(step);
  }
  return SpoolStatus::Ok();
}

SpoolStatus Spool::MoveAsideAndRecreate(const SpoolStatus& why) {
  CloseLocked();
  const std::string aside = AsideName(path_);
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    const int err = errno;
    PostEvent("*** Файл буфера записей " + path_ + " поврежден (" + why.message +
              ") и не может быть перенесен: " + std::strerror(err) + " ***");
    return Error(SpoolErrorKind::kCorrupt, why.code,
                 why.message + "; cannot move aside: " + std::strerror(err));
  }
  // The log belongs to the damaged file and goes with it; the shared-memory index is rebuilt
  // from the log by whoever opens it.
  const std::string wal = path_ + "-wal";
  if (Exists(wal)) std::rename(wal.c_str(), (aside + "-wal").c_str());
  ::unlink((path_ + "-shm").c_str());
  movedAside_ = aside;
  PostEvent("*** Файл буфера записей " + path_ + " поврежден (" + why.message + "), перенесен в " +
            aside + "; начат новый ***");
  return TryOpen(path_);
}

SpoolStatus Spool::OpenLocked(const std::string& path) {
  SpoolStatus status = TryOpen(path);
  if (status.kind == SpoolErrorKind::kCorrupt) status = MoveAsideAndRecreate(status);
  return status;
}

SpoolStatus Spool::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    return OpenLocked(path);
  } catch (...) {
    CloseLocked();
    return FromException();
  }
}

SpoolPutResult Spool::Put(const SpoolRow& row, int maxDays) {
  SpoolPutResult result;
  if (db_ == nullptr) {
    result.status = NotOpen();
    return result;
  }
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK && maxDays > 0) {
    Statement drop(db_, "DELETE FROM spool_row WHERE moment < ?");
    drop.Real(1, row.moment - maxDays);
    rc = drop.Step();
    if (rc == SQLITE_DONE) {
      result.dropped = sqlite3_changes64(db_);
      rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) {
    if (row.kind == SpoolRowKind::kMinute) {
      Statement put(db_,
                    "INSERT INTO spool_row(kind, moment, minute_key, statement, counters)"
                    " VALUES(1, ?, ?, ?, ?)"
                    " ON CONFLICT(minute_key) DO UPDATE SET moment = excluded.moment,"
                    " statement = excluded.statement, counters = excluded.counters,"
                    " revision = revision + 1");
      put.Real(1, row.moment);
      put.Text(2, row.minuteKey);
      put.Text(3, row.statement);
      put.Text(4, row.counters);
      rc = put.Step();
    } else {
      Statement put(db_,
                    "INSERT INTO spool_row(kind, moment, npp, message, source)"
                    " VALUES(2, ?, ?, ?, ?)");
      put.Real(1, row.moment);
      put.Int(2, row.npp);
      put.Text(3, row.message);
      put.Text(4, row.source);
      rc = put.Step();
    }
    if (rc == SQLITE_DONE) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    result.status = Fail(rc);
    result.dropped = 0;
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  return result;
}

SpoolPutResult Spool::PutRecovering(const SpoolRow& row, int maxDays) {
  std::lock_guard<std::mutex> lock(mutex_);
  SpoolPutResult result;
  try {
    result = Put(row, maxDays);
    // A file damaged while in use: moved aside, and the row goes into the new spool.
    if (result.status.kind == SpoolErrorKind::kCorrupt &&
        MoveAsideAndRecreate(result.status).ok()) {
      result = Put(row, maxDays);
    }
  } catch (...) {
    result.status = FromException();
  }
  return result;
}

SpoolPutResult Spool::PutMinute(DateTime moment, std::string_view minuteKey,
                                std::string_view upsertStatement, int maxDays,
                                std::string_view counters) {
  try {
    SpoolRow row;
    row.kind = SpoolRowKind::kMinute;
    row.moment = moment;
    row.minuteKey = minuteKey;
    row.statement = upsertStatement;
    row.counters = counters;
    return PutRecovering(row, maxDays);
  } catch (...) {
    return {FromException(), 0};
  }
}

SpoolPutResult Spool::PutJournal(DateTime moment, int32_t npp, std::string_view message,
                                 std::string_view source, int maxDays) {
  try {
    SpoolRow row;
    row.kind = SpoolRowKind::kJournal;
    row.moment = moment;
    row.npp = npp;
    row.message = message;
    row.source = source;
    return PutRecovering(row, maxDays);
  } catch (...) {
    return {FromException(), 0};
  }
}

SpoolStatus Spool::Oldest(size_t n, std::vector<SpoolRow>& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows.clear();
  if (db_ == nullptr) return NotOpen();
  try {
    Statement select(db_,
                     "SELECT id, revision, kind, moment, minute_key, statement, npp, message,"
                     " source, counters FROM spool_row ORDER BY moment, id LIMIT ?");
    select.Int(1, static_cast<int64_t>(std::min<size_t>(n, INT64_MAX)));
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
      sqlite3_stmt* s = select.get();
      SpoolRow row;
      row.id = sqlite3_column_int64(s, 0);
      row.revision = sqlite3_column_int64(s, 1);
      row.kind = sqlite3_column_int(s, 2) == 1 ? SpoolRowKind::kMinute : SpoolRowKind::kJournal;
      row.moment = sqlite3_column_double(s, 3);
      row.minuteKey = select.ColumnText(4);
      row.statement = select.ColumnText(5);
      row.npp = sqlite3_column_int(s, 6);
      row.message = select.ColumnText(7);
      row.source = select.ColumnText(8);
      row.counters = select.ColumnText(9);
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      rows.clear();
      return Fail(rc);
    }
    return SpoolStatus::Ok();
  } catch (...) {
    rows.clear();
    return FromException();
  }
}

SpoolStatus Spool::Remove(int64_t id, int64_t revision, bool* removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (removed != nullptr) *removed = false;
  if (db_ == nullptr) return NotOpen();
  try {
    Statement remove(db_, "DELETE FROM spool_row WHERE id = ? AND revision = ?");
    remove.Int(1, id);
    remove.Int(2, revision);
    const int rc = remove.Step();
    if (rc != SQLITE_DONE) return Fail(rc);
    if (removed != nullptr) *removed = sqlite3_changes64(db_) > 0;
    return SpoolStatus::Ok();
  } catch (...) {
    return FromException();
  }
}

SpoolStatus Spool::Count(int64_t& count) {
  std::lock_guard<std::mutex> lock(mutex_);
  count = 0;
  if (db_ == nullptr) return NotOpen();
  try {
    Statement select(db_, "SELECT count(*) FROM spool_row");
    const int rc = select.Step();
    if (rc != SQLITE_ROW) return Fail(rc);
    count = sqlite3_column_int64(select.get(), 0);
    return SpoolStatus::Ok();
  } catch (...) {
    return FromException();
  }
}

SpoolStatus Spool::OldestMoment(std::optional<DateTime>& moment) {
  std::lock_guard<std::mutex> lock(mutex_);
  moment.reset();
  if (db_ == nullptr) return NotOpen();
  try {
    Statement select(db_, "SELECT min(moment) FROM spool_row");
    const int rc = select.Step();
    if (rc != SQLITE_ROW) return Fail(rc);
    if (sqlite3_column_type(select.get(), 0) != SQLITE_NULL) {
      moment = sqlite3_column_double(select.get(), 0);
    }
    return SpoolStatus::Ok();
  } catch (...) {
    return FromException();
  }
}

SpoolStatus Spool::NewestMinute(std::string_view before, SpoolRow& row, bool& found) {
  std::lock_guard<std::mutex> lock(mutex_);
  found = false;
  if (db_ == nullptr) return NotOpen();
  try {
    Statement select(db_,
                     "SELECT id, revision, moment, minute_key, statement, counters FROM spool_row"
                     " WHERE kind = 1 AND (?1 = '' OR minute_key < ?1)"
                     " ORDER BY minute_key DESC LIMIT 1");
    select.Text(1, std::string(before));  // never a null pointer: that would bind NULL
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return SpoolStatus::Ok();
    if (rc != SQLITE_ROW) return Fail(rc);
    sqlite3_stmt* s = select.get();
    row = SpoolRow{};
    row.kind = SpoolRowKind::kMinute;
    row.id = sqlite3_column_int64(s, 0);
    row.revision = sqlite3_column_int64(s, 1);
    row.moment = sqlite3_column_double(s, 2);
    row.minuteKey = select.ColumnText(3);
    row.statement = select.ColumnText(4);
    row.counters = select.ColumnText(5);
    found = true;
    return SpoolStatus::Ok();
  } catch (...) {
    return FromException();
  }
}

}  // namespace kalvix
