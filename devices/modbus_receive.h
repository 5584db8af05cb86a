// The receive step of a Modbus RTU transaction, separated from the port so that it can be
// driven by any byte source: the serial port in service, a recorded byte stream when fuzzed.
//
// The step (its numbers are the master's design):
//  1. find the reply's start: one-byte reads for up to 400 ms until a byte equal to the slave
//     address arrives; 129 foreign bytes are skipped, the 130th fails the step;
//  2. read the function byte and, unless told not to, require the request's function (so an
//     exception reply fails here);
//  3a. known length n: read n + 2 more bytes in one read and check the CRC;
//  3b. unknown length (what the master uses): read byte by byte while the reply goes on; more
//      than 500 bytes are discarded unread. The reply ends when nothing more is waiting and
//      either it is complete by its own header or no further byte comes within the frame
//      gap, so a reply whose next byte is still on the wire is not cut short (a real line
//      delivers one byte per character time, not all at once).
// A reply is copied only into the room the destination has: a longer one is not accepted.
#ifndef KALVIX_DEVICES_MODBUS_RECEIVE_H_
#define KALVIX_DEVICES_MODBUS_RECEIVE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "devices/bus_ledger.h"
#include "devices/serial_port.h"

namespace kalvix {

// What the receive step needs from the line.
class ModbusLine {
 public:
  virtual ~ModbusLine() = default;
  // Reads up to into.size() bytes within the line's read budget.
  virtual PortIo Read(std::span<uint8_t> into) = 0;
  virtual size_t BytesWaiting() = 0;
  // True when a byte arrives within `ms`.
  virtual bool WaitReadable(uint32_t ms) = 0;
  virtual void DiscardInput() = 0;
  // A millisecond clock (32 bits, wrapping) for the address search.
  virtual uint32_t Ticks() = 0;
};

// A SerialPort as the line. The step reads byte by byte; this takes whatever has arrived in
// one system call and hands it out from memory, so a reply costs a few calls, not several
// per byte. Lives for one receive step.
class SerialModbusLine final : public ModbusLine {
 public:
  explicit SerialModbusLine(SerialPort& port) : port_(port) {}
  PortIo Read(std::span<uint8_t> into) override;
  size_t BytesWaiting() override;
  bool WaitReadable(uint32_t ms) override;
  void DiscardInput() override;
  uint32_t Ticks() override;

 private:
  SerialPort& port_;
  uint8_t buffer_[256];
  size_t at_ = 0;   // next byte to hand out
  size_t end_ = 0;  // one past the last byte read ahead
};

inline constexpr uint32_t kAddressSearchMs = 400;
inline constexpr int kMaxForeignBytes = 129;
inline constexpr size_t kMaxReplyBytes = 500;

struct ReceiveRequest {
  int32_t devAddr = 1;  // compared whole: an address above 255 never matches a byte
  uint8_t funcCode = 3;
  bool checkFunction = true;
  int32_t length = 512;  // known: the bytes after address and function, modulo 256
  bool lengthKnown = false;
  uint32_t frameGapMs = 10;  // silence that ends a reply not yet complete by its header
};

struct ReceiveResult {
  bool ok = false;
  size_t length = 0;            // bytes accepted and copied to the destination
  const char* error = nullptr;  // one of modbus_text, or nullptr
  // Why no usable reply came, when the line or the device is to blame: no address byte in
  // time (kTimeout), foreign bytes beyond the limit or a reply longer than the room for it
  // (kWrongPeer), an exception reply (kDeviceError), a reply cut short (kIncomplete), a bad
  // CRC of a reply of known length (kChecksum), a read that failed with an I/O error
  // (kIoError). Empty for a reply accepted, and for a step that ended because the port was
  // closed or interrupted under it (this side's doing).
  std::optional<BusFault> fault;
};

// Collects one reply into `work` (at least kMaxReplyBytes + 4 bytes; its first 512 bytes
// are cleared first) and copies an accepted reply to `destination`.
ReceiveResult ReceiveReply(ModbusLine& line, const ReceiveRequest& request, std::span<uint8_t> work,
                           std::span<uint8_t> destination);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_MODBUS_RECEIVE_H_
