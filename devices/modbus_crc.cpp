#include "devices/modbus_crc.h"

#include <array>

namespace kalvix {
namespace {

// One step per byte instead of eight shifts: the table holds the effect of the eight
// shift-and-xor rounds on every possible low byte.
constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    table[i] = crc;
  }
  return table;
}
constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t ModbusCrc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ b) & 0xFF]);
  return crc;
}

bool FrameCrcOk(std::span<const uint8_t> frame) {
  if (frame.size() < 3) return false;
  const size_t n = frame.size() - 2;
  const uint16_t crc = ModbusCrc(frame.first(n));
  return frame[n] == (crc & 0xFF) && frame[n + 1] == (crc >> 8);
}

}  // namespace kalvix
