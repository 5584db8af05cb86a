// The fixture of the poller tests: the simulated default plant on its pseudo-terminals, the
// service's signal set built from the same layout (as db/default_plant.sql describes it),
// and the shared state the pollers work on, with the Modbus master and the Vision link open
// on the plant's lines and watching the stop request.
#ifndef KALVIX_TESTING_POLLER_TEST_PLANT_H_
#define KALVIX_TESTING_POLLER_TEST_PLANT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/bus_ledger.h"
#include "devices/modbus_io.h"
#include "devices/vision_link.h"
#include "journal/event_log.h"
#include "plant/control_state.h"
#include "plant/poller_counters.h"
#include "plant/setpoints.h"
#include "plant/signal_set.h"
#include "testing/events.h"
#include "testing/wait_for.h"
#include "tools/plantsim/plant_simulator.h"

namespace kalvix::testing {

// A signal row for each layout point, as the service's table holds it.
inline std::vector<TSignalSet> PlantSignals(const std::vector<plantsim::LayoutPoint>& layout) {
  std::vector<TSignalSet> signals;
  for (const plantsim::LayoutPoint& point : layout) {
    TSignalSet s;
    switch (point.device) {
      case plantsim::DeviceId::kJumo1:
        s.BusName = "JUMO";
        s.DevNum = 1;
        break;
      case plantsim::DeviceId::kJumo2:
        s.BusName = "JUMO";
        s.DevNum = 2;
        break;
      case plantsim::DeviceId::kV120:
        s.BusName = "V120";
        s.DevNum = 1;
        break;
      case plantsim::DeviceId::kBk003:
        s.BusName = "BK";
        s.DevNum = 1;
        break;
    }
    s.SignalName = point.name;
    s.Addr = point.address;
    s.Kind = static_cast<int32_t>(point.kind);
    s.InverseBytes = point.inverseBytes;
    s.InverseWords = point.inverseWords;
    s.Direction = point.name.starts_with("_") ? kDirectionWrite : kDirectionRead;
    signals.push_back(std::move(s));
  }
  return signals;
}

// The poller tests look often: a stop must be seen within tens of milliseconds.
inline constexpr std::chrono::milliseconds kPollEvery{5};

class PlantPollerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plantsim::PlantOptions options;
    options.modelNoise = false;
    plant_ = std::make_unique<plantsim::PlantSimulator>(options);
    std::string error;
    ASSERT_TRUE(plant_->Start(&error)) << error;
    signals_.Replace(PlantSignals(plant_->Layout()));

    // As the service wires them: a stop request wakes every wait on the two links' lines.
    modbus_.Handle.WatchStop(control_.StopRequest.PollFd());
    vision_.WatchStop(control_.StopRequest.PollFd());
    modbus_.PortName = plant_->PortPath(plantsim::Line::kModbus);
    ASSERT_TRUE(modbus_.Open(9600)) << modbus_.ErrorText;
    vision_.SetPortName(plant_->PortPath(plantsim::Line::kVision));
    vision_.SetActive(true);
    ASSERT_TRUE(vision_.Active()) << vision_.Status();
    DrainEvents();
  }

  int Slot(const char* name) const { return signals_.SignalIndex(name); }
  double Raw(const char* name) const { return signals_.RawValues.Slot(Slot(name)); }

  // The simulator's write record of one operand ("reg 8", "MI 110").
  std::vector<plantsim::WriteRecord> WritesTo(plantsim::DeviceId device,
                                              const std::string& operand) const {
    std::vector<plantsim::WriteRecord> found;
    for (const plantsim::WriteRecord& w : plant_->Writes()) {
      if (w.device == device && w.operand == operand) found.push_back(w);
    }
    return found;
  }

  const std::filesystem::path workDir_ = std::filesystem::temp_directory_path();
  std::unique_ptr<plantsim::PlantSimulator> plant_;
  SignalSet signals_;
  ControlState control_;
  Setpoints setpoints_;
  PollerCounters counters_;
  BusLedgers ledgers_;
  TModBUS modbus_{workDir_};
  TVisionLink vision_;
};

}  // namespace kalvix::testing

#endif  // KALVIX_TESTING_POLLER_TEST_PLANT_H_
