// The simulated JUMO line checked by someone else's Modbus master: libmodbus's RTU client
// reads and writes through the library and through the kalvix-plantsim program itself.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/plantsim/plant_simulator.h"
#include "util/profile_file.h"

extern char** environ;

namespace kalvix::plantsim {
namespace {

namespace fs = std::filesystem;
using D = DeviceId;
using K = PointKind;

Waveform Fixed(double value) { return Waveform{value, 0, 600, 0, 0, 0}; }

// A libmodbus RTU master on one port; closed and freed with the object.
class LibmodbusMaster {
 public:
  explicit LibmodbusMaster(const std::string& port)
      : ctx_(modbus_new_rtu(port.c_str(), 57600, 'N', 8, 1)) {
    if (ctx_ != nullptr) {
      modbus_set_response_timeout(ctx_, 1, 0);
      connected_ = modbus_connect(ctx_) == 0;
    }
  }
  ~LibmodbusMaster() {
    if (ctx_ == nullptr) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
  LibmodbusMaster(const LibmodbusMaster&) = delete;
  LibmodbusMaster& operator=(const LibmodbusMaster&) = delete;

  bool Connected() const { return connected_; }

  // Registers read from a slave; empty on failure, with errno kept in *error.
  std::vector<uint16_t> Read(int slave, int reg, int count, int* error = nullptr) {
    std::vector<uint16_t> words(static_cast<size_t>(count));
    modbus_set_slave(ctx_, slave);
    if (modbus_read_registers(ctx_, reg, count, words.data()) != count) {
      if (error) *error = errno;
      return {};
    }
    return words;
  }
  bool Write(int slave, int reg, const std::vector<uint16_t>& words) {
    modbus_set_slave(ctx_, slave);
    return modbus_write_registers(ctx_, reg, static_cast<int>(words.size()), words.data()) ==
           static_cast<int>(words.size());
  }
  void SetTimeoutMs(int ms) {
    modbus_set_response_timeout(ctx_, 0, static_cast<uint32_t>(ms) * 1000);
  }

 private:
  modbus_t* ctx_;
  bool connected_ = false;
};

TEST(PlantsimWithLibmodbus, ReadsFloatsInEveryOrderAndIntegersFromBothSlaves) {
  PlantOptions options;
  options.modelNoise = false;
  options.layout = {
      {"ABCD", D::kJumo1, 16, K::kFloat, true, false, Fixed(10.5)},
      {"CDAB", D::kJumo1, 20, K::kFloat, true, true, Fixed(-3.25)},
      {"BADC", D::kJumo1, 22, K::kFloat, false, true, Fixed(1234.5)},
      {"DCBA", D::kJumo1, 24, K::kFloat, false, false, Fixed(0.125)},
      {"LEVEL", D::kJumo2, 40, K::kInt, false, false, Fixed(620)},
      {"_SET", D::kJumo2, 8, K::kFloat, true, true, Fixed(0)},
  };
  PlantSimulator plant(options);
  std::string error;
  ASSERT_TRUE(plant.Start(&error)) << error;
  LibmodbusMaster master(plant.PortPath(Line::kModbus));
  ASSERT_TRUE(master.Connected());

  struct FloatCase {
    int reg;
    float (*decode)(const uint16_t*);
    float expected;
  };
  const FloatCase floats[] = {{16, modbus_get_float_abcd, 10.5f},
                              {20, modbus_get_float_cdab, -3.25f},
                              {22, modbus_get_float_badc, 1234.5f},
                              {24, modbus_get_float_dcba, 0.125f}};
  for (const FloatCase& c : floats) {
    SCOPED_TRACE(c.reg);
    const std::vector<uint16_t> words = master.Read(1, c.reg, 2);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(c.decode(words.data()), c.expected);
  }
  EXPECT_EQ(master.Read(2, 40, 1), std::vector<uint16_t>{620});

  // A float written in the slave's order is recorded and read back. The registers are
  // spelled out: libmodbus 3.1.6's modbus_set_float_* put the bytes in other orders than
  // their names (and than its own getters) on a little-endian host. 1.6f is 0x3FCCCCCD.
  const std::vector<uint16_t> cdab16 = {0xCCCD, 0x3FCC};
  ASSERT_TRUE(master.Write(2, 8, cdab16));
  EXPECT_EQ(plant.SignalValue("_SET"), static_cast<double>(1.6f));
  ASSERT_EQ(plant.Writes().size(), 1u);
  EXPECT_EQ(plant.Writes()[0].signal, "_SET");

  int code = 0;
  EXPECT_TRUE(master.Read(1, 1, 1, &code).empty());
  EXPECT_EQ(code, EMBXILADD);
  master.SetTimeoutMs(300);
  EXPECT_TRUE(master.Read(3, 16, 2, &code).empty());
  EXPECT_EQ(code, ETIMEDOUT);
}

// The program itself: started with --write-ini, --link and --control, it answers
// libmodbus on the line named in the settings file, takes commands through its FIFO and
// ends cleanly on SIGTERM, printing the writes it received.
class PlantsimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("plantsim_program_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ini_ = dir_ / "kalvixsrv.ini";
    std::ofstream(ini_) << "[MySQL]\nComp=127.0.0.1\n[main]\nModBUS_PortSpeed=57600\n";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  bool Spawn() {
    const std::string out = (dir_ / "stdout.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string iniArg = ini_.string();
    const std::string linkArg = (dir_ / "lines").string();
    const std::string fifoArg = (dir_ / "control").string();
    std::vector<std::string> args = {
        KALVIX_PLANTSIM_EXE, "--write-ini", iniArg,      "--link", linkArg,
        "--control",         fifoArg,       "--no-noise"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, KALVIX_PLANTSIM_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }

  // The port the program wrote into the settings file, once it has.
  std::string WaitForPort(const char* key) {
    for (int i = 0; i < 200; ++i) {
      ProfileFile file(ini_);
      if (file.Load()) {
        const std::string port = file.ReadString("main", key, "");
        if (!port.empty()) return port;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return {};
  }

  void Command(const std::string& line) { std::ofstream(dir_ / "control") << line << "\n"; }

  std::string Output() const {
    std::ifstream in(dir_ / "stdout.txt");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
  fs::path ini_;
  pid_t pid_ = -1;
};

TEST_F(PlantsimProgramTest, AnswersLibmodbusAndStopsCleanlyOnSigterm) {
  ASSERT_TRUE(Spawn());
  const std::string port = WaitForPort("ModBUS_PortName");
  ASSERT_EQ(port, (dir_ / "lines" / "jumo").string());
  EXPECT_EQ(WaitForPort("V120_PortName"), (dir_ / "lines" / "v120").string());
  EXPECT_EQ(WaitForPort("VK_PortName"), (dir_ / "lines" / "bk003").string());
  {
    ProfileFile file(ini_);
    ASSERT_TRUE(file.Load());
    EXPECT_EQ(file.ReadString("MySQL", "Comp", ""), "127.0.0.1");
    EXPECT_EQ(file.ReadInteger("main", "ModBUS_PortSpeed", 0), 57600);
  }

  LibmodbusMaster master(port);
  ASSERT_TRUE(master.Connected());
  // The default plant: a density transmitter (4-20 mA, low word first) on slave 1 and a
  // sump level (0.1 %) on slave 2.
  const std::vector<uint16_t> density = master.Read(1, 53, 2);
  ASSERT_EQ(density.size(), 2u);
  const float mA = modbus_get_float_cdab(density.data());
  EXPECT_GE(mA, 4.0f);
  EXPECT_LE(mA, 20.0f);
  const std::vector<uint16_t> level = master.Read(2, 40, 1);
  ASSERT_EQ(level.size(), 1u);
  EXPECT_LE(level[0], 1000);

  // A fault switched on through the control FIFO silences slave 1 until switched off.
  Command("fault jumo1 silent");
  master.SetTimeoutMs(200);
  bool silenced = false;
  for (int i = 0; i < 20 && !silenced; ++i) silenced = master.Read(1, 53, 2).empty();
  EXPECT_TRUE(silenced);
  Command("fault jumo1 off");
  master.SetTimeoutMs(1000);
  bool answering = false;
  for (int i = 0; i < 20 && !answering; ++i) answering = !master.Read(1, 53, 2).empty();
  EXPECT_TRUE(answering);

  ASSERT_TRUE(master.Write(1, 8, {0xCCCD, 0x3FCC}));  // 1.6f, low word first

  // SIGUSR1 prints the writes received so far, while the program runs on.
  ASSERT_EQ(kill(pid_, SIGUSR1), 0);
  bool printed = false;
  for (int i = 0; i < 200 && !printed; ++i) {
    printed = Output().find("jumo1 reg 8 (_PLSZ) = 1.60000002") != std::string::npos;
    if (!printed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(printed) << Output();

  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && done == 0; ++i) {
    done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(done, pid_) << "no exit within 2 s of SIGTERM";
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string output = Output();
  EXPECT_NE(output.find("stopped by a signal"), std::string::npos) << output;
  const size_t stopped = output.find("stopped by a signal");
  EXPECT_NE(output.find("jumo1 reg 8 (_PLSZ) = 1.60000002", stopped), std::string::npos) << output;
  std::error_code ec;
  EXPECT_FALSE(fs::is_symlink(dir_ / "lines" / "jumo", ec)) << "the link outlived the program";
}

}  // namespace
}  // namespace kalvix::plantsim
