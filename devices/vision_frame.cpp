#include "devices/vision_frame.h"

#include <cstdio>

namespace kalvix {

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string CalcCRC(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return VisionHex(sum % 256, 2);
}

std::string VisionHex(uint32_t value, int minDigits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*X",
                minDigits < 0   ? 0
                : minDigits > 8 ? 8
                                : minDigits,
                static_cast<unsigned>(value));
  return buffer;
}

VisionQuery BuildVisionQuery(std::string_view stx, int32_t unitId, std::string_view commandLine) {
  std::string body = VisionHex(static_cast<uint32_t>(unitId), 2);
  body.append(commandLine);
  VisionQuery result;
  result.crc = CalcCRC(body);
  result.query.reserve(stx.size() + body.size() + result.crc.size());
  result.query.append(stx).append(body).append(result.crc);
  return result;
}

std::string VisionReadCommand(std::string_view letters, int32_t address, int32_t count) {
  std::string command(letters);
  command += VisionHex(static_cast<uint32_t>(address), 4);
  command += VisionHex(static_cast<uint32_t>(count), 2);
  return command;
}

std::string VisionWriteBitsCommand(int32_t address, std::span<const uint8_t> bits) {
  std::string command = VisionReadCommand("SB", address, static_cast<int32_t>(bits.size()));
  for (uint8_t bit : bits) command += bit != 0 ? '1' : '0';
  return command;
}

std::string VisionWriteIntsCommand(int32_t address, std::span<const int32_t> values, bool isLong) {
  std::string command =
      VisionReadCommand(isLong ? "SNL" : "SW", address, static_cast<int32_t>(values.size()));
  for (int32_t value : values) command += VisionHex(static_cast<uint32_t>(value), isLong ? 8 : 4);
  return command;
}

VisionLineAssembler::Step VisionLineAssembler::Push(uint8_t byte) {
  if (byte == '\r') return Step::kLine;
  line_.push_back(static_cast<char>(byte));
  return line_.size() > kVisionMaxReplyLength ? Step::kTooLong : Step::kMore;
}

const char* VisionReplyCheckText(VisionReplyCheck check) {
  switch (check) {
    case VisionReplyCheck::kOk:
      return "";
    case VisionReplyCheck::kTooShort:
      return "Answer too short.";
    case VisionReplyCheck::kNoStx1:
      return "STX1 is missing in answer.";
    case VisionReplyCheck::kCrcError:
      return "CRC check error.";
  }
  return "";
}

VisionReplyCheck CheckVisionReply(std::string_view reply, std::string_view stx1,
                                  std::string* data) {
  constexpr size_t kCrcLength = 2;
  if (reply.size() < stx1.size() + kVisionEchoLength) return VisionReplyCheck::kTooShort;
  if (reply.substr(0, stx1.size()) != stx1) return VisionReplyCheck::kNoStx1;
  std::string_view body = reply.substr(stx1.size());  // at least the 4 echo characters
  std::string_view received = body.substr(body.size() - kCrcLength);
  body.remove_suffix(kCrcLength);
  if (CalcCRC(body) != received) return VisionReplyCheck::kCrcError;
  // The checksum may have taken part of the echo: the data is then empty.
  body.remove_prefix(body.size() < kVisionEchoLength ? body.size() : kVisionEchoLength);
  data->assign(body);
  return VisionReplyCheck::kOk;
}

bool IsVisionErrorReply(std::string_view reply, std::string_view stx1) {
  constexpr size_t kUnitLength = 2;
  return reply.size() >= stx1.size() + kVisionEchoLength &&
         reply.substr(stx1.size() + kUnitLength, 2) == "ER";
}

std::optional<int32_t> ParseVisionHex(std::string_view group) {
  if (group.empty() || group.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : group) {
    int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return static_cast<int32_t>(value);
}

VisionDataResult ParseVisionBits(std::string_view data, std::span<uint8_t> bits) {
  if (data.size() < bits.size()) return VisionDataResult::kTooShort;
  for (size_t j = 0; j < bits.size(); ++j) bits[j] = data[j] == '1' ? 1 : 0;
  return VisionDataResult::kOk;
}

VisionDataResult ParseVisionInts(std::string_view data, size_t width, std::span<int32_t> values) {
  if (width == 0 || data.size() / width < values.size()) return VisionDataResult::kTooShort;
  for (size_t j = 0; j < values.size(); ++j) {
    std::optional<int32_t> value = ParseVisionHex(data.substr(j * width, width));
    if (!value) return VisionDataResult::kConvertError;
    values[j] = *value;
  }
  return VisionDataResult::kOk;
}

}  // namespace kalvix
