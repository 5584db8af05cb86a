#include "devices/bk003_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal/event_log.h"
#include "testing/pseudo_terminal.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<std::string> DrainEvents() {
  std::vector<std::string> texts;
  TEventFIFO_Rec record;
  while (EventQueue().Pop(record)) texts.push_back(record.text);
  return texts;
}

// The example answer: status 03, counter 0x000186A0 = 100000, rate 0x01F4 = 500.
const std::vector<uint8_t> kExampleAnswer = {0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x86,
                                             0xA0, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00};

// Plays the BK-003 on the master side of a pty: takes each 3-byte request and answers with
// the next scripted bytes after a short turnaround; with nothing scripted it keeps silent.
class ScriptedBk003 {
 public:
  explicit ScriptedBk003(PseudoTerminal& pty) : pty_(pty), thread_([this] { Serve(); }) {}
  ~ScriptedBk003() {
    stop_.store(true);
    thread_.join();
  }

  void Script(std::vector<uint8_t> answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
  }

  std::vector<std::vector<uint8_t>> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_.load()) {
      std::vector<uint8_t> request = pty_.ReadMaster(3, 20, 20);
      if (request.empty()) continue;
      std::vector<uint8_t> answer;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (answers_.empty()) continue;
        answer = std::move(answers_.front());
        answers_.pop_front();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(PseudoTerminal::kTurnaroundMs));
      pty_.WriteMaster(answer);
    }
  }

  PseudoTerminal& pty_;
  mutable std::mutex mutex_;
  std::deque<std::vector<uint8_t>> answers_;
  std::vector<std::vector<uint8_t>> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A working folder of its own, for the per-port time-out files.
class WorkDir {
 public:
  WorkDir() : path_(fs::temp_directory_path() / ("bk003_link_test_" + std::to_string(::getpid()))) {
    fs::create_directories(path_);
  }
  ~WorkDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }

  // Writes the time-out file of the port with one read constant.
  void WriteReadConstant(const std::string& portPath, int readConstant) const {
    std::ofstream(path_ / (fs::path(portPath).filename().string() + "SET.INI"))
        << "[timeouts]\nRConst=" << readConstant << "\n";
  }

 private:
  fs::path path_;
};

class Bk003LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok()) << pty_.Error();
    DrainEvents();
  }

  PseudoTerminal pty_;
  ScriptedBk003 device_{pty_};
  WorkDir workDir_;
};

TEST_F(Bk003LinkTest, ExampleAnswerIsDecoded) {
  Bk003Link link(workDir_.Path(), true);
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  struct Case {
    int32_t deviceNum;
    int32_t mask;
    uint8_t firstByte;
    double bkk23;
  };
  for (const Case& c : {Case{49, 2, '1', 1}, Case{305, 4, 0x31, 0}, Case{1, 1, 0x01, 1}}) {
    SCOPED_TRACE(c.deviceNum);
    device_.Script(kExampleAnswer);
    BkReadings readings;
    ASSERT_EQ(link.Exchange(c.deviceNum, c.mask, &readings), BkExchangeResult::kOk);
    EXPECT_EQ(readings.G23, 100000);
    EXPECT_EQ(readings.TNK23, 500);
    EXPECT_EQ(readings.BKK23, c.bkk23);
    EXPECT_EQ(device_.Requests().back(), (std::vector<uint8_t>{c.firstByte, 0x0D, 0x0A}));
  }
}

TEST_F(Bk003LinkTest, ThirteenBytesAreAShortAnswer) {
  Bk003Link link(workDir_.Path(), true);
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  device_.Script(std::vector<uint8_t>(kExampleAnswer.begin(), kExampleAnswer.end() - 1));
  BkReadings readings{1, 2, 3};
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kShortAnswer);
  EXPECT_EQ(readings.G23, 1);
  EXPECT_EQ(readings.TNK23, 2);
  EXPECT_EQ(readings.BKK23, 3);
  // The next exchange starts clean.
  device_.Script(kExampleAnswer);
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kOk);
  EXPECT_EQ(readings.G23, 100000);
}

