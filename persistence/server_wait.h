// What ends a wait on the database server before the client library's own time-out does.
//
// Every wait of Connector/C on a connection's socket (the TCP connect, the server's greeting,
// the TLS handshake, a statement's answer, a write the socket cannot take) goes through
// WaitForServerSocket, which DbConnection installs on every handle (MARIADB_OPT_IO_WAIT). It
// polls the socket together with the descriptors that the calling thread has named with a
// ServerWaitInterrupts, and ends the wait as a time-out the moment one of them is readable.
// The library then fails the call as it fails one that timed out, and DbConnection reports
// it as kInterrupted (db_status.h) and closes the session, whose protocol state the cut-off
// call has left unknown.
//
// Why this way and not another: the interruption happens on the thread that waits, between
// two of the library's own system calls, so no other thread ever touches the handle or its
// socket (shutting the socket down from the stopping thread would race with the library
// closing and the kernel reusing that descriptor, and could not reach a connect in progress,
// whose socket is not known outside the library). The library's non-blocking API would give
// the same control but switches stacks inside every call, which the sanitizer builds cannot
// follow, and would turn every call of DbConnection into a loop of its own. Shorter time-outs
// alone would not end a statement already waiting on the server.
//
// Which descriptors a thread names says what may stop it: the control thread its stop
// request, the database thread the shutdown's deadline, kalvixd's main thread its shutdown
// signals (a signalfd is readable while a signal waits unread).
#ifndef KALVIX_PERSISTENCE_SERVER_WAIT_H_
#define KALVIX_PERSISTENCE_SERVER_WAIT_H_

#include <chrono>
#include <initializer_list>

namespace kalvix {

// While this object lives, every wait of the current thread on a database server also ends
// when one of `fds` is readable. Scopes nest (the descriptors of all live ones count); at
// most kMaxServerWaitInterrupts descriptors per thread, those beyond are ignored. Create and
// destroy it on the same thread, in stack order.
class ServerWaitInterrupts {
 public:
  explicit ServerWaitInterrupts(std::initializer_list<int> fds);
  ~ServerWaitInterrupts();
  ServerWaitInterrupts(const ServerWaitInterrupts&) = delete;
  ServerWaitInterrupts& operator=(const ServerWaitInterrupts&) = delete;

 private:
  int outer_;  // how many descriptors the thread had before this scope
};

inline constexpr int kMaxServerWaitInterrupts = 8;

// True when one of the current thread's interrupting descriptors is readable now: a call that
// failed meanwhile was cut off, not refused by the server.
bool ServerWaitInterrupted();

// The library's wait (MARIADB_OPT_IO_WAIT): up to timeoutMs (<= 0: no limit) for `socket` to
// become readable (isRead) or writable. Returns as poll() does: > 0 ready, 0 time-out or
// interrupted, < 0 error.
int WaitForServerSocket(int socket, char isRead, int timeoutMs);

// A descriptor that turns readable at a set moment of the steady clock and stays readable:
// the shutdown's bound on every wait for the server. Set from any thread; until then it never
// turns readable.
class ServerDeadline {
 public:
  ServerDeadline();
  ~ServerDeadline();
  ServerDeadline(const ServerDeadline&) = delete;
  ServerDeadline& operator=(const ServerDeadline&) = delete;

  void Set(std::chrono::steady_clock::time_point at);
  int PollFd() const { return fd_; }

 private:
  const int fd_;
};

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SERVER_WAIT_H_
