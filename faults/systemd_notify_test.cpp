// kalvixd as systemd runs it with Type=notify and a watchdog: the test owns the datagram socket
// that NOTIFY_SOCKET names and judges the service by what arrives there, who sent it and when.
//
// The hang: the control thread alone is stopped with ptrace, as a debugger stops one thread,
// while the main loop and every other thread go on. No wait inside a cycle can hold it for
// long (a SELECT gives up after 5.5 s, a serial exchange after 2 s), so nothing the service
// does by itself keeps it from its cycles; a thread caught in a driver call or a deadlock
// would look like this from outside.
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "faults/service_harness.h"
#include "plant/thread_entry.h"

namespace kalvix::faults {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One datagram on the notification socket: when it came, from which process, what it said.
struct Notice {
  Clock::time_point at;
  pid_t sender = 0;
  std::string text;

  bool Says(std::string_view line) const {
    return ("\n" + text + "\n").find("\n" + std::string(line) + "\n") != std::string::npos;
  }
  // The STATUS= line, or "".
  std::string Status() const {
    const size_t at = ("\n" + text).find("\nSTATUS=");
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    return text.substr(at + 7, end == std::string::npos ? std::string::npos : end - at - 7);
  }
};

// The socket systemd would listen on. Received only while the test listens, so each datagram
// is stamped when it comes; the kernel keeps what arrives meanwhile.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof(address.sun_path)) return;
    path.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    const int on = 1;
    // The sender's credentials, as systemd checks them for NotifyAccess=main.
    if (::setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  bool Open() const { return fd_ >= 0; }

  // Receives until `done` holds or `limit` has passed; true when `done` held.
  bool ListenUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    for (;;) {
      if (done()) return true;
      if (Clock::now() >= end) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) Receive();
    }
  }
  void ListenFor(std::chrono::milliseconds span) {
    ListenUntil([] { return false; }, span);
  }

  const std::vector<Notice>& Notices() const { return notices_; }
  std::vector<Notice> Saying(std::string_view line, Clock::time_point from,
                             Clock::time_point to = Clock::time_point::max()) const {
    std::vector<Notice> found;
    for (const Notice& n : notices_) {
      if (n.at >= from && n.at < to && n.Says(line)) found.push_back(n);
    }
    return found;
  }
  std::vector<Notice> Statuses(Clock::time_point from,
                               Clock::time_point to = Clock::time_point::max()) const {
    std::vector<Notice> found;
    for (const Notice& n : notices_) {
      if (n.at >= from && n.at < to && !n.Status().empty()) found.push_back(n);
    }
    return found;
  }

 private:
  void Receive() {
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec io{buffer, sizeof(buffer)};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (n < 0) return;
    Notice notice{Clock::now(), 0, std::string(buffer, static_cast<size_t>(n))};
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(c), sizeof(credentials));
        notice.sender = credentials.pid;
      }
    }
    notices_.push_back(std::move(notice));
  }

  fs::path path_;
  int fd_ = -1;
  std::vector<Notice> notices_;
};

// The thread of `pid` that carries `name`, or 0.
pid_t ThreadNamed(pid_t pid, std::string_view name) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == name) return static_cast<pid_t>(std::stol(task.path().filename().string()));
  }
  return 0;
}

// Stops one thread of another process and nothing else, until destroyed (also when an
// assertion leaves the test early, so the process can be ended and reaped).
class ThreadStop {
 public:
  explicit ThreadStop(pid_t tid) {
    if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return;
    int status = 0;
    if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 &&
        ::waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status)) {
      tid_ = tid;
    } else {
      ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    }
  }
  ~ThreadStop() {
    if (tid_ > 0) ::ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
  }
  bool Stopped() const { return tid_ > 0; }

 private:
  pid_t tid_ = 0;
};

