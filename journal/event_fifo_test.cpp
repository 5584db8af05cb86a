#include "journal/event_fifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "journal/event_log.h"

namespace kalvix {
namespace {

TEST(EventFifo, CapacityBelowTenIsRaisedToTen) {
  TEventFIFO fifo(5);
  EXPECT_EQ(fifo.Capacity(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(fifo.Push("m" + std::to_string(i)));
  EXPECT_FALSE(fifo.Push("eleventh"));
  EXPECT_EQ(fifo.Count(), 10);
}

TEST(EventFifo, FullQueueRefusesAndKeepsWaitingRecords) {
  TEventFIFO fifo(400);
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(fifo.Push(std::to_string(i)));
  EXPECT_FALSE(fifo.Push("401st"));
  std::string text;
  DateTime moment;
  uint32_t ticks;
  ASSERT_TRUE(fifo.Pop(text, moment, ticks));
  EXPECT_EQ(text, "0");
  EXPECT_TRUE(fifo.Push("accepted again"));
}

TEST(EventFifo, PositionsWrapToTheFirstSlot) {
  TEventFIFO fifo(400);
  TEventFIFO_Rec rec;
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(fifo.Push(std::to_string(i)));
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(fifo.Pop(rec));
    ASSERT_EQ(rec.text, std::to_string(i));
  }
  EXPECT_FALSE(fifo.Pop(rec));
  // After the wrap the ring still hands records back in order.
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(fifo.Push("again " + std::to_string(i)));
  for (int i = 0; i < 15; ++i) {
    ASSERT_TRUE(fifo.Pop(rec));
    EXPECT_EQ(rec.text, "again " + std::to_string(i));
  }
}

TEST(EventFifo, RecordCarriesMomentAndTickSeconds) {
  TEventFIFO fifo(10);
  const DateTime before = Now();
  ASSERT_TRUE(fifo.Push("stamped"));
  ASSERT_TRUE(fifo.Push("given", 40729.5, 412));
  TEventFIFO_Rec rec;
  ASSERT_TRUE(fifo.Pop(rec));
  EXPECT_GE(rec.moment, before);
  EXPECT_LE(rec.moment, Now());
  ASSERT_TRUE(fifo.Pop(rec));
  EXPECT_EQ(rec.text, "given");
  EXPECT_DOUBLE_EQ(rec.moment, 40729.5);
  EXPECT_EQ(rec.tickSeconds, 412u);
}

// Several device threads post while the window thread drains: nothing is lost or torn, and
// each thread's messages come out in the order it posted them.
TEST(EventFifo, ManyProducersOneConsumerKeepPerThreadOrder) {
  TEventFIFO fifo(64);
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  std::atomic<int> producersLeft{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const std::string text = std::to_string(p) + ":" + std::to_string(i);
        while (!fifo.Push(text)) std::this_thread::yield();
      }
      producersLeft.fetch_sub(1);
    });
  }
  std::map<int, int> next;
  int received = 0;
  TEventFIFO_Rec rec;
  while (received < kProducers * kPerProducer) {
    if (!fifo.Pop(rec)) {
      std::this_thread::yield();
      continue;
    }
    const size_t colon = rec.text.find(':');
    ASSERT_NE(colon, std::string::npos) << rec.text;
    const int producer = std::stoi(rec.text.substr(0, colon));
    const int seq = std::stoi(rec.text.substr(colon + 1));
    ASSERT_EQ(seq, next[producer]) << "producer " << producer;
    next[producer] = seq + 1;
    ++received;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(producersLeft.load(), 0);
  EXPECT_EQ(fifo.Count(), 0);
}

std::atomic<int> gBeeps{0};
void CountBeep() { gBeeps.fetch_add(1); }

TEST(PostEvent, RefusesNullAndBeepsWhenTheQueueIsFull) {
  TEventFIFO_Rec rec;
  while (EventQueue().Pop(rec)) {
  }
  SetBeepFunction(&CountBeep);
  gBeeps = 0;
  EXPECT_FALSE(PostEvent(static_cast<const char*>(nullptr)));
  EXPECT_EQ(gBeeps.load(), 0);
  for (int i = 0; i < kEventQueueCapacity; ++i) ASSERT_TRUE(PostEvent("msg " + std::to_string(i)));
  EXPECT_FALSE(PostEvent("lost"));
  EXPECT_EQ(gBeeps.load(), 1);
  SetBeepFunction(nullptr);
  while (EventQueue().Pop(rec)) {
  }
}

}  // namespace
}  // namespace kalvix
