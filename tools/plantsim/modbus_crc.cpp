#include "tools/plantsim/modbus_crc.h"

#include <array>

namespace kalvix::plantsim {

namespace {

constexpr std::array<uint16_t, 256> BuildTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) {
    uint16_t crc = static_cast<uint16_t>(n);
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    table[n] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = BuildTable();

}  // namespace

uint16_t ModbusCrc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : bytes) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ byte) & 0xFF]);
  return crc;
}

}  // namespace kalvix::plantsim
