// The Modbus RTU line of the simulated plant: the JUMO controllers share it, each answering
// its own slave address. A request frame ends at a silence on the line, as RTU defines it;
// a frame whose CRC is wrong, or that is shorter than address, function and CRC, is not
// seen by any slave, and a frame for another address gets no reply, as on a real line.
#ifndef KALVIX_TOOLS_PLANTSIM_MODBUS_LINE_H_
#define KALVIX_TOOLS_PLANTSIM_MODBUS_LINE_H_

#include <vector>

#include "tools/plantsim/jumo_controller.h"
#include "tools/plantsim/line_responder.h"

namespace kalvix::plantsim {

// RTU ends a frame after 3.5 character times of silence (4 ms at 9600 bit/s); a
// pseudo-terminal has no character time, so a fixed gap stands in for it.
inline constexpr uint32_t kRtuFrameGapMs = 4;
// The longest RTU frame.
inline constexpr size_t kRtuMaxFrame = 256;

class ModbusLine : public LineResponder {
 public:
  // The controllers must outlive the line.
  explicit ModbusLine(std::vector<JumoController*> slaves) : slaves_(std::move(slaves)) {}

  uint32_t FrameGapMs() const override { return kRtuFrameGapMs; }
  size_t RequestLength(std::span<const uint8_t> pending, bool idle) const override;
  std::optional<DeviceId> Addressee(std::span<const uint8_t> request) const override;
  std::optional<DeviceReply> Serve(std::span<const uint8_t> request) override;

 private:
  JumoController* SlaveFor(std::span<const uint8_t> request) const;

  const std::vector<JumoController*> slaves_;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_MODBUS_LINE_H_
