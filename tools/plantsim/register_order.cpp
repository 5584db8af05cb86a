#include "tools/plantsim/register_order.h"

#include <bit>

namespace kalvix::plantsim {

namespace {

// Wire position of each value byte A, B, C, D (index 0 = first byte sent).
std::array<int, 4> WirePositions(RegisterOrder order) {
  switch (order) {
    case RegisterOrder::kABCD:
      return {0, 1, 2, 3};
    case RegisterOrder::kCDAB:
      return {2, 3, 0, 1};
    case RegisterOrder::kBADC:
      return {1, 0, 3, 2};
    case RegisterOrder::kDCBA:
      return {3, 2, 1, 0};
  }
  return {0, 1, 2, 3};
}

}  // namespace

RegisterOrder RegisterOrderFromFlags(bool inverseBytes, bool inverseWords) {
  if (inverseBytes) return inverseWords ? RegisterOrder::kCDAB : RegisterOrder::kABCD;
  return inverseWords ? RegisterOrder::kBADC : RegisterOrder::kDCBA;
}

std::string_view RegisterOrderName(RegisterOrder order) {
  switch (order) {
    case RegisterOrder::kABCD:
      return "ABCD";
    case RegisterOrder::kCDAB:
      return "CDAB";
    case RegisterOrder::kBADC:
      return "BADC";
    case RegisterOrder::kDCBA:
      return "DCBA";
  }
  return "?";
}

std::array<uint16_t, 2> EncodeFloat(float value, RegisterOrder order) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const std::array<uint8_t, 4> abcd = {static_cast<uint8_t>(bits >> 24),
                                       static_cast<uint8_t>(bits >> 16),
                                       static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
  std::array<uint8_t, 4> wire{};
  const std::array<int, 4> at = WirePositions(order);
  for (int i = 0; i < 4; ++i) wire[at[i]] = abcd[i];
  return {static_cast<uint16_t>(wire[0] << 8 | wire[1]),
          static_cast<uint16_t>(wire[2] << 8 | wire[3])};
}

float DecodeFloat(std::array<uint16_t, 2> registers, RegisterOrder order) {
  const std::array<uint8_t, 4> wire = {
      static_cast<uint8_t>(registers[0] >> 8), static_cast<uint8_t>(registers[0]),
      static_cast<uint8_t>(registers[1] >> 8), static_cast<uint8_t>(registers[1])};
  const std::array<int, 4> at = WirePositions(order);
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits = bits << 8 | wire[at[i]];
  return std::bit_cast<float>(bits);
}

}  // namespace kalvix::plantsim
