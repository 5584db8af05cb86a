#include "persistence/db_connection.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "journal/event_log.h"
#include "persistence/server_wait.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

constexpr const char* kDropNoBackslashEscapes =
    "SET SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(CONCAT(',', @@SESSION.sql_mode, ','), "
    "',NO_BACKSLASH_ESCAPES,', ','))";

// mysql_library_init is not thread-safe; mysql_init would call it lazily from whichever
// thread connects first, so it runs once here instead.
void InitClientLibrary() {
  static const bool initialised = [] { return mysql_library_init(0, nullptr, nullptr) == 0; }();
  (void)initialised;
}

bool IsConnectionLost(unsigned code) {
  switch (code) {
    case CR_CONNECTION_ERROR:      // 2002: socket not reachable
    case CR_CONN_HOST_ERROR:       // 2003: TCP host not reachable
    case CR_SERVER_GONE_ERROR:     // 2006: the server went away between statements
    case CR_SERVER_LOST:           // 2013: the connection broke during the statement
    case CR_SERVER_LOST_EXTENDED:  // 2055: the same, with the system error
    case ER_SERVER_SHUTDOWN:       // 1053: the server is shutting down under the statement
    case ER_CONNECTION_KILLED:     // 1927: the session was killed
    // 1047 from a cluster node that is outside the cluster's primary component (leaving it
    // for a restart, or not yet rejoined): "WSREP has not yet prepared node for application
    // use". It serves no statement until it is back, so the statement goes to another node,
    // as after a loss. A single server never answers a statement with it.
    case ER_UNKNOWN_COM_ERROR:
      return true;
    default:
      return false;
  }
}

// Every wait of the library on the handle's socket, so that the calling thread's stop can
// end it (server_wait.h).
int WaitForSocket(my_socket socket, my_bool isRead, int timeoutMs) {
  return WaitForServerSocket(socket, isRead, timeoutMs);
}

// A failed call whose wait a stop ended: the session's state is unknown, so it is closed like
// a lost one, but the server is not to blame.
DbStatus Interrupted(unsigned code, const char* libraryText) {
  return DbStatus::Error(DbErrorKind::kInterrupted, code,
                         std::string("interrupted by a stop: ") + libraryText);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// SslMode. kLibrary is no SslMode at all: the client library's own choice, which this
// library makes without TLS, as the service always ran.
enum class TlsMode { kLibrary, kDisabled, kPreferred, kRequired, kVerifyCa, kVerifyIdentity };

bool ParseTlsMode(std::string_view text, TlsMode& mode) {
  struct Name {
    const char* text;
    TlsMode mode;
  };
  static constexpr Name kNames[] = {{"", TlsMode::kLibrary},
                                    {"DISABLED", TlsMode::kDisabled},
                                    {"PREFERRED", TlsMode::kPreferred},
                                    {"REQUIRED", TlsMode::kRequired},
                                    {"VERIFY_CA", TlsMode::kVerifyCa},
                                    {"VERIFY_IDENTITY", TlsMode::kVerifyIdentity}};
  for (const Name& name : kNames) {
    if (SameName(text, name.text)) {
      mode = name.mode;
      return true;
    }
  }
  return false;
}

// Hands the TLS settings to the handle. This client library checks the server's certificate
// against SslCa whenever a CA is given, and its host-name check comes with
// MYSQL_OPT_SSL_VERIFY_SERVER_CERT: VERIFY_CA is a CA without that flag, VERIFY_IDENTITY a CA
// with it. Files are given only when named, so the library's defaults stay for the rest.
void SetTlsOptions(MYSQL* handle, TlsMode mode, const std::string& ca, const std::string& cert,
                   const std::string& key) {
  if (mode == TlsMode::kLibrary) return;
  if (mode == TlsMode::kDisabled) {
    // Said outright, so that a later library that turns TLS on by itself still keeps it off.
    const my_bool off = 0;
    mysql_options(handle, MYSQL_OPT_SSL_ENFORCE, &off);
    return;
  }
  const my_bool on = 1;
  const my_bool checkHost = mode == TlsMode::kVerifyIdentity;
  if (!ca.empty()) mysql_options(handle, MYSQL_OPT_SSL_CA, ca.c_str());
  if (!cert.empty()) mysql_options(handle, MYSQL_OPT_SSL_CERT, cert.c_str());
  if (!key.empty()) mysql_options(handle, MYSQL_OPT_SSL_KEY, key.c_str());
  mysql_options(handle, MYSQL_OPT_SSL_ENFORCE, &on);
  mysql_options(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &checkHost);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "yyyy-mm-dd", "yyyy-mm-dd hh:nn:ss" and "yyyy-mm-dd hh:nn:ss.ffffff" as the server sends
// DATE, DATETIME and TIMESTAMP values. The zero date has no day to give and reads as NULL.
DbValue ParseServerDateTime(std::string_view text) {
  auto number = [&](size_t pos, size_t len, int& out) {
    if (pos + len > text.size()) return false;
    int value = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      if (!IsDigit(text[i])) return false;
      value = value * 10 + (text[i] - '0');
    }
    out = value;
    return true;
  };
  DateTimeParts p;
  if (!number(0, 4, p.year) || !number(5, 2, p.month) || !number(8, 2, p.day)) {
    return std::string(text);
  }
  if (text.size() >= 19 &&
      (!number(11, 2, p.hour) || !number(14, 2, p.minute) || !number(17, 2, p.second))) {
    return std::string(text);
  }
  if (text.size() > 20 && text[19] == '.') {
    int ms = 0;
    int digits = 0;
    for (size_t i = 20; i < text.size() && digits < 3 && IsDigit(text[i]); ++i, ++digits) {
      ms = ms * 10 + (text[i] - '0');
    }
    for (; digits < 3; ++digits) ms *= 10;
    p.millisecond = ms;
  }
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > 31) return std::monostate{};
  return DbDateTime{EncodeDateTime(p)};
}

