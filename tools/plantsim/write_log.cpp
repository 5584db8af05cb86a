#include "tools/plantsim/write_log.h"

#include <cstdio>

namespace kalvix::plantsim {

std::string FormatWriteRecord(const WriteRecord& record) {
  char value[32];
  std::snprintf(value, sizeof value, "%.9g", record.value);
  std::string line = FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", record.time);
  line += ' ';
  line += DeviceName(record.device);
  line += ' ';
  line += record.operand;
  if (!record.signal.empty()) line += " (" + record.signal + ")";
  line += " = ";
  line += value;
  if (!record.raw.empty()) line += " [raw " + record.raw + "]";
  return line;
}

void WriteLog::Add(WriteRecord record) {
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
}

std::vector<WriteRecord> WriteLog::Snapshot() const {
  std::lock_guard lock(mutex_);
  return records_;
}

size_t WriteLog::Size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

void WriteLog::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

std::string WriteLog::Format() const {
  const std::vector<WriteRecord> records = Snapshot();
  if (records.empty()) return "no writes received\n";
  std::string text;
  for (const WriteRecord& record : records) text += FormatWriteRecord(record) + "\n";
  return text;
}

}  // namespace kalvix::plantsim
