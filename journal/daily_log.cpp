#include "journal/daily_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kalvix {
namespace {

// Writes all of data, resuming after signals and short writes.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

DailyLog::DailyLog(std::filesystem::path logDir) : logDir_(std::move(logDir)) {}

bool DailyLog::EnsureLogDir() const {
  std::error_code ec;
  if (std::filesystem::is_directory(logDir_, ec)) return true;
  std::filesystem::create_directories(logDir_, ec);
  return !ec && std::filesystem::is_directory(logDir_, ec);
}

std::string DailyLog::FileNameFor(DateTime day) { return FormatDateTime("yyyy_mm_dd", day) + ".log"; }

bool DailyLog::WriteLogLine(std::string_view line) const {
  if (!EnsureLogDir()) return false;
  const std::filesystem::path file = logDir_ / FileNameFor(Now());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write for the line and its end, so a reader never sees half a line end.
  std::string bytes;
  bytes.reserve(line.size() + 2);
  bytes.append(line);
  bytes.append("\r\n");
  const bool written = WriteAll(fd, bytes.data(), bytes.size());
  const bool closed = ::close(fd) == 0;
  return written && closed;
}

std::string FormatLogLine(const TEventFIFO_Rec& record) {
  std::string line = std::to_string(record.tickSeconds);
  line += " | ";
  line += FormatDateTime("dd.mm.yyyy", record.moment);
  line += " | ";
  line += FormatDateTime("hh:nn:ss", record.moment);
  line += " | ";
  line += record.text;
  return line;
}

int TimerGetLogTimer(TEventFIFO& queue, const DailyLog& log, bool saveLogFlag) {
  if (!log.DrainEnabled()) return 0;
  int drained = 0;
  TEventFIFO_Rec record;
  for (int i = 0; i < kLogRecordsPerDrain; ++i) {
    if (!queue.Pop(record)) break;
    ++drained;
    if (saveLogFlag) log.WriteLogLine(FormatLogLine(record));
  }
  return drained;
}

}  // namespace kalvix
