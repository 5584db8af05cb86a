// TModBUS: the Modbus RTU master on one serial port, used by the JUMO poller to read holding
// registers (function 3) and write register pairs (function 16) of the JUMO controllers.
// One transaction at a time: send a request, collect the reply; nothing is retried here. A
// failed transaction is reported by the operation's result, RecvLen and ErrorText.
//
// Threads: one thread transacts (the poller) and the owner (the control thread) opens and
// closes the port. Open, Close and every transaction take the transaction lock; Close first
// interrupts the transaction in progress, so it returns within a few milliseconds and the
// poller's remaining transactions fail with "Поорт не подключен!". Connected, Speed and the
// three step flags are atomics that any thread may read; every other field belongs to the
// thread that runs the operations (set DevAddr and the byte-order flags, call, then read
// RecvLen and ErrorText on that same thread).
//
// The device is named either by the fields (DevAddr, InverseBytes, InverseWords), as
// designed, or for one transaction by a ModbusTarget, which leaves the fields as they are:
// the poller addresses each controller that way, so nothing it does changes what another
// user of the fields set.
//
// Failures the design left silent are reported here: a read reply must have the right byte
// count and CRC, a write must be answered by its exact echo, a reply never lands beyond the
// caller's buffer, and the messages the design showed in modal boxes (wrong speed, link
// busy) are posted as events, so no thread ever blocks on them.
#ifndef KALVIX_DEVICES_MODBUS_IO_H_
#define KALVIX_DEVICES_MODBUS_IO_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devices/bus_exchange.h"
#include "devices/serial_port.h"

namespace kalvix {

// The device of one transaction: the slave address (its low byte is sent) and the register
// order of a 32-bit value.
struct ModbusTarget {
  int32_t devAddr = 1;
  bool inverseBytes = true;
  bool inverseWords = false;
};

class TModBUS {
 public:
  static constexpr size_t kBufferSize = 1024;
  static constexpr size_t kMaxBlock = 500;  // longest request block, address to data
  // Turnaround after a request: the line's RS-485 converter and the JUMO controllers need it
  // before the reply; the received echo of the request is discarded before it.
  static constexpr uint32_t kTurnaroundMs = 40;
  // The poller's reply buffers: 32 bytes for a read, 100 for the echo of a write.
  static constexpr size_t kReadReplyRoom = 32;
  static constexpr size_t kWriteReplyRoom = 100;

  // workDir: the folder of the per-port time-out files (empty: the current folder).
  explicit TModBUS(std::filesystem::path workDir = {});
  ~TModBUS();  // Close
  TModBUS(const TModBUS&) = delete;
  TModBUS& operator=(const TModBUS&) = delete;

  // The port-opening procedure on PortName with the time-outs of its time-out file. On
  // success Speed := speed and Connected := true; on failure ErrorText holds the reason,
  // except for a wrong speed, which is posted as an event (and the port is not touched).
  bool Open(int32_t speed);
  // Releases the port (waking a transaction in progress first); Connected := false. True.
  bool Close();

  // Sends one request block (address to data) followed by its CRC, waits until it has left,
  // drops the received echo and waits the turnaround.
  bool SendComBlock(std::span<const uint8_t> block);
  // Collects one reply into RecvBuf and, when accepted, copies it to destination and sets
  // RecvLen. length: the bytes after address and function when lengthKnown.
  bool ReciveComBlock(std::span<uint8_t> destination, int32_t length, bool lengthKnown);
  // One transaction with DevAddr and FuncCode; expectedLength <= 0 means unknown. True when
  // it ran (false only when busy): its outcome is RecvLen (0: no reply accepted) and ErrorText.
  bool Query(std::span<const uint8_t> data, std::span<uint8_t> destination, int32_t expectedLength);

  // Function 3, one register; value 0 ... 65535.
  bool ReadRegister(uint16_t reg, int32_t& value) {
    return ReadRegister(FieldTarget(), reg, value);
  }
  bool ReadRegister(const ModbusTarget& target, uint16_t reg, int32_t& value);
  // Function 3, two registers; the 32-bit pattern by InverseBytes and InverseWords.
  bool ReadPair(uint16_t reg, uint32_t& pattern) { return ReadPair(FieldTarget(), reg, pattern); }
  bool ReadPair(const ModbusTarget& target, uint16_t reg, uint32_t& pattern);
  // Function 16, two registers; true only when the controller echoes the write.
  bool WritePair(uint16_t reg, uint32_t pattern) { return WritePair(FieldTarget(), reg, pattern); }
  bool WritePair(const ModbusTarget& target, uint16_t reg, uint32_t pattern);

  // The device the fields name.
  ModbusTarget FieldTarget() const { return {DevAddr, InverseBytes, InverseWords}; }

  void SetError(std::string_view text) { ErrorText = text; }

  // The fields of the master, in the order of its design.
  SerialPort Handle;
  std::string PortName = "COM1";
  std::atomic<int32_t> Speed{9600};
  std::atomic<bool> Connected{false};
  int32_t DevAddr = 1;  // its low byte is sent
  uint8_t FuncCode = 3;
  uint16_t LastCrc = 0;
  int32_t RecvLen = 0;
  std::atomic<bool> Busy{false};
  std::atomic<bool> Sending{false};
  std::atomic<bool> Receiving{false};
  uint8_t SendBuf[kBufferSize] = {};
  uint8_t RecvBuf[kBufferSize] = {};
  bool InverseBytes = true;
  bool InverseWords = false;
  std::string ErrorText;
  std::string ExceptionText;
  bool ExceptionFlag = false;
  bool CheckFunction = true;
  // How the last transaction (Query, ReadRegister, ReadPair, WritePair) ended on the line,
  // for the bus ledger; read on the thread that ran it, like RecvLen. Its round-trip includes
  // the turnaround (see devices/bus_exchange.h).
  BusExchange LastExchange;

 private:
  // Query addressed to devAddr.
  bool Transact(int32_t devAddr, std::span<const uint8_t> data, std::span<uint8_t> destination,
                int32_t expectedLength);
  // One read request of `count` registers, its reply checked by byte count and CRC.
  bool QueryRead(int32_t devAddr, uint16_t reg, uint16_t count,
                 std::span<uint8_t, kReadReplyRoom> reply);
  bool SendLocked(std::span<const uint8_t> block);
  bool ReceiveLocked(int32_t devAddr, std::span<uint8_t> destination, int32_t length,
                     bool lengthKnown);
  uint32_t FrameGapMs() const;
  // LastExchange after a read reply or a write echo was checked: a good transaction becomes
  // the fault its reply shows.
  void RecordReplyFault(BusFault fault);

  // The transaction in progress, for LastExchange; the transacting thread's.
  std::chrono::steady_clock::time_point sendStart_;
  std::optional<BusFault> sendFault_;     // why the request did not go out, if the line's fault
  std::optional<BusFault> receiveFault_;  // ReceiveResult::fault of the receive step

  const std::filesystem::path workDir_;
  std::mutex transaction_;  // held by Open, Close and each transaction
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_MODBUS_IO_H_
