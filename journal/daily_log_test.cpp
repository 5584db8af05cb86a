#include "journal/daily_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "journal/event_log.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Lines of a log file, each checked to end in CR LF.
std::vector<std::string> LogLines(const fs::path& path) {
  const std::string text = ReadFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "line without CR LF";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string TextOf(const std::string& line) { return line.substr(line.rfind(" | ") + 3); }

class DailyLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("kalvix_log_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    log_ = std::make_unique<DailyLog>(root_ / "work" / "LOG");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path TodaysFile() const { return log_->LogDir() / DailyLog::FileNameFor(Now()); }

  fs::path root_;
  std::unique_ptr<DailyLog> log_;
};

TEST_F(DailyLogTest, LineFormatAndFileName) {
  TEventFIFO_Rec rec{"Старт", EncodeDateTime({2011, 7, 5, 14, 3, 27, 0}), 412};
  EXPECT_EQ(FormatLogLine(rec), "412 | 05.07.2011 | 14:03:27 | Старт");
  EXPECT_EQ(DailyLog::FileNameFor(rec.moment), "2011_07_05.log");
}

TEST_F(DailyLogTest, WriteCreatesFolderWithParentsAndAppendsCrLf) {
  ASSERT_TRUE(log_->WriteLogLine("first"));
  ASSERT_TRUE(log_->WriteLogLine("second"));
  EXPECT_EQ(ReadFile(TodaysFile()), "first\r\nsecond\r\n");
}

TEST_F(DailyLogTest, RemovedFolderIsRecreatedByTheNextLine) {
  ASSERT_TRUE(log_->WriteLogLine("before"));
  fs::remove_all(log_->LogDir());
  ASSERT_TRUE(log_->WriteLogLine("after"));
  EXPECT_EQ(ReadFile(TodaysFile()), "after\r\n");
}

TEST_F(DailyLogTest, UnwritablePlaceFailsWithoutThrowing) {
  fs::create_directories(root_);
  std::ofstream(root_ / "blocker") << "a file where a folder should be";
  DailyLog blocked(root_ / "blocker" / "LOG");
  EXPECT_FALSE(blocked.WriteLogLine("lost"));
}

TEST_F(DailyLogTest, DrainTakesTenPerTickInPostingOrder) {
  TEventFIFO fifo(400);
  for (int i = 0; i < 25; ++i) ASSERT_TRUE(fifo.Push("m" + std::to_string(i)));

  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, true), 0) << "drain runs only once enabled";
  EXPECT_FALSE(fs::exists(TodaysFile()));
  log_->EnableDrain();

  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, true), 10);
  EXPECT_EQ(LogLines(TodaysFile()).size(), 10u);
  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, true), 10);
  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, true), 5);
  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, true), 0);
  const auto lines = LogLines(TodaysFile());
  ASSERT_EQ(lines.size(), 25u);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(TextOf(lines[i]), "m" + std::to_string(i));
}

TEST_F(DailyLogTest, SaveLogFlagOffDrainsWithoutTouchingFiles) {
  TEventFIFO fifo(10);
  log_->EnableDrain();
  ASSERT_TRUE(fifo.Push("quiet"));
  EXPECT_EQ(TimerGetLogTimer(fifo, *log_, false), 1);
  EXPECT_EQ(fifo.Count(), 0);
  EXPECT_FALSE(fs::exists(log_->LogDir()));
}

// A message posted just before midnight and drained after it goes into the new day's file
// but keeps its own date and time.
TEST_F(DailyLogTest, OldMessageGoesToTodaysFileWithItsOwnMoment) {
  TEventFIFO fifo(10);
  log_->EnableDrain();
  const DateTime yesterdayLate = std::floor(Now()) - 1 + 86399.9 / kSecondsPerDay;
  ASSERT_TRUE(fifo.Push("late", yesterdayLate, 7));
  ASSERT_EQ(TimerGetLogTimer(fifo, *log_, true), 1);
  const auto lines = LogLines(TodaysFile());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "7 | " + FormatDateTime("dd.mm.yyyy", yesterdayLate) + " | 23:59:59 | late");
  EXPECT_FALSE(fs::exists(log_->LogDir() / DailyLog::FileNameFor(yesterdayLate)));
}

// Messages from several threads through the process queue all reach the file, each thread's
// in its posting order.
TEST_F(DailyLogTest, PostedFromSeveralThreadsAllReachTheFile) {
  TEventFIFO_Rec rec;
  while (EventQueue().Pop(rec)) {
  }
  log_->EnableDrain();
  constexpr int kThreads = 3;
  constexpr int kEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) PostEvent("t" + std::to_string(t) + " " + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  while (TimerGetLogTimer(EventQueue(), *log_, true) == kLogRecordsPerDrain) {
  }
  const auto lines = LogLines(TodaysFile());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    const std::string text = TextOf(line);
    const int t = text[1] - '0';
    EXPECT_EQ(text, "t" + std::to_string(t) + " " + std::to_string(next[t]));
    ++next[t];
  }
}

}  // namespace
}  // namespace kalvix
