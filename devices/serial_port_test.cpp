#include "devices/serial_port.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "devices/port_open.h"
#include "devices/port_timeouts.h"
#include "plant/thread_flags.h"
#include "testing/pseudo_terminal.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

PortOpenPlan AtSpeed(int32_t speed) {
  PortOpenPlan plan;
  plan.speed = speed;
  return plan;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok()) << pty_.Error();
    ASSERT_EQ(RunPortOpen(port_, pty_.SlavePath(), AtSpeed(9600)), PortOpenResult::kOk);
  }

  PseudoTerminal pty_;
  SerialPort port_;
};

TEST(PortPathTest, NamesMapToDevices) {
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"COM12", "/dev/ttyS11"},
      {"com5", "/dev/ttyS4"},
      {"\\\\.\\COM12", "/dev/ttyS11"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"ttyUSB1", "/dev/ttyUSB1"},
      {"COM0", "/dev/COM0"},
      {"COMX", "/dev/COMX"},
      {"/dev/pts/7", "/dev/pts/7"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolvePortPath(c.name), fs::path(c.path)) << c.name;
}

TEST(PortOpenTest, WrongSpeedIsRefusedBeforeTheDeviceIsTouched) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  for (int32_t speed : {0, 57601, -9600, 14401, 230400}) {
    SerialPort port;
    EXPECT_EQ(RunPortOpen(port, pty.SlavePath(), AtSpeed(speed)), PortOpenResult::kWrongSpeed)
        << speed;
    EXPECT_FALSE(port.IsOpen());
  }
  EXPECT_STREQ(PortOpenText(PortOpenResult::kWrongSpeed),
               "Попытка соединения с неправильной скоростью!");
}

TEST(PortOpenTest, EveryAcceptedSpeedReachesTheDriver) {
  // Includes the rates outside the Bxxx set (14400, 56000, 128000, 256000), which go
  // through termios2.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  for (int32_t speed : kAcceptedSpeeds) {
    SerialPort port;
    ASSERT_EQ(RunPortOpen(port, pty.SlavePath(), AtSpeed(speed)), PortOpenResult::kOk) << speed;
    EXPECT_EQ(port.LineSpeed(), static_cast<uint32_t>(speed));
  }
}

TEST(PortOpenTest, MissingDeviceCannotBeOpened) {
  SerialPort port;
  EXPECT_EQ(RunPortOpen(port, "/dev/kalvix-no-such-port", AtSpeed(9600)),
            PortOpenResult::kCannotOpen);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_STREQ(PortOpenText(PortOpenResult::kCannotOpen),
               "Не могу открыть COM-порт.\n\rВозможно, он используется\n\rдругой программой.");
}

TEST(PortOpenTest, NotATerminalFailsAtTheStateReadAndStaysOpen) {
  SerialPort port;
  EXPECT_EQ(RunPortOpen(port, "/dev/null", AtSpeed(9600)), PortOpenResult::kCannotReadState);
  EXPECT_TRUE(port.IsOpen());  // released by the link's close, not by the procedure
}

TEST(PortOpenTest, TimeoutsGoInWhereThePlanSays) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  const PortTimeouts vision{50, 30, 100, 50, 100};
  PortOpenPlan visionPlan = AtSpeed(57600);
  visionPlan.timeoutsBeforeLine = vision;
  SerialPort port;
  ASSERT_EQ(RunPortOpen(port, pty.SlavePath(), visionPlan), PortOpenResult::kOk);
  EXPECT_EQ(port.Timeouts(), vision);
  // No time-outs in the plan: the port keeps the defaults, so its reads stay bounded.
  ASSERT_EQ(RunPortOpen(port, pty.SlavePath(), AtSpeed(9600)), PortOpenResult::kOk);
  EXPECT_EQ(port.Timeouts(), kDefaultPortTimeouts);
}

