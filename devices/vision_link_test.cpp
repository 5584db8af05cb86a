#include "devices/vision_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/vision_frame.h"
#include "testing/pseudo_terminal.h"

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A reply line with a correct checksum: "/A" + echo and data + checksum (no CR).
std::string GoodReply(const std::string& echoAndData) {
  return "/A" + echoAndData + CalcCRC(echoAndData);
}

// Plays the controller on the master side of a pty: collects every request line and answers
// each with the next scripted reply, sent as given (a reply needs its own CR); std::nullopt
// keeps silent. With nothing scripted it keeps silent too. A reply scripted in pieces goes
// out as one write per piece, gapMs apart, as a line delivers a reply in parts.
//
// Replies come after a turnaround of kTurnaroundMs: the link discards its input right after
// sending, and a reply that beat that discard on a busy machine would be lost with it.
class ScriptedController {
 public:
  explicit ScriptedController(PseudoTerminal& pty) : pty_(pty), thread_([this] { Serve(); }) {}
  ~ScriptedController() {
    stop_.store(true);
    thread_.join();
  }

  static constexpr int kTurnaroundMs = 15;

  void Script(std::optional<std::string> reply, int delayMs = kTurnaroundMs) {
    std::lock_guard lock(mutex_);
    replies_.push_back({std::move(reply), delayMs, {}, 0});
  }

  void ScriptPieces(std::vector<std::string> pieces, int gapMs) {
    std::lock_guard lock(mutex_);
    std::string first = pieces.front();
    pieces.erase(pieces.begin());
    replies_.push_back({std::move(first), kTurnaroundMs, std::move(pieces), gapMs});
  }

  std::vector<std::string> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // Waits until n requests have arrived (at most 2 s).
  bool WaitForRequests(size_t n) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(2), [&] { return requests_.size() >= n; });
  }

 private:
  struct Reply {
    std::optional<std::string> text;
    int delayMs;
    std::vector<std::string> laterPieces;
    int gapMs;
  };

  void Sleep(int ms) {
    for (auto start = Clock::now(); MillisSince(start) < ms && !stop_.load();) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Write(const std::string& text) {
    pty_.WriteMaster(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

  void Serve() {
    std::string line;
    while (!stop_.load()) {
      pollfd pfd{pty_.MasterFd(), POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) continue;
      char byte = 0;
      if (::read(pty_.MasterFd(), &byte, 1) != 1) continue;
      line.push_back(byte);
      if (byte != '\r') continue;
      Reply reply{std::nullopt, 0, {}, 0};
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(line);
        if (!replies_.empty()) {
          reply = std::move(replies_.front());
          replies_.pop_front();
        }
      }
      arrived_.notify_all();
      line.clear();
      if (!reply.text) continue;
      Sleep(reply.delayMs);
      Write(*reply.text);
      for (const std::string& piece : reply.laterPieces) {
        Sleep(reply.gapMs);
        Write(piece);
      }
    }
  }

  PseudoTerminal& pty_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Reply> replies_;
  std::vector<std::string> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class VisionLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok()) << pty_.Error();
    link_.SetPortName(pty_.SlavePath());
    link_.SetSpeed(57600);
    link_.SetActive(true);
    ASSERT_TRUE(link_.Active()) << link_.Status();
  }

  PseudoTerminal pty_;
  ScriptedController controller_{pty_};
  TVisionLink link_;
};

TEST(VisionLinkDefaults, AfterConstruction) {
  TVisionLink link;
  EXPECT_EQ(link.QueryString(), "/01RW0000012B");
  EXPECT_EQ(link.CRC(), "2B");
  EXPECT_EQ(link.CommandLine(), "RW000001");
  EXPECT_EQ(link.PortName(), "COM1");
  EXPECT_EQ(link.Speed(), 57600);
  EXPECT_EQ(link.UnitID(), 1);
  EXPECT_EQ(link.STX(), "/");
  EXPECT_EQ(link.STX1(), "/A");
  EXPECT_FALSE(link.Active());
  EXPECT_FALSE(link.EmulFlag());
  EXPECT_EQ(link.SendCounter(), 0);
  EXPECT_EQ(link.ErrorCounter(), 0);
  EXPECT_EQ(link.Status(), "");
}

