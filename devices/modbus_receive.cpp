#include "devices/modbus_receive.h"

#include <algorithm>
#include <cstring>

#include "devices/modbus_crc.h"
#include "devices/modbus_frame.h"
#include "devices/modbus_messages.h"
#include "util/tick_count.h"

namespace kalvix {
namespace {

ReceiveResult Fail(const char* text, std::optional<BusFault> fault) {
  return {false, 0, text, fault};
}

// A read that failed: an I/O error is the line's fault; a port closed or interrupted under
// the step is this side's doing.
std::optional<BusFault> LineFault(const PortIo& io) {
  if (io.status == PortStatus::kIoError) return BusFault::kIoError;
  return std::nullopt;
}

// A line that stopped working under the step (closed or interrupted) ends it as a port
// that is not connected; any other read error as a missing answer.
ReceiveResult FailLine(const PortIo& io) {
  return Fail(
      io.status == PortStatus::kIoError ? modbus_text::kNoAnswer : modbus_text::kPortNotConnected,
      LineFault(io));
}

// A reply longer than the request allows, or than the room for it, is not accepted.
ReceiveResult Overlong(bool ok) { return {ok, 0, nullptr, BusFault::kWrongPeer}; }

ReceiveResult Accept(std::span<const uint8_t> reply, std::span<uint8_t> destination) {
  if (reply.size() > destination.size()) return Overlong(true);  // no room: not accepted
  std::copy(reply.begin(), reply.end(), destination.begin());
  return {true, reply.size(), nullptr, std::nullopt};
}

}  // namespace

PortIo SerialModbusLine::Read(std::span<uint8_t> into) {
  if (at_ == end_) {
    const PortIo ahead = port_.ReadAvailable(buffer_);
    if (!ahead.Ok()) return ahead;
    at_ = 0;
    end_ = ahead.count;
    if (end_ == 0) return port_.Read(into);  // nothing yet: wait within the read budget
  }
  const size_t n = std::min(into.size(), end_ - at_);
  std::copy_n(buffer_ + at_, n, into.begin());
  at_ += n;
  if (n < into.size()) {
    // The rest of a longer read comes from the port, within its budget.
    PortIo rest = port_.Read(into.subspan(n));
    rest.count += n;
    return rest;
  }
  return {n, PortStatus::kOk};
}

size_t SerialModbusLine::BytesWaiting() { return at_ < end_ ? end_ - at_ : port_.BytesWaiting(); }

bool SerialModbusLine::WaitReadable(uint32_t ms) { return at_ < end_ || port_.WaitReadable(ms); }

void SerialModbusLine::DiscardInput() {
  at_ = end_ = 0;
  port_.DiscardInput();
}

uint32_t SerialModbusLine::Ticks() { return TickCount(); }

ReceiveResult ReceiveReply(ModbusLine& line, const ReceiveRequest& request, std::span<uint8_t> work,
                           std::span<uint8_t> destination) {
  std::fill_n(work.begin(), std::min<size_t>(work.size(), 512), 0);

  // The reply's start: the slave's address.
  const uint32_t start = line.Ticks();
  int foreign = 0;
  bool found = false;
  while (TicksBetween(start, line.Ticks()) < kAddressSearchMs) {
    const PortIo io = line.Read(work.first(1));
    if (!io.Ok()) return FailLine(io);
    if (io.count == 0) continue;
    if (work[0] == request.devAddr) {
      found = true;
      break;
    }
    if (foreign == kMaxForeignBytes) return Fail(modbus_text::kWrongAnswer, BusFault::kWrongPeer);
    ++foreign;
  }
  if (!found) return Fail(modbus_text::kNoAnswer, BusFault::kTimeout);

  const PortIo fn = line.Read(work.subspan(1, 1));
  if (!fn.Ok()) return Fail(modbus_text::kFunctionReadFailed, LineFault(fn));
  if (fn.count == 0) return Fail(modbus_text::kFunctionMissing, BusFault::kIncomplete);
  if (request.checkFunction && work[1] != request.funcCode) {
    // The request's function with the high bit set is the device's exception reply.
    const bool exception = work[1] == (request.funcCode | 0x80);
    return Fail(modbus_text::kUnexpectedAnswer,
                exception ? BusFault::kDeviceError : BusFault::kWrongPeer);
  }

  if (request.lengthKnown) {
    const size_t n = static_cast<size_t>(request.length) % 256;
    const PortIo rest = line.Read(work.subspan(2, n + 2));
    if (!rest.Ok()) return Fail(modbus_text::kReplyIncomplete, LineFault(rest));
    if (rest.count < n + 2) return Fail(modbus_text::kReplyIncomplete, BusFault::kIncomplete);
    if (!FrameCrcOk(work.first(n + 4)))
      return Fail(modbus_text::kReplyChecksum, BusFault::kChecksum);
    return Accept(work.first(n + 4), destination);
  }

  const size_t limit = request.length > 0 ? static_cast<size_t>(request.length) : 0;
  size_t k = 2;
  for (;;) {
    const PortIo io = line.Read(work.subspan(k, 1));
    if (!io.Ok()) return Fail(modbus_text::kReplyIncomplete, LineFault(io));
    if (io.count == 0) break;  // a whole read budget without a byte: the reply has ended
    ++k;
    if (k >= limit || k > kMaxReplyBytes || k >= work.size()) {
      line.DiscardInput();
      return Overlong(limit != 0);
    }
    if (line.BytesWaiting() > 0) continue;
    const size_t announced = AnnouncedReplyLength(work.first(k));
    if (announced != 0 && k >= announced) break;
    if (!line.WaitReadable(request.frameGapMs)) break;
  }
  return Accept(work.first(k), destination);
}

}  // namespace kalvix