TEST_F(SerialPortTest, SecondOpenOfAHeldPortFailsEvenForRoot) {
  SerialPort second;
  std::string error;
  EXPECT_FALSE(second.Open(pty_.SlavePath(), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(RunPortOpen(second, pty_.SlavePath(), AtSpeed(9600)), PortOpenResult::kCannotOpen);
  port_.Close();
  EXPECT_TRUE(second.Open(pty_.SlavePath()));
}

TEST_F(SerialPortTest, RawBytesPassUnchangedBothWays) {
  // CR, LF, XON, XOFF, ^C, DEL, 0xFF, NUL: none may be translated, swallowed or echoed.
  const auto raw = Bytes({0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0xFF, 0x00, 0x0D});
  ASSERT_TRUE(pty_.WriteMaster(raw));
  std::vector<uint8_t> in(raw.size());
  const PortIo r = port_.Read(in);
  ASSERT_TRUE(r.Ok());
  ASSERT_EQ(r.count, raw.size());
  EXPECT_EQ(in, raw);

  const PortIo w = port_.Write(raw);
  ASSERT_TRUE(w.Ok());
  EXPECT_EQ(w.count, raw.size());
  EXPECT_TRUE(port_.Drain());
  EXPECT_EQ(pty_.ReadMaster(64, 200), raw);
  EXPECT_TRUE(pty_.ReadMaster(64, 30).empty()) << "echo on the line";
}

TEST_F(SerialPortTest, SilentLineEndsTheReadAfterItsBudget) {
  port_.SetTimeouts({10, 7, 40, 7, 30});
  uint8_t buf[8];
  const auto start = Clock::now();
  const PortIo r = port_.Read(buf);  // budget 7 * 8 + 40 = 96 ms
  const int64_t took = MillisSince(start);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.count, 0u);
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 250);
}

TEST_F(SerialPortTest, GapAfterTheFirstBytesEndsTheReadEarly) {
  port_.SetTimeouts({10, 0, 1000, 7, 30});
  ASSERT_TRUE(pty_.WriteMaster(Bytes({1, 2, 3})));
  uint8_t buf[10];
  const auto start = Clock::now();
  const PortIo r = port_.Read(buf);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.count, 3u);
  EXPECT_LT(MillisSince(start), 500);  // the read interval ended it, not the 1000 ms budget
}

TEST_F(SerialPortTest, ReturnImmediatelyDeliversWhatIsThere) {
  port_.SetTimeouts({kReturnImmediately, 0, 0, 7, 30});
  uint8_t buf[4];
  const auto start = Clock::now();
  EXPECT_EQ(port_.Read(buf).count, 0u);
  EXPECT_LT(MillisSince(start), 50);
}

// The two "return at once" settings of the serial API the time-out files were written for:
// MAXDWORD as the read interval with no total budget, and MAXDWORD as the read interval and
// multiplier with a constant, which waits at most the constant for the first byte.
TEST_F(SerialPortTest, ReturnAtOnceSettingsDeliverWhatHasArrived) {
  constexpr uint32_t kMax = kReturnImmediately;
  struct Case {
    const char* name;
    PortTimeouts timeouts;
    size_t before;         // bytes on the line before the read
    int64_t laterMs;       // when the next byte comes (< 0: none)
    size_t count;          // bytes the read delivers
    int64_t minMs, maxMs;  // how long it takes, with room for a loaded machine
  };
  const Case cases[] = {
      {"at once, nothing there", {kMax, 0, 0, 7, 30}, 0, 100, 0, 0, 50},
      {"at once, what is there", {kMax, 0, 0, 7, 30}, 3, 100, 3, 0, 50},
      {"first byte, what is there", {kMax, kMax, 1500, 7, 30}, 3, 100, 3, 0, 50},
      {"first byte comes later", {kMax, kMax, 1500, 7, 30}, 0, 100, 1, 90, 400},
      {"first byte never comes", {kMax, kMax, 300, 7, 30}, 0, -1, 0, 290, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(port_.DiscardInput());
    port_.SetTimeouts(c.timeouts);
    if (c.before > 0) {
      ASSERT_TRUE(pty_.WriteMaster(std::vector<uint8_t>(c.before, 0x55)));
      ASSERT_TRUE(port_.WaitReadable(200));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::thread later([&] {
      if (c.laterMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.laterMs));
      pty_.WriteMaster(Bytes({0x66}));
    });
    uint8_t buf[14];
    const auto start = Clock::now();
    const PortIo r = port_.Read(buf);
    const int64_t took = MillisSince(start);
    later.join();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.count, c.count);
    EXPECT_GE(took, c.minMs);
    EXPECT_LT(took, c.maxMs);
  }
}