TEST(VisionLinkDefaults, QueryFollowsUnitAndCommandButNotStx) {
  TVisionLink link;
  link.SetUnitID(10);
  EXPECT_EQ(link.QueryString(), "/0ARW0000013B");
  link.SetSTX("//");
  EXPECT_EQ(link.QueryString(), "/0ARW0000013B");  // STX takes effect at the next rebuild
  link.SetCommandLine("RW001001");
  EXPECT_EQ(link.QueryString(), "//0ARW0010013C");
  EXPECT_EQ(link.CRC(), "3C");
  link.SetSended(true);  // not active: nothing is sent
  EXPECT_FALSE(link.Sended());
  EXPECT_EQ(link.SendCounter(), 0);
}

TEST_F(VisionLinkTest, ReadsOneWordAndSendsTheRequestLine) {
  struct Case {
    const char* reply;
    int32_t value;
  };
  for (const Case& c : {Case{"/A01RW00FFF6\r", 255}, Case{"/A01RWFFFF22\r", 65535}}) {
    SCOPED_TRACE(c.reply);
    controller_.Script(c.reply);
    link_.SetUnitID(10);
    std::array<int32_t, 1> value = {-7};
    ASSERT_TRUE(link_.GetIntArray(16, 1, value, false)) << link_.Status();
    EXPECT_EQ(value[0], c.value);
    EXPECT_EQ(link_.Status(), "Recive() OK");
    EXPECT_EQ(link_.ResultStr(), std::string(c.reply, std::strlen(c.reply) - 1));
  }
  EXPECT_EQ(controller_.Requests(),
            (std::vector<std::string>{"/0ARW0010013C\r", "/0ARW0010013C\r"}));
  EXPECT_EQ(link_.QueryString(), "/0ARW0010013C");
  EXPECT_EQ(link_.SendCounter(), 2);
  EXPECT_EQ(link_.ErrorCounter(), 0);
}

// An exchange given a unit addresses that unit whatever UnitID says and leaves UnitID alone;
// the query texts show what was sent. Without a unit, the exchange addresses UnitID.
TEST_F(VisionLinkTest, ExchangeGoesToTheUnitItIsGiven) {
  const std::string toUnit10 = "/0ARW0010013C";
  const std::string toUnit1 = "/01RW001001" + CalcCRC("01RW001001");
  controller_.Script(GoodReply("0ARW00FF") + "\r");
  controller_.Script(GoodReply("01RW0102") + "\r");
  std::array<int32_t, 1> value = {};

  ASSERT_TRUE(link_.GetIntArray(VisionUnit{10}, 16, 1, value, false)) << link_.Status();
  EXPECT_EQ(value[0], 255);
  EXPECT_EQ(link_.UnitID(), 1);
  EXPECT_EQ(link_.QueryString(), toUnit10);

  ASSERT_TRUE(link_.GetIntArray(16, 1, value, false)) << link_.Status();
  EXPECT_EQ(value[0], 258);
  EXPECT_EQ(link_.QueryString(), toUnit1);
  EXPECT_EQ(controller_.Requests(), (std::vector<std::string>{toUnit10 + "\r", toUnit1 + "\r"}));
}

TEST_F(VisionLinkTest, ReadsLongsAndSeveralValues) {
  controller_.Script(GoodReply("01RNFFFFFFFF00010000") + "\r");
  std::array<int32_t, 2> values = {};
  ASSERT_TRUE(link_.GetIntArray(0x20, 2, values, true)) << link_.Status();
  EXPECT_EQ(values, (std::array<int32_t, 2>{-1, 65536}));
  ASSERT_TRUE(controller_.WaitForRequests(1));
  EXPECT_EQ(controller_.Requests()[0], "/01RNL002002" + CalcCRC("01RNL002002") + "\r");
}

