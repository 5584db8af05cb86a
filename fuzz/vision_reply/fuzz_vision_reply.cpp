// The Vision link's receive and reply path over arbitrary bytes: the line is assembled byte
// by byte as the link receives it, checked (leading "/A", checksum), and its data converted
// as bits and as 16-bit and 32-bit integers into buffers of exactly the requested count, so
// the address sanitizer sees a write one element too far.
//
// Input: one header byte, then the bytes on the line.
//   0  the count of the read (0 ... 255)
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "devices/vision_frame.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A converted group must be the group itself, read as hexadecimal.
void CheckGroups(std::string_view data, size_t width, const std::vector<int32_t>& values) {
  for (size_t j = 0; j < values.size(); ++j) {
    std::string group(data.substr(j * width, width));
    for (char& c : group) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Require(kalvix::VisionHex(static_cast<uint32_t>(values[j]), static_cast<int>(width)) == group);
  }
}

void CheckData(std::string_view data, size_t count) {
  std::vector<uint8_t> bits(count, 7);
  if (kalvix::ParseVisionBits(data, bits) == kalvix::VisionDataResult::kOk) {
    for (size_t j = 0; j < count; ++j) Require(bits[j] == (data[j] == '1' ? 1 : 0));
  } else {
    Require(data.size() < count);
  }
  for (size_t width : {size_t{4}, size_t{8}}) {
    std::vector<int32_t> values(count);
    switch (kalvix::ParseVisionInts(data, width, values)) {
      case kalvix::VisionDataResult::kOk:
        CheckGroups(data, width, values);
        break;
      case kalvix::VisionDataResult::kTooShort:
        Require(data.size() < count * width);
        break;
      case kalvix::VisionDataResult::kConvertError:
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t count = data[0];
  kalvix::VisionLineAssembler assembler;
  for (size_t i = 1; i < size; ++i) {
    const kalvix::VisionLineAssembler::Step step = assembler.Push(data[i]);
    Require(assembler.Line().size() <= kalvix::kVisionMaxReplyLength + 1);
    if (step == kalvix::VisionLineAssembler::Step::kTooLong) return 0;
    if (step == kalvix::VisionLineAssembler::Step::kMore) continue;

    const std::string line = assembler.TakeLine();
    Require(line.find('\r') == std::string::npos);
    std::string replyData;
    if (kalvix::CheckVisionReply(line, "/A", &replyData) == kalvix::VisionReplyCheck::kOk) {
      Require(line.starts_with("/A"));
      Require(replyData.size() + 2 + 4 + 2 <= line.size() || replyData.empty());
      CheckData(replyData, count);
    }
    return 0;
  }
  return 0;
}