// ReadArrived takes what has come in one read, whatever the time-outs, and otherwise waits
// for the first bytes at most as long as it is told.
TEST_F(SerialPortTest, ReadArrivedTakesWhatCameOrWaitsForTheFirstBytes) {
  struct Case {
    const char* name;
    size_t before;         // bytes on the line before the read
    int64_t laterMs;       // when two more bytes come (< 0: none)
    uint32_t waitMs;       // the wait allowed
    size_t count;          // bytes the read delivers
    int64_t minMs, maxMs;  // how long it takes, with room for a loaded machine
  };
  const Case cases[] = {
      {"what is there", 5, 100, 1000, 5, 0, 50},
      {"no more than the room", 20, -1, 1000, 14, 0, 50},
      {"the first bytes come later", 0, 100, 1000, 2, 90, 400},
      {"nothing comes", 0, -1, 150, 0, 140, 450},
  };
  // Time-outs that would end a read at once: ReadArrived does not follow them.
  port_.SetTimeouts({kReturnImmediately, 0, 0, 7, 30});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(port_.DiscardInput());
    if (c.before > 0) {
      ASSERT_TRUE(pty_.WriteMaster(std::vector<uint8_t>(c.before, 0x55)));
      ASSERT_TRUE(port_.WaitReadable(200));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::thread later([&] {
      if (c.laterMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.laterMs));
      pty_.WriteMaster(Bytes({0x66, 0x67}));
    });
    uint8_t buf[14];
    const auto start = Clock::now();
    const PortIo r = port_.ReadArrived(buf, c.waitMs);
    const int64_t took = MillisSince(start);
    later.join();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.count, c.count);
    EXPECT_GE(took, c.minMs);
    EXPECT_LT(took, c.maxMs);
  }
  // An interrupt ends it like every other wait of the port.
  port_.Interrupt();
  uint8_t buf[4];
  EXPECT_EQ(port_.ReadArrived(buf, 1000).status, PortStatus::kInterrupted);
}

// A time-out set that means "no limit", or a budget of 2^32 ms from a site's file, still ends
// a read or write on a silent line within the ceiling.
TEST_F(SerialPortTest, NoWaitOutlastsTheCeiling) {
  constexpr uint32_t kMax = kReturnImmediately;
  const PortTimeouts unbounded[] = {{0, 0, 0, 0, 0}, {kMax, kMax, kMax, kMax, kMax}};
  for (const PortTimeouts& t : unbounded) {
    SCOPED_TRACE(t.readConstant);
    port_.SetTimeouts(t);
    uint8_t buf[14];
    const auto start = Clock::now();
    const PortIo r = port_.Read(buf);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(MillisSince(start), kMaxPortWaitMs - 10);
    EXPECT_LT(MillisSince(start), kMaxPortWaitMs + 500);
  }
  // Nobody reads the other end: the write fills the terminal's buffer and then waits.
  const std::vector<uint8_t> lots(1 << 20, 0x41);
  const auto start = Clock::now();
  const PortIo w = port_.Write(lots);
  EXPECT_TRUE(w.Ok());
  EXPECT_LT(w.count, lots.size());
  EXPECT_GE(MillisSince(start), kMaxPortWaitMs - 10);
  EXPECT_LT(MillisSince(start), kMaxPortWaitMs + 500);
}

// A port that watches the stop request: a stop ends the wait in progress at once, and every
// wait while it stands; once cleared, the port works again without being reopened.
TEST_F(SerialPortTest, StopRequestEndsTheWaitsOfAWatchingPort) {
  StopSignal stop;
  port_.WatchStop(stop.PollFd());
  port_.SetTimeouts({0, 0, 1900, 7, 30});
  Clock::time_point stopped;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopped = Clock::now();
    stop = true;
  });
  uint8_t buf[4];
  const PortIo r = port_.Read(buf);
  const auto woke = Clock::now();
  stopper.join();
  EXPECT_EQ(r.status, PortStatus::kInterrupted);
  EXPECT_LT(woke - stopped, std::chrono::milliseconds(50));
  EXPECT_FALSE(port_.Pause(1000));
  EXPECT_FALSE(port_.WaitReadable(1000));

  stop = false;
  EXPECT_TRUE(port_.Pause(1));
  ASSERT_TRUE(pty_.WriteMaster(Bytes({1, 2, 3, 4})));
  const PortIo again = port_.Read(buf);
  EXPECT_TRUE(again.Ok());
  EXPECT_EQ(again.count, 4u);
}

TEST_F(SerialPortTest, DiscardAndBytesWaiting) {
  ASSERT_TRUE(pty_.WriteMaster(Bytes({9, 8, 7, 6})));
  ASSERT_TRUE(port_.WaitReadable(200));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(port_.BytesWaiting(), 4u);
  EXPECT_TRUE(port_.DiscardInput());
  EXPECT_EQ(port_.BytesWaiting(), 0u);
  uint8_t buf[4];
  EXPECT_EQ(port_.Read(buf).count, 0u);
}

