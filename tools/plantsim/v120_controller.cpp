#include "tools/plantsim/v120_controller.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace kalvix::plantsim {

namespace {

constexpr uint8_t kCr = 0x0D;
constexpr std::string_view kErrorCode = "ER";
constexpr std::string_view kErrChecksum = "01";
constexpr std::string_view kErrCommand = "02";
constexpr std::string_view kErrFormat = "03";
constexpr std::string_view kErrAddress = "04";

// "/", unit (2), checksum (2).
constexpr size_t kMinRequest = 5;

std::optional<uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isxdigit(u)) return std::nullopt;
    value =
        value << 4 | static_cast<uint32_t>(std::isdigit(u) ? u - '0' : std::toupper(u) - 'A' + 10);
  }
  return value;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// Width of one operand in the reply and write data.
size_t Width(VisionArea area) {
  switch (area) {
    case VisionArea::kMB:
      return 1;
    case VisionArea::kMI:
      return 4;
    case VisionArea::kML:
      return 8;
  }
  return 1;
}

uint32_t AreaSize(VisionArea area) {
  switch (area) {
    case VisionArea::kMB:
      return kV120BitCount;
    case VisionArea::kMI:
      return kV120IntCount;
    case VisionArea::kML:
      return kV120LongCount;
  }
  return 0;
}

bool Fits(VisionArea area, double value) {
  if (!std::isfinite(value)) return false;
  switch (area) {
    case VisionArea::kMB:
      return value == 0 || value == 1;
    case VisionArea::kMI:
      return value >= 0 && value <= 65535;
    case VisionArea::kML:
      return value >= -2147483648.0 && value <= 4294967295.0;
  }
  return false;
}

