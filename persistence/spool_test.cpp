#include "persistence/spool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/events.h"
#include "testing/file_text.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;

const DateTime kT0 = EncodeDateTime({2011, 7, 5, 14, 3, 0, 0});

DateTime Seconds(int s) { return kT0 + s / kSecondsPerDay; }

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kalvix-spool-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "spool.db").string();
    DrainEvents();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::vector<SpoolRow> All(Spool& spool) {
    std::vector<SpoolRow> rows;
    EXPECT_TRUE(spool.Oldest(1000, rows).ok());
    return rows;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(SpoolTest, OldestFirstAcrossKindsThenRemoved) {
  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  // Put out of order: the replay order is by moment, rows of one moment in the order put.
  ASSERT_TRUE(spool.PutJournal(Seconds(2), 2000, "третья", "СЛУЖБА ПРИЕМА").status.ok());
  ASSERT_TRUE(spool.PutJournal(Seconds(1), 1000, "первая", "").status.ok());
  ASSERT_TRUE(spool.PutMinute(Seconds(0), "2011-07-05 14:03:00", "INSERT m0").status.ok());
  ASSERT_TRUE(spool.PutJournal(Seconds(1), 1001, std::string("вто\0рая", 13), "X").status.ok());

  std::vector<SpoolRow> rows = All(spool);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].kind, SpoolRowKind::kMinute);
  EXPECT_EQ(rows[0].minuteKey, "2011-07-05 14:03:00");
  EXPECT_EQ(rows[0].statement, "INSERT m0");
  EXPECT_EQ(rows[1].kind, SpoolRowKind::kJournal);
  EXPECT_EQ(rows[1].message, "первая");
  EXPECT_EQ(rows[1].npp, 1000);
  EXPECT_EQ(rows[1].moment, Seconds(1)) << "the moment comes back exactly";
  EXPECT_EQ(rows[2].message, std::string("вто\0рая", 13)) << "a NUL does not cut the text";
  EXPECT_EQ(rows[2].source, "X");
  EXPECT_EQ(rows[3].message, "третья");
  EXPECT_EQ(rows[3].source, "СЛУЖБА ПРИЕМА");

  std::vector<SpoolRow> two;
  ASSERT_TRUE(spool.Oldest(2, two).ok());
  ASSERT_EQ(two.size(), 2u);
  for (const SpoolRow& row : two) {
    bool removed = false;
    ASSERT_TRUE(spool.Remove(row.id, row.revision, &removed).ok());
    EXPECT_TRUE(removed);
  }
  int64_t count = 0;
  ASSERT_TRUE(spool.Count(count).ok());
  EXPECT_EQ(count, 2);
  std::optional<DateTime> oldest;
  ASSERT_TRUE(spool.OldestMoment(oldest).ok());
  ASSERT_TRUE(oldest.has_value());
  EXPECT_EQ(*oldest, Seconds(1));
  rows = All(spool);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].npp, 1001);

  for (const SpoolRow& row : rows) ASSERT_TRUE(spool.Remove(row.id, row.revision).ok());
  ASSERT_TRUE(spool.OldestMoment(oldest).ok());
  EXPECT_FALSE(oldest.has_value());
}

// Every cycle of a minute may put the minute's row: the spool keeps one, the latest. A row
// rewritten while its older values were being replayed stays for the next replay.
TEST_F(SpoolTest, OneRowPerMinuteTheLatest) {
  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  const std::string key = "2011-07-05 14:03:00";
  ASSERT_TRUE(spool.PutMinute(Seconds(0), key, "first").status.ok());
  ASSERT_TRUE(spool.PutJournal(Seconds(10), 1, "j", "").status.ok());
  std::vector<SpoolRow> replaying = All(spool);
  ASSERT_TRUE(spool.PutMinute(Seconds(40), key, "last").status.ok());

  std::vector<SpoolRow> rows = All(spool);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].kind, SpoolRowKind::kJournal);
  EXPECT_EQ(rows[1].statement, "last");
  EXPECT_EQ(rows[1].moment, Seconds(40));

  bool removed = true;
  ASSERT_TRUE(spool.Remove(replaying[0].id, replaying[0].revision, &removed).ok());
  EXPECT_FALSE(removed) << "the confirmed write carried the first values only";
  ASSERT_TRUE(spool.Remove(rows[1].id, rows[1].revision, &removed).ok());
  EXPECT_TRUE(removed);
  EXPECT_EQ(All(spool).size(), 1u);
}

