#include "devices/modbus_frame.h"

#include "devices/modbus_crc.h"

namespace kalvix {

uint32_t PatternFromWire(std::span<const uint8_t, 4> d, bool inverseBytes, bool inverseWords) {
  auto pack = [](uint8_t a, uint8_t b, uint8_t c, uint8_t e) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | uint32_t{e};
  };
  if (inverseBytes)
    return inverseWords ? pack(d[2], d[3], d[0], d[1]) : pack(d[0], d[1], d[2], d[3]);
  return inverseWords ? pack(d[1], d[0], d[3], d[2]) : pack(d[3], d[2], d[1], d[0]);
}

std::array<uint8_t, 4> WireFromPattern(uint32_t pattern, bool inverseBytes, bool inverseWords) {
  const uint8_t v3 = pattern >> 24, v2 = (pattern >> 16) & 0xFF, v1 = (pattern >> 8) & 0xFF,
                v0 = pattern & 0xFF;
  if (inverseBytes) return inverseWords ? std::array{v1, v0, v3, v2} : std::array{v3, v2, v1, v0};
  return inverseWords ? std::array{v2, v3, v0, v1} : std::array{v0, v1, v2, v3};
}

std::array<uint8_t, 4> ReadRequestData(uint16_t reg, uint16_t count) {
  return {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
          static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
}

std::array<uint8_t, 9> WritePairRequestData(uint16_t reg, std::span<const uint8_t, 4> bytes) {
  return {static_cast<uint8_t>(reg >> 8),
          static_cast<uint8_t>(reg & 0xFF),
          0x00,
          0x02,
          0x04,
          bytes[0],
          bytes[1],
          bytes[2],
          bytes[3]};
}

ReadReplyCheck CheckReadReply(std::span<const uint8_t> reply, uint16_t registers) {
  const size_t dataBytes = 2u * registers;
  const size_t length = 3 + dataBytes + 2;
  if (reply.size() < length) return ReadReplyCheck::kTooShort;
  if (reply[2] != dataBytes) return ReadReplyCheck::kBadCount;
  if (!FrameCrcOk(reply.first(length))) return ReadReplyCheck::kBadCrc;
  return ReadReplyCheck::kOk;
}

WriteEchoCheck CheckWriteEcho(std::span<const uint8_t> reply, uint8_t address, uint16_t reg,
                              uint16_t count) {
  if (reply.size() < 8) return WriteEchoCheck::kTooShort;
  const auto head = ReadRequestData(reg, count);
  if (reply[0] != address || reply[1] != kFuncWriteMultiple || reply[2] != head[0] ||
      reply[3] != head[1] || reply[4] != head[2] || reply[5] != head[3]) {
    return WriteEchoCheck::kMismatch;
  }
  return FrameCrcOk(reply.first(8)) ? WriteEchoCheck::kOk : WriteEchoCheck::kBadCrc;
}

size_t AnnouncedReplyLength(std::span<const uint8_t> head) {
  if (head.size() < 2) return 0;
  const uint8_t function = head[1];
  if (function & 0x80) return 5;  // address, function | 0x80, exception code, CRC
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      return head.size() < 3 ? 0 : 5 + size_t{head[2]};
    case 5:
    case 6:
    case 15:
    case 16:
      return 8;
    default:
      return 0;
  }
}

}  // namespace kalvix