std::string_view StripCr(std::span<const uint8_t> request) {
  std::string_view line(reinterpret_cast<const char*>(request.data()), request.size());
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::string_view VisionAreaName(VisionArea area) {
  switch (area) {
    case VisionArea::kMB:
      return "MB";
    case VisionArea::kMI:
      return "MI";
    case VisionArea::kML:
      return "ML";
  }
  return "?";
}

std::optional<VisionArea> VisionAreaFromName(std::string_view name) {
  if (name.size() != 2 || std::toupper(static_cast<unsigned char>(name[0])) != 'M') {
    return std::nullopt;
  }
  switch (std::toupper(static_cast<unsigned char>(name[1]))) {
    case 'B':
      return VisionArea::kMB;
    case 'I':
      return VisionArea::kMI;
    case 'L':
      return VisionArea::kML;
    default:
      return std::nullopt;
  }
}

std::string VisionChecksum(std::string_view text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return Hex(sum & 0xFF, 2);
}

V120Controller::V120Controller(uint8_t unit, const std::vector<LayoutPoint>& layout,
                               const PlantClock& clock, WriteLog& writes, uint32_t seed, bool noise)
    : unit_(unit),
      unitHex_(Hex(unit, 2)),
      clock_(clock),
      writes_(writes),
      noise_(noise),
      bits_(kV120BitCount),
      ints_(kV120IntCount),
      longs_(kV120LongCount),
      rng_(seed) {
  for (const LayoutPoint& layoutPoint : layout) {
    if (layoutPoint.device != DeviceId::kV120) continue;
    VisionArea area;
    switch (layoutPoint.kind) {
      case PointKind::kInt:
        area = VisionArea::kMI;
        break;
      case PointKind::kLong:
        area = VisionArea::kML;
        break;
      case PointKind::kBit:
        area = VisionArea::kMB;
        break;
      default:
        continue;  // the controller has no float operands on this protocol
    }
    if (layoutPoint.address >= AreaSize(area)) continue;
    points_.push_back(Point{ModelPoint(layoutPoint), area});
  }
  std::lock_guard lock(mutex_);
  Refresh();
}

size_t V120Controller::RequestLength(std::span<const uint8_t> pending, bool /*idle*/) const {
  for (size_t i = 0; i < pending.size(); ++i) {
    if (pending[i] == kCr) return i + 1;
  }
  return pending.size() > kV120MaxRequest ? pending.size() : 0;
}

std::optional<DeviceId> V120Controller::Addressee(std::span<const uint8_t> request) const {
  const std::string_view line = StripCr(request);
  // Anything before the last "/" is line noise; the request starts there.
  const size_t start = line.rfind('/');
  if (start == std::string_view::npos || line.size() - start < kMinRequest) return std::nullopt;
  const std::optional<uint32_t> unit = ParseHex(line.substr(start + 1, 2));
  if (!unit || *unit != unit_) return std::nullopt;
  return DeviceId::kV120;
}

std::optional<DeviceReply> V120Controller::Serve(std::span<const uint8_t> request) {
  if (!Addressee(request)) return std::nullopt;
  std::string_view line = StripCr(request);
  line.remove_prefix(line.rfind('/') + 1);

  const std::string_view body = line.substr(0, line.size() - 2);  // unit and command
  const std::optional<uint32_t> checksum = ParseHex(line.substr(line.size() - 2));
  if (!checksum || Hex(*checksum, 2) != VisionChecksum(body)) {
    return Reply(kErrorCode, kErrChecksum);
  }
  std::string code;
  std::lock_guard lock(mutex_);
  const std::string data = Execute(body.substr(2), &code);
  return Reply(code, data);
}

DeviceReply V120Controller::Reply(std::string_view code, std::string_view data) const {
  std::string body = unitHex_;
  body += code;
  body += data;
  const std::string text = "/A" + body + VisionChecksum(body) + "\r";
  DeviceReply reply;
  reply.device = DeviceId::kV120;
  reply.bytes.assign(text.begin(), text.end());
  reply.checksumForm = ChecksumForm::kHexText;
  reply.checksumAt = text.size() - 3;
  reply.checksumLength = 2;
  // A CR would end the line early; "/" would look like the start of a frame.
  reply.noiseExcluded = {kCr, '/'};
  return reply;
}

std::string V120Controller::Execute(std::string_view command, std::string* code) {
  struct Command {
    std::string_view letters;
    VisionArea area;
    bool write;
  };
  static constexpr Command kCommands[] = {
      {"RNL", VisionArea::kML, false}, {"SNL", VisionArea::kML, true},
      {"RB", VisionArea::kMB, false},  {"SB", VisionArea::kMB, true},
      {"RW", VisionArea::kMI, false},  {"SW", VisionArea::kMI, true},
  };
  const Command* found = nullptr;
  for (const Command& candidate : kCommands) {
    if (command.starts_with(candidate.letters)) {
      found = &candidate;
      break;
    }
  }
  *code = std::string(kErrorCode);
  if (found == nullptr) return std::string(kErrCommand);

  const std::string_view fields = command.substr(found->letters.size());
  const std::optional<uint32_t> address = ParseHex(fields.substr(0, 4));
  const std::optional<uint32_t> count =
      fields.size() >= 6 ? ParseHex(fields.substr(4, 2)) : std::nullopt;
  if (fields.size() < 6 || !address || !count || *count == 0) return std::string(kErrFormat);
  const std::string_view data = fields.substr(6);
  if (found->write ? data.size() != *count * Width(found->area) : !data.empty()) {
    return std::string(kErrFormat);
  }
  if (*address + *count > AreaSize(found->area)) return std::string(kErrAddress);

  std::string reply;
  if (found->write) {
    reply = WriteOperands(found->area, *address, *count, data);
    if (!reply.empty()) return reply;  // an error code
  } else {
    Refresh();
    reply = ReadOperands(found->area, *address, *count);
  }
  *code = std::string(found->letters.substr(0, 2));
  return reply;
}

std::string V120Controller::ReadOperands(VisionArea area, uint32_t address, uint32_t count) const {
  std::string data;
  for (uint32_t i = address; i < address + count; ++i) {
    switch (area) {
      case VisionArea::kMB:
        data += bits_[i] ? '1' : '0';
        break;
      case VisionArea::kMI:
        data += Hex(ints_[i], 4);
        break;
      case VisionArea::kML:
        data += Hex(longs_[i], 8);
        break;
    }
  }
  return data;
}

std::string V120Controller::WriteOperands(VisionArea area, uint32_t address, uint32_t count,
                                          std::string_view data) {
  // Check every group before storing any, so a malformed request changes nothing.
  const size_t width = Width(area);
  std::vector<double> values;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view group = data.substr(i * width, width);
    if (area == VisionArea::kMB) {
      if (group != "0" && group != "1") return std::string(kErrFormat);
      values.push_back(group == "1" ? 1 : 0);
      continue;
    }
    const std::optional<uint32_t> value = ParseHex(group);
    if (!value) return std::string(kErrFormat);
    values.push_back(area == VisionArea::kML ? static_cast<int32_t>(*value) : *value);
  }

  const DateTime now = Now();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t operand = address + i;
    Store(area, operand, values[i]);
    WriteRecord record{
        now, DeviceId::kV120, std::string(VisionAreaName(area)) + " " + std::to_string(operand),
        "",  values[i],       std::string(data.substr(i * width, width))};
    if (Point* point = PointAt(area, operand)) {
      point->model.Pin(values[i]);
      record.signal = point->model.Layout().name;
    }
    writes_.Add(std::move(record));
  }
  return {};
}

