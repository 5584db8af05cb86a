// The Modbus master's receive path over arbitrary bytes: the receive step as the master runs
// it, then the checks that the register read, the pair read and the pair write apply to its
// result. Whatever arrives, nothing may be written beyond the caller's buffer (the buffers
// are sized exactly, so the address sanitizer sees one byte too far), and an accepted reply
// must fit it.
//
// Input: four header bytes, then the bytes on the line.
//   0  options: bit 0 check the function, bit 1 known length, bit 2 address 0x101
//   1  function code of the request
//   2  length (known form) / the read's register count (1 or 2 by its low bit)
//   3  room in the destination (0 ... 255 bytes); bits of the burst size come from it too
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "devices/modbus_frame.h"
#include "devices/modbus_receive.h"

namespace {

using kalvix::PortIo;

// The line as a recorded stream, delivered in bursts: BytesWaiting sees only the rest of the
// current burst, and a wait for more starts the next. An empty read costs its whole budget on
// the clock, so the address search always ends.
class RecordedLine final : public kalvix::ModbusLine {
 public:
  RecordedLine(std::span<const uint8_t> bytes, size_t burst) : bytes_(bytes), burst_(burst) {
    burstEnd_ = std::min(bytes_.size(), burst_);
  }
  PortIo Read(std::span<uint8_t> into) override {
    const size_t n = std::min(into.size(), burstEnd_ - at_);
    if (n == 0) {
      clock_ += 47;  // the default budget of a one-byte read
      return {0, kalvix::PortStatus::kOk};
    }
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, into.begin());
    at_ += n;
    clock_ += 1;
    return {n, kalvix::PortStatus::kOk};
  }
  size_t BytesWaiting() override { return burstEnd_ - at_; }
  bool WaitReadable(uint32_t ms) override {
    clock_ += ms;
    if (burstEnd_ - at_ == 0 && burstEnd_ < bytes_.size())
      burstEnd_ = std::min(bytes_.size(), burstEnd_ + burst_);
    return burstEnd_ > at_;
  }
  void DiscardInput() override { at_ = burstEnd_; }
  uint32_t Ticks() override { return clock_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t burst_;
  size_t at_ = 0;
  size_t burstEnd_ = 0;
  uint32_t clock_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t options = data[0];
  kalvix::ReceiveRequest request;
  request.checkFunction = (options & 1) != 0;
  request.lengthKnown = (options & 2) != 0;
  request.devAddr = (options & 4) ? 0x101 : 1;
  request.funcCode = data[1];
  request.length = request.lengthKnown ? data[2] : 512;
  request.frameGapMs = 4;
  const size_t room = data[3];
  const size_t burst = 1 + (data[3] & 0x0F) * 37u;

  std::vector<uint8_t> work(1024);
  std::vector<uint8_t> destination(room);
  RecordedLine line(std::span(data + 4, size - 4), burst);
  const kalvix::ReceiveResult result = kalvix::ReceiveReply(line, request, work, destination);
  if (result.length > room) std::abort();
  if (result.error != nullptr && (result.ok || result.length != 0)) std::abort();

  const auto reply = std::span<const uint8_t>(destination).first(result.length);
  const uint16_t registers = (data[2] & 1) ? 1 : 2;
  if (kalvix::CheckReadReply(reply, registers) == kalvix::ReadReplyCheck::kOk) {
    if (reply.size() < 3u + 2u * registers + 2u) std::abort();
    if (registers == 2) {
      const uint32_t pattern =
          kalvix::PatternFromWire(reply.subspan<3, 4>(), options & 8, options & 16);
      const auto wire = kalvix::WireFromPattern(pattern, options & 8, options & 16);
      if (!std::equal(wire.begin(), wire.end(), reply.begin() + 3)) std::abort();
    }
  }
  if (kalvix::IsWriteEcho(reply, 1, 0x0010, 2) && reply.size() < 8) std::abort();
  (void)kalvix::AnnouncedReplyLength(reply);
  return 0;
}
