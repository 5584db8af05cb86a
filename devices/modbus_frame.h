// Building the data of the master's requests and checking the replies it gets, without any
// I/O: function 3 (read holding registers) and function 16 (write multiple registers), and
// the order of the four bytes of a 32-bit value held in two registers.
#ifndef KALVIX_DEVICES_MODBUS_FRAME_H_
#define KALVIX_DEVICES_MODBUS_FRAME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kalvix {

inline constexpr uint8_t kFuncReadHolding = 3;
inline constexpr uint8_t kFuncWriteMultiple = 16;

// 32-bit values in two registers. D0..D3 are the data bytes in wire order; the flags say how
// they form the value's pattern (most significant byte first):
//   inverseBytes inverseWords   pattern
//   true         false          D0 D1 D2 D3   (usual Modbus order: high word first, high byte
//   first) true         true           D2 D3 D0 D1 false        false          D3 D2 D1 D0 false
//   true           D1 D0 D3 D2
// A write puts the pattern on the wire so that a read with the same flags gives it back.
uint32_t PatternFromWire(std::span<const uint8_t, 4> d, bool inverseBytes, bool inverseWords);
std::array<uint8_t, 4> WireFromPattern(uint32_t pattern, bool inverseBytes, bool inverseWords);

// The data after address and function: register high, register low, count high, count low.
std::array<uint8_t, 4> ReadRequestData(uint16_t reg, uint16_t count);
// The data of a two-register write: register, count 2, byte count 4, then the four bytes.
std::array<uint8_t, 9> WritePairRequestData(uint16_t reg, std::span<const uint8_t, 4> bytes);

enum class ReadReplyCheck {
  kOk,
  kTooShort,  // fewer bytes than address, function, count, data and CRC
  kBadCount,  // the byte count is not twice the number of registers asked for
  kBadCrc,
};
// Checks a function-3 reply of `registers` registers: address, function, byte count, data,
// CRC. Bytes after the CRC (if the line delivered more) are ignored.
ReadReplyCheck CheckReadReply(std::span<const uint8_t> reply, uint16_t registers);

enum class WriteEchoCheck {
  kOk,
  kTooShort,  // fewer than the 8 bytes of an echo
  kMismatch,  // another address, function, register or count
  kBadCrc,
};
// Checks that `reply` begins with the echo of a function-16 write: the same address and
// function, the register and the count, and a correct CRC.
WriteEchoCheck CheckWriteEcho(std::span<const uint8_t> reply, uint8_t address, uint16_t reg,
                              uint16_t count);
inline bool IsWriteEcho(std::span<const uint8_t> reply, uint8_t address, uint16_t reg,
                        uint16_t count) {
  return CheckWriteEcho(reply, address, reg, count) == WriteEchoCheck::kOk;
}

// The length a reply announces by its own header, once enough of it has arrived: 5 for an
// exception, 5 + byte count for reads (functions 1 to 4), 8 for the echo of a write
// (functions 5, 6, 15, 16); 0 when not known (yet).
size_t AnnouncedReplyLength(std::span<const uint8_t> head);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_MODBUS_FRAME_H_
