#include "tools/plantsim/jumo_controller.h"

#include <cmath>
#include <cstdio>

namespace kalvix::plantsim {

namespace {

constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kWriteMultiple = 0x10;
// Quantity limits of the Modbus application protocol: a reply must fit 256 bytes.
constexpr uint32_t kMaxReadQuantity = 125;
constexpr uint32_t kMaxWriteQuantity = 123;

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::vector<uint8_t> Exception(uint8_t function, uint8_t code) {
  return {static_cast<uint8_t>(function | 0x80), code};
}

// A model value as a 16-bit register: rounded and held within 0..65535.
uint16_t ToRegister(double value) {
  if (!(value > 0)) return 0;
  if (value >= 65535) return 65535;
  return static_cast<uint16_t>(std::lround(value));
}

std::string HexWords(std::span<const uint16_t> words) {
  std::string text;
  char part[8];
  for (uint16_t w : words) {
    std::snprintf(part, sizeof part, "%s%02X %02X", text.empty() ? "" : " ", w >> 8, w & 0xFF);
    text += part;
  }
  return text;
}

}  // namespace

JumoController::JumoController(DeviceId id, uint8_t slaveAddress,
                               const std::vector<LayoutPoint>& layout, const PlantClock& clock,
                               WriteLog& writes, uint32_t seed, bool noise)
    : id_(id),
      slaveAddress_(slaveAddress),
      clock_(clock),
      writes_(writes),
      noise_(noise),
      rng_(seed) {
  for (const LayoutPoint& layoutPoint : layout) {
    if (layoutPoint.device != id) continue;
    Point point{ModelPoint(layoutPoint), layoutPoint.kind != PointKind::kInt,
                RegisterOrderFromFlags(layoutPoint.inverseBytes, layoutPoint.inverseWords)};
    for (uint16_t i = 0; i < point.Width(); ++i) registers_[layoutPoint.address + i] = 0;
    points_.push_back(std::move(point));
  }
  std::lock_guard lock(mutex_);
  Refresh();
}

std::vector<uint8_t> JumoController::ServePdu(std::span<const uint8_t> pdu) {
  if (pdu.empty()) return {};
  switch (pdu[0]) {
    case kReadHolding:
      return ReadHolding(pdu);
    case kWriteMultiple:
      return WriteMultiple(pdu);
    default:
      return Exception(pdu[0], kIllegalFunction);
  }
}

std::vector<uint8_t> JumoController::ReadHolding(std::span<const uint8_t> pdu) {
  if (pdu.size() != 5) return Exception(kReadHolding, kIllegalDataValue);
  const uint16_t start = Word(pdu, 1);
  const uint16_t quantity = Word(pdu, 3);
  if (quantity < 1 || quantity > kMaxReadQuantity) {
    return Exception(kReadHolding, kIllegalDataValue);
  }
  std::lock_guard lock(mutex_);
  if (!AllPresent(start, quantity)) return Exception(kReadHolding, kIllegalDataAddress);
  Refresh();
  std::vector<uint8_t> reply = {kReadHolding, static_cast<uint8_t>(2 * quantity)};
  for (uint32_t reg = start; reg < start + quantity; ++reg) {
    const uint16_t word = registers_.at(static_cast<uint16_t>(reg));
    reply.push_back(static_cast<uint8_t>(word >> 8));
    reply.push_back(static_cast<uint8_t>(word));
  }
  return reply;
}

std::vector<uint8_t> JumoController::WriteMultiple(std::span<const uint8_t> pdu) {
  if (pdu.size() < 6) return Exception(kWriteMultiple, kIllegalDataValue);
  const uint16_t start = Word(pdu, 1);
  const uint16_t quantity = Word(pdu, 3);
  const uint8_t byteCount = pdu[5];
  if (quantity < 1 || quantity > kMaxWriteQuantity || byteCount != 2 * quantity ||
      pdu.size() != 6u + byteCount) {
    return Exception(kWriteMultiple, kIllegalDataValue);
  }
  const DateTime now = Now();
  std::lock_guard lock(mutex_);
  if (!AllPresent(start, quantity)) return Exception(kWriteMultiple, kIllegalDataAddress);
  Refresh();
  for (uint16_t i = 0; i < quantity; ++i) registers_[start + i] = Word(pdu, 6 + 2 * i);

  // Record per point (or per plain register) and pin the points to what was written.
  const uint32_t end = uint32_t{start} + quantity;
  for (uint32_t reg = start; reg < end;) {
    Point* point = PointCovering(static_cast<uint16_t>(reg));
    WriteRecord record{now, id_, "reg " + std::to_string(reg), "", 0, ""};
    if (point == nullptr) {
      const uint16_t word = registers_.at(static_cast<uint16_t>(reg));
      record.value = word;
      record.raw = HexWords(std::span(&word, 1));
      writes_.Add(std::move(record));
      ++reg;
      continue;
    }
    const uint16_t first = point->model.Layout().address;
    const double value = StoredValue(*point);
    point->model.Pin(value);
    const bool whole = first >= start && first + point->Width() <= end;
    if (whole) {
      const std::array<uint16_t, 2> words = {
          registers_.at(first), point->isFloat ? registers_.at(first + 1) : uint16_t{0}};
      record.operand = "reg " + std::to_string(first);
      record.signal = point->model.Layout().name;
      record.value = value;
      record.raw = HexWords(std::span(words.data(), point->Width()));
      reg = first + point->Width();
    } else {
      // Half of a float: the register is recorded as it came; the point now holds the
      // value its two registers make together.
      const uint16_t word = registers_.at(static_cast<uint16_t>(reg));
      record.value = word;
      record.raw = HexWords(std::span(&word, 1));
      ++reg;
    }
    writes_.Add(std::move(record));
  }

  return {kWriteMultiple, pdu[1], pdu[2], pdu[3], pdu[4]};
}

bool JumoController::AllPresent(uint32_t start, uint32_t count) const {
  for (uint32_t reg = start; reg < start + count; ++reg) {
    if (reg > 0xFFFF || !registers_.contains(static_cast<uint16_t>(reg))) return false;
  }
  return true;
}

void JumoController::Refresh() {
  const double seconds = clock_.Seconds();
  for (Point& point : points_) StoreValue(point, point.model.ValueAt(seconds, rng_, noise_));
}

void JumoController::StoreValue(Point& point, double value) {
  const uint16_t first = point.model.Layout().address;
  if (point.isFloat) {
    const std::array<uint16_t, 2> words = EncodeFloat(static_cast<float>(value), point.order);
    registers_[first] = words[0];
    registers_[first + 1] = words[1];
  } else {
    registers_[first] = ToRegister(value);
  }
}

double JumoController::StoredValue(const Point& point) const {
  const uint16_t first = point.model.Layout().address;
  if (!point.isFloat) return registers_.at(first);
  return DecodeFloat({registers_.at(first), registers_.at(first + 1)}, point.order);
}

JumoController::Point* JumoController::PointAt(uint16_t reg) {
  for (Point& point : points_) {
    if (point.model.Layout().address == reg) return &point;
  }
  return nullptr;
}

JumoController::Point* JumoController::PointCovering(uint16_t reg) {
  for (Point& point : points_) {
    const uint32_t first = point.model.Layout().address;
    if (reg >= first && reg < first + point.Width()) return &point;
  }
  return nullptr;
}

bool JumoController::SetValue(uint16_t reg, double value) {
  if (!std::isfinite(value)) return false;
  std::lock_guard lock(mutex_);
  if (Point* point = PointAt(reg)) {
    if (!point->isFloat && (value < 0 || value > 65535)) return false;
    point->model.Pin(value);
    StoreValue(*point, value);
    return true;
  }
  if (PointCovering(reg) != nullptr || value < 0 || value > 65535) return false;
  registers_[reg] = static_cast<uint16_t>(std::lround(value));
  return true;
}

bool JumoController::Release(uint16_t reg) {
  std::lock_guard lock(mutex_);
  Point* point = PointAt(reg);
  if (point == nullptr) return false;
  point->model.Release();
  return true;
}

void JumoController::ReleaseAll() {
  std::lock_guard lock(mutex_);
  for (Point& point : points_) point.model.Release();
}

std::optional<double> JumoController::Value(uint16_t reg) {
  std::lock_guard lock(mutex_);
  if (!registers_.contains(reg)) return std::nullopt;
  Refresh();
  if (const Point* point = PointAt(reg)) return StoredValue(*point);
  return registers_.at(reg);
}

}  // namespace kalvix::plantsim
