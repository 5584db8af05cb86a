#include "plant/fly_average.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "journal/event_log.h"

namespace kalvix {
namespace {

std::vector<std::string> DrainEvents() {
  std::vector<std::string> texts;
  TEventFIFO_Rec rec;
  while (EventQueue().Pop(rec)) texts.push_back(rec.text);
  return texts;
}

TEST(FlyAverage, FillsThenSlides) {
  TFlyAverage avg;
  avg.SetSize(3);
  const double expected[] = {1, 1.5, 2, 3};
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(avg.Add(i + 1), expected[i]) << i;
  EXPECT_DOUBLE_EQ(avg.GetTotalSum(), 9);
  EXPECT_EQ(avg.GetValCount(), 3);
  EXPECT_EQ(avg.GetWriteIndex(), 1);
  EXPECT_DOUBLE_EQ(avg.GetAverage(), 3);
}

TEST(FlyAverage, OfferedValueIsAddedOncePerOffer) {
  TFlyAverage avg;
  avg.SetNewData(5);
  avg.SetAccepted(true);
  avg.SetAccepted(true);
  EXPECT_EQ(avg.GetValCount(), 1);
  avg.SetNewData(5);
  EXPECT_FALSE(avg.GetAccepted());
  avg.SetAccepted(true);
  EXPECT_EQ(avg.GetValCount(), 2);
  EXPECT_DOUBLE_EQ(avg.GetTotalSum(), 10);
}

TEST(FlyAverage, SizeChangesEmptyTheBufferAndBadSizesAreRefused) {
  DrainEvents();
  TFlyAverage avg;
  EXPECT_EQ(avg.GetSize(), 10);
  avg.Add(4);
  avg.SetSize(10);
  EXPECT_EQ(avg.GetValCount(), 1) << "the same size keeps the values";
  avg.SetSize(5);
  EXPECT_EQ(avg.GetValCount(), 0);
  EXPECT_EQ(avg.GetSize(), 5);
  avg.Add(4);
  for (int bad : {1, 0, -60, TFlyAverage::kMaxSize + 1, 2000000000}) avg.SetSize(bad);
  EXPECT_EQ(avg.GetSize(), 5);
  EXPECT_EQ(avg.GetValCount(), 1);
  const auto events = DrainEvents();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0], "Нельзя устанавливать размер среднего менше чем 2.");
  EXPECT_EQ(events[3], "Нельзя устанавливать размер среднего больше чем 10000.");
  avg.SetSize(TFlyAverage::kMaxSize);
  EXPECT_EQ(avg.GetSize(), TFlyAverage::kMaxSize);
}

TEST(FlyAverage, ReadIndexStaysInsideTheBuffer) {
  DrainEvents();
  TFlyAverage avg;
  avg.SetSize(4);
  avg.Add(1);
  avg.Add(2);
  avg.SetReadIndex(1);
  EXPECT_DOUBLE_EQ(avg.GetReadVal(), 2);
  avg.SetReadIndex(4);
  avg.SetReadIndex(-1);
  EXPECT_EQ(avg.GetReadIndex(), 1);
  EXPECT_EQ(DrainEvents().size(), 2u);
  avg.SetSize(2);
  EXPECT_EQ(avg.GetReadIndex(), 0);
  EXPECT_DOUBLE_EQ(avg.GetReadVal(), 0);
}

TEST(FlyAverage, StatisticsSigmaAndMax) {
  TFlyAverage avg;
  avg.Add(-4);
  EXPECT_DOUBLE_EQ(avg.GetSigma(), 2);
  avg.SetSigma(3);
  EXPECT_DOUBLE_EQ(avg.GetSigma(), 2) << "only -1 sets Sigma";
  avg.Reset();
  for (int v = 1; v <= 5; ++v) avg.Add(v);
  EXPECT_EQ(avg.CalcSKO(), 0.0);
  avg.Add(6);
  EXPECT_DOUBLE_EQ(avg.CalcSKO(), std::sqrt(3.5));
  avg.SetSigma(-1);
  EXPECT_DOUBLE_EQ(avg.GetSigma(), std::sqrt(3.5));

  TFlyAverage m;
  EXPECT_EQ(m.GetMax(), 0.0);
  for (double v : {1.0, 3.0, 7.0}) m.Add(v);
  EXPECT_EQ(m.GetMax(), 7.0);
}

}  // namespace
}  // namespace kalvix