TEST_F(SerialPortTest, InterruptWakesALongReadFromAnotherThread) {
  port_.SetTimeouts({0, 0, 10000, 7, 30});
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port_.Interrupt();
  });
  uint8_t buf[4];
  const auto start = Clock::now();
  const PortIo r = port_.Read(buf);
  stopper.join();
  EXPECT_EQ(r.status, PortStatus::kInterrupted);
  EXPECT_LT(MillisSince(start), 200);
  // Latched until the next open: the owner sees it on every later wait.
  EXPECT_FALSE(port_.Pause(1000));
  ASSERT_TRUE(port_.Open(pty_.SlavePath()));
  EXPECT_TRUE(port_.Pause(1));
}

TEST_F(SerialPortTest, ClosedPortReportsNotOpen) {
  port_.Close();
  uint8_t buf[1];
  EXPECT_EQ(port_.Read(buf).status, PortStatus::kNotOpen);
  EXPECT_EQ(port_.Write(buf).status, PortStatus::kNotOpen);
  EXPECT_FALSE(port_.DiscardInput());
  EXPECT_EQ(port_.BytesWaiting(), 0u);
}

class PortTimeoutsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvix_timeouts_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const char* name, const char* text) { std::ofstream(dir_ / name) << text; }
  fs::path dir_;
};

TEST_F(PortTimeoutsFileTest, FileNameFollowsTheLastComponent) {
  EXPECT_EQ(PortTimeoutsFile(dir_, "COM5"), dir_ / "COM5SET.INI");
  EXPECT_EQ(PortTimeoutsFile(dir_, "/dev/ttyUSB0"), dir_ / "ttyUSB0SET.INI");
  EXPECT_EQ(PortTimeoutsFile(dir_, "\\\\.\\COM12"), dir_ / "COM12SET.INI");
}

TEST_F(PortTimeoutsFileTest, MissingFileGivesTheDefaults) {
  EXPECT_EQ(ReadPortTimeouts(dir_, "COM5"), (PortTimeouts{10, 7, 40, 7, 30}));
}

TEST_F(PortTimeoutsFileTest, OneKeyChangesOnlyThatValueOfThatPort) {
  Write("COM5SET.INI", "[timeouts]\nRConst=100\n");
  EXPECT_EQ(ReadPortTimeouts(dir_, "COM5"), (PortTimeouts{10, 7, 100, 7, 30}));
  EXPECT_EQ(ReadPortTimeouts(dir_, "COM6"), kDefaultPortTimeouts);
}

TEST_F(PortTimeoutsFileTest, EveryKeyIsReadAndBadValuesFallBack) {
  Write("ttyUSB0SET.INI",
        "[Timeouts]\nrinterval=4294967295\nRMult=0\nRConst=0\nWMult=abc\nWConst=5\n[other]\n"
        "RMult=9\n");
  const PortTimeouts t = ReadPortTimeouts(dir_, "/dev/ttyUSB0");
  EXPECT_EQ(t.readInterval, kReturnImmediately);
  EXPECT_EQ(t.readMultiplier, 0u);
  EXPECT_EQ(t.readConstant, 0u);
  EXPECT_EQ(t.writeMultiplier, 7u);
  EXPECT_EQ(t.writeConstant, 5u);
}

// Each value is a number from 0 to 4294967295; anything else is garbage and gives the key's
// default. A negative number is garbage too: -1 must not turn into the 0xFFFFFFFF that
// selects a special read mode.
TEST_F(PortTimeoutsFileTest, ValuesOutsideTheUnsignedRangeGiveTheDefault) {
  struct Case {
    const char* text;
    uint32_t read;
  } cases[] = {
      {"0", 0},
      {"250", 250},
      {"+250", 250},
      {" 250 ", 250},
      {"4294967295", kReturnImmediately},
      {"-1", 40},
      {"-30", 40},
      {"-0", 40},
      {"4294967296", 40},
      {"99999999999", 40},
      {"12abc", 40},
      {"", 40},
      {"0x10", 40},
  };
  for (const Case& c : cases) {
    Write("COM7SET.INI", (std::string("[timeouts]\nRConst=") + c.text + "\n").c_str());
    EXPECT_EQ(ReadPortTimeouts(dir_, "COM7").readConstant, c.read) << "'" << c.text << "'";
  }
}

}  // namespace
}  // namespace kalvix
