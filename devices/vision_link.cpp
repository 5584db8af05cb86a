#include "devices/vision_link.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <optional>
#include <utility>

#include "devices/port_open.h"
#include "devices/serial_port.h"
#include "devices/vision_frame.h"
#include "journal/event_log.h"

namespace kalvix {

namespace {

// A line that does not reach its CR within this time is given up.
constexpr std::chrono::milliseconds kReceiveBudget{1000};
// How long a second exchange waits for the one in progress.
constexpr std::chrono::milliseconds kExchangeLockWait{250};

// The Vision link's own time-outs, whatever time-out files exist: a one-byte read waits at
// most 30 + 100 = 130 ms, so a reply line has about one second in all.
constexpr PortTimeouts kVisionPortTimeouts{50, 30, 100, 50, 100};
// The longest one wait of a receive: the one-byte read budget above. A release wakes the
// wait at once through the port's interrupt; where that cannot wake it (the process had no
// descriptor left for the port's wake-up), the receive still sees it within this time.
constexpr uint32_t kReceiveWaitMs =
    kVisionPortTimeouts.readMultiplier + kVisionPortTimeouts.readConstant;

constexpr const char* kTextSwitchWhileActive = "Не могу переключиться при активном соединении!";
constexpr const char* kTextPortWhileActive = "Нельзя менять порт при активном подключении!";
constexpr const char* kTextSpeedWhileActive =
    "Нельзя менять скорость обмена при активном подключении.";
constexpr const char* kTextSendFailed = "Не удалось послать блок информации.";
constexpr const char* kTextReplyTooLong = "Неожиданно длинный ответ.";
constexpr const char* kTextReceiveFailed = "Не удалось принять блок информации.";
constexpr const char* kTextLockBusy = "Захват ресурса.";
constexpr const char* kTextIntConvert = "Int convert error.";

// A line of an emulation list as a 32-bit integer: decimal, optional sign, surrounding
// blanks allowed.
std::optional<int32_t> ParseEmulLine(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (!line.empty() && line.front() == '+') line.remove_prefix(1);
  int32_t value = 0;
  auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (line.empty() || error != std::errc() || end != line.data() + line.size()) {
    return std::nullopt;
  }
  return value;
}

// Reads count lines from address on; a line beyond the end reads as 0. False at a line
// that is not a number.
template <typename T>
bool ReadEmulList(const TVisionLink::TStringList& list, int32_t address, int32_t count,
                  std::span<T> out, bool asBit) {
  for (int32_t j = 0; j < count; ++j) {
    const int64_t index = int64_t{address} + j;
    int32_t value = 0;
    if (index >= 0 && index < static_cast<int64_t>(list.size())) {
      std::optional<int32_t> parsed = ParseEmulLine(list[static_cast<size_t>(index)]);
      if (!parsed) return false;
      value = *parsed;
    }
    out[static_cast<size_t>(j)] = static_cast<T>(asBit ? (value != 0 ? 1 : 0) : value);
  }
  return true;
}

// Writes count values from address on, growing the list with "0" lines first.
template <typename T>
bool WriteEmulList(TVisionLink::TStringList& list, int32_t address, int32_t count,
                   std::span<const T> values) {
  if (address < 0) return false;
  const size_t end = static_cast<size_t>(address) + static_cast<size_t>(count);
  if (list.size() < end) list.resize(end, "0");
  for (int32_t j = 0; j < count; ++j) {
    list[static_cast<size_t>(address) + static_cast<size_t>(j)] =
        std::to_string(static_cast<int32_t>(values[static_cast<size_t>(j)]));
  }
  return true;
}

bool CountFits(int32_t count, size_t bufferSize) {
  return count >= 0 && static_cast<size_t>(count) <= bufferSize;
}

}  // namespace

TVisionLink::TVisionLink() { SetCommandLine("RW000001"); }

TVisionLink::~TVisionLink() { SetActive(false); }

// ---- properties ------------------------------------------------------------------------

std::string TVisionLink::PortName() const {
  std::lock_guard lock(textMutex_);
  return portName_;
}

void TVisionLink::SetPortName(std::string_view value) {
  std::lock_guard change(activeMutex_);
  if (PortName() == value) return;  // the same name changes nothing, active or not
  if (Active()) {
    ErrMessage(kTextPortWhileActive);
    return;
  }
  std::lock_guard lock(textMutex_);
  portName_ = value;
}

std::string TVisionLink::QueryString() const {
  std::lock_guard lock(textMutex_);
  return queryString_;
}

void TVisionLink::SetQueryString(std::string_view value) {
  {
    std::lock_guard lock(textMutex_);
    queryString_ = value;
  }
  sended_.store(false, std::memory_order_relaxed);
}

std::string TVisionLink::ResultStr() const {
  std::lock_guard lock(textMutex_);
  return resultStr_;
}

void TVisionLink::SetResultStr(std::string_view value) {
  std::lock_guard lock(textMutex_);
  resultStr_ = value;
}

std::string TVisionLink::Status() const {
  std::lock_guard lock(textMutex_);
  return status_;
}

void TVisionLink::SetStatus(std::string_view value) {
  std::lock_guard lock(textMutex_);
  status_ = value;
}

void TVisionLink::SetActive(bool value) {
  std::lock_guard change(activeMutex_);
  if (value == Active()) return;
  if (value) {
    active_.store(Connect(Speed()), std::memory_order_release);
  } else {
    active_.store(false, std::memory_order_release);
    ReleasePort();
  }
}

void TVisionLink::SetSended(bool value) {
  if (value) {
    sended_.store(SendString(QueryString()), std::memory_order_relaxed);
    recived_.store(false, std::memory_order_relaxed);
  } else {
    sended_.store(false, std::memory_order_relaxed);
  }
}

void TVisionLink::SetSpeed(int32_t value) {
  std::lock_guard change(activeMutex_);
  if (Active()) {
    ErrMessage(kTextSpeedWhileActive);
    return;
  }
  speed_.store(value, std::memory_order_relaxed);
}

void TVisionLink::SetRecived(bool value) {
  if (value) ReciveString();
  recived_.store(value, std::memory_order_relaxed);
}

std::string TVisionLink::STX() const {
  std::lock_guard lock(textMutex_);
  return stx_;
}

void TVisionLink::SetSTX(std::string_view value) {
  std::lock_guard lock(textMutex_);
  stx_ = value;
}

std::string TVisionLink::CRC() const {
  std::lock_guard lock(textMutex_);
  return crc_;
}

std::string TVisionLink::CommandLine() const {
  std::lock_guard lock(textMutex_);
  return commandLine_;
}

void TVisionLink::SetCommandLine(std::string_view value) {
  {
    std::lock_guard lock(textMutex_);
    if (commandLine_ == value) return;
    commandLine_ = value;
  }
  UpdateQueryString();
}

void TVisionLink::SetUnitID(int32_t value) {
  if (unitId_.exchange(value, std::memory_order_relaxed) == value) return;
  UpdateQueryString();
}

std::string TVisionLink::STX1() const {
  std::lock_guard lock(textMutex_);
  return stx1_;
}

void TVisionLink::SetSTX1(std::string_view value) {
  std::lock_guard lock(textMutex_);
  stx1_ = value;
}

TVisionLink::TStringList TVisionLink::EmulBitArray() const {
  std::lock_guard lock(emulMutex_);
  return emulBitArray_;
}

void TVisionLink::SetEmulBitArray(const TStringList& lines) {
  std::lock_guard lock(emulMutex_);
  emulBitArray_ = lines;
}

TVisionLink::TStringList TVisionLink::EmulIntArray() const {
  std::lock_guard lock(emulMutex_);
  return emulIntArray_;
}

void TVisionLink::SetEmulIntArray(const TStringList& lines) {
  std::lock_guard lock(emulMutex_);
  emulIntArray_ = lines;
}

TVisionLink::TStringList TVisionLink::EmulLongArray() const {
  std::lock_guard lock(emulMutex_);
  return emulLongArray_;
}

void TVisionLink::SetEmulLongArray(const TStringList& lines) {
  std::lock_guard lock(emulMutex_);
  emulLongArray_ = lines;
}

TVisionLink::TStringList& TVisionLink::EmulList(bool isLong) {
  return isLong ? emulLongArray_ : emulIntArray_;
}

// ---- framing ---------------------------------------------------------------------------

void TVisionLink::ErrMessage(std::string_view text) {
  SetStatus(text);
  errorCounter_.fetch_add(1, std::memory_order_relaxed);
}

std::string TVisionLink::CalcCRC(std::string_view text) { return kalvix::CalcCRC(text); }

void TVisionLink::UpdateQueryString() {
  std::lock_guard lock(textMutex_);
  RebuildQueryLocked(UnitID());
}

void TVisionLink::RebuildQueryLocked(int32_t unit) {
  VisionQuery query = BuildVisionQuery(stx_, unit, commandLine_);
  crc_ = std::move(query.crc);
  queryString_ = std::move(query.query);
}

void TVisionLink::PrepareCommand(VisionUnit unit, std::string command) {
  std::lock_guard lock(textMutex_);
  commandLine_ = std::move(command);
  RebuildQueryLocked(unit.id);
}

// ---- port ------------------------------------------------------------------------------

bool TVisionLink::ConnectToPort(int32_t speed) {
  std::lock_guard change(activeMutex_);
  return Connect(speed);
}

bool TVisionLink::Connect(int32_t speed) {
  if (Active()) {
    ErrMessage(kTextSwitchWhileActive);
    return false;
  }
  ReleasePort();  // a port opened by an earlier direct call would block the exclusive open
  PortOpenPlan plan;
  plan.speed = speed;
  plan.timeoutsBeforeLine = kVisionPortTimeouts;
  plan.disableRts = true;
  auto port = std::make_unique<SerialPort>();
  port->WatchStop(stopFd_.load(std::memory_order_acquire));
  const PortOpenResult result =
      RunPortOpen(*port, std::string(kDeviceNamespacePrefix) + PortName(), plan);
  if (result != PortOpenResult::kOk) {
    // The half-configured port is released here: the link stays inactive, and a port it
    // kept would make every later attempt fail at the exclusive open.
    ErrMessage(PortOpenText(result));
    return false;
  }
  std::lock_guard lock(portMutex_);
  port_ = std::move(port);
  DropReadAhead();
  return true;
}

void TVisionLink::ReleasePort() {
  // Wake a read in progress on another thread, then wait until it has let go of the port.
  if (port_) port_->Interrupt();
  std::lock_guard lock(portMutex_);
  port_.reset();
  DropReadAhead();
}

bool TVisionLink::SendString(std::string_view text) {
  std::chrono::steady_clock::time_point start;
  return SendLine(text, &start) == Send::kSent;
}

TVisionLink::Send TVisionLink::SendLine(std::string_view text,
                                        std::chrono::steady_clock::time_point* start) {
  if (!Active()) return Send::kNotSent;
  std::array<uint8_t, kVisionMaxRequestLength + 1> buffer;
  if (text.size() > kVisionMaxRequestLength) {
    ErrMessage(kTextSendFailed);
    return Send::kNotSent;
  }
  std::copy(text.begin(), text.end(), buffer.begin());
  buffer[text.size()] = '\r';
  const std::span<const uint8_t> frame(buffer.data(), text.size() + 1);

  Send result = Send::kSent;
  {
    std::lock_guard lock(portMutex_);
    if (!port_) return Send::kNotSent;  // released since the check above
    port_->DiscardInput();
    DropReadAhead();
    *start = std::chrono::steady_clock::now();
    const PortIo io = port_->Write(frame);
    // Wait until the line has sent it, so the second discard drops what arrived during
    // the request (the echo of an RS-485 converter), not before it.
    if (!io.Ok() || io.count != frame.size()) {
      // A write the line did not take within its budget is the line's failure too.
      result = io.status == PortStatus::kOk || io.status == PortStatus::kIoError
                   ? Send::kLineError
                   : Send::kInterrupted;
    } else if (!port_->Drain()) {
      // The drain does not say why it failed: an I/O error shows on the port, anything else
      // is taken as this side's interrupt.
      result = port_->LineFailed() ? Send::kLineError : Send::kInterrupted;
    }
    port_->DiscardInput();
    DropReadAhead();
    sendCounter_.fetch_add(1, std::memory_order_relaxed);
  }
  if (result != Send::kSent) {
    ErrMessage(kTextSendFailed);
    return result;
  }
  SetStatus("Send() OK");
  return Send::kSent;
}

std::string TVisionLink::ReciveString() {
  std::string line;
  return ReceiveLine(line) == Receive::kLine ? line : std::string();
}

TVisionLink::Receive TVisionLink::ReceiveLine(std::string& line) {
  using Clock = std::chrono::steady_clock;
  line.clear();
  std::lock_guard lock(portMutex_);
  if (!port_) return Receive::kNoPort;
  const Clock::time_point deadline = Clock::now() + kReceiveBudget;
  VisionLineAssembler assembler;
  for (;;) {
    // What an earlier read brought first, then each read's bytes up to the CR.
    while (readAt_ < readEnd_) {
      switch (assembler.Push(readAhead_[readAt_++])) {
        case VisionLineAssembler::Step::kMore:
          break;
        case VisionLineAssembler::Step::kLine:
          SetResultStr(assembler.Line());
          SetStatus("Recive() OK");
          line = assembler.TakeLine();
          return Receive::kLine;
        case VisionLineAssembler::Step::kTooLong:
          ErrMessage(kTextReplyTooLong);
          return Receive::kTooLong;
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const PortIo io = port_->ReadArrived(
        readAhead_, static_cast<uint32_t>(std::min<int64_t>(left.count(), kReceiveWaitMs)));
    if (!io.Ok()) {
      // An I/O error, or the port is being released.
      ErrMessage(kTextReceiveFailed);
      return io.status == PortStatus::kIoError ? Receive::kLineError : Receive::kInterrupted;
    }
    readAt_ = 0;
    readEnd_ = io.count;
  }
  ErrMessage(kTextReceiveFailed);
  return assembler.Line().empty() ? Receive::kSilent : Receive::kCutShort;
}

// ---- exchanges -------------------------------------------------------------------------

bool TVisionLink::TakeExchangeLock() {
  std::unique_lock lock(exchangeMutex_);
  if (!exchangeFree_.wait_for(lock, kExchangeLockWait, [this] { return !exchangeBusy_; })) {
    return false;
  }
  exchangeBusy_ = true;
  return true;
}

void TVisionLink::ReleaseExchangeLock() {
  {
    std::lock_guard lock(exchangeMutex_);
    exchangeBusy_ = false;
  }
  exchangeFree_.notify_one();
}

bool TVisionLink::SendCommand(std::string& reply) {
  SetLastExchange({});
  if (!TakeExchangeLock()) {
    ErrMessage(kTextLockBusy);
    return false;
  }
  std::chrono::steady_clock::time_point start;
  const Send sent = SendLine(QueryString(), &start);
  bool received = false;
  BusExchange exchange;
  if (sent == Send::kLineError) {
    exchange = BusExchange::Fault(BusFault::kIoError);
  } else if (sent == Send::kSent) {
    const Receive got = ReceiveLine(reply);
    switch (got) {
      case Receive::kLine:
        exchange = BusExchange::Good(RoundTripSince(start));
        break;
      case Receive::kNoPort:
      case Receive::kInterrupted:
        break;  // this side released the port or stopped: not counted
      case Receive::kSilent:
        exchange = BusExchange::Fault(BusFault::kTimeout);
        break;
      case Receive::kCutShort:
        exchange = BusExchange::Fault(BusFault::kIncomplete);
        break;
      case Receive::kTooLong:
        exchange = BusExchange::Fault(BusFault::kWrongPeer);
        break;
      case Receive::kLineError:
        exchange = BusExchange::Fault(BusFault::kIoError);
        break;
    }
    // A port released before the receive still counts as received, as designed: the empty
    // reply then fails the reply check.
    received = got == Receive::kLine || got == Receive::kNoPort;
  }
  ReleaseExchangeLock();
  SetLastExchange(exchange);
  return received;
}

bool TVisionLink::GetQueryRez(std::string& reply) {
  std::string line;
  if (!SendCommand(line)) return false;
  const std::string stx1 = STX1();
  VisionReplyCheck check = CheckVisionReply(line, stx1, &reply);
  switch (check) {
    case VisionReplyCheck::kOk:
      // The controller's refusal still passes as a reply here, as designed; the ledger
      // books it as the device's error.
      if (IsVisionErrorReply(line, stx1)) RecordReplyFault(BusFault::kDeviceError);
      return true;
    case VisionReplyCheck::kTooShort:
      RecordReplyFault(BusFault::kIncomplete);
      break;
    case VisionReplyCheck::kNoStx1:
      // Not the start of a reply (noise before it, another talker): not this controller's
      // answer to the request.
      RecordReplyFault(BusFault::kWrongPeer);
      break;
    case VisionReplyCheck::kCrcError:
      RecordReplyFault(BusFault::kChecksum);
      break;
  }
  SetStatus(VisionReplyCheckText(check));
  return false;
}

BusExchange TVisionLink::LastExchange() const {
  BusExchange exchange;
  exchange.end = static_cast<BusExchange::End>(lastEnd_.load(std::memory_order_relaxed));
  exchange.fault = static_cast<BusFault>(lastFault_.load(std::memory_order_relaxed));
  exchange.roundTrip = std::chrono::microseconds(lastRoundTripUs_.load(std::memory_order_relaxed));
  return exchange;
}

void TVisionLink::SetLastExchange(const BusExchange& exchange) {
  lastEnd_.store(static_cast<uint8_t>(exchange.end), std::memory_order_relaxed);
  lastFault_.store(static_cast<uint8_t>(exchange.fault), std::memory_order_relaxed);
  lastRoundTripUs_.store(exchange.roundTrip.count(), std::memory_order_relaxed);
}

void TVisionLink::RecordReplyFault(BusFault fault) {
  if (lastEnd_.load(std::memory_order_relaxed) == static_cast<uint8_t>(BusExchange::End::kGood)) {
    SetLastExchange(BusExchange::Fault(fault));
  }
}

bool TVisionLink::GetBitArray(VisionUnit unit, int32_t address, int32_t count,
                              std::span<uint8_t> bits) {
  SetLastExchange({});
  if (!CountFits(count, bits.size())) return false;
  bits = bits.first(static_cast<size_t>(count));
  if (EmulFlag()) {
    std::lock_guard lock(emulMutex_);
    if (ReadEmulList(emulBitArray_, address, count, bits, true)) return true;
    SetStatus(kTextIntConvert);
    return false;
  }
  PrepareCommand(unit, VisionReadCommand("RB", address, count));
  std::string data;
  if (!GetQueryRez(data)) return false;
  if (ParseVisionBits(data, bits) == VisionDataResult::kOk) return true;
  RecordReplyFault(BusFault::kWrongPeer);  // a reply that does not carry what was asked
  return false;
}

bool TVisionLink::SetBitArray(VisionUnit unit, int32_t address, int32_t count,
                              std::span<const uint8_t> bits) {
  SetLastExchange({});
  if (!CountFits(count, bits.size())) return false;
  bits = bits.first(static_cast<size_t>(count));
  if (EmulFlag()) {
    std::lock_guard lock(emulMutex_);
    return WriteEmulList(emulBitArray_, address, count, bits);
  }
  PrepareCommand(unit, VisionWriteBitsCommand(address, bits));
  std::string data;
  return GetQueryRez(data);
}

bool TVisionLink::GetIntArray(VisionUnit unit, int32_t address, int32_t count,
                              std::span<int32_t> values, bool isLong) {
  SetLastExchange({});
  if (!CountFits(count, values.size())) return false;
  values = values.first(static_cast<size_t>(count));
  if (EmulFlag()) {
    std::lock_guard lock(emulMutex_);
    if (ReadEmulList(EmulList(isLong), address, count, values, false)) return true;
    SetStatus(kTextIntConvert);
    return false;
  }
  PrepareCommand(unit, VisionReadCommand(isLong ? "RNL" : "RW", address, count));
  std::string data;
  if (!GetQueryRez(data)) return false;
  // A reply that does not carry what was asked is not this request's answer.
  switch (ParseVisionInts(data, isLong ? 8 : 4, values)) {
    case VisionDataResult::kOk:
      return true;
    case VisionDataResult::kTooShort:
      RecordReplyFault(BusFault::kWrongPeer);
      return false;
    case VisionDataResult::kConvertError:
      RecordReplyFault(BusFault::kWrongPeer);
      Beep();
      SetStatus(kTextIntConvert);
      return false;
  }
  return false;
}

bool TVisionLink::SetIntArray(VisionUnit unit, int32_t address, int32_t count,
                              std::span<const int32_t> values, bool isLong) {
  SetLastExchange({});
  if (!CountFits(count, values.size())) return false;
  values = values.first(static_cast<size_t>(count));
  if (EmulFlag()) {
    std::lock_guard lock(emulMutex_);
    return WriteEmulList(EmulList(isLong), address, count, values);
  }
  PrepareCommand(unit, VisionWriteIntsCommand(address, values, isLong));
  std::string data;
  return GetQueryRez(data);
}

bool TVisionLink::LineFailed() {
  std::lock_guard lock(portMutex_);
  return port_ && port_->LineFailed();
}

}  // namespace kalvix
