// Loopback TCP ends that are no database server, for the tests of a server list: one that
// takes connections into its backlog and never says a word (a server that hangs), and one
// that counts the connections it is offered and closes each at once (a server that is gone
// the moment it is reached).
#ifndef KALVIX_TESTING_TCP_LISTENERS_H_
#define KALVIX_TESTING_TCP_LISTENERS_H_

#include <atomic>
#include <string>
#include <thread>

namespace kalvix {

// Listens on 127.0.0.1 and never accepts: the kernel completes the handshake, the client
// waits for a greeting that never comes.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  // 0 when the socket could not be made.
  unsigned Port() const { return port_; }
  std::string Entry() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  unsigned port_ = 0;
};

// Accepts on 127.0.0.1, counts, and closes every connection at once, on a thread of its own
// that the destructor stops.
class ClosingListener {
 public:
  ClosingListener();
  ~ClosingListener();
  ClosingListener(const ClosingListener&) = delete;
  ClosingListener& operator=(const ClosingListener&) = delete;

  unsigned Port() const { return port_; }
  std::string Entry() const { return "127.0.0.1:" + std::to_string(port_); }
  int Accepted() const { return accepted_.load(); }

 private:
  void Body();

  int fd_ = -1;
  unsigned port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_TCP_LISTENERS_H_
