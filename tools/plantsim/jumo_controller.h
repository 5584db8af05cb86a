// One simulated JUMO controller: a Modbus slave with a map of holding registers. The
// registers of the layout's points carry the plant model's values (16-bit integers, or
// floats in two registers in the point's register order); further registers can be added
// with SetRegister. Functions 3 (read holding registers) and 16 (write multiple registers)
// are served; anything else gets an exception reply, as a real slave gives it:
//   01 illegal function       any function code but 3 and 16
//   02 illegal data address   a register of the request is not in the map
//   03 illegal data value     quantity out of range (1..125 read, 1..123 write), byte count
//                             not twice the quantity, or a request of the wrong length
// A write pins the points it touches to the written values and is recorded.
//
// Thread-safe: the Modbus line thread serves requests while tests and control commands set
// values.
#ifndef KALVIX_TOOLS_PLANTSIM_JUMO_CONTROLLER_H_
#define KALVIX_TOOLS_PLANTSIM_JUMO_CONTROLLER_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "tools/plantsim/device_id.h"
#include "tools/plantsim/plant_model.h"
#include "tools/plantsim/register_order.h"
#include "tools/plantsim/write_log.h"

namespace kalvix::plantsim {

inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalDataAddress = 0x02;
inline constexpr uint8_t kIllegalDataValue = 0x03;

class JumoController {
 public:
  // Takes the layout's points of device `id`. `clock` and `writes` must outlive the
  // controller.
  JumoController(DeviceId id, uint8_t slaveAddress, const std::vector<LayoutPoint>& layout,
                 const PlantClock& clock, WriteLog& writes, uint32_t seed, bool noise);

  DeviceId Id() const { return id_; }
  uint8_t SlaveAddress() const { return slaveAddress_; }

  // The reply PDU (function code and data, without address and CRC) for a request PDU.
  std::vector<uint8_t> ServePdu(std::span<const uint8_t> pdu);

  // Pins the point at `reg` (its first register) to value; a register outside the points
  // gets the value as a 16-bit integer and is created when missing. False for a value that
  // does not fit the register.
  bool SetValue(uint16_t reg, double value);
  // Returns the point at `reg` to the model; false when no point starts there.
  bool Release(uint16_t reg);
  void ReleaseAll();
  // The current value of the point starting at `reg` or of a plain register.
  std::optional<double> Value(uint16_t reg);

 private:
  struct Point {
    ModelPoint model;
    bool isFloat = false;
    RegisterOrder order = RegisterOrder::kABCD;
    uint16_t Width() const { return isFloat ? 2 : 1; }
  };

  std::vector<uint8_t> ReadHolding(std::span<const uint8_t> pdu);
  std::vector<uint8_t> WriteMultiple(std::span<const uint8_t> pdu);
  bool AllPresent(uint32_t start, uint32_t count) const;
  void Refresh();                           // mutex_ held
  void StoreValue(Point& point, double v);  // mutex_ held
  double StoredValue(const Point& point) const;
  Point* PointAt(uint16_t reg);        // the point starting at reg
  Point* PointCovering(uint16_t reg);  // the point holding reg

  // Constant after construction.
  const DeviceId id_;
  const uint8_t slaveAddress_;
  const PlantClock& clock_;
  WriteLog& writes_;
  const bool noise_;

  std::mutex mutex_;
  std::vector<Point> points_;               // guarded by mutex_
  std::map<uint16_t, uint16_t> registers_;  // guarded by mutex_
  std::mt19937 rng_;                        // guarded by mutex_
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_JUMO_CONTROLLER_H_
