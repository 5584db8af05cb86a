// The checksum of Modbus RTU frames: CRC-16/MODBUS (reflected polynomial 0xA001, start value
// 0xFFFF), sent low byte first. Check value: the CRC of "123456789" is 0x4B37.
#ifndef KALVIX_DEVICES_MODBUS_CRC_H_
#define KALVIX_DEVICES_MODBUS_CRC_H_

#include <cstdint>
#include <span>

namespace kalvix {

uint16_t ModbusCrc(std::span<const uint8_t> bytes);

// True when the frame is at least three bytes long and its last two bytes are the CRC of
// the bytes before them, low byte first.
bool FrameCrcOk(std::span<const uint8_t> frame);

}  // namespace kalvix

#endif  // KALVIX_DEVICES_MODBUS_CRC_H_
