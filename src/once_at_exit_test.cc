#include "once_at_exit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace simrelay {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A patience like the bridge's own, and one that a slow sender on a busy machine
// never exhausts.
constexpr std::chrono::milliseconds PATIENCE{150};
constexpr std::chrono::milliseconds AMPLE{10000};

// Two endings at once, the datagrams slow to send: both return only once
// all eight have gone, and they went once.
TEST(OnceAtExit, ASecondCallerWaitsForTheFirstToFinish) {
  OnceAtExit once;
  std::atomic<int> sent{0};
  auto send_eight_slowly = [&sent] {
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(5ms);
      ++sent;
    }
  };
  std::atomic<int> seen_by_first{-1};
  std::thread first([&] {
    once.run(send_eight_slowly, AMPLE);
    seen_by_first = sent.load();
  });
  while (sent.load() == 0)
    std::this_thread::yield();
  once.run(send_eight_slowly, AMPLE);
  int seen_by_second = sent.load();
  first.join();
  EXPECT_EQ(seen_by_first.load(), 8);
  EXPECT_EQ(seen_by_second, 8);
  EXPECT_EQ(sent.load(), 8);
  once.run(send_eight_slowly, AMPLE);
  EXPECT_EQ(sent.load(), 8);
}

// A sender that never finishes (say, interrupted by the signal that made
// the second call) holds the ending up for the patience given, no longer.
TEST(OnceAtExit, ASecondCallerGivesUpAfterItsPatience) {
  OnceAtExit once;
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  std::thread stuck([&] {
    once.run(
        [&] {
          started = true;
          while (!release.load())
            std::this_thread::sleep_for(1ms);
        },
        PATIENCE);
  });
  while (!started.load())
    std::this_thread::yield();
  bool ran_again = false;
  Clock::time_point begin = Clock::now();
  once.run([&] { ran_again = true; }, PATIENCE);
  Clock::duration waited = Clock::now() - begin;
  release = true;
  stuck.join();
  EXPECT_FALSE(ran_again);
  EXPECT_GE(waited, PATIENCE);
  EXPECT_LT(waited, 5s);  // Generous: a busy machine may wake it late.
}

}  // namespace
}  // namespace simrelay
