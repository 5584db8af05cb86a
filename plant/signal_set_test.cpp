#include "plant/signal_set.h"

#include <gtest/gtest.h>

#include <thread>

#include "testing/test_signals.h"

namespace kalvix {
namespace {

using testing::Input;

TEST(SignalSet, IndexIgnoresCaseAndMissingNamesGiveSlot99) {
  SignalSet set;
  set.Replace({Input("PLS"), Input("RAB", "CALC"), Input("G23", "BK")});
  EXPECT_EQ(set.SignalCount(), 3);
  EXPECT_EQ(set.SignalIndex("rab"), 1);
  EXPECT_EQ(set.SignalIndex("g23"), 2);
  EXPECT_EQ(set.SignalIndex("TNK23"), kMissingSlot);
  EXPECT_EQ(set.SignalIndex(""), kMissingSlot);
}

TEST(SignalSet, ReloadKeepsExistingAveragesAndCapsTheCount) {
  SignalSet set;
  set.Replace({Input("A"), Input("B")});
  TFlyAverage* first = set.Average(0);
  ASSERT_NE(first, nullptr);
  first->Add(5);
  set.Replace({Input("A"), Input("B"), Input("C")});
  EXPECT_EQ(set.Average(0), first);
  EXPECT_EQ(set.Average(0)->GetValCount(), 1);
  EXPECT_NE(set.Average(2), nullptr);
  EXPECT_EQ(set.Average(3), nullptr);

  std::vector<TSignalSet> many(150, Input("X"));
  set.Replace(many);
  EXPECT_EQ(set.SignalCount(), kMaxSignals);
  EXPECT_EQ(set.Average(kMaxSignals), nullptr);
}

TEST(SignalSet, ResetAndClear) {
  SignalSet set;
  set.Replace({Input("A")});
  set.Average(0)->Add(1);
  set.ResetAverages(3);
  EXPECT_EQ(set.Average(0)->GetSize(), 3);
  EXPECT_EQ(set.Average(0)->GetValCount(), 0);

  for (ValueSet* vs : {&set.RawValues, &set.InstantValues, &set.AveragedValues,
                       &set.OutputValues, &set.EmulatorValues}) {
    vs->SetSlot(0, 7);
    vs->SetStamp(1);
  }
  set.ClearSignalValues();
  for (ValueSet* vs : {&set.RawValues, &set.InstantValues, &set.AveragedValues, &set.OutputValues}) {
    EXPECT_EQ(vs->Slot(0), 0.0);
    EXPECT_EQ(vs->Stamp(), 0.0);
  }
  EXPECT_EQ(set.EmulatorValues.Slot(0), 7.0) << "the operator's values are kept";
}

TEST(ValueSet, OutOfRangeSlotsAreHarmless) {
  ValueSet vs;
  vs.SetSlot(-1, 5);
  vs.SetSlot(100, 5);
  EXPECT_EQ(vs.Slot(-1), 0.0);
  EXPECT_EQ(vs.Slot(100), 0.0);
  vs.SetSlot(99, 3);
  EXPECT_EQ(vs.Slot(99), 3.0);
}

// A poller writes raw values while the control thread reads them.
TEST(ValueSet, OneWriterOneReaderWithoutRaces) {
  ValueSet vs;
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) vs.SetSlot(i % 10, i);
  });
  double sum = 0;
  for (int i = 0; i < 20000; ++i) sum += vs.Slot(i % 10);
  writer.join();
  EXPECT_GE(sum, 0.0);
}

}  // namespace
}  // namespace kalvix
