// CRC-16/MODBUS (polynomial 0xA001 reflected, start 0xFFFF), as a slave computes it: from a
// 256-entry table built at compile time. The simulator keeps its own implementation so that
// a misunderstanding in the service's master cannot hide behind shared code.
#ifndef KALVIX_TOOLS_PLANTSIM_MODBUS_CRC_H_
#define KALVIX_TOOLS_PLANTSIM_MODBUS_CRC_H_

#include <cstdint>
#include <span>

namespace kalvix::plantsim {

uint16_t ModbusCrc(std::span<const uint8_t> bytes);

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_MODBUS_CRC_H_