TEST_F(Bk003LinkTest, SilentDeviceEndsTheReadWithinItsBudget) {
  // set_timeouts off: the time-out file is not read and the default set bounds the read
  // (7 ms per byte + 40 ms for 14 bytes), so the poller sees a stop request in time.
  workDir_.WriteReadConstant(pty_.SlavePath(), 2000);
  Bk003Link link(workDir_.Path(), false);
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  EXPECT_EQ(link.Timeouts(), kDefaultPortTimeouts);
  BkReadings readings;
  const auto start = Clock::now();
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kShortAnswer);
  const int64_t elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 130);
  EXPECT_LT(elapsed, 400);  // far below the 2000 ms of the file
  EXPECT_EQ(device_.Requests().size(), 1u);
}

TEST_F(Bk003LinkTest, TimeoutFileAppliesWithSetTimeouts) {
  workDir_.WriteReadConstant(pty_.SlavePath(), 300);
  Bk003Link link(workDir_.Path(), true);
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  EXPECT_EQ(link.Timeouts().readConstant, 300u);
  EXPECT_EQ(link.Timeouts().readMultiplier, kDefaultPortTimeouts.readMultiplier);
  BkReadings readings;
  const auto start = Clock::now();
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kShortAnswer);
  EXPECT_GE(MillisSince(start), 7 * 14 + 300 - 5);
}

TEST_F(Bk003LinkTest, InterruptCutsALongReadShort) {
  workDir_.WriteReadConstant(pty_.SlavePath(), 5000);
  Bk003Link link(workDir_.Path(), true);
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.Interrupt();
  });
  BkReadings readings;
  const auto start = Clock::now();
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kReadFailed);
  EXPECT_LT(MillisSince(start), 400);
  stopper.join();
  // Reopening clears the interrupt.
  ASSERT_TRUE(link.BkOpenPort(pty_.SlavePath(), 9600));
  device_.Script(kExampleAnswer);
  EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kOk);
}

TEST_F(Bk003LinkTest, OpenFailuresLeaveBkPortEmpty) {
  Bk003Link holder(workDir_.Path(), true);
  ASSERT_TRUE(holder.BkOpenPort(pty_.SlavePath(), 9600));
  const fs::path plainFile = workDir_.Path() / "not_a_terminal";
  std::ofstream(plainFile) << "x";

  struct Case {
    const char* name;
    std::string port;
    int32_t speed;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"wrong speed", pty_.SlavePath(), 9601, {"Попытка соединения с неправильной скоростью!"}},
      {"held by another program", pty_.SlavePath(), 9600, {}},
      {"missing device", "/dev/kalvix-no-such-port", 9600, {}},
      {"not a serial line", plainFile.string(), 9600, {"Не могу узнать состояние порта."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bk003Link link(workDir_.Path(), true);
    EXPECT_FALSE(link.BkOpenPort(c.port, c.speed));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(DrainEvents(), c.events);
    BkReadings readings;
    EXPECT_EQ(link.Exchange(1, 2, &readings), BkExchangeResult::kNotOpen);

    // Nothing is held after a failure, so another program can lock the file.
    if (c.port == plainFile.string()) {
      const int fd = ::open(plainFile.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
      ::close(fd);
    }
  }
}

TEST_F(Bk003LinkTest, CloseReleasesThePortForTheNextStart) {
  Bk003Link first(workDir_.Path(), true);
  Bk003Link second(workDir_.Path(), true);
  ASSERT_TRUE(first.BkOpenPort(pty_.SlavePath(), 9600));
  EXPECT_FALSE(second.BkOpenPort(pty_.SlavePath(), 9600));
  first.Close();
  EXPECT_FALSE(first.IsOpen());
  EXPECT_TRUE(second.BkOpenPort(pty_.SlavePath(), 9600));
  second.Close();
  EXPECT_TRUE(first.BkOpenPort(pty_.SlavePath(), 9600));
}

}  // namespace
}  // namespace kalvix
