// How a JUMO controller lays a 32-bit float across two holding registers. The letters name
// the value's bytes, A the most significant, in the order they go on the wire (each
// register is sent high byte first).
#ifndef KALVIX_TOOLS_PLANTSIM_REGISTER_ORDER_H_
#define KALVIX_TOOLS_PLANTSIM_REGISTER_ORDER_H_

#include <array>
#include <cstdint>
#include <string_view>

namespace kalvix::plantsim {

enum class RegisterOrder {
  kABCD,  // high word first, each word high byte first: the usual Modbus order
  kCDAB,  // low word first
  kBADC,  // high word first, bytes of each word swapped
  kDCBA,  // all four bytes reversed
};

// The order a master configured with the service's signal flags expects:
// InverseBytes alone is the usual order; InverseWords swaps the registers; clearing
// InverseBytes swaps the bytes inside each register.
RegisterOrder RegisterOrderFromFlags(bool inverseBytes, bool inverseWords);

std::string_view RegisterOrderName(RegisterOrder order);

std::array<uint16_t, 2> EncodeFloat(float value, RegisterOrder order);
float DecodeFloat(std::array<uint16_t, 2> registers, RegisterOrder order);

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_REGISTER_ORDER_H_
