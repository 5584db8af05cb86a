// The entry procedure of the worker threads on real threads: one copy at a time, the body's
// result, an escaping exception, the running flag and the thread's name.
#include "plant/thread_entry.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace kalvix {
namespace {

TEST(ThreadEntry, SecondCopyReturnsAtOnceWhileTheFirstRuns) {
  RunningFlag running;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<int> bodies{0};
  int first = -1;
  std::string name;
  std::thread thread([&] {
    first = RunThreadEntry(running, kThreadNameJumo, [&] {
      ++bodies;
      char buffer[16] = {};
      pthread_getname_np(pthread_self(), buffer, sizeof buffer);
      name = buffer;
      entered = true;
      while (!release) std::this_thread::yield();
    });
  });
  while (!entered) std::this_thread::yield();
  EXPECT_TRUE(running.load());

  int second = -1;
  std::thread copy([&] { second = RunThreadEntry(running, kThreadNameJumo, [&] { ++bodies; }); });
  copy.join();
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(running.load()) << "the refused copy leaves the flag to the first";

  release = true;
  thread.join();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(bodies.load(), 1);
  EXPECT_FALSE(running.load());
  EXPECT_EQ(name, kThreadNameJumo);
}

TEST(ThreadEntry, ExceptionStopsAtTheEntryAndClearsTheFlag) {
  struct Case {
    const char* name;
    void (*body)();
    int result;
  };
  const Case cases[] = {
      {"returns", [] {}, 1},
      {"throws a standard exception", [] { throw std::runtime_error("fault"); }, 0},
      {"throws anything else", [] { throw 42; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunningFlag running;
    int result = -1;
    std::thread thread([&] { result = RunThreadEntry(running, kThreadNameBk003, c.body); });
    thread.join();
    EXPECT_EQ(result, c.result);
    EXPECT_FALSE(running.load());
  }
}

}  // namespace
}  // namespace kalvix
