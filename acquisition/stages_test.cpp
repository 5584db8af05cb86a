#include "acquisition/stages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing/test_signals.h"

namespace kalvix {
namespace {

using testing::Input;
using testing::WithDirection;

class StagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_.Replace({Input("PLS"), Input("TNK23", "BK"), WithDirection(Input("RAB", "CALC"), ""),
                  WithDirection(Input("RN", "CALC"), ""), Input("G23", "BK"),
                  Input("G_1T1", "V120"), WithDirection(Input("_PLSZ"), "WRITE"),
                  WithDirection(Input("_TNZ", "V120"), "WRITE"), Input("LEVEL", "V120")});
    set_.ResetAverages(3);
    limits_.MIN_PLS = 1.3;
    limits_.MIN_NAGR = 50;
  }
  int Slot(const char* name) const { return set_.SignalIndex(name); }
  void Raw(const char* name, double v) { set_.RawValues.SetSlot(Slot(name), v); }

  SignalSet set_;
  PlantConstants limits_;
  Setpoints setpoints_;
};

TEST_F(StagesTest, TranslateConvertsOnlyNamedReadSignals) {
  set_.Replace({Input("A"), WithDirection(Input("B"), "WRITE"), WithDirection(Input("C"), "read"),
                WithDirection(Input("D"), ""), Input("")});
  for (int i = 0; i < 5; ++i) {
    set_.InstantValues.SetSlot(i, -1);
    set_.RawValues.SetSlot(i, 42);
  }
  ASSERT_TRUE(TranslateIn(set_, limits_));
  EXPECT_EQ(set_.InstantValues.Slot(0), 42);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(set_.InstantValues.Slot(i), -1) << i;
  EXPECT_GT(set_.InstantValues.Stamp(), 0);
}

TEST_F(StagesTest, RabAndRnAreStrictComparisons) {
  struct Case {
    double pls, tnk;
    double rab, rn;
  };
  const Case cases[] = {{1.3, 80, 0, 0}, {1.31, 80, 1, 1}, {1.31, 50, 1, 0}, {1.0, 80, 0, 0}};
  for (const Case& c : cases) {
    Raw("PLS", c.pls);
    Raw("TNK23", c.tnk);
    ASSERT_TRUE(TranslateIn(set_, limits_));
    EXPECT_EQ(set_.InstantValues.Slot(Slot("RAB")), c.rab) << c.pls << " " << c.tnk;
    EXPECT_EQ(set_.InstantValues.Slot(Slot("RN")), c.rn) << c.pls << " " << c.tnk;
  }
}

TEST_F(StagesTest, MissingFixedNamesUseSlot99) {
  set_.Replace({Input("A")});
  set_.InstantValues.SetSlot(kMissingSlot, 5);  // read as PLS
  ASSERT_TRUE(TranslateIn(set_, limits_));
  EXPECT_EQ(set_.InstantValues.Slot(kMissingSlot), 0.0) << "RN, the last written, lands there";
}

TEST_F(StagesTest, AveragesFollowTheLastValuesAndCountersPassThrough) {
  const double levels[] = {10, 20, 30, 40};
  const double expected[] = {10, 15, 20, 30};
  for (int i = 0; i < 4; ++i) {
    Raw("LEVEL", levels[i]);
    Raw("G23", 100 + i);
    ASSERT_TRUE(TranslateIn(set_, limits_));
    ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
    EXPECT_DOUBLE_EQ(set_.AveragedValues.Slot(Slot("LEVEL")), expected[i]);
    EXPECT_EQ(set_.AveragedValues.Slot(Slot("G23")), 100 + i);
  }
}

TEST_F(StagesTest, G1T1KeepsItsAveragedSlot) {
  set_.AveragedValues.SetSlot(Slot("G_1T1"), 77);
  Raw("G_1T1", 5);
  ASSERT_TRUE(TranslateIn(set_, limits_));
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("G_1T1")), 77);
}

TEST_F(StagesTest, SetpointsReachAllThreeValueSets) {
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  for (const char* name : {"_PLSZ", "_TNZ"}) {
    EXPECT_EQ(set_.AveragedValues.Slot(Slot(name)), 0.0);
    EXPECT_EQ(set_.OutputValues.Slot(Slot(name)), 0.0);
  }
  setpoints_.PlszSetpoint = 1.45;
  setpoints_.TnzSetpoint = 320;
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  for (ValueSet* vs : {&set_.AveragedValues, &set_.InstantValues, &set_.OutputValues}) {
    EXPECT_EQ(vs->Slot(Slot("_PLSZ")), 1.45);
    EXPECT_EQ(vs->Slot(Slot("_TNZ")), 320);
  }
}

TEST_F(StagesTest, AveragedRabUsesTheAveragedDensity) {
  limits_.MIN_PLS = 2;
  for (double pls : {1.0, 1.0, 4.0}) {  // the mean, 2, equals MIN_PLS
    Raw("PLS", pls);
    Raw("TNK23", 100);
    ASSERT_TRUE(TranslateIn(set_, limits_));
    ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  }
  EXPECT_EQ(set_.InstantValues.Slot(Slot("RAB")), 1.0);
  EXPECT_EQ(set_.InstantValues.Slot(Slot("RN")), 1.0);
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("PLS")), 2.0);
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("RAB")), 0.0);
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("RN")), 0.0);
}

// A reading that is not a number has no physical value: it becomes NaN in the instantaneous
// set (NULL in the database) and is kept out of the moving average.
TEST_F(StagesTest, NotANumberReadingDoesNotSpoilTheAverage) {
  Raw("LEVEL", 10);
  ASSERT_TRUE(TranslateIn(set_, limits_));
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  Raw("LEVEL", std::numeric_limits<double>::quiet_NaN());
  ASSERT_TRUE(TranslateIn(set_, limits_));
  EXPECT_TRUE(std::isnan(set_.InstantValues.Slot(Slot("LEVEL"))));
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("LEVEL")), 10);
  Raw("LEVEL", 20);
  ASSERT_TRUE(TranslateIn(set_, limits_));
  ASSERT_TRUE(CalcWorks(set_, limits_, setpoints_));
  EXPECT_EQ(set_.AveragedValues.Slot(Slot("LEVEL")), 15);
}

}  // namespace
}  // namespace kalvix
