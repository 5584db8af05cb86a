#include "faults/service_harness.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "util/date_time.h"

namespace kalvix::faults {

using plantsim::Line;

size_t CountOf(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void ServiceHarness::SetUpTestSuite() {
  server_ = std::make_unique<PrivateServer>();
  if (!server_->Run("start")) {
    server_.reset();
    return;
  }
  UseDatabase(server_->Dir(), server_->Socket(), server_->Socket());
}

void ServiceHarness::TearDownTestSuite() {
  suiteDir_.clear();
  server_.reset();
}

void ServiceHarness::UseDatabase(const fs::path& dir, const std::string& comp,
                                 const std::string& testHost) {
  comp_ = comp;
  testHost_ = testHost;
  // kalvixd refuses to run beside another copy of itself, which is what the suites running
  // at the same time would be; a copy under a name of this suite's own is a program of its
  // own to that check.
  program_ = dir / ("kalvixd-f" + std::to_string(::getpid()));
  std::error_code error;
  fs::copy_file(fs::path(KALVIX_BIN_DIR) / "kalvixd", program_,
                fs::copy_options::overwrite_existing, error);
  if (error) program_.clear();
  suiteDir_ = dir;
}

pid_t ServiceHarness::ServerPid() {
  const std::string text = ReadFileText(fs::path(server_->Dir()) / "mysqld.pid");
  return static_cast<pid_t>(std::atol(text.c_str()));
}

void ServiceHarness::ReloadDatabase() {
  const std::string client =
      "mariadb --no-defaults --user=root --socket='" + server_->Socket() + "'";
  const std::string source = KALVIX_SOURCE_DIR;
  const std::string command = client + " -e 'drop database if exists kalvix' && cat '" + source +
                              "/db/schema.sql' '" + source + "/db/default_plant.sql' | " + client;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void ServiceHarness::SetUp() {
  ASSERT_FALSE(suiteDir_.empty()) << "the suite's database did not start";
  if (server_ != nullptr) {
    if (ServerPid() <= 0 || ::kill(ServerPid(), 0) != 0) {
      ASSERT_TRUE(server_->Run("start"));
    }
    ASSERT_NO_FATAL_FAILURE(ReloadDatabase());
  }
  std::string error;
  ASSERT_TRUE(plant_.Start(&error)) << error;
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name) {
    if (c == '/') c = '_';  // parameterised tests are named "Case/0"
  }
  dir_ = suiteDir_ / ("service-" + name);
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  ini_ = dir_ / "kalvixsrv.ini";
  for (Line line : plantsim::kAllLines) PointLine(line, plant_);
  SetConnectionParam(db_, "HostName", testHost_);
}

void ServiceHarness::TearDown() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  db_.Disconnect();
  plant_.Stop();
}

void ServiceHarness::WriteSettings(const std::string& extra) {
  std::ofstream(ini_, std::ios::binary | std::ios::trunc)
      << "; written by the test\n[main]\nAutoStart=1\nAverageLen=3\n"
      << "ModBUS_PortName=" << LinePath(Line::kModbus).string() << "\n"
      << "V120_PortName=" << LinePath(Line::kVision).string() << "\n"
      << "VK_PortName=" << LinePath(Line::kBk003).string() << "\n"
      << "MetricsListen=" << metricsListen_ << "\n"
      << "[MySQL]\nComp=" << (dbHost_.empty() ? comp_ : dbHost_)
      << "\nServiceName=\nStartTime=0\n"
      << extra;
}

fs::path ServiceHarness::LinePath(Line line) const { return dir_ / plantsim::LineName(line); }

void ServiceHarness::PointLine(Line line, plantsim::PlantSimulator& plant) {
  std::error_code ignored;
  fs::remove(LinePath(line), ignored);
  if (plant.Running()) fs::create_symlink(plant.PortPath(line), LinePath(line));
}

namespace {

// Writes n in decimal with its terminating NUL; async-signal-safe, for the child after fork.
void WriteDecimal(char* out, long n) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
}

}  // namespace

void ServiceHarness::StartService(long fileSizeLimit) {
  if (!fs::exists(ini_)) WriteSettings();
  ASSERT_FALSE(program_.empty()) << "kalvixd could not be copied for the suite";
  std::string program = program_.string();
  std::string option = "--config";
  std::string config = ini_.string();
  char* argv[] = {program.data(), option.data(), config.data(), nullptr};
  // Built before the fork: the child may not allocate.
  std::vector<std::string> env(serviceEnv_);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  // Only the child knows its pid: it writes it into room left here.
  std::vector<char*> pidValues;
  for (std::string& e : env) {
    const size_t value = e.find('=') + 1;
    if (value > 0 && std::string_view(e).substr(value) == kChildPid) {
      e.resize(value + 24, '\0');
      pidValues.push_back(e.data() + value);
    }
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_ = ::fork();
  ASSERT_GE(pid_, 0);
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: the test process has threads.
    for (char* value : pidValues) WriteDecimal(value, ::getpid());
    if (fileSizeLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
}

bool ServiceHarness::ServiceAlive() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

void ServiceHarness::KillService() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::optional<int> ServiceHarness::StopService(std::chrono::milliseconds bound, int signal) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, signal);
  int status = 0;
  const bool ended =
      WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound, 10ms);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  if (!ended) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ServiceHarness::Log() {
  return ReadFileText(dir_ / "LOG" / (FormatDateTime("yyyy_mm_dd", Now()) + ".log"));
}

bool ServiceHarness::WaitForLog(std::string_view text, std::chrono::milliseconds limit) {
  return WaitFor([&] { return Log().find(text) != std::string::npos; }, limit);
}

bool ServiceHarness::Sql(const std::string& statement) {
  if (!db_.Connected() && !db_.Connect().ok()) return false;
  return db_.Execute(statement).ok();
}

std::optional<DbResult> ServiceHarness::Rows(const std::string& query) {
  if (!db_.Connected() && !db_.Connect().ok()) return std::nullopt;
  DbResult result;
  if (!db_.Query(query, result).ok()) return std::nullopt;
  return result;
}

std::optional<double> ServiceHarness::StateMoment() { return StateValue("RecMoment"); }

std::optional<double> ServiceHarness::StateValue(const std::string& column) {
  const auto r = Rows("select " + column + " from last_state");
  double value = 0;
  if (!r || r->rows.empty() || !DbToNumber(r->rows[0][0], value)) return std::nullopt;
  return value;
}

bool ServiceHarness::WaitForCycleAfter(double after, std::chrono::milliseconds limit) {
  return WaitFor(
      [&] {
        auto m = StateMoment();
        return m && *m > after;
      },
      limit);
}

bool ServiceHarness::WaitForCycles(std::chrono::milliseconds limit) {
  return WaitForCycleAfter(Now() - 2.0 / kSecondsPerDay, limit);
}

int ServiceHarness::MissingHistoryMinutes() {
  const auto r = Rows("select RecMoment from pu_data order by RecMoment");
  if (!r || r->rows.empty()) return -1;
  std::set<long> minutes;
  for (const auto& row : r->rows) {
    double t = 0;
    if (DbToNumber(row[0], t)) minutes.insert(std::lround(t * 1440.0));
  }
  return static_cast<int>(*minutes.rbegin() - *minutes.begin() + 1 -
                          static_cast<long>(minutes.size()));
}

}  // namespace kalvix::faults