DbColumnType ColumnTypeOf(const MYSQL_FIELD& field) {
  using Kind = DbColumnType::Kind;
  Kind kind = Kind::kOther;
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
      kind = Kind::kInteger;
      break;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      kind = Kind::kDecimal;
      break;
    case MYSQL_TYPE_FLOAT:
      kind = Kind::kFloat;
      break;
    case MYSQL_TYPE_DOUBLE:
      kind = Kind::kDouble;
      break;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      kind = Kind::kDateTime;
      break;
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      kind = Kind::kText;
      break;
    default:
      break;
  }
  return DbColumnType{kind, std::min(field.decimals, DbColumnType::kFloatingDecimals)};
}

DbValue ConvertField(const MYSQL_FIELD& field, const char* data, unsigned long length) {
  if (data == nullptr) return std::monostate{};
  const std::string_view text(data, length);
  using Kind = DbColumnType::Kind;
  switch (ColumnTypeOf(field).kind) {
    case Kind::kInteger: {
      int64_t value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec == std::errc() && ptr == text.data() + text.size()) return value;
      // An unsigned BIGINT beyond the signed range: keep its magnitude as a real.
      double real = 0;
      std::from_chars(text.data(), text.data() + text.size(), real);
      return real;
    }
    case Kind::kDecimal:
    case Kind::kFloat:
    case Kind::kDouble: {
      double value = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec == std::errc() && ptr == text.data() + text.size()) return value;
      return std::string(text);
    }
    case Kind::kDateTime:
      return ParseServerDateTime(text);
    case Kind::kText:
    case Kind::kOther:
      break;
  }
  return std::string(text);
}

// Frees a result set on every path out of a reader.
struct ResultDeleter {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultDeleter>;

}  // namespace

int DbResult::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (SameName(columns[i], name)) return static_cast<int>(i);
  }
  return -1;
}

DbConnection::DbConnection() { InitClientLibrary(); }

DbConnection::~DbConnection() { Disconnect(); }

ConnectionParams DbConnection::Params() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return params_;
}

void DbConnection::SetParams(const ConnectionParams& params) {
  std::lock_guard<std::mutex> lock(mutex_);
  params_ = params;
}

void SetConnectionParam(DbConnection& connection, std::string_view name, std::string_view value) {
  ConnectionParams params = connection.Params();
  params.Set(name, value);
  connection.SetParams(params);
}

DbStatus DbConnection::Connect() {
  std::string announce;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ != nullptr) return DbStatus::Ok();
    DbStatus status = OpenLocked(0);
    if (!status.ok()) return status;
    wanted_ = true;
    announce.swap(announce_);
  }
  if (!announce.empty()) PostEvent(announce);
  if (afterConnect_) afterConnect_();
  return DbStatus::Ok();
}

