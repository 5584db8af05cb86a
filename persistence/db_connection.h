// DbConnection: one connection to the MariaDB/MySQL server through Connector/C.
//
// The service holds two: the user connection, which the window thread uses directly, and the
// work connection, which the window thread's queue servers use for the control thread's SQL
// while the control thread opens and reopens it. Every call takes the connection's mutex, so
// a reconnect on one thread never meets a statement running on another; Connected() is an
// atomic and never waits for a running statement.
//
// A call that fails because the connection is gone (client errors 2002, 2003, 2006, 2013,
// 2055, or the server ending the session on shutdown or KILL) closes the handle and marks the
// connection down; Connected() is false until the connection opens again. The client
// library's own automatic reconnection stays off, so the owner always knows when the session
// changed.
//
// A connection opened by Connect() stays wanted until Disconnect(): the next call after a
// lost session opens a new one first (and says so in the log), so a server restart or the
// server's idle time-out (wait_timeout, 8 hours by default) costs at most the one call that
// met the loss. A session idle for kIdleProbe or more is probed with a ping before
// the call, so an idle time-out costs no call at all. The after-connect task runs after
// every session opened, by Connect() or on a later call.
//
// HostName may list several servers, comma-separated (the members of a replicated cluster).
// Connect() takes the first that answers; a session lost on one entry is opened again on the
// next (wrapping round), so the statement that met the loss runs on the next server. One pass
// over the list is one attempt: the caller's pacing and failure count are those of one server.
// With a list, each new session says which entry it is on ("Подключено к MySQL серверу ...");
// a single entry logs exactly what it always did.
//
// The session uses utf8mb4 and never NO_BACKSLASH_ESCAPES, whatever the server's sql_mode
// says: every text reaches SQL through SqlText, which escapes with backslashes. Connecting
// gives up after kConnectTimeoutSeconds, and a statement whose answer does not come within
// kReadTimeoutSeconds counts as a lost connection, so a server that vanishes cannot hang the
// window thread. A stop ends any wait sooner: each thread names what stops it
// (ServerWaitInterrupts, server_wait.h), and a call it cuts off fails with kInterrupted and
// closes the session.
#ifndef KALVIX_PERSISTENCE_DB_CONNECTION_H_
#define KALVIX_PERSISTENCE_DB_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/connection_params.h"
#include "persistence/db_result.h"
#include "persistence/db_status.h"
#include "persistence/db_value.h"

struct st_mysql;

namespace kalvix {

class DbConnection {
 public:
  static constexpr unsigned kConnectTimeoutSeconds = 5;
  static constexpr unsigned kReadTimeoutSeconds = 30;
  static constexpr unsigned kWriteTimeoutSeconds = 30;
  static constexpr std::chrono::seconds kIdleProbe{3};

  DbConnection();
  ~DbConnection();  // disconnects
  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  // The parameter list; a change takes effect at the next Connect().
  ConnectionParams Params() const;
  void SetParams(const ConnectionParams& params);

  // Runs after every new session, on the thread that opened it, with no lock held; it may
  // use the connection. Set it before the connection is shared with other threads.
  void SetAfterConnect(std::function<void()> task) { afterConnect_ = std::move(task); }

  // Opens the session from the parameter list. Ok at once when already connected.
  DbStatus Connect();
  // Closes the session; later calls fail with kNotConnected until the next Connect().
  void Disconnect();
  bool Connected() const { return connected_.load(std::memory_order_acquire); }

  // Makes the connection wanted without opening it: the next call, or Reopen(), opens it.
  void Want();
  bool Wanted() const { return wanted_.load(std::memory_order_acquire); }
  // Wanted and without a session: the server is out of reach, not closed on purpose.
  bool Down() const { return Wanted() && !Connected(); }
  // Opens a new session for a wanted connection that has none, as the next call would (and
  // says so in the log); ok at once when a session is open, kNotConnected when the connection
  // is not wanted.
  DbStatus Reopen();

  // Runs a statement; a result set, if the statement yields one, is read and thrown away.
  DbStatus Execute(std::string_view sql);

  // Runs a query and reads all its rows.
  DbStatus Query(std::string_view sql, DbResult& result);

  // Runs a query and reads the column named column (ignoring letter case) of its first row.
  // No row gives NULL and ok; a result without that column gives kNoSuchColumn.
  DbStatus QueryValue(std::string_view sql, std::string_view column, DbValue& value);

  // The column names of a table: "show fields from <table>", column Field, in table order.
  DbStatus ShowFields(std::string_view table, std::vector<std::string>& fields);

  // The server's id of the current session (0 when down), for tests and diagnostics.
  unsigned long SessionId();

  // The HostName entry of the current session as written in the list; empty when down.
  std::string ServerInUse() const;

 private:
  // A live session for the next call: a wanted connection whose session was lost, or that
  // does not answer a ping after being idle, is opened again. Runs the after-connect task
  // when it opened one. Takes mutex_ itself.
  DbStatus EnsureSession();

  // These run with mutex_ held.
  // One pass over the HostName list from entry first (modulo its length). Sets announce_
  // to the log line that names the server when the list has more than one entry.
  DbStatus OpenLocked(size_t first);
  DbStatus OpenEntryLocked(const std::string& entry);
  void CloseLocked();
  DbStatus FailLocked();  // the status of the handle's last error; closes it when lost
  DbStatus RunLocked(std::string_view sql);

  std::function<void()> afterConnect_;  // constant once the connection is shared

  mutable std::mutex mutex_;
  ConnectionParams params_;     // guarded by mutex_
  st_mysql* handle_ = nullptr;  // guarded by mutex_; owned, closed by CloseLocked
  // Between Connect() (or Want()) and Disconnect(); written under mutex_, read without it.
  std::atomic<bool> wanted_{false};
  std::chrono::steady_clock::time_point lastUse_;  // guarded by mutex_
  size_t entryInUse_ = 0;                          // guarded by mutex_; index in the HostName list
  size_t nextEntry_ = 0;     // guarded by mutex_; where the next reopening starts
  std::string serverInUse_;  // guarded by mutex_
  std::string announce_;     // guarded by mutex_; posted by the opener outside the lock
  std::atomic<bool> connected_{false};
};

// Sets one line of a connection's parameter list (see ConnectionParams::Set).
void SetConnectionParam(DbConnection& connection, std::string_view name, std::string_view value);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DB_CONNECTION_H_
