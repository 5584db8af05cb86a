// The framing of the Vision controllers' ASCII command protocol: checksums, request lines,
// the check of a reply line and the data groups inside it.
//
// A request is STX, the unit number as two hexadecimal digits, the command, and a checksum
// over unit and command, ended by CR. A reply is "/A", four characters of unit and command
// echo, the data, and a checksum over everything after "/A", ended by CR.
//
// Pure functions of their arguments: no port, no shared state; any thread may call them.
#ifndef KALVIX_DEVICES_VISION_FRAME_H_
#define KALVIX_DEVICES_VISION_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kalvix {

// The transmit buffer holds 100 bytes including the CR.
inline constexpr size_t kVisionMaxRequestLength = 99;
// The longest reply line accepted before its CR (the receive buffer holds 1000 bytes).
inline constexpr size_t kVisionMaxReplyLength = 900;
// Unit number and command echo at the start of every reply, dropped after the check.
inline constexpr size_t kVisionEchoLength = 4;

// Sum of the character codes of text modulo 256, as two upper-case hexadecimal digits.
std::string CalcCRC(std::string_view text);

// value in upper-case hexadecimal with at least minDigits digits
// (more when the value needs more: -1 with 4 digits is "FFFFFFFF").
std::string VisionHex(uint32_t value, int minDigits);

// Request line without its CR: stx + unit (2 hex digits) + commandLine + checksum of unit
// and command. The checksum is returned separately as well.
struct VisionQuery {
  std::string crc;
  std::string query;
};
VisionQuery BuildVisionQuery(std::string_view stx, int32_t unitId, std::string_view commandLine);

// Command texts: letters, address (4 hex digits), count (2 hex digits), then any data.
std::string VisionReadCommand(std::string_view letters, int32_t address, int32_t count);
// "SB": one character per bit, "1" for a non-zero byte, "0" otherwise.
std::string VisionWriteBitsCommand(int32_t address, std::span<const uint8_t> bits);
// "SW" with at least 4 hex digits per value, or "SNL" with at least 8 when isLong.
std::string VisionWriteIntsCommand(int32_t address, std::span<const int32_t> values, bool isLong);

// Collects a reply line from the bytes as they arrive. The CR ends the line and is not part
// of it; a line that grows beyond kVisionMaxReplyLength is given up.
class VisionLineAssembler {
 public:
  enum class Step { kMore, kLine, kTooLong };

  Step Push(uint8_t byte);
  // The bytes collected so far; the whole line after kLine.
  const std::string& Line() const { return line_; }
  std::string TakeLine() { return std::move(line_); }

 private:
  std::string line_;
};

enum class VisionReplyCheck { kOk, kTooShort, kNoStx1, kCrcError };

// The status text a failed check leaves in the link: "Answer too short.",
// "STX1 is missing in answer.", "CRC check error." (empty for kOk).
const char* VisionReplyCheckText(VisionReplyCheck check);

// Checks a reply line (without its CR) against the expected leading characters stx1 and its
// checksum, which is compared as text, so lower-case checksum digits fail. On kOk *data is
// the reply with stx1, the echo and the checksum removed; otherwise it is left unchanged.
VisionReplyCheck CheckVisionReply(std::string_view reply, std::string_view stx1, std::string* data);

// A group of hexadecimal digits (either case) read as an unsigned number and stored in 32
// bits: "FFFF" is 65535, "FFFFFFFF" is -1. Empty for an empty group, any other character or
// more than 8 digits.
std::optional<int32_t> ParseVisionHex(std::string_view group);

// Whether a reply line that passed CheckVisionReply is the controller's error reply, "ER" in
// place of the command's echo: stx1, unit (2), "ER", error code, checksum.
bool IsVisionErrorReply(std::string_view reply, std::string_view stx1);

enum class VisionDataResult { kOk, kTooShort, kConvertError };

// Bits of a read-bits reply: bits[j] = 1 when character j of data is '1', else 0. kTooShort
// (nothing stored) when data has fewer than bits.size() characters.
VisionDataResult ParseVisionBits(std::string_view data, std::span<uint8_t> bits);

// Integers of a read-integers reply: values.size() groups of width (4 or 8) hex digits.
// kTooShort (nothing stored) when data is shorter than all groups together; kConvertError at
// the first group that is not hexadecimal, with the values before it already stored.
VisionDataResult ParseVisionInts(std::string_view data, size_t width, std::span<int32_t> values);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_VISION_FRAME_H_
