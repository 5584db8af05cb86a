// TVisionLink: the link to a Vision-series programmable controller (the plant's V120) over
// its ASCII command protocol, one request line and one reply line per exchange. It reads
// and writes memory bits, 16-bit and 32-bit integers by address and count, and can serve
// the same operations from string lists without any port traffic (emulation).
//
// Ownership and threads: the state owner holds exactly one instance. The control thread
// sets PortName, Speed, Status and Active; the V120 poller is the only caller of the
// exchanges; the window thread reads counters and texts for display. Every member may be
// called from any thread: texts are guarded by a mutex, numbers and flags are atomics.
// Switching Active off while an exchange runs on another thread is safe: the exchange is
// woken from its wait at once (at the latest after its current wait, at most 130 ms), fails,
// and only then is the port released.
//
// A reply is read as it arrives, whatever has arrived in one read, never a read per byte;
// bytes that arrived after the reply's CR stay for the next receive until the next request
// discards them, as they would in the driver's input queue.
//
// The controller is named either by UnitID, as designed, or for one exchange by a VisionUnit
// given to the array operation, which leaves UnitID as it is; QueryString, CRC and
// CommandLine then show the query that exchange built, with the unit it was given.
#ifndef KALVIX_DEVICES_VISION_LINK_H_
#define KALVIX_DEVICES_VISION_LINK_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devices/bus_exchange.h"

namespace kalvix {

class SerialPort;

// The unit number of the controller one exchange addresses.
struct VisionUnit {
  int32_t id = 1;
};

class TVisionLink {
 public:
  using TStringList = std::vector<std::string>;

  TVisionLink();
  ~TVisionLink();  // releases the port
  TVisionLink(const TVisionLink&) = delete;
  TVisionLink& operator=(const TVisionLink&) = delete;

  // Properties. Setters that are refused report through ErrMessage.
  std::string PortName() const;
  void SetPortName(std::string_view value);  // a new name is refused while Active
  std::string QueryString() const;
  void SetQueryString(std::string_view value);  // stores the text, clears Sended
  std::string ResultStr() const;
  void SetResultStr(std::string_view value);
  int32_t SendCounter() const { return sendCounter_.load(std::memory_order_relaxed); }
  void SetSendCounter(int32_t value) { sendCounter_.store(value, std::memory_order_relaxed); }
  int32_t ErrorCounter() const { return errorCounter_.load(std::memory_order_relaxed); }
  void SetErrorCounter(int32_t value) { errorCounter_.store(value, std::memory_order_relaxed); }
  std::string Status() const;
  void SetStatus(std::string_view value);
  bool Active() const { return active_.load(std::memory_order_acquire); }
  void SetActive(bool value);  // true: ConnectToPort(Speed); false: release the port
  bool Sended() const { return sended_.load(std::memory_order_relaxed); }
  void SetSended(bool value);  // true: sends QueryString and stores the result
  int32_t Speed() const { return speed_.load(std::memory_order_relaxed); }
  void SetSpeed(int32_t value);  // refused while Active
  bool Recived() const { return recived_.load(std::memory_order_relaxed); }
  void SetRecived(bool value);  // true: runs ReciveString, then is true whatever came
  std::string STX() const;
  void SetSTX(std::string_view value);  // takes effect at the next rebuild of QueryString
  std::string CRC() const;              // computed by UpdateQueryString only
  std::string CommandLine() const;
  void SetCommandLine(std::string_view value);  // a new value rebuilds QueryString
  int32_t UnitID() const { return unitId_.load(std::memory_order_relaxed); }
  void SetUnitID(int32_t value);  // a new value rebuilds QueryString
  std::string STX1() const;
  void SetSTX1(std::string_view value);
  bool EmulFlag() const { return emulFlag_.load(std::memory_order_relaxed); }
  void SetEmulFlag(bool value) { emulFlag_.store(value, std::memory_order_relaxed); }
  // The emulation lists: one decimal number per line, line index = address. The setters
  // copy the given lines.
  TStringList EmulBitArray() const;
  void SetEmulBitArray(const TStringList& lines);
  TStringList EmulIntArray() const;
  void SetEmulIntArray(const TStringList& lines);
  TStringList EmulLongArray() const;
  void SetEmulLongArray(const TStringList& lines);

  // Status := text; ErrorCounter += 1.
  void ErrMessage(std::string_view text);

  // Opens and configures the port PortName at speed. Refused while Active. On failure the
  // reason is in Status and ErrorCounter, and the port is not held.
  bool ConnectToPort(int32_t speed);

  // Whether the port met an I/O error since it was opened (see SerialPort::LineFailed).
  bool LineFailed();

  // How the last exchange of an array operation, GetQueryRez or SendCommand ended on the
  // line, for the bus ledger (devices/bus_exchange.h): meaningful on the thread that made
  // it, right after the call. Not counted when nothing was sent (emulation, not Active, a
  // count that does not fit, the exchange lock busy) or when the port was released or the
  // stop request came during the exchange.
  BusExchange LastExchange() const;

  // The port of every later connection watches `fd`, the stop request's descriptor (see
  // SerialPort::WatchStop): while a stop is requested, a send or receive in progress ends at
  // once and fails. The owner sets it once, before the first connection.
  void WatchStop(int fd) { stopFd_.store(fd, std::memory_order_release); }

  // Sends text and a CR, discarding received input before and after. False when not
  // Active (silently) or when the write fails or text is too long for the transmit buffer.
  bool SendString(std::string_view text);

  // Receives one line up to its CR within about one second. "" when nothing usable came.
  std::string ReciveString();

  // One exchange under the exchange lock: sends QueryString and receives the reply line.
  // A second caller waits at most 250 ms for the lock and then fails.
  bool SendCommand(std::string& reply);