void DbConnection::Want() {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_ = true;
}

DbStatus DbConnection::Reopen() { return EnsureSession(); }

void DbConnection::Disconnect() {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_ = false;
  CloseLocked();
}

DbStatus DbConnection::EnsureSession() {
  std::string announce;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ != nullptr && std::chrono::steady_clock::now() - lastUse_ >= kIdleProbe) {
      // The server may have ended an idle session (wait_timeout) or restarted meanwhile;
      // a ping finds out before a statement is spent on it.
      if (mysql_ping(handle_) != 0) {
        DbStatus status = FailLocked();
        if (status.kind == DbErrorKind::kInterrupted) return status;
      } else {
        lastUse_ = std::chrono::steady_clock::now();
      }
    }
    if (handle_ != nullptr) return DbStatus::Ok();
    if (!wanted_) return DbStatus::Error(DbErrorKind::kNotConnected, 0, "not connected");
    DbStatus status = OpenLocked(nextEntry_);
    if (!status.ok()) return status;
    announce.swap(announce_);
  }
  PostEvent("=== Соединение с MySQL сервером восстановлено ===");
  if (!announce.empty()) PostEvent(announce);
  if (afterConnect_) afterConnect_();
  return DbStatus::Ok();
}

DbStatus DbConnection::OpenLocked(size_t first) {
  const std::string hostName = params_.Value("HostName");
  std::vector<std::string> entries;
  if (!SplitHostList(hostName, entries)) {
    return DbStatus::Error(DbErrorKind::kBadParameter, 0, "bad host name: " + hostName);
  }
  if (entries.size() == 1) {
    DbStatus status = OpenEntryLocked(entries.front());
    if (status.ok()) {
      entryInUse_ = 0;
      serverInUse_ = entries.front();
    }
    return status;
  }
  DbStatus status;
  for (size_t k = 0; k < entries.size(); ++k) {
    const size_t index = (first + k) % entries.size();
    status = OpenEntryLocked(entries[index]);
    if (status.ok()) {
      entryInUse_ = index;
      nextEntry_ = index;
      serverInUse_ = entries[index];
      announce_ = "Подключено к MySQL серверу " + entries[index];
      return status;
    }
    if (status.kind == DbErrorKind::kBadParameter) return status;  // the same for every entry
    if (status.kind == DbErrorKind::kInterrupted) return status;   // a stop ends the pass
    // Whatever kept this server from giving a session (down, refused, not yet in its cluster),
    // the next one may; the pass reports the last reason, naming the server.
    status.message = entries[index] + ": " + status.message;
  }
  return status;
}

