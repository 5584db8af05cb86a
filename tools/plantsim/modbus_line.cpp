#include "tools/plantsim/modbus_line.h"

#include "tools/plantsim/modbus_crc.h"

namespace kalvix::plantsim {

namespace {

// Address, function code and the two CRC bytes.
constexpr size_t kMinFrame = 4;

bool CrcIsValid(std::span<const uint8_t> frame) {
  const size_t n = frame.size();
  const uint16_t crc = ModbusCrc(frame.first(n - 2));
  return frame[n - 2] == (crc & 0xFF) && frame[n - 1] == (crc >> 8);
}

}  // namespace

size_t ModbusLine::RequestLength(std::span<const uint8_t> pending, bool idle) const {
  // A stream with no silence in it cannot be a frame: it is cut off at the frame limit.
  if (idle || pending.size() > kRtuMaxFrame) return pending.size();
  return 0;
}

JumoController* ModbusLine::SlaveFor(std::span<const uint8_t> request) const {
  if (request.size() < kMinFrame || request.size() > kRtuMaxFrame || !CrcIsValid(request)) {
    return nullptr;
  }
  for (JumoController* slave : slaves_) {
    if (slave->SlaveAddress() == request[0]) return slave;
  }
  return nullptr;
}

std::optional<DeviceId> ModbusLine::Addressee(std::span<const uint8_t> request) const {
  const JumoController* slave = SlaveFor(request);
  if (slave == nullptr) return std::nullopt;
  return slave->Id();
}

std::optional<DeviceReply> ModbusLine::Serve(std::span<const uint8_t> request) {
  JumoController* slave = SlaveFor(request);
  if (slave == nullptr) return std::nullopt;
  const std::vector<uint8_t> pdu = slave->ServePdu(request.subspan(1, request.size() - 3));
  if (pdu.empty()) return std::nullopt;

  DeviceReply reply;
  reply.device = slave->Id();
  reply.bytes.push_back(slave->SlaveAddress());
  reply.bytes.insert(reply.bytes.end(), pdu.begin(), pdu.end());
  const uint16_t crc = ModbusCrc(reply.bytes);
  reply.checksumForm = ChecksumForm::kBinary;
  reply.checksumAt = reply.bytes.size();
  reply.checksumLength = 2;
  reply.bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  reply.bytes.push_back(static_cast<uint8_t>(crc >> 8));
  // The master looks for its slave's address to find the start of the reply.
  reply.noiseExcluded = {slave->SlaveAddress()};
  return reply;
}

}  // namespace kalvix::plantsim
