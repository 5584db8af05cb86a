// The BK-003 belt-weigher controller's exchange: a 3-byte request (device number, CR, LF)
// answered by exactly 14 bytes. The device sends no checksum and no echo, so any 14 bytes
// are an answer; only their layout is known:
//
//   byte 1       status bits; BKK23 is set when (byte 1 AND mask) != 0
//   bytes 4..7   G23, 32-bit unsigned, most significant byte first
//   bytes 8..9   TNK23, 16-bit unsigned, most significant byte first
//   bytes 0, 2, 3, 10..13 are not used.
//
// Pure functions; any thread may call them.
#ifndef KALVIX_DEVICES_BK003_FRAME_H_
#define KALVIX_DEVICES_BK003_FRAME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kalvix {

inline constexpr size_t kBkRequestLength = 3;
inline constexpr size_t kBkAnswerLength = 14;

// The low byte of the device number (305 sends 0x31), then CR and LF.
std::array<uint8_t, kBkRequestLength> BkRequest(int32_t deviceNum);

// The three readings of one answer, as the whole numbers they are.
struct BkReadings {
  double G23 = 0;    // 0 .. 4294967295
  double TNK23 = 0;  // 0 .. 65535
  double BKK23 = 0;  // 0 or 1
};

// Decodes an answer; empty unless answer holds exactly kBkAnswerLength bytes.
std::optional<BkReadings> DecodeBkAnswer(std::span<const uint8_t> answer, int32_t bkk23Mask);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_BK003_FRAME_H_
