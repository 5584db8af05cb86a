// kalvix-plantsim: the simulated plant on three pseudo-terminals, for the demo and for trying
// the service without instruments. See Usage() below.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/plantsim/control_commands.h"
#include "tools/plantsim/plant_simulator.h"
#include "tools/plantsim/port_keys.h"

namespace {

using namespace kalvix::plantsim;
namespace fs = std::filesystem;

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gPrintWrites = 0;

void OnStop(int signal) { gStopSignal = signal; }
void OnUsr1(int) { gPrintWrites = 1; }

// Wakes the main loop at least this often to look at the signal flags.
constexpr int kLoopPollMs = 100;

const char* Usage() {
  return "Usage: kalvix-plantsim [options]\n"
         "Simulates the plant's instruments on three pseudo-terminals: the Modbus RTU line with\n"
         "the JUMO controllers (slaves 1 and 2), the V120 (Vision ASCII protocol) and the BK-003\n"
         "belt weigher. Prints the device paths and runs until SIGINT, SIGTERM or \"quit\".\n"
         "SIGUSR1 prints the writes received so far; they are printed again at exit.\n"
         "\n"
         "Options:\n"
         "  --link DIR          also make the links DIR/jumo, DIR/v120, DIR/bk003\n"
         "  --write-ini PATH    set ModBUS_PortName, V120_PortName and VK_PortName in [main] of\n"
         "                      the settings file PATH to these lines (other lines are kept)\n"
         "  --control FIFO      also read commands from the named pipe FIFO (made if missing)\n"
         "  --v120-unit N       unit number of the V120 (default 1)\n"
         "  --bk-device N       device number of the BK-003, its low byte (default 1)\n"
         "  --turnaround MS     device reply time after a request (default 10)\n"
         "  --seed N            seed of the noise (default 1)\n"
         "  --no-noise          values without noise\n"
         "  --help              this text\n"
         "\n";
}

struct CommandLine {
  PlantOptions plant;
  std::optional<fs::path> linkDir;
  std::optional<fs::path> iniPath;
  std::optional<fs::path> controlFifo;
  bool help = false;
};

std::optional<uint32_t> Number(const char* text, uint32_t limit) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || *text == '-' || value > limit) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool ParseCommandLine(int argc, char** argv, CommandLine* out, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](uint32_t limit) -> std::optional<uint32_t> {
      const char* text = value();
      return text ? Number(text, limit) : std::nullopt;
    };
    if (arg == "--help" || arg == "-h") {
      out->help = true;
    } else if (arg == "--no-noise") {
      out->plant.modelNoise = false;
    } else if (arg == "--link" || arg == "--write-ini" || arg == "--control") {
      const char* path = value();
      if (path == nullptr) {
        *error = arg + " needs a path";
        return false;
      }
      (arg == "--link"        ? out->linkDir
       : arg == "--write-ini" ? out->iniPath
                              : out->controlFifo) = fs::path(path);
    } else if (arg == "--v120-unit" || arg == "--bk-device" || arg == "--turnaround" ||
               arg == "--seed") {
      const std::optional<uint32_t> n = number(arg == "--v120-unit"    ? 255
                                               : arg == "--bk-device"  ? 0xFFFFFFFF
                                               : arg == "--turnaround" ? 60000
                                                                       : 0xFFFFFFFF);
      if (!n) {
        *error = arg + " needs a number in range";
        return false;
      }
      if (arg == "--v120-unit") out->plant.v120Unit = static_cast<uint8_t>(*n);
      if (arg == "--bk-device") out->plant.bkDeviceNumber = static_cast<uint8_t>(*n & 0xFF);
      if (arg == "--turnaround") out->plant.turnaroundMs = *n;
      if (arg == "--seed") out->plant.seed = *n;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

bool MakeLinks(const PlantSimulator& plant, const fs::path& dir, std::string* error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (Line line : kAllLines) {
    const fs::path link = dir / std::string(LineName(line));
    fs::remove(link, ec);
    fs::create_symlink(plant.PortPath(line), link, ec);
    if (ec) {
      *error = "cannot make " + link.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

void RemoveLinks(const PlantSimulator& plant, const fs::path& dir) {
  for (Line line : kAllLines) {
    const fs::path link = dir / std::string(LineName(line));
    std::error_code ec;
    // Only our own links: another simulator may have replaced them meanwhile.
    if (fs::is_symlink(link, ec) && fs::read_symlink(link, ec) == plant.PortPath(line)) {
      fs::remove(link, ec);
    }
  }
}

// The port name the service should use for a line: the stable link when there is one.
std::string PortName(const PlantSimulator& plant, const CommandLine& options, Line line) {
  if (options.linkDir) return fs::absolute(*options.linkDir / std::string(LineName(line))).string();
  return plant.PortPath(line);
}

// Reads whole lines from a descriptor and runs them as commands. False at end of input.
class CommandReader {
 public:
  explicit CommandReader(int fd) : fd_(fd) {}
  int Fd() const { return fd_; }

  bool Pump(PlantSimulator& plant, bool* quit) {
    char buffer[512];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    pending_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      const CommandResult result = RunControlCommand(plant, pending_.substr(0, end));
      pending_.erase(0, end + 1);
      std::fputs(result.output.c_str(), stdout);
      std::fflush(stdout);
      if (result.quit) *quit = true;
    }
    if (pending_.size() > 4096) pending_.clear();
    return true;
  }

 private:
  int fd_;
  std::string pending_;
};

// Opens the control FIFO for reading; a writer end is held as well, so the pipe never reads
// as ended when a writer closes it between commands.
bool OpenControlFifo(const fs::path& path, int* readFd, int* holdFd, std::string* error) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    *error = "mkfifo " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  *readFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  *holdFd = *readFd < 0 ? -1 : open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (*readFd < 0 || *holdFd < 0) {
    *error = "open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void InstallSignalHandlers() {
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  struct sigaction usr1 {};
  usr1.sa_handler = OnUsr1;
  sigemptyset(&usr1.sa_mask);
  sigaction(SIGUSR1, &usr1, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine options;
  std::string error;
  if (!ParseCommandLine(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kalvix-plantsim: %s\n%s", error.c_str(), Usage());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage(), stdout);
    std::fputs(ControlHelp().c_str(), stdout);
    return 0;
  }

  // The handlers come first, so a signal that arrives during start-up still ends the run
  // cleanly; the line threads inherit nothing but the flags' meaning.
  InstallSignalHandlers();
  PlantSimulator plant(options.plant);
  if (!plant.Start(&error)) {
    std::fprintf(stderr, "kalvix-plantsim: cannot open the lines: %s\n", error.c_str());
    return 1;
  }
  if (options.linkDir && !MakeLinks(plant, *options.linkDir, &error)) {
    std::fprintf(stderr, "kalvix-plantsim: %s\n", error.c_str());
    return 1;
  }
  if (options.iniPath) {
    const PortNames ports{PortName(plant, options, Line::kModbus),
                          PortName(plant, options, Line::kVision),
                          PortName(plant, options, Line::kBk003)};
    if (!WritePortKeys(*options.iniPath, ports, &error)) {
      std::fprintf(stderr, "kalvix-plantsim: %s: %s\n", options.iniPath->c_str(), error.c_str());
      if (options.linkDir) RemoveLinks(plant, *options.linkDir);
      return 1;
    }
  }
  int fifoFd = -1;
  int fifoHold = -1;
  if (options.controlFifo && !OpenControlFifo(*options.controlFifo, &fifoFd, &fifoHold, &error)) {
    std::fprintf(stderr, "kalvix-plantsim: %s\n", error.c_str());
    if (options.linkDir) RemoveLinks(plant, *options.linkDir);
    return 1;
  }

  std::printf("kalvix-plantsim: simulated plant running (pid %d)\n", static_cast<int>(getpid()));
  std::printf("  jumo  %s  Modbus RTU, JUMO 1 = slave %u, JUMO 2 = slave %u\n",
              PortName(plant, options, Line::kModbus).c_str(), options.plant.jumo1Address,
              options.plant.jumo2Address);
  std::printf("  v120  %s  Vision ASCII, unit %u\n",
              PortName(plant, options, Line::kVision).c_str(), options.plant.v120Unit);
  std::printf("  bk003 %s  BK-003, device %u\n", PortName(plant, options, Line::kBk003).c_str(),
              options.plant.bkDeviceNumber);
  std::printf("Type \"help\" for the control commands.\n");
  std::fflush(stdout);

  std::vector<CommandReader> readers;
  readers.emplace_back(STDIN_FILENO);
  if (fifoFd >= 0) readers.emplace_back(fifoFd);
  bool quit = false;
  while (!quit && gStopSignal == 0) {
    std::vector<pollfd> fds;
    for (const CommandReader& reader : readers) fds.push_back({reader.Fd(), POLLIN, 0});
    poll(fds.data(), fds.size(), kLoopPollMs);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (!readers[i].Pump(plant, &quit)) fds[i].fd = -1;
    }
    // A reader whose input ended (stdin at end of file) is dropped; the plant runs on.
    for (size_t i = fds.size(); i-- > 0;) {
      if (fds[i].fd < 0) readers.erase(readers.begin() + static_cast<long>(i));
    }
    if (gPrintWrites != 0) {
      gPrintWrites = 0;
      std::fputs(plant.FormatWrites().c_str(), stdout);
      std::fflush(stdout);
    }
  }

  if (options.linkDir) RemoveLinks(plant, *options.linkDir);
  plant.Stop();
  if (fifoFd >= 0) close(fifoFd);
  if (fifoHold >= 0) close(fifoHold);
  std::printf("kalvix-plantsim: stopped%s; writes received:\n",
              gStopSignal != 0 ? " by a signal" : "");
  std::fputs(plant.FormatWrites().c_str(), stdout);
  return 0;
}
