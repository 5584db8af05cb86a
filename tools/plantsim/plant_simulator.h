// The simulated plant: the Modbus line with the two JUMO controllers, the V120's line and
// the BK-003's line, each on a pseudo-terminal of its own and served by its own thread. The
// service (or a test) opens PortPath(line) as a serial port.
//
// Construction builds the devices from the layout; Start opens the pseudo-terminals and
// starts the threads; Stop (also run by the destructor) stops them within milliseconds and
// closes the lines. Faults, values and the write record can be changed and read from any
// thread at any time. Start and Stop belong to the owner's thread.
#ifndef KALVIX_TOOLS_PLANTSIM_PLANT_SIMULATOR_H_
#define KALVIX_TOOLS_PLANTSIM_PLANT_SIMULATOR_H_

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/plantsim/bk003_controller.h"
#include "tools/plantsim/fault_set.h"
#include "tools/plantsim/jumo_controller.h"
#include "tools/plantsim/line_server.h"
#include "tools/plantsim/modbus_line.h"
#include "tools/plantsim/plant_layout.h"
#include "tools/plantsim/plant_model.h"
#include "tools/plantsim/v120_controller.h"
#include "tools/plantsim/write_log.h"

namespace kalvix::plantsim {

enum class Line { kModbus = 0, kVision = 1, kBk003 = 2 };
inline constexpr std::array<Line, 3> kAllLines = {Line::kModbus, Line::kVision, Line::kBk003};

// "jumo", "v120", "bk003": the names of the lines' links made by --link.
std::string_view LineName(Line line);

struct PlantOptions {
  std::vector<LayoutPoint> layout = DefaultPlantLayout();
  uint8_t jumo1Address = 1;
  uint8_t jumo2Address = 2;
  uint8_t v120Unit = 1;
  uint8_t bkDeviceNumber = 1;  // the low byte of the service's VK_device_num
  // Between the end of a request and the reply. Long enough that the reply never arrives
  // before the service has finished sending and cleared its input.
  uint32_t turnaroundMs = 10;
  uint32_t seed = 1;
  bool modelNoise = true;  // off: the model's values are exact functions of time
};

class PlantSimulator {
 public:
  explicit PlantSimulator(PlantOptions options = {});
  ~PlantSimulator();
  PlantSimulator(const PlantSimulator&) = delete;
  PlantSimulator& operator=(const PlantSimulator&) = delete;

  // Opens the three lines and starts serving; false with the reason on failure (nothing
  // is left running then).
  bool Start(std::string* error);
  void Stop();
  bool Running() const { return servers_[0] != nullptr; }

  // The device path of a line (e.g. /dev/pts/7); empty while not running.
  std::string PortPath(Line line) const;

  void SetFault(DeviceId device, const FaultSet& faults) { faults_.Set(device, faults); }
  FaultSet Fault(DeviceId device) const { return faults_.Get(device); }

  // The devices, for values by register or operand.
  JumoController& Jumo(DeviceId device);  // kJumo1 or kJumo2
  V120Controller& V120() { return v120_; }
  Bk003Controller& Bk003() { return bk003_; }

  // Values by the layout's signal names (letter case ignored). False for an unknown name
  // or a value the point cannot hold.
  bool SetSignal(std::string_view name, double value);
  bool ReleaseSignal(std::string_view name);
  void ReleaseAll();
  std::optional<double> SignalValue(std::string_view name);
  const std::vector<LayoutPoint>& Layout() const { return options_.layout; }

  std::vector<WriteRecord> Writes() const { return writes_.Snapshot(); }
  std::string FormatWrites() const { return writes_.Format(); }
  void ClearWrites() { writes_.Clear(); }

  // Requests a device took as its own, and replies it sent (0 while not running). The
  // owner's thread only, like Start and Stop.
  uint64_t Requests(DeviceId device) const;
  uint64_t Replies(DeviceId device) const;

 private:
  const LayoutPoint* FindPoint(std::string_view name) const;
  const LineServer* ServerOf(DeviceId device) const;

  // Constant after construction.
  const PlantOptions options_;
  const PlantClock clock_;

  WriteLog writes_;
  FaultBoard faults_;
  JumoController jumo1_;
  JumoController jumo2_;
  V120Controller v120_;
  Bk003Controller bk003_;
  ModbusLine modbus_;
  std::array<std::unique_ptr<LineServer>, 3> servers_;  // owner's thread only
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_PLANT_SIMULATOR_H_
