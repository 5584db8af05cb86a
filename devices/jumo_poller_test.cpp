// The JUMO poller against the simulated plant's two JUMO controllers over a pseudo-terminal:
// what one read pass stores, what a silent controller costs, the write countdown, emulation.
#include "devices/jumo_poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "testing/poller_test_plant.h"

namespace kalvix {
namespace {

using plantsim::DeviceId;

class JumoPollerTest : public testing::PlantPollerTest {
 protected:
  JumoPollerContext Context() {
    return JumoPollerContext{control_, signals_, setpoints_, counters_, &modbus_, ledgers_};
  }
};

TEST_F(JumoPollerTest, ReadPassStoresEveryInputAndStampsBothControllers) {
  struct Pin {
    const char* name;
    double value;
  };
  // Floats in both register orders, and an INT register with its top bit set.
  const Pin pins[] = {{"PLS", 12.5},   {"Y_VODA", 40.25}, {"UR_SUSP", 612},   {"Q_SUSP", 11.75},
                      {"Q_VODA", 8.5}, {"P_GC", -3.125},  {"UR_MAGN", 0x8000}};
  for (const Pin& p : pins) ASSERT_TRUE(plant_->SetSignal(p.name, p.value)) << p.name;
  signals_.RawValues.SetSlot(Slot("_PLSZ"), -1);

  const DateTime before = Now();
  EXPECT_TRUE(JumoRead(Context()));

  for (const Pin& p : pins) EXPECT_EQ(Raw(p.name), p.value) << p.name;
  EXPECT_EQ(Raw("_PLSZ"), -1) << "an output is never read";
  EXPECT_GE(control_.ModuleLastOk[kModuleJumo1].load(), before);
  EXPECT_GE(control_.ModuleLastOk[kModuleJumo2].load(), before);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load(), 0);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo2].load(), 0);
  EXPECT_TRUE(plant_->Writes().empty());
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(JumoPollerTest, SilentControllerCountsAndReportsEachOfItsSignals) {
  ASSERT_TRUE(plant_->SetSignal("PLS", 12.5));
  plant_->SetFault(DeviceId::kJumo2, {.silent = true});
  const char* jumo2[] = {"Q_SUSP", "Q_VODA", "P_GC", "UR_MAGN"};
  for (const char* name : jumo2) signals_.RawValues.SetSlot(Slot(name), 77);

  EXPECT_TRUE(JumoRead(Context())) << "failed signals do not fail the pass";

  EXPECT_EQ(control_.ModuleErrors[kModuleJumo2].load(), 4);
  EXPECT_EQ(control_.ModuleLastOk[kModuleJumo2].load(), 0);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load(), 0);
  EXPECT_GT(control_.ModuleLastOk[kModuleJumo1].load(), 0);
  EXPECT_EQ(Raw("PLS"), 12.5);
  for (const char* name : jumo2) EXPECT_EQ(Raw(name), 77) << name << " keeps its value";
  const std::vector<std::string> events = DrainEvents();
  for (const char* name : jumo2) {
    const std::string text = std::string("Сбой чтения сигнала ") + name;
    EXPECT_EQ(std::count(events.begin(), events.end(), text), 1) << text;
  }
  EXPECT_EQ(events.size(), 4u);
}

TEST_F(JumoPollerTest, NewSetpointIsWrittenOnMaxWriteCountPlusOnePasses) {
  const float density = 1.45f;
  signals_.OutputValues.SetSlot(Slot("_PLSZ"), 1.45);
  setpoints_.JumoWriteCountdown = 2;  // MaxWriteCount 2
  setpoints_.JumoWritePending = true;

  for (int pass = 1; pass <= 4; ++pass) {
    SCOPED_TRACE(pass);
    EXPECT_TRUE(JumoWrite(Context()));
    EXPECT_EQ(setpoints_.JumoWritePending.load(), pass < 3);
  }

  const auto writes = WritesTo(DeviceId::kJumo1, "reg 8");
  ASSERT_EQ(writes.size(), 3u) << plant_->FormatWrites();
  for (const auto& w : writes) {
    EXPECT_EQ(w.signal, "_PLSZ");
    // The simulator decodes the registers by its own reading of the controller's word order.
    EXPECT_EQ(w.value, static_cast<double>(density));
  }
  EXPECT_EQ(plant_->Writes().size(), 3u) << "only the output signal is written";
}

// A set-point the controller does not take is no longer silent: it counts for its controller
// and is posted, once per write, like a failed read.
TEST_F(JumoPollerTest, UnconfirmedSetpointWriteIsCountedAndPosted) {
  struct Case {
    const char* name;
    int32_t address;  // of "_PLSZ"; the controller refuses a register it does not have
    bool silent;
  };
  const Case cases[] = {{"refused", 4000, false}, {"unanswered", 8, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TSignalSet> layout = signals_.Signals();
    layout[static_cast<size_t>(Slot("_PLSZ"))].Addr = c.address;
    signals_.Replace(layout);
    plant_->SetFault(DeviceId::kJumo1, {.silent = c.silent});
    control_.ModuleErrors[kModuleJumo1] = 0;
    signals_.OutputValues.SetSlot(Slot("_PLSZ"), 1.45);
    setpoints_.JumoWriteCountdown = 0;
    setpoints_.JumoWritePending = true;
    DrainEvents();

    EXPECT_FALSE(JumoWrite(Context()));

    EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load(), 1);
    EXPECT_EQ(control_.ModuleErrors[kModuleJumo2].load(), 0);
    EXPECT_EQ(DrainEvents(), std::vector<std::string>{"Сбой записи сигнала _PLSZ"});
    EXPECT_TRUE(WritesTo(DeviceId::kJumo1, "reg 8").empty()) << plant_->FormatWrites();
  }
}

