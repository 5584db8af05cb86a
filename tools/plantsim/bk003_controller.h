// The simulated BK-003 belt-weigher controller on its own line. It answers the request
// "device number, CR, LF" for its own device number with 14 bytes:
//   byte 0      the device number
//   byte 1      status bits (bit 1: belt loaded; the service tests it with bkk23_mask)
//   bytes 2, 3  zero
//   bytes 4..7  the counter, 32-bit, most significant byte first; it rises with the load
//   bytes 8, 9  the rate, 16-bit, most significant byte first
//   bytes 10..13 zero
// Requests for other device numbers get no answer.
//
// Thread-safe: the BK-003 line thread serves requests while others set values.
#ifndef KALVIX_TOOLS_PLANTSIM_BK003_CONTROLLER_H_
#define KALVIX_TOOLS_PLANTSIM_BK003_CONTROLLER_H_

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "tools/plantsim/line_responder.h"
#include "tools/plantsim/plant_model.h"

namespace kalvix::plantsim {

inline constexpr size_t kBkAnswerBytes = 14;
// Longest run without CR LF kept while waiting for the end of a request.
inline constexpr size_t kBkMaxPending = 64;

class Bk003Controller : public LineResponder {
 public:
  // `clock` must outlive the controller.
  Bk003Controller(uint8_t deviceNumber, const std::vector<LayoutPoint>& layout,
                  const PlantClock& clock, uint32_t seed, bool noise);

  uint32_t FrameGapMs() const override { return 0; }
  size_t RequestLength(std::span<const uint8_t> pending, bool idle) const override;
  std::optional<DeviceId> Addressee(std::span<const uint8_t> request) const override;
  std::optional<DeviceReply> Serve(std::span<const uint8_t> request) override;

  // Pins a field (offset kBkStatusOffset, kBkCounterOffset or kBkRateOffset) to a value;
  // false for another offset or a value the field cannot hold.
  bool SetValue(uint16_t offset, double value);
  bool Release(uint16_t offset);
  void ReleaseAll();
  std::optional<double> Value(uint16_t offset);

 private:
  struct Field {
    uint16_t offset;
    std::optional<ModelPoint> model;  // empty: the field holds `held`
    double held = 0;
  };

  std::array<uint8_t, kBkAnswerBytes> Answer();  // mutex_ held
  double FieldValue(const Field& field, double seconds);
  Field* FieldAt(uint16_t offset);

  // Constant after construction.
  const uint8_t deviceNumber_;
  const PlantClock& clock_;
  const bool noise_;

  std::mutex mutex_;
  std::array<Field, 3> fields_;  // guarded by mutex_: status, counter, rate
  std::mt19937 rng_;             // guarded by mutex_
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_BK003_CONTROLLER_H_