// The priming at a new start asks for the newest kept minute before the current one: a
// former run stopped within the current minute kept that minute too.
TEST_F(SpoolTest, NewestMinuteBeforeAKey) {
  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  SpoolRow row;
  bool found = true;
  ASSERT_TRUE(spool.NewestMinute("", row, found).ok());
  EXPECT_FALSE(found) << "an empty spool";
  ASSERT_TRUE(spool.PutMinute(Seconds(59), "2011-07-05 14:03:00", "m3", 30, "G2=3").status.ok());
  ASSERT_TRUE(spool.PutMinute(Seconds(119), "2011-07-05 14:04:00", "m4", 30, "G2=4").status.ok());
  ASSERT_TRUE(spool.PutJournal(Seconds(200), 1, "j", "").status.ok());
  struct Case {
    const char* before;
    const char* found;  // nullptr: none
  } cases[] = {
      {"", "2011-07-05 14:04:00"},
      {"2011-07-05 14:05:00", "2011-07-05 14:04:00"},
      {"2011-07-05 14:04:00", "2011-07-05 14:03:00"},
      {"2011-07-05 14:03:00", nullptr},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(spool.NewestMinute(c.before, row, found).ok()) << c.before;
    EXPECT_EQ(found, c.found != nullptr) << c.before;
    if (found && c.found != nullptr) {
      EXPECT_EQ(row.minuteKey, c.found) << c.before;
      EXPECT_EQ(row.counters, row.minuteKey.ends_with("03:00") ? "G2=3" : "G2=4");
    }
  }
}

TEST_F(SpoolTest, RowsSurviveCloseAndAKilledWriter) {
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(path_).ok());
    ASSERT_TRUE(spool.PutMinute(Seconds(0), "2011-07-05 14:03:00", "m").status.ok());
  }
  // A writer killed right after its Put returned: the row is on the disk, in the log.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Spool spool;
    const bool ok = spool.Open(path_).ok() && spool.PutJournal(Seconds(5), 7, "j", "s").status.ok();
    if (ok) ::kill(::getpid(), SIGKILL);
    ::_exit(1);
  }
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "the child's Put failed";

  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  std::vector<SpoolRow> rows = All(spool);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].statement, "m");
  EXPECT_EQ(rows[1].npp, 7);
  EXPECT_TRUE(spool.LastMovedAside().empty());
}

TEST_F(SpoolTest, BoundDropsRowsOlderThanTheDaysAndSaysHowMany) {
  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  for (double day : {-40.0, -35.0, -30.01, -29.99, -10.0}) {
    ASSERT_TRUE(spool.PutJournal(kT0 + day, 0, "old", "", 0).status.ok());
  }
  EXPECT_EQ(All(spool).size(), 5u) << "0 days: no bound";

  SpoolPutResult put = spool.PutMinute(kT0, "2011-07-05 14:03:00", "m", 30);
  ASSERT_TRUE(put.status.ok());
  EXPECT_EQ(put.dropped, 3);
  std::vector<SpoolRow> rows = All(spool);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].moment, kT0 - 29.99);

  put = spool.PutJournal(kT0 + 1.0 / 1440, 0, "next", "", 30);
  ASSERT_TRUE(put.status.ok());
  EXPECT_EQ(put.dropped, 0);
}

// What cannot hold a spool: the open fails with a reason, and every later call says that no
// spool is open.
TEST_F(SpoolTest, OpenFailsWithAReasonWhereNoFileCanBeMade) {
  std::ofstream(dir_ / "file") << "a file, not a folder\n";
  struct Case {
    const char* name;
    fs::path path;
  };
  const Case cases[] = {
      {"folder is a file", dir_ / "file" / "spool.db"},
      {"folder missing", dir_ / "missing" / "spool.db"},
  };
  for (const Case& c : cases) {
    Spool spool;
    const SpoolStatus status = spool.Open(c.path.string());
    EXPECT_EQ(status.kind, SpoolErrorKind::kCantOpen) << c.name << ": " << status.Describe();
    EXPECT_FALSE(status.message.empty()) << c.name;
    EXPECT_FALSE(spool.IsOpen()) << c.name;
    EXPECT_EQ(spool.PutJournal(kT0, 0, "j", "").status.kind, SpoolErrorKind::kNotOpen) << c.name;
    std::vector<SpoolRow> rows;
    EXPECT_EQ(spool.Oldest(10, rows).kind, SpoolErrorKind::kNotOpen) << c.name;
  }
}