TEST_F(VisionLinkTest, BadRepliesFailWithTheirStatus) {
  struct Case {
    const char* name;
    std::string reply;
    const char* status;
    bool counted;  // in ErrorCounter
  };
  const Case cases[] = {
      {"lower-case checksum", "/A01RW00FFf6\r", "CRC check error.", false},
      {"wrong checksum", "/A01RW00FFF7\r", "CRC check error.", false},
      {"too short", "/A01\r", "Answer too short.", false},
      {"no STX1", "XA01RW00FFF6\r", "STX1 is missing in answer.", false},
      {"not hexadecimal", GoodReply("01RW00G0") + "\r", "Int convert error.", false},
      {"too few digits", GoodReply("01RW0FF") + "\r", "Recive() OK", false},
      {"noise without CR", "/A01RW00FFF6", "Не удалось принять блок информации.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controller_.Script(c.reply);
    const int32_t errors = link_.ErrorCounter();
    std::array<int32_t, 1> value = {-7};
    EXPECT_FALSE(link_.GetIntArray(1, 1, value, false));
    EXPECT_EQ(value[0], -7);
    EXPECT_EQ(link_.Status(), c.status);
    EXPECT_EQ(link_.ErrorCounter(), errors + (c.counted ? 1 : 0));
  }
}

// The reply comes in two parts, split at every position: the line is whole however the
// line cuts it, and the round-trip runs to the CR, not to the first part.
TEST_F(VisionLinkTest, ReplyInPiecesIsJoinedAtEverySplit) {
  constexpr int kGapMs = 30;
  const std::string reply = GoodReply("01RW0102") + "\r";
  for (size_t split = 1; split < reply.size(); ++split) {
    SCOPED_TRACE(split);
    controller_.ScriptPieces({reply.substr(0, split), reply.substr(split)}, kGapMs);
    std::array<int32_t, 1> value = {-7};
    ASSERT_TRUE(link_.GetIntArray(1, 1, value, false)) << link_.Status();
    EXPECT_EQ(value[0], 258);
    EXPECT_EQ(link_.ResultStr(), reply.substr(0, reply.size() - 1));
    const BusExchange exchange = link_.LastExchange();
    EXPECT_EQ(exchange.end, BusExchange::End::kGood);
    EXPECT_GE(exchange.roundTrip, std::chrono::milliseconds(kGapMs));
  }
  // One byte at a time.
  std::vector<std::string> bytes;
  for (char c : reply) bytes.emplace_back(1, c);
  controller_.ScriptPieces(bytes, 2);
  std::array<int32_t, 1> value = {-7};
  ASSERT_TRUE(link_.GetIntArray(1, 1, value, false)) << link_.Status();
  EXPECT_EQ(value[0], 258);
  EXPECT_EQ(link_.ErrorCounter(), 0);
}

// What follows a reply's CR in the same read is not this reply, and the next request
// discards it: a stale reply left behind must not answer the next exchange.
TEST_F(VisionLinkTest, BytesAfterTheReplyNeverAnswerTheNextRequest) {
  const std::string stale = GoodReply("01RW0BAD") + "\r";
  struct Case {
    const char* name;
    std::string tail;  // sent with the first reply, after its CR
  };
  const Case cases[] = {
      {"garbage", "\x01zz\xff"},
      {"a second reply", stale},
      {"a second reply cut short", stale.substr(0, 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controller_.Script(GoodReply("01RW0001") + "\r" + c.tail);
    controller_.Script(GoodReply("01RW0002") + "\r");
    std::array<int32_t, 1> value = {};
    ASSERT_TRUE(link_.GetIntArray(1, 1, value, false)) << link_.Status();
    EXPECT_EQ(value[0], 1);
    ASSERT_TRUE(link_.GetIntArray(1, 1, value, false)) << link_.Status();
    EXPECT_EQ(value[0], 2);
  }
  EXPECT_EQ(link_.ErrorCounter(), 0);
}

// Two lines in one read, received without a request in between: the second waits for the
// next receive, as it would in the driver's input queue.
TEST_F(VisionLinkTest, SecondLineOfOneReadWaitsForTheNextReceive) {
  controller_.Script("/A01FIRST\r/A01SECOND\r/A01TH");
  link_.SetQueryString("/01RW0000012B");
  link_.SetSended(true);
  ASSERT_TRUE(link_.Sended());
  EXPECT_EQ(link_.ReciveString(), "/A01FIRST");
  EXPECT_EQ(link_.ReciveString(), "/A01SECOND");
  // The unfinished third line goes with the next request's discard.
  std::string reply;
  controller_.Script(GoodReply("01RW0003") + "\r");
  ASSERT_TRUE(link_.SendCommand(reply));
  EXPECT_EQ(reply, GoodReply("01RW0003"));
}

TEST_F(VisionLinkTest, LineWithoutCrIsGivenUpAfterOneSecond) {
  controller_.Script(std::nullopt);
  const int32_t sent = link_.SendCounter();
  std::string reply = "untouched";
  const auto start = Clock::now();
  EXPECT_FALSE(link_.SendCommand(reply));
  const int64_t elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 1000);
  EXPECT_LT(elapsed, 1500);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(link_.Status(), "Не удалось принять блок информации.");
  EXPECT_EQ(link_.ErrorCounter(), 1);
  EXPECT_EQ(link_.SendCounter(), sent + 1);
}

TEST_F(VisionLinkTest, OverlongReplyIsRefusedWithoutOverrun) {
  // 900 characters before the CR are the most a reply may have.
  std::string echoAndData = "01RW" + std::string(900 - 2 - 4 - 2, '0');
  controller_.Script(GoodReply(echoAndData) + "\r");
  std::string data;
  ASSERT_TRUE(link_.GetQueryRez(data)) << link_.Status();
  EXPECT_EQ(data.size(), 892u);

  controller_.Script(GoodReply(echoAndData + "0") + "\r");
  EXPECT_FALSE(link_.GetQueryRez(data));
  EXPECT_EQ(link_.Status(), "Неожиданно длинный ответ.");

  controller_.Script(std::string(2000, 'A'));
  EXPECT_FALSE(link_.GetQueryRez(data));
  EXPECT_EQ(link_.Status(), "Неожиданно длинный ответ.");
  EXPECT_EQ(link_.ErrorCounter(), 2);
}

TEST_F(VisionLinkTest, Bits) {
  controller_.Script(GoodReply("01RB101") + "\r");
  std::array<uint8_t, 3> bits = {7, 7, 7};
  ASSERT_TRUE(link_.GetBitArray(5, 3, bits)) << link_.Status();
  EXPECT_EQ(bits, (std::array<uint8_t, 3>{1, 0, 1}));

  controller_.Script(GoodReply("01RB10") + "\r");
  EXPECT_FALSE(link_.GetBitArray(5, 3, bits));

  controller_.Script(GoodReply("01SB") + "\r");
  const std::array<uint8_t, 2> written = {1, 0};
  EXPECT_TRUE(link_.SetBitArray(0, 2, written)) << link_.Status();

  ASSERT_TRUE(controller_.WaitForRequests(3));
  EXPECT_EQ(controller_.Requests(),
            (std::vector<std::string>{"/01RB000503" + CalcCRC("01RB000503") + "\r",
                                      "/01RB000503" + CalcCRC("01RB000503") + "\r",
                                      "/01SB0000021079\r"}));
}

TEST_F(VisionLinkTest, WritesIntegersWithAtLeastTheirDigits) {
  controller_.Script(GoodReply("01SW") + "\r");
  controller_.Script(GoodReply("01SN") + "\r");
  controller_.Script(std::nullopt);
  const std::array<int32_t, 1> minusOne = {-1};
  const std::array<int32_t, 1> eighty = {80};
  EXPECT_TRUE(link_.SetIntArray(3, 1, minusOne, false)) << link_.Status();
  EXPECT_TRUE(link_.SetIntArray(0x100, 1, eighty, true)) << link_.Status();
  EXPECT_FALSE(link_.SetIntArray(3, 1, eighty, false));  // no reply is a failed write
  ASSERT_TRUE(controller_.WaitForRequests(3));
  EXPECT_EQ(controller_.Requests()[0], "/01SW000301FFFFFFFF5F\r");
  EXPECT_EQ(controller_.Requests()[1],
            "/01SNL01000100000050" + CalcCRC("01SNL01000100000050") + "\r");
}

TEST_F(VisionLinkTest, CountBeyondTheBufferSendsNothing) {
  std::array<int32_t, 2> values = {};
  std::array<uint8_t, 2> bits = {};
  EXPECT_FALSE(link_.GetIntArray(0, 3, values, false));
  EXPECT_FALSE(link_.GetIntArray(0, -1, values, false));
  EXPECT_FALSE(link_.SetIntArray(0, 3, values, true));
  EXPECT_FALSE(link_.GetBitArray(0, 3, bits));
  EXPECT_FALSE(link_.SetBitArray(0, 3, bits));
  EXPECT_EQ(link_.SendCounter(), 0);
  EXPECT_TRUE(controller_.Requests().empty());
}

TEST_F(VisionLinkTest, RequestTooLongForTheTransmitBufferIsRefused) {
  link_.SetQueryString(std::string(100, 'R'));
  link_.SetSended(true);
  EXPECT_FALSE(link_.Sended());
  EXPECT_EQ(link_.Status(), "Не удалось послать блок информации.");
  EXPECT_EQ(link_.ErrorCounter(), 1);

  controller_.Script("/A01RW0A\r");
  link_.SetQueryString(std::string(99, 'R'));
  link_.SetSended(true);
  EXPECT_TRUE(link_.Sended());
  link_.SetRecived(true);
  EXPECT_TRUE(link_.Recived());
  EXPECT_EQ(link_.ResultStr(), "/A01RW0A");
  ASSERT_TRUE(controller_.WaitForRequests(1));
  EXPECT_EQ(controller_.Requests(), (std::vector<std::string>{std::string(99, 'R') + "\r"}));
}

TEST_F(VisionLinkTest, PortAndSpeedStayWhileActive) {
  link_.SetSpeed(9600);
  EXPECT_EQ(link_.Speed(), 57600);
  EXPECT_EQ(link_.Status(), "Нельзя менять скорость обмена при активном подключении.");
  link_.SetPortName("COM3");
  EXPECT_EQ(link_.PortName(), pty_.SlavePath());
  EXPECT_EQ(link_.Status(), "Нельзя менять порт при активном подключении!");
  EXPECT_FALSE(link_.ConnectToPort(57600));
  EXPECT_EQ(link_.Status(), "Не могу переключиться при активном соединении!");
  EXPECT_EQ(link_.ErrorCounter(), 3);
  EXPECT_TRUE(link_.Active());

  link_.SetActive(false);
  std::string reply;
  EXPECT_FALSE(link_.SendCommand(reply));  // refused silently once inactive
  EXPECT_EQ(link_.ErrorCounter(), 3);
  link_.SetSpeed(9600);
  EXPECT_EQ(link_.Speed(), 9600);
  link_.SetActive(true);  // the port was released, so it opens again
  EXPECT_TRUE(link_.Active()) << link_.Status();
}

// Only a different name is refused while active: the control thread sets the configured
// name on every start, also on a link that is still active.
TEST_F(VisionLinkTest, SameNameWhileActiveChangesNothing) {
  link_.SetStatus("Recive() OK");
  link_.SetPortName(pty_.SlavePath());
  EXPECT_EQ(link_.PortName(), pty_.SlavePath());
  EXPECT_EQ(link_.Status(), "Recive() OK");
  EXPECT_EQ(link_.ErrorCounter(), 0);
  EXPECT_TRUE(link_.Active());
}

TEST(VisionLinkConnect, FailuresAreReportedAndReleaseThePort) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  TVisionLink holder;
  holder.SetPortName(pty.SlavePath());
  holder.SetActive(true);
  ASSERT_TRUE(holder.Active());

  const std::filesystem::path plainFile =
      std::filesystem::temp_directory_path() / ("vision_link_test_" + std::to_string(::getpid()));
  std::ofstream(plainFile) << "not a terminal";

  struct Case {
    const char* name;
    std::string port;
    int32_t speed;
    const char* status;
  };
  const Case cases[] = {
      {"wrong speed", pty.SlavePath(), 57601, "Попытка соединения с неправильной скоростью!"},
      {"held by another link", pty.SlavePath(), 57600,
       "Не могу открыть COM-порт.\n\rВозможно, он используется\n\rдругой программой."},
      {"missing device", "/dev/kalvix-no-such-port", 57600,
       "Не могу открыть COM-порт.\n\rВозможно, он используется\n\rдругой программой."},
      {"not a serial line", plainFile.string(), 57600, "Не могу узнать состояние порта."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TVisionLink link;
    link.SetPortName(c.port);
    link.SetSpeed(c.speed);
    link.SetActive(true);
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(link.Status(), c.status);
    EXPECT_EQ(link.ErrorCounter(), 1);
  }

  // A link whose open failed after the device was opened does not keep the device, so
  // nobody else is locked out of it.
  TVisionLink link;
  link.SetPortName(plainFile.string());
  link.SetActive(true);
  ASSERT_FALSE(link.Active());
  const int fd = ::open(plainFile.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  std::filesystem::remove(plainFile);
}

TEST_F(VisionLinkTest, SecondExchangeWaitsForTheLockThenGivesUp) {
  // A reply after 400 ms keeps the lock longer than the 250 ms a second caller waits.
  controller_.Script(GoodReply("01RW0001") + "\r", 400);
  std::array<int32_t, 1> first = {};
  std::atomic<bool> firstOk{false};
  std::thread slow([&] { firstOk = link_.GetIntArray(0, 1, first, false); });
  ASSERT_TRUE(controller_.WaitForRequests(1));

  std::string reply;
  const auto start = Clock::now();
  EXPECT_FALSE(link_.SendCommand(reply));
  const int64_t waited = MillisSince(start);
  EXPECT_GE(waited, 240);
  EXPECT_LT(waited, 390);
  EXPECT_EQ(link_.Status(), "Захват ресурса.");
  slow.join();
  EXPECT_TRUE(firstOk);
  EXPECT_EQ(first[0], 1);
  EXPECT_EQ(controller_.Requests().size(), 1u);  // the refused caller sent nothing

  // A reply within the wait: the second caller gets the lock and its own exchange.
  controller_.Script(GoodReply("01RW0002") + "\r", 100);
  controller_.Script(GoodReply("01RW0003") + "\r");
  std::array<int32_t, 1> a = {}, b = {};
  std::atomic<bool> aOk{false};
  std::thread t([&] { aOk = link_.GetIntArray(0, 1, a, false); });
  ASSERT_TRUE(controller_.WaitForRequests(2));
  EXPECT_TRUE(link_.GetIntArray(0, 1, b, false)) << link_.Status();
  t.join();
  EXPECT_TRUE(aOk);
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(b[0], 3);
}

TEST_F(VisionLinkTest, SwitchingOffEndsAnExchangeInProgressAtOnce) {
  controller_.Script(std::nullopt);
  std::atomic<bool> ok{true};
  std::thread poller([&] {
    std::array<int32_t, 1> value = {};
    ok = link_.GetIntArray(0, 1, value, false);
  });
  ASSERT_TRUE(controller_.WaitForRequests(1));
  const auto start = Clock::now();
  link_.SetActive(false);
  EXPECT_LT(MillisSince(start), 200);
  poller.join();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(link_.Active());
}

TEST(VisionLinkEmulation, ListsServeTheArrayOperations) {
  TVisionLink link;  // never active: the lists need no port
  link.SetEmulFlag(true);
  link.SetEmulIntArray({"10", "-20", "30"});
  std::array<int32_t, 3> values = {7, 7, 7};
  EXPECT_TRUE(link.GetIntArray(2, 3, values, false));
  EXPECT_EQ(values, (std::array<int32_t, 3>{30, 0, 0}));
  EXPECT_TRUE(link.GetIntArray(0, 2, values, false));
  EXPECT_EQ(values, (std::array<int32_t, 3>{10, -20, 0}));

  link.SetEmulIntArray({});
  const std::array<int32_t, 1> seven = {7};
  EXPECT_TRUE(link.SetIntArray(5, 1, seven, false));
  EXPECT_EQ(link.EmulIntArray(), (TVisionLink::TStringList{"0", "0", "0", "0", "0", "7"}));
  EXPECT_TRUE(link.EmulLongArray().empty());  // the 32-bit list is a separate one

  const std::array<int32_t, 2> longs = {-1, 123456789};
  EXPECT_TRUE(link.SetIntArray(0, 2, longs, true));
  EXPECT_EQ(link.EmulLongArray(), (TVisionLink::TStringList{"-1", "123456789"}));

  link.SetEmulBitArray({"0", "5", "1"});
  std::array<uint8_t, 4> bits = {7, 7, 7, 7};
  EXPECT_TRUE(link.GetBitArray(0, 4, bits));
  EXPECT_EQ(bits, (std::array<uint8_t, 4>{0, 1, 1, 0}));
  const std::array<uint8_t, 2> written = {1, 0};
  EXPECT_TRUE(link.SetBitArray(3, 2, written));
  EXPECT_EQ(link.EmulBitArray(), (TVisionLink::TStringList{"0", "5", "1", "1", "0"}));

  link.SetEmulIntArray({"12x"});
  EXPECT_FALSE(link.GetIntArray(0, 1, values, false));
  EXPECT_EQ(link.Status(), "Int convert error.");
  EXPECT_EQ(link.SendCounter(), 0);
  EXPECT_EQ(link.ErrorCounter(), 0);
}

}  // namespace
}  // namespace kalvix