DbStatus DbConnection::OpenEntryLocked(const std::string& hostName) {
  DbEndpoint endpoint;
  ParseHostName(hostName, endpoint);  // checked by SplitHostList
  TlsMode tls = TlsMode::kLibrary;
  const std::string tlsText = params_.Value("SslMode");
  if (!ParseTlsMode(tlsText, tls)) {
    return DbStatus::Error(DbErrorKind::kBadParameter, 0, "bad SslMode: " + tlsText);
  }
  const std::string tlsCa = params_.Value("SslCa");
  if (tls >= TlsMode::kVerifyCa && tlsCa.empty()) {
    // Without a CA of the site's own there is nothing to check the server against.
    return DbStatus::Error(DbErrorKind::kBadParameter, 0, "SslMode=" + tlsText + " needs SslCa");
  }
  MYSQL* handle = mysql_init(nullptr);
  if (handle == nullptr) {
    return DbStatus::Error(DbErrorKind::kRejected, CR_OUT_OF_MEMORY, "out of memory");
  }
  const unsigned connectTimeout = kConnectTimeoutSeconds;
  const unsigned readTimeout = kReadTimeoutSeconds;
  const unsigned writeTimeout = kWriteTimeoutSeconds;
  const my_bool noReconnect = 0;
  mysql_options(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
  mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &readTimeout);
  mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout);
  mysql_options(handle, MYSQL_OPT_RECONNECT, &noReconnect);
  mysql_optionsv(handle, MARIADB_OPT_IO_WAIT, &WaitForSocket);
  // Without an explicit protocol, a host of "localhost" would silently mean the default
  // socket; the form of HostName decides instead.
  unsigned protocol = endpoint.socketPath.empty() ? MYSQL_PROTOCOL_DEFAULT : MYSQL_PROTOCOL_SOCKET;
  mysql_options(handle, MYSQL_OPT_PROTOCOL, &protocol);
  SetTlsOptions(handle, tls, tlsCa, params_.Value("SslCert"), params_.Value("SslKey"));

  const std::string user = params_.Value("User_Name");
  const std::string password = params_.Value("Password");
  const std::string database = params_.Value("Database");
  const char* host = endpoint.socketPath.empty()
                         ? (endpoint.host.empty() ? nullptr : endpoint.host.c_str())
                         : "localhost";
  if (mysql_real_connect(handle, host, user.c_str(), password.c_str(),
                         database.empty() ? nullptr : database.c_str(), endpoint.port,
                         endpoint.socketPath.empty() ? nullptr : endpoint.socketPath.c_str(),
                         0) == nullptr) {
    const unsigned code = mysql_errno(handle);
    if (ServerWaitInterrupted()) {
      DbStatus status = Interrupted(code, mysql_error(handle));
      mysql_close(handle);
      return status;
    }
    DbStatus status = DbStatus::Error(
        IsConnectionLost(code) ? DbErrorKind::kConnectionLost : DbErrorKind::kRejected, code,
        mysql_error(handle));
    // The chain was checked first (its failures name their reason); what the library then
    // reports as a failed validation is the host-name check.
    if (tls == TlsMode::kVerifyIdentity && code == CR_SSL_CONNECTION_ERROR &&
        status.message.find("Validation of SSL server certificate failed") != std::string::npos) {
      status.message += ": the certificate does not name the host " + endpoint.host;
    }
    mysql_close(handle);
    return status;
  }
  // A server without TLS would have been let through in plain text: REQUIRED and stricter
  // modes must never send the plant's data that way.
  if (tls >= TlsMode::kRequired && mysql_get_ssl_cipher(handle) == nullptr) {
    mysql_close(handle);
    return DbStatus::Error(DbErrorKind::kRejected, CR_SSL_CONNECTION_ERROR,
                           "TLS is required (SslMode=" + tlsText + ") and the server offers none");
  }
  // Under NO_BACKSLASH_ESCAPES a backslash is an ordinary character, and SqlText's \' would
  // end the literal early: a text from another program could then break or extend a
  // statement. The session drops that one mode and keeps the rest of the site's sql_mode.
  if ((handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0 &&
      mysql_query(handle, kDropNoBackslashEscapes) != 0) {
    DbStatus status = DbStatus::Error(DbErrorKind::kRejected, mysql_errno(handle),
                                      std::string("sql_mode: ") + mysql_error(handle));
    mysql_close(handle);
    return status;
  }
  handle_ = handle;
  lastUse_ = std::chrono::steady_clock::now();
  connected_.store(true, std::memory_order_release);
  return DbStatus::Ok();
}

void DbConnection::CloseLocked() {
  connected_.store(false, std::memory_order_release);
  serverInUse_.clear();
  if (handle_ != nullptr) {
    mysql_close(handle_);
    handle_ = nullptr;
  }
}

DbStatus DbConnection::FailLocked() {
  const unsigned code = mysql_errno(handle_);
  std::string message = mysql_error(handle_);
  if (IsConnectionLost(code) && ServerWaitInterrupted()) {
    // Cut off by a stop (the library reports a wait cut short as a lost connection): the next
    // session starts on the same server.
    nextEntry_ = entryInUse_;
    DbStatus status = Interrupted(code, message.c_str());
    CloseLocked();
    return status;
  }
  if (IsConnectionLost(code)) {
    // The server of a lost session is the last one tried again: the next in the list first.
    nextEntry_ = entryInUse_ + 1;
    CloseLocked();
    return DbStatus::Error(DbErrorKind::kConnectionLost, code, std::move(message));
  }
  return DbStatus::Error(DbErrorKind::kRejected, code, std::move(message));
}

