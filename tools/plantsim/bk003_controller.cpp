#include "tools/plantsim/bk003_controller.h"

#include <cmath>

namespace kalvix::plantsim {

namespace {

constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;

uint32_t FieldLimit(uint16_t offset) {
  switch (offset) {
    case kBkStatusOffset:
      return 0xFF;
    case kBkRateOffset:
      return 0xFFFF;
    default:
      return 0xFFFFFFFF;
  }
}

// A model value as the field's unsigned number: rounded, held within the field; the
// counter wraps through 2^32 as the controller's does.
uint32_t ToField(uint16_t offset, double value) {
  if (offset == kBkCounterOffset) {
    return static_cast<uint32_t>(
        static_cast<uint64_t>(std::llround(std::fmod(value, 4294967296.0))));
  }
  if (!(value > 0)) return 0;
  const double limit = FieldLimit(offset);
  return value >= limit ? static_cast<uint32_t>(limit) : static_cast<uint32_t>(std::lround(value));
}

}  // namespace

Bk003Controller::Bk003Controller(uint8_t deviceNumber, const std::vector<LayoutPoint>& layout,
                                 const PlantClock& clock, uint32_t seed, bool noise)
    : deviceNumber_(deviceNumber),
      clock_(clock),
      noise_(noise),
      fields_{Field{kBkStatusOffset, std::nullopt, 0}, Field{kBkCounterOffset, std::nullopt, 0},
              Field{kBkRateOffset, std::nullopt, 0}},
      rng_(seed) {
  for (const LayoutPoint& point : layout) {
    if (point.device != DeviceId::kBk003) continue;
    if (Field* field = FieldAt(point.address)) field->model.emplace(point);
  }
}

size_t Bk003Controller::RequestLength(std::span<const uint8_t> pending, bool /*idle*/) const {
  // The device number may itself be CR or LF, so the end is the first CR LF after it.
  for (size_t i = 1; i + 1 < pending.size(); ++i) {
    if (pending[i] == kCr && pending[i + 1] == kLf) return i + 2;
  }
  return pending.size() > kBkMaxPending ? pending.size() : 0;
}

std::optional<DeviceId> Bk003Controller::Addressee(std::span<const uint8_t> request) const {
  // Bytes before the last three are noise on the line.
  const size_t n = request.size();
  if (n < 3 || request[n - 2] != kCr || request[n - 1] != kLf) return std::nullopt;
  if (request[n - 3] != deviceNumber_) return std::nullopt;
  return DeviceId::kBk003;
}

std::optional<DeviceReply> Bk003Controller::Serve(std::span<const uint8_t> request) {
  if (!Addressee(request)) return std::nullopt;
  std::lock_guard lock(mutex_);
  const std::array<uint8_t, kBkAnswerBytes> answer = Answer();
  DeviceReply reply;
  reply.device = DeviceId::kBk003;
  reply.bytes.assign(answer.begin(), answer.end());
  reply.checksumForm = ChecksumForm::kNone;
  return reply;
}

std::array<uint8_t, kBkAnswerBytes> Bk003Controller::Answer() {
  const double seconds = clock_.Seconds();
  const uint32_t status = ToField(kBkStatusOffset, FieldValue(fields_[0], seconds));
  const uint32_t counter = ToField(kBkCounterOffset, FieldValue(fields_[1], seconds));
  const uint32_t rate = ToField(kBkRateOffset, FieldValue(fields_[2], seconds));
  std::array<uint8_t, kBkAnswerBytes> answer{};
  answer[0] = deviceNumber_;
  answer[kBkStatusOffset] = static_cast<uint8_t>(status);
  for (int i = 0; i < 4; ++i) {
    answer[kBkCounterOffset + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
  }
  answer[kBkRateOffset] = static_cast<uint8_t>(rate >> 8);
  answer[kBkRateOffset + 1] = static_cast<uint8_t>(rate);
  return answer;
}

double Bk003Controller::FieldValue(const Field& field, double seconds) {
  return field.model ? field.model->ValueAt(seconds, rng_, noise_) : field.held;
}

Bk003Controller::Field* Bk003Controller::FieldAt(uint16_t offset) {
  for (Field& field : fields_) {
    if (field.offset == offset) return &field;
  }
  return nullptr;
}

bool Bk003Controller::SetValue(uint16_t offset, double value) {
  if (!std::isfinite(value) || value < 0) return false;
  std::lock_guard lock(mutex_);
  Field* field = FieldAt(offset);
  if (field == nullptr || value > FieldLimit(offset)) return false;
  if (field->model) {
    field->model->Pin(value);
  } else {
    field->held = value;
  }
  return true;
}

bool Bk003Controller::Release(uint16_t offset) {
  std::lock_guard lock(mutex_);
  Field* field = FieldAt(offset);
  if (field == nullptr || !field->model) return false;
  field->model->Release();
  return true;
}

void Bk003Controller::ReleaseAll() {
  std::lock_guard lock(mutex_);
  for (Field& field : fields_) {
    if (field.model) field.model->Release();
  }
}

std::optional<double> Bk003Controller::Value(uint16_t offset) {
  std::lock_guard lock(mutex_);
  Field* field = FieldAt(offset);
  if (field == nullptr) return std::nullopt;
  return ToField(offset, FieldValue(*field, clock_.Seconds()));
}

}  // namespace kalvix::plantsim