// Each exchange names its controller and register order itself: whatever the master's own
// fields say (a slave no one answers for, the other order), a pass reads and writes the right
// controllers and leaves the fields as it found them.
TEST_F(JumoPollerTest, PassAddressesEachExchangeAndLeavesTheMastersFieldsAlone) {
  modbus_.DevAddr = 7;
  modbus_.InverseBytes = false;
  modbus_.InverseWords = true;
  ASSERT_TRUE(plant_->SetSignal("PLS", 12.5));     // JUMO 1, low word first
  ASSERT_TRUE(plant_->SetSignal("Q_SUSP", 7.25));  // JUMO 2, high word first
  ASSERT_TRUE(plant_->SetSignal("UR_MAGN", 345));  // JUMO 2, one register
  signals_.OutputValues.SetSlot(Slot("_PLSZ"), 1.5);
  setpoints_.JumoWriteCountdown = 0;
  setpoints_.JumoWritePending = true;

  EXPECT_TRUE(JumoRead(Context()));
  EXPECT_TRUE(JumoWrite(Context()));

  EXPECT_EQ(Raw("PLS"), 12.5);
  EXPECT_EQ(Raw("Q_SUSP"), 7.25);
  EXPECT_EQ(Raw("UR_MAGN"), 345);
  const auto writes = WritesTo(DeviceId::kJumo1, "reg 8");
  ASSERT_EQ(writes.size(), 1u) << plant_->FormatWrites();
  EXPECT_EQ(writes[0].value, 1.5);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load() + control_.ModuleErrors[kModuleJumo2].load(),
            0);
  EXPECT_EQ(modbus_.DevAddr, 7);
  EXPECT_FALSE(modbus_.InverseBytes);
  EXPECT_TRUE(modbus_.InverseWords);
}

TEST_F(JumoPollerTest, EmulationCopiesEmulatorValuesWithoutTrafficOrPauses) {
  control_.JumoEmulFlag = true;
  signals_.EmulatorValues.SetSlot(Slot("PLS"), 12.5);
  signals_.EmulatorValues.SetSlot(Slot("UR_MAGN"), 345);
  signals_.EmulatorValues.SetSlot(Slot("_PLSZ"), 9);
  const uint64_t requestsBefore =
      plant_->Requests(DeviceId::kJumo1) + plant_->Requests(DeviceId::kJumo2);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(JumoRead(Context()));
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(Raw("PLS"), 12.5);
  EXPECT_EQ(Raw("UR_MAGN"), 345);
  EXPECT_EQ(Raw("_PLSZ"), 0) << "outputs are not inputs, emulated or not";
  EXPECT_GT(control_.ModuleLastOk[kModuleJumo1].load(), 0);
  EXPECT_GT(control_.ModuleLastOk[kModuleJumo2].load(), 0);
  // Seven inputs with the 50 ms pauses would take 350 ms.
  EXPECT_LT(took, std::chrono::milliseconds(250));

  // A pending write consumes its countdown without sending.
  setpoints_.JumoWriteCountdown = 0;
  setpoints_.JumoWritePending = true;
  EXPECT_TRUE(JumoWrite(Context()));
  EXPECT_FALSE(setpoints_.JumoWritePending.load());
  EXPECT_EQ(plant_->Requests(DeviceId::kJumo1) + plant_->Requests(DeviceId::kJumo2),
            requestsBefore);
  EXPECT_TRUE(plant_->Writes().empty());

  // Emulation needs no port at all.
  JumoPollerContext noLink = Context();
  noLink.link = nullptr;
  EXPECT_TRUE(JumoRead(noLink));
}

TEST_F(JumoPollerTest, ClosedPortFailsEveryPassSilently) {
  modbus_.Close();
  signals_.RawValues.SetSlot(Slot("PLS"), 5);
  setpoints_.JumoWritePending = true;

  EXPECT_FALSE(JumoRead(Context()));
  EXPECT_FALSE(JumoWrite(Context()));
  JumoPollerContext noLink = Context();
  noLink.link = nullptr;
  EXPECT_FALSE(JumoRead(noLink));

  EXPECT_EQ(Raw("PLS"), 5);
  EXPECT_EQ(control_.ModuleLastOk[kModuleJumo1].load(), 0);
  EXPECT_EQ(control_.ModuleErrors[kModuleJumo1].load(), 0);
  EXPECT_TRUE(DrainEvents().empty());
}

TEST_F(JumoPollerTest, StopRequestEndsAPassBetweenExchanges) {
  // With JUMO 2 silent a full pass takes about two seconds.
  plant_->SetFault(DeviceId::kJumo2, {.silent = true});
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    control_.StopRequest = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(JumoRead(Context()));
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  // The stop lands during at most one unanswered request (about half a second).
  EXPECT_LT(took, std::chrono::milliseconds(300 + 700 + 300));
  EXPECT_LT(control_.ModuleErrors[kModuleJumo2].load(), 4);
}

}  // namespace
}  // namespace kalvix