// A folder without write permission. Root ignores permission bits, so the open runs in a child
// that gives up root first.
TEST_F(SpoolTest, OpenFailsInAFolderWithoutWritePermission) {
  const fs::path folder = dir_ / "readonly";
  fs::create_directory(folder);
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
    Spool spool;
    const SpoolStatus status = spool.Open((folder / "spool.db").string());
    ::_exit(status.message.empty() ? 101 : static_cast<int>(status.kind));
  }
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  const int code = WEXITSTATUS(wstatus);
  EXPECT_TRUE(code == static_cast<int>(SpoolErrorKind::kCantOpen) ||
              code == static_cast<int>(SpoolErrorKind::kReadOnly))
      << "exit " << code;
  EXPECT_FALSE(fs::exists(folder / "spool.db"));
}

// RLIMIT_FSIZE stands for a full disk. Restores the limit and SIGXFSZ when it ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t oldHandler_ = SIG_DFL;
};

TEST_F(SpoolTest, FullDiskFailsThePutAndKeepsWhatWasWritten) {
  Spool spool;
  ASSERT_TRUE(spool.Open(path_).ok());
  const std::string statement(3000, 'x');
  int written = 0;
  SpoolPutResult failed;
  {
    FileSizeLimit limit(128 * 1024);
    for (int i = 0; i < 500; ++i) {
      SpoolPutResult put = spool.PutJournal(Seconds(i), i, statement, "");
      if (!put.status.ok()) {
        failed = put;
        break;
      }
      ++written;
    }
  }
  ASSERT_FALSE(failed.status.ok()) << "no Put failed under the limit";
  EXPECT_EQ(failed.status.kind, SpoolErrorKind::kDiskFull) << failed.status.Describe();
  EXPECT_GT(written, 0);

  std::vector<SpoolRow> rows = All(spool);
  ASSERT_EQ(rows.size(), static_cast<size_t>(written));
  EXPECT_EQ(rows.back().npp, written - 1);
  ASSERT_TRUE(spool.PutJournal(Seconds(written), written, "after", "").status.ok())
      << "writes go on once there is room";
  spool.Close();

  Spool reopened;
  ASSERT_TRUE(reopened.Open(path_).ok());
  int64_t count = 0;
  ASSERT_TRUE(reopened.Count(count).ok());
  EXPECT_EQ(count, written + 1);
}

// A damaged file is moved aside whole (never deleted) with a log line, and a new spool works
// in its place.
TEST_F(SpoolTest, DamagedFileMovedAsideAndANewSpoolMade) {
  struct Case {
    const char* name;
    bool validStart;  // a real spool whose pages past the header are then overwritten
    size_t garbageBytes;
  };
  const Case cases[] = {
      {"garbage throughout", false, 8192},
      {"a few garbage bytes", false, 17},
      {"pages past the header overwritten", true, 8192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    std::string garbage;
    for (size_t i = 0; i < c.garbageBytes; ++i) garbage += static_cast<char>((i * 131 + 7) % 251);
    if (c.validStart) {
      Spool spool;
      ASSERT_TRUE(spool.Open(path_).ok());
      for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(spool.PutJournal(Seconds(i), i, std::string(500, 'y'), "").status.ok());
      }
      spool.Close();
      std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(4096);
      file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    } else {
      std::ofstream(path_, std::ios::binary) << garbage;
    }
    const std::string before = ReadFileText(path_);
    DrainEvents();

    Spool spool;
    const SpoolStatus status = spool.Open(path_);
    ASSERT_TRUE(status.ok()) << status.Describe();
    const std::string aside = spool.LastMovedAside();
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(aside.rfind(path_ + ".corrupt-", 0), 0u) << aside;
    EXPECT_EQ(ReadFileText(aside), before) << "the damaged file is kept as it was";

    const std::vector<std::string> events = DrainEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find("поврежден"), std::string::npos) << events[0];
    EXPECT_NE(events[0].find(aside), std::string::npos) << events[0];

    EXPECT_TRUE(All(spool).empty());
    ASSERT_TRUE(spool.PutJournal(kT0, 1, "new", "").status.ok());
    EXPECT_EQ(All(spool).size(), 1u);
  }
}

}  // namespace
}  // namespace kalvix
