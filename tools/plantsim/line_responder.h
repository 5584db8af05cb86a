// What the devices on one simulated line do with the bytes the service sends: where a
// request ends, which device it is for, and the reply. A LineServer thread drives one
// responder; the responder never touches the line itself.
#ifndef KALVIX_TOOLS_PLANTSIM_LINE_RESPONDER_H_
#define KALVIX_TOOLS_PLANTSIM_LINE_RESPONDER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tools/plantsim/device_id.h"
#include "tools/plantsim/fault_set.h"

namespace kalvix::plantsim {

class LineResponder {
 public:
  virtual ~LineResponder() = default;

  // Silence on the line that ends a request frame (Modbus RTU); 0 when requests end at a
  // delimiter.
  virtual uint32_t FrameGapMs() const = 0;

  // Length of the complete request at the start of `pending`, 0 while it is incomplete.
  // `idle`: the line has been silent for FrameGapMs() since the last byte. Unintelligible
  // bytes are returned as a request of their own, which no device then claims.
  virtual size_t RequestLength(std::span<const uint8_t> pending, bool idle) const = 0;

  // The device a request is for; empty when no device here would take it as its own (other
  // address, damaged frame). Called before Serve so that a silent device hears nothing.
  virtual std::optional<DeviceId> Addressee(std::span<const uint8_t> request) const = 0;

  // Serves a request that Addressee accepted; empty when the device sends no reply.
  virtual std::optional<DeviceReply> Serve(std::span<const uint8_t> request) = 0;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_LINE_RESPONDER_H_