void V120Controller::Refresh() {
  const double seconds = clock_.Seconds();
  for (const Point& point : points_) {
    Store(point.area, point.model.Layout().address, point.model.ValueAt(seconds, rng_, noise_));
  }
}

void V120Controller::Store(VisionArea area, uint32_t address, double value) {
  switch (area) {
    case VisionArea::kMB:
      bits_[address] = value >= 0.5 ? 1 : 0;
      break;
    case VisionArea::kMI:
      ints_[address] = !(value > 0)     ? 0
                       : value >= 65535 ? 65535
                                        : static_cast<uint16_t>(std::lround(value));
      break;
    case VisionArea::kML:
      // A counter runs on through 2^32 and wraps, as the controller's register does.
      longs_[address] = static_cast<uint32_t>(
          static_cast<uint64_t>(std::llround(std::fmod(value, 4294967296.0))));
      break;
  }
}

double V120Controller::Load(VisionArea area, uint32_t address) const {
  switch (area) {
    case VisionArea::kMB:
      return bits_[address];
    case VisionArea::kMI:
      return ints_[address];
    case VisionArea::kML:
      return static_cast<int32_t>(longs_[address]);
  }
  return 0;
}

V120Controller::Point* V120Controller::PointAt(VisionArea area, uint32_t address) {
  for (Point& point : points_) {
    if (point.area == area && point.model.Layout().address == address) return &point;
  }
  return nullptr;
}

bool V120Controller::SetValue(VisionArea area, uint32_t address, double value) {
  if (address >= AreaSize(area) || !Fits(area, value)) return false;
  std::lock_guard lock(mutex_);
  if (Point* point = PointAt(area, address)) point->model.Pin(value);
  Store(area, address, value);
  return true;
}

bool V120Controller::Release(VisionArea area, uint32_t address) {
  std::lock_guard lock(mutex_);
  Point* point = PointAt(area, address);
  if (point == nullptr) return false;
  point->model.Release();
  return true;
}

void V120Controller::ReleaseAll() {
  std::lock_guard lock(mutex_);
  for (Point& point : points_) point.model.Release();
}

std::optional<double> V120Controller::Value(VisionArea area, uint32_t address) {
  if (address >= AreaSize(area)) return std::nullopt;
  std::lock_guard lock(mutex_);
  Refresh();
  return Load(area, address);
}

}  // namespace kalvix::plantsim