// "цикл 1234, ошибок 3, MySQL на связи": the cycle number, or -1 for another text.
long CycleOf(const std::string& status) {
  static const std::regex kRunning("цикл ([0-9]+), ошибок [0-9]+, MySQL (на связи|нет связи)");
  std::smatch m;
  return std::regex_match(status, m, kRunning) ? std::stol(m[1]) : -1;
}

constexpr auto kWatchdog = 2000ms;  // pings expected every second
constexpr const char* kAutoStartLine = "->> Автозапуск контроля аппаратуры <<--";

class SystemdNotifyTest : public ServiceHarness {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ServiceHarness::SetUp());
    socket_ = std::make_unique<NotifySocket>(dir_ / "notify");
    ASSERT_TRUE(socket_->Open()) << (dir_ / "notify");
    serviceEnv_ = {"NOTIFY_SOCKET=" + (dir_ / "notify").string(),
                   "WATCHDOG_USEC=" + std::to_string(std::chrono::microseconds(kWatchdog).count()),
                   "WATCHDOG_PID=" + std::string(kChildPid)};
  }

  // Starts the service and waits for READY=1; checks that it came after the start-up, from the
  // service itself, once, and that no ping came before it.
  void StartAndAwaitReady() {
    const Clock::time_point started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::string logAtReady;
    ASSERT_TRUE(socket_->ListenUntil(
        [&] {
          if (socket_->Saying("READY=1", started).empty()) return false;
          logAtReady = Log();
          return true;
        },
        40s))
        << Log();
    const Notice ready = socket_->Saying("READY=1", started).front();
    ready_ = ready.at;
    EXPECT_EQ(ready.sender, pid_) << "systemd takes notices from the main process only";
    // Nine start-up ticks of 250 ms, the settings load with its pause among them.
    EXPECT_GE(Seconds(ready.at - started), 2.0);
    EXPECT_NE(logAtReady.find(kAutoStartLine), std::string::npos)
        << "READY=1 follows the start-up's last tick\n"
        << logAtReady;
    EXPECT_TRUE(socket_->Saying("WATCHDOG=1", started, ready.at).empty())
        << "no ping arms the watchdog while the start-up runs";
    const std::vector<Notice> starting = socket_->Statuses(started, ready.at);
    ASSERT_FALSE(starting.empty()) << "systemctl status shows the start-up";
    EXPECT_EQ(starting.front().Status().rfind("запуск, MySQL ", 0), 0u) << starting.front().text;
  }

  // Pings within [from, to): their count fits a ping every half interval, and no gap is far
  // off it.
  void ExpectRegularPings(Clock::time_point from, Clock::time_point to) {
    const std::vector<Notice> pings = socket_->Saying("WATCHDOG=1", from, to);
    const double span = Seconds(to - from);
    const double half = Seconds(kWatchdog) / 2;
    EXPECT_GE(pings.size(), static_cast<size_t>(span / half * 0.6)) << span << " s";
    EXPECT_LE(pings.size(), static_cast<size_t>(span / half * 1.5) + 1) << span << " s";
    for (size_t i = 1; i < pings.size(); ++i) {
      const double gap = Seconds(pings[i].at - pings[i - 1].at);
      EXPECT_GT(gap, half * 0.5) << "ping " << i;
      EXPECT_LT(gap, half * 1.8) << "ping " << i;
    }
  }

  // Ends the service with SIGTERM; STOPPING=1 must have come from it.
  void StopAndExpectStopping() {
    const Clock::time_point stopping = Clock::now();
    EXPECT_EQ(StopService(), 0) << Log();
    socket_->ListenFor(200ms);
    EXPECT_EQ(socket_->Saying("STOPPING=1", stopping).size(), 1u);
  }

  std::unique_ptr<NotifySocket> socket_;
  Clock::time_point ready_;
};