DbStatus DbConnection::RunLocked(std::string_view sql) {
  if (handle_ == nullptr) {
    return DbStatus::Error(DbErrorKind::kNotConnected, 0, "not connected");
  }
  lastUse_ = std::chrono::steady_clock::now();
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) return FailLocked();
  return DbStatus::Ok();
}

DbStatus DbConnection::Execute(std::string_view sql) {
  if (DbStatus session = EnsureSession(); !session.ok()) return session;
  std::lock_guard<std::mutex> lock(mutex_);
  DbStatus status = RunLocked(sql);
  if (!status.ok()) return status;
  if (mysql_field_count(handle_) != 0) {
    // A statement with a result set: read it off the wire so the session stays in step.
    ResultPtr result(mysql_store_result(handle_));
    if (!result) return FailLocked();
  }
  return DbStatus::Ok();
}

DbStatus DbConnection::Query(std::string_view sql, DbResult& out) {
  if (DbStatus session = EnsureSession(); !session.ok()) return session;
  std::lock_guard<std::mutex> lock(mutex_);
  DbStatus status = RunLocked(sql);
  if (!status.ok()) return status;
  DbResult result;
  if (mysql_field_count(handle_) == 0) {
    out = std::move(result);  // a statement without a result set: no columns, no rows
    return DbStatus::Ok();
  }
  ResultPtr set(mysql_store_result(handle_));
  if (!set) return FailLocked();
  const unsigned count = mysql_num_fields(set.get());
  const MYSQL_FIELD* fields = mysql_fetch_fields(set.get());
  for (unsigned i = 0; i < count; ++i) {
    result.columns.emplace_back(fields[i].name);
    result.columnTypes.push_back(ColumnTypeOf(fields[i]));
  }
  while (MYSQL_ROW row = mysql_fetch_row(set.get())) {
    const unsigned long* lengths = mysql_fetch_lengths(set.get());
    std::vector<DbValue> values;
    values.reserve(count);
    for (unsigned i = 0; i < count; ++i)
      values.push_back(ConvertField(fields[i], row[i], lengths[i]));
    result.rows.push_back(std::move(values));
  }
  out = std::move(result);
  return DbStatus::Ok();
}

DbStatus DbConnection::QueryValue(std::string_view sql, std::string_view column, DbValue& value) {
  if (DbStatus session = EnsureSession(); !session.ok()) return session;
  std::lock_guard<std::mutex> lock(mutex_);
  DbStatus status = RunLocked(sql);
  if (!status.ok()) return status;
  if (mysql_field_count(handle_) == 0) {
    return DbStatus::Error(DbErrorKind::kNoSuchColumn, 0,
                           "the statement returns no columns, so no field " + std::string(column));
  }
  ResultPtr set(mysql_store_result(handle_));
  if (!set) return FailLocked();
  const unsigned count = mysql_num_fields(set.get());
  const MYSQL_FIELD* fields = mysql_fetch_fields(set.get());
  unsigned index = count;
  for (unsigned i = 0; i < count && index == count; ++i) {
    if (SameName(fields[i].name, column)) index = i;
  }
  if (index == count) {
    return DbStatus::Error(DbErrorKind::kNoSuchColumn, 0,
                           "field " + std::string(column) + " not found");
  }
  MYSQL_ROW row = mysql_fetch_row(set.get());
  if (row == nullptr) {
    value = std::monostate{};
    return DbStatus::Ok();
  }
  const unsigned long* lengths = mysql_fetch_lengths(set.get());
  value = ConvertField(fields[index], row[index], lengths[index]);
  return DbStatus::Ok();
}

DbStatus DbConnection::ShowFields(std::string_view table, std::vector<std::string>& fields) {
  DbResult result;
  DbStatus status = Query("show fields from " + SqlIdentifier(table), result);
  if (!status.ok()) return status;
  const int column = result.ColumnIndex("Field");
  if (column < 0) return DbStatus::Error(DbErrorKind::kNoSuchColumn, 0, "field Field not found");
  std::vector<std::string> names;
  names.reserve(result.rows.size());
  for (const std::vector<DbValue>& row : result.rows) names.push_back(DbToText(row[column]));
  fields = std::move(names);
  return DbStatus::Ok();
}

std::string DbConnection::ServerInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return serverInUse_;
}

unsigned long DbConnection::SessionId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handle_ != nullptr ? mysql_thread_id(handle_) : 0;
}

}  // namespace kalvix
