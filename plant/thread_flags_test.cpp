// The stop request and the running flags on real threads: setting them wakes every kind of
// waiter at once (a sleep, a poll() on the descriptor, a wait on a condition variable of its
// own), and clearing the stop re-arms it.
#include "plant/thread_flags.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kalvix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A wake is a matter of microseconds; the bound leaves room for a loaded machine and is still
// far below what polling in slices of 50 or 200 ms would give on average.
constexpr milliseconds kWakeBound{50};

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(StopSignal, WakesEveryKindOfWaiterAtOnce) {
  StopSignal stop;
  ASSERT_GE(stop.PollFd(), 0);
  EXPECT_FALSE(Readable(stop.PollFd()));

  std::mutex mutex;
  std::condition_variable own;
  std::atomic<int> wakeups{0};
  std::vector<Clock::time_point> woke(4);
  std::vector<std::thread> waiters;
  waiters.emplace_back([&] {
    EXPECT_TRUE(stop.WaitFor(milliseconds(10000)));
    woke[0] = Clock::now();
  });
  waiters.emplace_back([&] {
    EXPECT_TRUE(stop.WaitUntil(Clock::now() + milliseconds(10000)));
    woke[1] = Clock::now();
  });
  waiters.emplace_back([&] {
    pollfd p{stop.PollFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    woke[2] = Clock::now();
  });
  waiters.emplace_back([&] {
    // A wait on a condition variable of its own, as the select queue's.
    StopWakeup wakeup(stop, [&] {
      std::lock_guard<std::mutex> lock(mutex);
      ++wakeups;
      own.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(own.wait_for(lock, milliseconds(10000), [&] { return stop.load(); }));
    woke[3] = Clock::now();
  });

  std::this_thread::sleep_for(milliseconds(100));  // every waiter is asleep by now
  const Clock::time_point stopped = Clock::now();
  stop = true;
  for (std::thread& t : waiters) t.join();
  for (size_t i = 0; i < woke.size(); ++i) EXPECT_LT(woke[i] - stopped, kWakeBound) << i;
  EXPECT_EQ(wakeups.load(), 1);
  EXPECT_TRUE(stop.load());
  EXPECT_TRUE(Readable(stop.PollFd()));
  EXPECT_TRUE(stop.WaitFor(milliseconds(5000))) << "a stop already requested";

  // Setting it again changes nothing; clearing it re-arms every kind of wait.
  stop = true;
  EXPECT_TRUE(Readable(stop.PollFd()));
  stop = false;
  EXPECT_FALSE(stop.load());
  EXPECT_FALSE(Readable(stop.PollFd()));
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(stop.WaitFor(milliseconds(60)));
  EXPECT_GE(Clock::now() - start, milliseconds(60));
}

TEST(StopSignal, WakeupIsNotCalledOnceItIsGone) {
  StopSignal stop;
  int calls = 0;
  {
    StopWakeup wakeup(stop, [&] { ++calls; });
  }
  StopWakeup kept(stop, [&] { calls += 10; });
  stop = true;
  EXPECT_EQ(calls, 10);
}

TEST(RunningFlag, WaitEndsWhenTheWorkerClearsItOrAtItsBound) {
  RunningFlag flag;
  EXPECT_TRUE(flag.WaitClearFor(milliseconds(0))) << "clear from the start";
  EXPECT_FALSE(flag.exchange(true));
  EXPECT_TRUE(flag.exchange(true)) << "a second claim sees the first";
  EXPECT_TRUE(flag);

  Clock::time_point start = Clock::now();
  EXPECT_FALSE(flag.WaitClearFor(milliseconds(60)));
  EXPECT_GE(Clock::now() - start, milliseconds(60));

  Clock::time_point cleared;
  std::thread worker([&] {
    std::this_thread::sleep_for(milliseconds(100));
    cleared = Clock::now();
    flag = false;
  });
  EXPECT_TRUE(flag.WaitClearFor(milliseconds(10000)));
  const Clock::time_point woke = Clock::now();
  worker.join();
  EXPECT_LT(woke - cleared, kWakeBound);
  EXPECT_FALSE(flag.load());
}

}  // namespace
}  // namespace kalvix
