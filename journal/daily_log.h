// The daily log file: LOG/yyyy_mm_dd.log in the working folder, one line per event, CR LF
// line ends, opened and closed around every line so other programs may read it at any time.
// Everything here runs on the window thread (or the headless main loop).
#ifndef KALVIX_JOURNAL_DAILY_LOG_H_
#define KALVIX_JOURNAL_DAILY_LOG_H_

#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>

#include "journal/event_fifo.h"

namespace kalvix {

class DailyLog {
 public:
  // logDir is the LOG folder; it need not exist yet.
  explicit DailyLog(std::filesystem::path logDir);

  const std::filesystem::path& LogDir() const { return logDir_; }

  // Creates the LOG folder with its parents when missing. False when that fails.
  bool EnsureLogDir() const;

  // Appends line + CR LF to the file of today's date (the date of writing, not of the
  // message). False when the folder or file cannot be made or written; nothing is reported,
  // since a report would only come back here.
  bool WriteLogLine(std::string_view line) const;

  // The file name for a given day: yyyy_mm_dd.log.
  static std::string FileNameFor(DateTime day);

  // Draining starts only once the window (or the headless loop) is up.
  void EnableDrain() { drainEnabled_.store(true, std::memory_order_release); }
  bool DrainEnabled() const { return drainEnabled_.load(std::memory_order_acquire); }

 private:
  const std::filesystem::path logDir_;
  std::atomic<bool> drainEnabled_{false};
};

inline constexpr int kLogRecordsPerDrain = 10;

// "412 | 05.07.2011 | 14:03:27 | text"
std::string FormatLogLine(const TEventFIFO_Rec& record);

// The log drain, run every 250 ms: once draining is enabled, pops at most ten records and,
// when saveLogFlag is set, writes each as a line of today's file. Returns how many records
// it popped.
int TimerGetLogTimer(TEventFIFO& queue, const DailyLog& log, bool saveLogFlag);

}  // namespace kalvix

#endif  // KALVIX_JOURNAL_DAILY_LOG_H_
