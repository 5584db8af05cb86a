// DbStatus: the outcome of one database call, with the category that decides what the caller
// does next. A lost connection keeps a queued statement for after the reconnection; a
// statement the server rejected is reported and dropped.
#ifndef KALVIX_PERSISTENCE_DB_STATUS_H_
#define KALVIX_PERSISTENCE_DB_STATUS_H_

#include <string>

namespace kalvix {

enum class DbErrorKind {
  kNone,
  kNotConnected,    // no connection was open when the call was made
  kConnectionLost,  // the connection broke during the call; it is now marked down
  kInterrupted,     // a stop ended the call's wait on the server (server_wait.h); the session
                    // is closed, as its state is unknown, and the connection marked down
  kRejected,        // the server (or the client library) refused the statement
  kBadParameter,    // a connection parameter cannot be used (for example a port that is no number)
  kNoSuchColumn,    // the result has no column of the requested name
};

struct DbStatus {
  DbErrorKind kind = DbErrorKind::kNone;
  unsigned code = 0;    // the server's or client library's error number, 0 when none
  std::string message;  // the server's or client library's error text

  bool ok() const { return kind == DbErrorKind::kNone; }
  // The statement never reached a live connection, the connection broke under it or a stop
  // cut it off: worth running again after a reconnection.
  bool ConnectionDown() const {
    return kind == DbErrorKind::kNotConnected || kind == DbErrorKind::kConnectionLost ||
           kind == DbErrorKind::kInterrupted;
  }
  // "1146 Table 'kalvix.x' doesn't exist", for the log.
  std::string Describe() const {
    return code != 0 ? std::to_string(code) + " " + message : message;
  }

  static DbStatus Ok() { return {}; }
  static DbStatus Error(DbErrorKind kind, unsigned code, std::string message) {
    return {kind, code, std::move(message)};
  }
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DB_STATUS_H_
