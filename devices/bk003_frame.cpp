#include "devices/bk003_frame.h"

namespace kalvix {

std::array<uint8_t, kBkRequestLength> BkRequest(int32_t deviceNum) {
  return {static_cast<uint8_t>(deviceNum & 0xFF), 0x0D, 0x0A};
}

std::optional<BkReadings> DecodeBkAnswer(std::span<const uint8_t> answer, int32_t bkk23Mask) {
  if (answer.size() != kBkAnswerLength) return std::nullopt;
  const uint32_t g23 = uint32_t{answer[4]} << 24 | uint32_t{answer[5]} << 16 |
                       uint32_t{answer[6]} << 8 | uint32_t{answer[7]};
  const uint32_t tnk23 = uint32_t{answer[8]} << 8 | uint32_t{answer[9]};
  BkReadings readings;
  readings.G23 = g23;
  readings.TNK23 = tnk23;
  readings.BKK23 = (answer[1] & bkk23Mask) != 0 ? 1 : 0;
  return readings;
}

}  // namespace kalvix
