// The BK-003 answer decoding over arbitrary bytes: only exactly 14 bytes are an answer, and
// its readings are whole numbers within the ranges of their fields.
//
// Input: one header byte, then the answer.
//   0  the bkk23_mask (0 ... 255)
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "devices/bk003_frame.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool WholeIn(double value, double max) {
  return value >= 0 && value <= max && std::floor(value) == value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int32_t mask = data[0];
  const std::vector<uint8_t> answer(data + 1, data + size);  // exactly sized
  const std::optional<kalvix::BkReadings> readings = kalvix::DecodeBkAnswer(answer, mask);
  Require(readings.has_value() == (answer.size() == kalvix::kBkAnswerLength));
  if (!readings) return 0;
  Require(WholeIn(readings->G23, 4294967295.0));
  Require(WholeIn(readings->TNK23, 65535));
  Require(readings->BKK23 == ((answer[1] & mask) != 0 ? 1 : 0));
  return 0;
}