  // Sum of the character codes modulo 256 as two upper-case hexadecimal digits.
  static std::string CalcCRC(std::string_view text);

  // Rebuilds CRC and QueryString from STX, UnitID and CommandLine.
  void UpdateQueryString();

  // SendCommand, then the reply check; reply := the data part of a good reply.
  bool GetQueryRez(std::string& reply);

  // The array operations. count values are read or written at address; false without any
  // traffic when count is negative or larger than the buffer. Bits are bytes, 0 or 1;
  // integers are 32-bit signed, isLong selects the 32-bit commands.
  // Without a VisionUnit they address UnitID.
  bool GetBitArray(int32_t address, int32_t count, std::span<uint8_t> bits) {
    return GetBitArray(VisionUnit{UnitID()}, address, count, bits);
  }
  bool SetBitArray(int32_t address, int32_t count, std::span<const uint8_t> bits) {
    return SetBitArray(VisionUnit{UnitID()}, address, count, bits);
  }
  bool GetIntArray(int32_t address, int32_t count, std::span<int32_t> values, bool isLong) {
    return GetIntArray(VisionUnit{UnitID()}, address, count, values, isLong);
  }
  bool SetIntArray(int32_t address, int32_t count, std::span<const int32_t> values, bool isLong) {
    return SetIntArray(VisionUnit{UnitID()}, address, count, values, isLong);
  }
  bool GetBitArray(VisionUnit unit, int32_t address, int32_t count, std::span<uint8_t> bits);
  bool SetBitArray(VisionUnit unit, int32_t address, int32_t count, std::span<const uint8_t> bits);
  bool GetIntArray(VisionUnit unit, int32_t address, int32_t count, std::span<int32_t> values,
                   bool isLong);
  bool SetIntArray(VisionUnit unit, int32_t address, int32_t count, std::span<const int32_t> values,
                   bool isLong);

 private:
  enum class Send { kSent, kNotSent, kLineError, kInterrupted };
  // SendString; *start: when the request was handed to the port.
  Send SendLine(std::string_view text, std::chrono::steady_clock::time_point* start);
  // kNoPort: released before the receive; the failures below all end as "not received".
  enum class Receive {
    kLine,
    kNoPort,
    kSilent,       // no byte within the budget
    kCutShort,     // bytes, but no CR within the budget
    kTooLong,      // no CR within kVisionMaxReplyLength bytes
    kLineError,    // a read failed with an I/O error
    kInterrupted,  // a read was interrupted (the port being released, a stop)
  };
  Receive ReceiveLine(std::string& line);
  void SetLastExchange(const BusExchange& exchange);
  // A good exchange becomes the fault its reply shows.
  void RecordReplyFault(BusFault fault);
  bool Connect(int32_t speed);  // ConnectToPort; the caller holds activeMutex_
  void ReleasePort();           // the caller holds activeMutex_
  // Sets CommandLine and always rebuilds QueryString for `unit`, so that an exchange never
  // sends a query text that was stored directly.
  void PrepareCommand(VisionUnit unit, std::string command);
  void RebuildQueryLocked(int32_t unit);  // the caller holds textMutex_
  TStringList& EmulList(bool isLong);     // guarded by emulMutex_

  // Texts, guarded by textMutex_.
  mutable std::mutex textMutex_;
  std::string portName_ = "COM1";
  std::string queryString_;
  std::string resultStr_;
  std::string status_;
  std::string stx_ = "/";
  std::string crc_;
  std::string commandLine_;
  std::string stx1_ = "/A";

  std::atomic<int32_t> sendCounter_{0};
  std::atomic<int32_t> errorCounter_{0};
  std::atomic<int32_t> speed_{57600};
  std::atomic<int32_t> unitId_{1};
  std::atomic<bool> active_{false};
  std::atomic<bool> sended_{false};
  std::atomic<bool> recived_{false};
  std::atomic<bool> emulFlag_{false};
  std::atomic<int> stopFd_{-1};  // see WatchStop
  // LastExchange, written by the exchanging thread.
  std::atomic<uint8_t> lastEnd_{0};
  std::atomic<uint8_t> lastFault_{0};
  std::atomic<int64_t> lastRoundTripUs_{0};

  // Emulation lists, guarded by emulMutex_.
  mutable std::mutex emulMutex_;
  TStringList emulBitArray_;
  TStringList emulIntArray_;
  TStringList emulLongArray_;

  // One change of Active, PortName or Speed at a time, so a refusal "while Active" sees
  // the state it refuses.
  std::mutex activeMutex_;
  // The exchange lock, held by SendCommand for the whole request and reply. Taking it is
  // one step under exchangeMutex_: wait until it is free, then mark it busy.
  bool TakeExchangeLock();
  void ReleaseExchangeLock();
  std::mutex exchangeMutex_;
  std::condition_variable exchangeFree_;
  bool exchangeBusy_ = false;  // guarded by exchangeMutex_
  // The port, guarded by portMutex_; held during each send and each receive, so the port
  // is never released under a running read or write.
  std::mutex portMutex_;
  std::unique_ptr<SerialPort> port_;
  // What the last read brought and no receive has taken yet (the bytes after a reply's CR),
  // guarded by portMutex_. Emptied wherever the port's input is discarded or the port
  // changes. The room holds a whole reply of the longest length.
  void DropReadAhead() { readAt_ = readEnd_ = 0; }
  std::array<uint8_t, 1024> readAhead_;
  size_t readAt_ = 0;   // the next byte to take
  size_t readEnd_ = 0;  // one past the last byte read
};

}  // namespace kalvix

#endif  // KALVIX_DEVICES_VISION_LINK_H_
