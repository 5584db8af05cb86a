#include "tools/plantsim/fault_set.h"

#include <algorithm>

namespace kalvix::plantsim {

namespace {

// The BK-003 answer has no checksum; this byte (the counter's most significant) is damaged.
constexpr size_t kBkCorruptedByte = 4;

int HexDigit(uint8_t c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

void CorruptChecksum(const DeviceReply& reply, std::vector<uint8_t>& bytes) {
  switch (reply.checksumForm) {
    case ChecksumForm::kNone:
      if (bytes.size() > kBkCorruptedByte) bytes[kBkCorruptedByte] ^= 0x5A;
      return;
    case ChecksumForm::kBinary:
      if (reply.checksumAt + reply.checksumLength > bytes.size()) return;
      for (size_t i = 0; i < reply.checksumLength; ++i) bytes[reply.checksumAt + i] ^= 0xFF;
      return;
    case ChecksumForm::kHexText: {
      // The next value, still two upper-case digits: the frame stays well-formed and only
      // the sum is wrong.
      if (reply.checksumLength != 2 || reply.checksumAt + 2 > bytes.size()) return;
      constexpr char kHex[] = "0123456789ABCDEF";
      uint8_t* digits = &bytes[reply.checksumAt];
      const int value = (HexDigit(digits[0]) * 16 + HexDigit(digits[1]) + 1) & 0xFF;
      digits[0] = static_cast<uint8_t>(kHex[value >> 4]);
      digits[1] = static_cast<uint8_t>(kHex[value & 0x0F]);
      return;
    }
  }
}

}  // namespace

std::string DescribeFaults(const FaultSet& faults) {
  std::string text;
  auto add = [&text](const std::string& part) {
    if (!text.empty()) text += ", ";
    text += part;
  };
  if (faults.silent) add("silent");
  if (faults.noiseBytes > 0) add("noise " + std::to_string(faults.noiseBytes));
  if (faults.corruptChecksum) add("corrupt");
  if (faults.truncateBytes > 0) add("truncate " + std::to_string(faults.truncateBytes));
  if (faults.delayMs > 0) add("slow " + std::to_string(faults.delayMs));
  return text.empty() ? "none" : text;
}

std::vector<uint8_t> ApplyFaults(const DeviceReply& reply, const FaultSet& faults,
                                 std::mt19937& rng) {
  std::vector<uint8_t> body = reply.bytes;
  if (faults.corruptChecksum) CorruptChecksum(reply, body);
  body.resize(body.size() - std::min<size_t>(faults.truncateBytes, body.size()));

  std::vector<uint8_t> out;
  out.reserve(faults.noiseBytes + body.size());
  std::uniform_int_distribution<int> byte(0, 255);
  while (out.size() < faults.noiseBytes) {
    const auto candidate = static_cast<uint8_t>(byte(rng));
    if (std::find(reply.noiseExcluded.begin(), reply.noiseExcluded.end(), candidate) ==
        reply.noiseExcluded.end()) {
      out.push_back(candidate);
    }
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

FaultSet FaultBoard::Get(DeviceId device) const {
  std::lock_guard lock(mutex_);
  return faults_[DeviceIndex(device)];
}

void FaultBoard::Set(DeviceId device, const FaultSet& faults) {
  std::lock_guard lock(mutex_);
  faults_[DeviceIndex(device)] = faults;
}

}  // namespace kalvix::plantsim
