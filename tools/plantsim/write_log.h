// The record of every write the simulated devices receive: when, which device, which
// register or operand, the value, and the bytes as they came over the line. Tests read it
// through PlantSimulator::Writes(); the program prints it on SIGUSR1, on the "writes"
// command and at exit.
//
// Thread-safe: the line threads add records while others read them.
#ifndef KALVIX_TOOLS_PLANTSIM_WRITE_LOG_H_
#define KALVIX_TOOLS_PLANTSIM_WRITE_LOG_H_

#include <mutex>
#include <string>
#include <vector>

#include "tools/plantsim/device_id.h"
#include "util/date_time.h"

namespace kalvix::plantsim {

struct WriteRecord {
  DateTime time = 0;
  DeviceId device = DeviceId::kJumo1;
  std::string operand;  // "reg 8", "MI 110", "ML 20", "MB 10"
  std::string signal;   // the layout point written, empty for memory outside the layout
  double value = 0;
  std::string raw;  // the value's bytes or characters as received ("3F CC CC CD", "0050")
};

// One line: "2026-05-04 10:11:12.345 jumo1 reg 8 (_PLSZ) = 1.6 [raw 3F CC CC CD]".
std::string FormatWriteRecord(const WriteRecord& record);

class WriteLog {
 public:
  void Add(WriteRecord record);
  std::vector<WriteRecord> Snapshot() const;
  size_t Size() const;
  void Clear();

  // Every record, one line each, or "no writes received" when there is none.
  std::string Format() const;

 private:
  mutable std::mutex mutex_;
  std::vector<WriteRecord> records_;  // guarded by mutex_
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_WRITE_LOG_H_
