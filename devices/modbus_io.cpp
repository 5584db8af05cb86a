#include "devices/modbus_io.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "devices/modbus_crc.h"
#include "devices/modbus_frame.h"
#include "devices/modbus_messages.h"
#include "devices/modbus_receive.h"
#include "devices/port_open.h"
#include "devices/port_timeouts.h"
#include "journal/event_log.h"

namespace kalvix {
namespace {

// Clears a flag when the scope ends, whichever way it ends.
class FlagScope {
 public:
  explicit FlagScope(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~FlagScope() { flag_.store(false); }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

}  // namespace

TModBUS::TModBUS(std::filesystem::path workDir) : workDir_(std::move(workDir)) {}

TModBUS::~TModBUS() { Close(); }

bool TModBUS::Open(int32_t speed) {
  std::lock_guard lock(transaction_);
  if (!IsAcceptedSpeed(speed)) {
    PostEvent(kTextWrongSpeed);
    return false;
  }
  PortOpenPlan plan;
  plan.speed = speed;
  plan.timeoutsBeforeLine = ReadPortTimeouts(workDir_, PortName);
  const PortOpenResult result = RunPortOpen(Handle, PortName, plan);
  if (result != PortOpenResult::kOk) {
    SetError(PortOpenText(result));
    return false;
  }
  Speed.store(speed);
  Connected.store(true);
  return true;
}

bool TModBUS::Close() {
  Handle.Interrupt();  // a transaction in progress ends at its next wait
  std::lock_guard lock(transaction_);
  Handle.Close();
  Connected.store(false);
  return true;
}

bool TModBUS::SendComBlock(std::span<const uint8_t> block) {
  std::lock_guard lock(transaction_);
  return SendLocked(block);
}

bool TModBUS::ReciveComBlock(std::span<uint8_t> destination, int32_t length, bool lengthKnown) {
  std::lock_guard lock(transaction_);
  return ReceiveLocked(DevAddr, destination, length, lengthKnown);
}

bool TModBUS::SendLocked(std::span<const uint8_t> block) {
  try {
    if (!Connected.load()) {
      SetError(modbus_text::kPortNotConnected);
      return false;
    }
    const size_t n = block.size();
    if (n > kMaxBlock) {
      SetError(modbus_text::kBlockTooLarge);
      return false;
    }
    if (block.data() != SendBuf) std::memmove(SendBuf, block.data(), n);
    Handle.DiscardInput();
    LastCrc = ModbusCrc(std::span<const uint8_t>(SendBuf, n));
    SendBuf[n] = LastCrc & 0xFF;
    SendBuf[n + 1] = LastCrc >> 8;
    SendBuf[n + 2] = 0;
    sendStart_ = std::chrono::steady_clock::now();
    const PortIo io = Handle.Write(std::span<const uint8_t>(SendBuf, n + 2));
    if (!io.Ok() || io.count != n + 2) {
      // A write the line did not take within its budget counts as the line's failure; one
      // interrupted or on a closed port is this side's doing.
      if (io.status == PortStatus::kOk || io.status == PortStatus::kIoError) {
        sendFault_ = BusFault::kIoError;
      }
      SetError(modbus_text::kSendFailed);
      return false;
    }
    Handle.Drain();
    Handle.DiscardInput();  // the echo of an RS-485 converter
    Handle.Pause(kTurnaroundMs);
    return true;
  } catch (const std::exception&) {
    ExceptionFlag = true;
    ExceptionText = modbus_text::kFaultInSend;
    return false;
  }
}

bool TModBUS::ReceiveLocked(int32_t devAddr, std::span<uint8_t> destination, int32_t length,
                            bool lengthKnown) {
  try {
    if (!Connected.load()) {
      SetError(modbus_text::kPortNotConnected);
      return false;
    }
    RecvLen = 0;
    SerialModbusLine line(Handle);
    ReceiveRequest request;
    request.devAddr = devAddr;
    request.funcCode = FuncCode;
    request.checkFunction = CheckFunction;
    request.length = length;
    request.lengthKnown = lengthKnown;
    request.frameGapMs = FrameGapMs();
    const ReceiveResult result = ReceiveReply(line, request, RecvBuf, destination);
    receiveFault_ = result.fault;
    if (result.error) SetError(result.error);
    RecvLen = static_cast<int32_t>(result.length);
    return result.ok;
  } catch (const std::exception&) {
    ExceptionFlag = true;
    ExceptionText = modbus_text::kFaultInReceive;
    return false;
  }
}

uint32_t TModBUS::FrameGapMs() const {
  // At least 3.5 character times, the silence that ends an RTU frame; the port's read
  // interval when that is longer, since it is the gap the site has set for this line.
  const int32_t speed = std::max(Speed.load(), 1);
  const uint32_t frameSilence = static_cast<uint32_t>((35'000 + speed - 1) / speed) + 1;
  const uint32_t interval = Handle.Timeouts().readInterval;
  if (interval == 0 || interval == kReturnImmediately) return frameSilence;
  return std::max(interval, frameSilence);
}

bool TModBUS::Query(std::span<const uint8_t> data, std::span<uint8_t> destination,
                    int32_t expectedLength) {
  return Transact(DevAddr, data, destination, expectedLength);
}

bool TModBUS::Transact(int32_t devAddr, std::span<const uint8_t> data,
                       std::span<uint8_t> destination, int32_t expectedLength) {
  if (Busy.exchange(true)) {
    // Another transaction on this object has not finished; a worker must not wait on a
    // notice, so it goes to the event log.
    PostEvent(modbus_text::kBusy);
    return false;
  }
  {
    std::lock_guard lock(transaction_);
    ErrorText.clear();
    ExceptionFlag = false;
    ExceptionText.clear();
    RecvLen = 0;
    std::memset(SendBuf, 0, sizeof SendBuf);
    std::memset(RecvBuf, 0, sizeof RecvBuf);
    LastExchange = {};
    sendFault_.reset();
    receiveFault_.reset();

    bool sent = false;
    {
      FlagScope sending(Sending);
      if (data.size() + 2 > kMaxBlock) {
        SetError(modbus_text::kBlockTooLarge);
      } else {
        SendBuf[0] = static_cast<uint8_t>(devAddr & 0xFF);
        SendBuf[1] = FuncCode;
        std::copy(data.begin(), data.end(), SendBuf + 2);
        sent = SendLocked(std::span<const uint8_t>(SendBuf, data.size() + 2));
      }
    }
    bool received = false;
    {
      // The receive step runs even when the send failed: it then reports why nothing came.
      FlagScope receiving(Receiving);
      if (expectedLength > 0) {
        received = ReceiveLocked(devAddr, destination, expectedLength, true);
      } else {
        received = ReceiveLocked(devAddr, destination, 512, false);
      }
    }
    // The ledger's view: a request that did not go out fails by the send's cause, and only a
    // request that went out can have an answer.
    if (!sent) {
      if (sendFault_) LastExchange = BusExchange::Fault(*sendFault_);
    } else if (receiveFault_) {
      LastExchange = BusExchange::Fault(*receiveFault_);
    } else if (received) {
      LastExchange = BusExchange::Good(RoundTripSince(sendStart_));
    }
  }
  Busy.store(false);
  return true;
}

bool TModBUS::QueryRead(int32_t devAddr, uint16_t reg, uint16_t count,
                        std::span<uint8_t, kReadReplyRoom> reply) {
  FuncCode = kFuncReadHolding;
  LastExchange = {};
  if (!Transact(devAddr, ReadRequestData(reg, count), reply, -1)) return false;
  const auto received = std::span<const uint8_t>(reply.data(), static_cast<size_t>(RecvLen));
  switch (CheckReadReply(received, count)) {
    case ReadReplyCheck::kOk:
      return true;
    case ReadReplyCheck::kTooShort:
      // An exception reply (the receive step lets one through when the function is not
      // checked) is shorter than any read reply.
      RecordReplyFault(received.size() >= 2 && received[1] == (FuncCode | 0x80)
                           ? BusFault::kDeviceError
                           : BusFault::kIncomplete);
      SetError(modbus_text::kBadReply);
      return false;
    case ReadReplyCheck::kBadCount:
      RecordReplyFault(BusFault::kWrongPeer);
      SetError(modbus_text::kBadReply);
      return false;
    case ReadReplyCheck::kBadCrc:
      RecordReplyFault(BusFault::kChecksum);
      return false;  // the reason stays what the receive step said
  }
  return false;
}

void TModBUS::RecordReplyFault(BusFault fault) {
  if (LastExchange.end == BusExchange::End::kGood) LastExchange = BusExchange::Fault(fault);
}

bool TModBUS::ReadRegister(const ModbusTarget& target, uint16_t reg, int32_t& value) {
  uint8_t reply[kReadReplyRoom] = {};
  if (!QueryRead(target.devAddr, reg, 1, reply)) return false;
  value = reply[3] * 256 + reply[4];
  return true;
}

bool TModBUS::ReadPair(const ModbusTarget& target, uint16_t reg, uint32_t& pattern) {
  uint8_t reply[kReadReplyRoom] = {};
  if (!QueryRead(target.devAddr, reg, 2, reply)) return false;
  pattern = PatternFromWire(std::span<const uint8_t, 4>(reply + 3, 4), target.inverseBytes,
                            target.inverseWords);
  return true;
}

bool TModBUS::WritePair(const ModbusTarget& target, uint16_t reg, uint32_t pattern) {
  FuncCode = kFuncWriteMultiple;
  const auto bytes = WireFromPattern(pattern, target.inverseBytes, target.inverseWords);
  uint8_t reply[kWriteReplyRoom] = {};
  LastExchange = {};
  if (!Transact(target.devAddr, WritePairRequestData(reg, bytes), reply, -1)) return false;
  const auto received = std::span<const uint8_t>(reply, static_cast<size_t>(RecvLen));
  switch (CheckWriteEcho(received, static_cast<uint8_t>(target.devAddr & 0xFF), reg, 2)) {
    case WriteEchoCheck::kOk:
      return true;
    case WriteEchoCheck::kTooShort:
      RecordReplyFault(BusFault::kIncomplete);
      break;
    case WriteEchoCheck::kMismatch:
      RecordReplyFault(BusFault::kWrongPeer);
      break;
    case WriteEchoCheck::kBadCrc:
      RecordReplyFault(BusFault::kChecksum);
      break;
  }
  if (ErrorText.empty()) SetError(modbus_text::kBadReply);
  return false;
}

}  // namespace kalvix