TEST_F(SystemdNotifyTest, PingsFollowTheControlThreadsCyclesThroughAHang) {
  ASSERT_NO_FATAL_FAILURE(StartAndAwaitReady());

  // Cycles under way: the status names them, and it moves on.
  ASSERT_TRUE(socket_->ListenUntil(
      [&] {
        const std::vector<Notice> s = socket_->Statuses(ready_);
        return !s.empty() && CycleOf(s.back().Status()) >= 2;
      },
      30s))
      << Log();
  const Clock::time_point running = Clock::now();
  socket_->ListenFor(6s);
  ExpectRegularPings(running, Clock::now());
  long lastCycle = 0;
  size_t statusCount = 0;
  for (const Notice& n : socket_->Statuses(running)) {
    const long cycle = CycleOf(n.Status());
    EXPECT_GT(cycle, lastCycle) << n.Status();
    EXPECT_NE(n.Status().find("MySQL на связи"), std::string::npos) << n.Status();
    EXPECT_EQ(n.sender, pid_);
    lastCycle = cycle;
    ++statusCount;
  }
  EXPECT_GE(statusCount, 4u) << "one status per cycle of about a second";

  // The control thread stops; the main loop goes on.
  const pid_t control = ThreadNamed(pid_, kThreadNameControl);
  ASSERT_GT(control, 0);
  Clock::time_point frozen;
  Clock::time_point thawed;
  {
    ThreadStop stop(control);
    ASSERT_TRUE(stop.Stopped()) << "ptrace of the control thread";
    frozen = Clock::now();
    socket_->ListenFor(9s);
    thawed = Clock::now();
    EXPECT_TRUE(ServiceAlive());
  }
  // The last cycle began at most a cycle before the stop; pings go on for three cycle periods
  // after it and one ping interval more. Then none until the thread runs again.
  const Clock::time_point silentFrom = frozen + 980ms + 2940ms + kWatchdog / 2 + 300ms;
  EXPECT_TRUE(socket_->Saying("WATCHDOG=1", silentFrom, thawed).empty())
      << socket_->Saying("WATCHDOG=1", silentFrom, thawed).size() << " pings while no cycle ran";
  EXPECT_FALSE(socket_->Saying("WATCHDOG=1", frozen, frozen + 1500ms).empty())
      << "pings go on for a while after the last cycle began";
  EXPECT_TRUE(socket_->Statuses(frozen + 1500ms, thawed).empty()) << "the cycle count stood still";

  // The thread runs on: its next cycle begins at once, and the pings come back with it.
  ASSERT_TRUE(
      socket_->ListenUntil([&] { return !socket_->Saying("WATCHDOG=1", thawed).empty(); }, 5s));
  EXPECT_LT(Seconds(socket_->Saying("WATCHDOG=1", thawed).front().at - thawed), 2.5);
  socket_->ListenFor(4s);
  const std::vector<Notice> after = socket_->Statuses(thawed);
  ASSERT_FALSE(after.empty());
  EXPECT_GT(CycleOf(after.back().Status()), lastCycle);
  ExpectRegularPings(thawed + 1500ms, Clock::now());

  StopAndExpectStopping();
}

// Acquisition left off (AutoStart=0): no control thread, and the main loop alone keeps the
// pings going.
TEST_F(SystemdNotifyTest, AcquisitionLeftOffTheMainLoopPings) {
  WriteSettings();
  std::string text = ReadFileText(ini_);
  text.replace(text.find("AutoStart=1"), 11, "AutoStart=0");
  std::ofstream(ini_, std::ios::binary | std::ios::trunc) << text;

  const Clock::time_point started = Clock::now();
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(
      socket_->ListenUntil([&] { return !socket_->Saying("READY=1", started).empty(); }, 40s))
      << Log();
  ready_ = socket_->Saying("READY=1", started).front().at;
  EXPECT_EQ(socket_->Saying("READY=1", started).front().Status(),
            "прием остановлен, MySQL на связи");
  socket_->ListenFor(5s);
  ExpectRegularPings(ready_, Clock::now());
  StopAndExpectStopping();
}

}  // namespace
}  // namespace kalvix::faults
