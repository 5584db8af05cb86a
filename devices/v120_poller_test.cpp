// The V120 poller against the simulated plant's V120 over a pseudo-terminal: reads of each
// kind, a failed read ending the pass, the two outputs, emulation.
#include "devices/v120_poller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing/poller_test_plant.h"
#include "testing/test_signals.h"

namespace kalvix {
namespace {

using plantsim::DeviceId;

class V120PollerTest : public testing::PlantPollerTest {
 protected:
  V120PollerContext Context() {
    return V120PollerContext{control_, signals_, setpoints_, counters_, vision_, ledgers_};
  }

  uint64_t V120Requests() const { return plant_->Requests(DeviceId::kV120); }
};

TEST_F(V120PollerTest, ReadPassStoresIntLongAndBitInputs) {
  struct Pin {
    const char* name;
    double value;
  };
  const Pin pins[] = {{"G2", 1250000},   {"G41", 4000000000.0}, {"G_1T1", 57}, {"I_NAS1", 612},
                      {"I_NAS2", 65535}, {"F_PIT", 0},          {"PIT_ON", 1}};
  for (const Pin& p : pins) ASSERT_TRUE(plant_->SetSignal(p.name, p.value)) << p.name;
  signals_.RawValues.SetSlot(Slot("_TNZ"), -1);

  EXPECT_TRUE(V120Read(Context())) << vision_.Status();

  for (const Pin& p : pins) {
    // A 32-bit operand comes back as the link's signed integer.
    const double expected = p.value > 2147483647.0 ? p.value - 4294967296.0 : p.value;
    EXPECT_EQ(Raw(p.name), expected) << p.name;
  }
  EXPECT_EQ(Raw("_TNZ"), -1) << "an output is never read";
}

TEST_F(V120PollerTest, PassStampsTheModuleOrCountsOneError) {
  const DateTime before = Now();
  RunV120Pass(Context());
  const DateTime stamped = control_.ModuleLastOk[kModuleV120].load();
  EXPECT_GE(stamped, before);
  EXPECT_EQ(control_.ModuleErrors[kModuleV120].load(), 0);

  plant_->SetFault(DeviceId::kV120, {.silent = true});
  RunV120Pass(Context());
  EXPECT_EQ(control_.ModuleLastOk[kModuleV120].load(), stamped);
  EXPECT_EQ(control_.ModuleErrors[kModuleV120].load(), 1);
  EXPECT_EQ(counters_.V120CycleCounter.load(), 2);
}

TEST_F(V120PollerTest, FailedReadEndsThePass) {
  struct Case {
    const char* name;
    int32_t devNum;
    int32_t kind;
  };
  const Case cases[] = {
      {"another unit: no reply", 5, kKindInt},
      {"FLOAT: no read command", 1, kKindFloat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TSignalSet> set;
    for (const auto& [name, addr] : {std::pair{"I_NAS1", 100}, {"MIDDLE", 102}, {"I_NAS2", 101}}) {
      TSignalSet s = testing::Input(name, "V120");
      s.DevNum = 1;
      s.Kind = kKindInt;
      s.Addr = static_cast<uint16_t>(addr);
      set.push_back(s);
    }
    set[1].DevNum = c.devNum;
    set[1].Kind = c.kind;
    signals_.Replace(set);
    ASSERT_TRUE(plant_->SetSignal("I_NAS1", 600));
    ASSERT_TRUE(plant_->SetSignal("I_NAS2", 500));
    signals_.RawValues.SetSlot(2, -7);

    EXPECT_FALSE(V120Read(Context()));
    EXPECT_EQ(signals_.RawValues.Slot(0), 600);
    EXPECT_EQ(signals_.RawValues.Slot(2), -7) << "signals after the failure keep their values";
  }
  EXPECT_TRUE(DrainEvents().empty()) << "a failed read posts nothing";
}

// Runs: the same values with one request per run of inputs that follow one another with
// one unit and kind and consecutive addresses. An output or another bus's signal between
// them neither joins nor ends a run; another kind or a gap in the addresses does.
TEST_F(V120PollerTest, RunsOfAdjacentOperandsAreReadWithOneRequest) {
  using plantsim::VisionArea;
  struct Row {
    const char* name;
    const char* bus;
    int32_t kind;
    uint16_t addr;
    VisionArea area;
    int32_t value;
  };
  const Row rows[] = {
      {"A1", "V120", kKindInt, 300, VisionArea::kMI, 11},
      {"A2", "V120", kKindInt, 301, VisionArea::kMI, 12},
      {"_OUT", "V120", kKindInt, 700, VisionArea::kMI, 0},  // an output
      {"A3", "V120", kKindInt, 302, VisionArea::kMI, 13},
      {"L1", "V120", kKindLong, 20, VisionArea::kML, -5},
      {"L2", "V120", kKindLong, 21, VisionArea::kML, 100000},
      {"A4", "V120", kKindInt, 303, VisionArea::kMI, 14},  // after another kind
      {"B1", "V120", kKindBit, 40, VisionArea::kMB, 1},
      {"J", "JUMO", kKindInt, 41, VisionArea::kMB, 0},  // another bus
      {"B2", "V120", kKindBit, 41, VisionArea::kMB, 0},
      {"B3", "V120", kKindBit, 43, VisionArea::kMB, 1},  // a gap
  };
  std::vector<TSignalSet> set;
  for (const Row& r : rows) {
    TSignalSet s = testing::Input(r.name, r.bus);
    s.DevNum = 1;
    s.Kind = r.kind;
    s.Addr = r.addr;
    if (r.name[0] == '_') s.Direction = kDirectionWrite;
    set.push_back(s);
    if (r.bus == std::string("V120")) {
      ASSERT_TRUE(plant_->V120().SetValue(r.area, r.addr, r.value)) << r.name;
    }
  }
  signals_.Replace(set);
  struct Case {
    bool runs;
    uint64_t requests;
  };
  for (const Case& c : {Case{false, 9}, Case{true, 5}}) {
    SCOPED_TRACE(c.runs);
    for (size_t i = 0; i < set.size(); ++i) signals_.RawValues.SetSlot(static_cast<int>(i), -7);
    V120PollerContext context = Context();
    context.readRuns = c.runs;
    const uint64_t before = V120Requests();
    EXPECT_TRUE(V120Read(context)) << vision_.Status();
    EXPECT_EQ(V120Requests() - before, c.requests);
    for (const Row& r : rows) {
      const bool input = r.bus == std::string("V120") && r.name[0] != '_';
      EXPECT_EQ(Raw(r.name), input ? r.value : -7) << r.name;
    }
    EXPECT_EQ(ledgers_[kModuleV120].Read().good, ledgers_[kModuleV120].Read().exchanges);
  }
}

// A run the controller refuses (it runs past the end of its memory) fails as a whole at its
// first input: none of its inputs takes a value, where one read per input would have stored
// those before the refused one.
TEST_F(V120PollerTest, RefusedRunEndsThePassWithoutValues) {
  std::vector<TSignalSet> set;
  for (const auto& [name, addr] : {std::pair{"A", 2046}, {"B", 2047}, {"C", 2048}}) {
    TSignalSet s = testing::Input(name, "V120");
    s.DevNum = 1;
    s.Kind = kKindInt;
    s.Addr = static_cast<uint16_t>(addr);
    set.push_back(s);
  }
  signals_.Replace(set);
  ASSERT_TRUE(plant_->V120().SetValue(plantsim::VisionArea::kMI, 2046, 5));
  for (bool runs : {false, true}) {
    SCOPED_TRACE(runs);
    for (int slot = 0; slot < 3; ++slot) signals_.RawValues.SetSlot(slot, -7);
    V120PollerContext context = Context();
    context.readRuns = runs;
    EXPECT_FALSE(V120Read(context));
    EXPECT_EQ(Raw("A"), runs ? -7 : 5);
    EXPECT_EQ(Raw("C"), -7);
  }
}

TEST_F(V120PollerTest, Tnk23EveryPassAndTnzOncePerSetpoint) {
  signals_.AveragedValues.SetSlot(Slot("TNK23"), 351.9);
  struct Case {
    double setpoint;
    double sent;
    const char* raw;
  };
  const Case cases[] = {{80.7, 80, "0050"}, {-0.5, 0, "0000"}, {350, 350, "015E"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setpoint);
    plant_->ClearWrites();
    setpoints_.TnzSetpoint = c.setpoint;
    setpoints_.TnzWritePending = true;

    EXPECT_TRUE(V120Write(Context()));
    EXPECT_FALSE(setpoints_.TnzWritePending.load());
    const auto tnz = WritesTo(DeviceId::kV120, "MI 110");
    ASSERT_EQ(tnz.size(), 1u) << plant_->FormatWrites();
    EXPECT_EQ(tnz[0].value, c.sent);
    EXPECT_EQ(tnz[0].raw, c.raw);

    EXPECT_TRUE(V120Write(Context()));
    EXPECT_EQ(WritesTo(DeviceId::kV120, "MI 110").size(), 1u) << "_TNZ only once";
    const auto tnk23 = WritesTo(DeviceId::kV120, "MI 111");
    ASSERT_EQ(tnk23.size(), 2u) << plant_->FormatWrites();
    EXPECT_EQ(tnk23[0].value, 351);
    EXPECT_EQ(tnk23[1].value, 351);
  }
}

// Each exchange names its unit itself: with the link's UnitID at a unit no one answers for,
// a pass still reads and writes the V120 and leaves UnitID as it found it.
TEST_F(V120PollerTest, PassAddressesEachExchangeAndLeavesTheLinksUnitAlone) {
  vision_.SetUnitID(9);
  ASSERT_TRUE(plant_->SetSignal("I_NAS1", 612));
  ASSERT_TRUE(plant_->SetSignal("PIT_ON", 1));
  setpoints_.TnzSetpoint = 80;
  setpoints_.TnzWritePending = true;

  RunV120Pass(Context());

  EXPECT_EQ(control_.ModuleErrors[kModuleV120].load(), 0) << vision_.Status();
  EXPECT_GT(control_.ModuleLastOk[kModuleV120].load(), 0);
  EXPECT_EQ(Raw("I_NAS1"), 612);
  EXPECT_EQ(Raw("PIT_ON"), 1);
  const auto tnz = WritesTo(DeviceId::kV120, "MI 110");
  ASSERT_EQ(tnz.size(), 1u) << plant_->FormatWrites();
  EXPECT_EQ(tnz[0].value, 80);
  EXPECT_EQ(vision_.UnitID(), 9);
}

TEST_F(V120PollerTest, EmulationReadsWithoutTrafficButStillWrites) {
  control_.V120EmulFlag = true;
  signals_.EmulatorValues.SetSlot(Slot("I_NAS1"), 5);
  signals_.EmulatorValues.SetSlot(Slot("G2"), 1234567);
  signals_.EmulatorValues.SetSlot(Slot("PIT_ON"), 1);
  const uint64_t requestsBefore = V120Requests();

  EXPECT_TRUE(V120Read(Context()));
  EXPECT_EQ(V120Requests(), requestsBefore);
  EXPECT_EQ(Raw("I_NAS1"), 5);
  EXPECT_EQ(Raw("G2"), 1234567);
  EXPECT_EQ(Raw("PIT_ON"), 1);

  signals_.AveragedValues.SetSlot(Slot("TNK23"), 12);
  EXPECT_TRUE(V120Write(Context()));
  const auto tnk23 = WritesTo(DeviceId::kV120, "MI 111");
  ASSERT_EQ(tnk23.size(), 1u) << plant_->FormatWrites();
  EXPECT_EQ(tnk23[0].value, 12);
}

TEST(V120WriteValue, TruncatesTowardZeroKeepingTheLow32Bits) {
  struct Case {
    double value;
    int32_t sent;
  };
  const Case cases[] = {{80.7, 80},
                        {-0.5, 0},
                        {-80.7, -80},
                        {2147483648.0, std::numeric_limits<int32_t>::min()},
                        {4294967296.0 + 5, 5},
                        {1e20, static_cast<int32_t>(1661992960u)}};  // 1e20 mod 2^32
  for (const Case& c : cases) EXPECT_EQ(V120WriteValue(c.value), c.sent) << c.value;
  EXPECT_FALSE(V120WriteValue(std::nan("")).has_value());
  EXPECT_FALSE(V120WriteValue(std::numeric_limits<double>::infinity()).has_value());
}

}  // namespace
}  // namespace kalvix
