#include "connection_threads.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace simrelay {
namespace {

using namespace std::chrono_literals;

// Records which thread served each connection; `hold` keeps a connection's
// thread busy until released.
struct Served {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::thread::id> by;
  bool released = true;

  void serve() {
    std::unique_lock lock(mutex);
    by.push_back(std::this_thread::get_id());
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  }
  bool wait_for_count(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return by.size() >= count; });
  }
};

bool eventually(const std::function<bool()>& condition) {
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    if (condition()) return true;
  }
  return false;
}

TEST(ConnectionThreads, AFinishedThreadTakesTheNextConnectionThenEndsWhenIdle) {
  Served served;
  ConnectionThreads threads([&](Socket) { served.serve(); }, 200ms);
  ASSERT_EQ(threads.dispatch(Socket()), 0);
  ASSERT_TRUE(eventually([&] { return threads.idle_threads() == 1; }));
  ASSERT_EQ(threads.dispatch(Socket()), 0);
  ASSERT_TRUE(served.wait_for_count(2));
  EXPECT_EQ(served.by[0], served.by[1]);
  ASSERT_TRUE(eventually([&] { return threads.idle_threads() == 1; }));
  EXPECT_TRUE(eventually([&] { return threads.idle_threads() == 0; }));
}

TEST(ConnectionThreads, NoConnectionWaitsBehindABusyThread) {
  Served served;
  served.released = false;  // Every connection holds its thread.
  ConnectionThreads threads([&](Socket) { served.serve(); }, 200ms);
  constexpr std::size_t COUNT = 8;
  for (std::size_t i = 0; i < COUNT; ++i)
    ASSERT_EQ(threads.dispatch(Socket()), 0);
  EXPECT_TRUE(served.wait_for_count(COUNT));  // All at once, each on its own thread.
  {
    std::lock_guard lock(served.mutex);
    served.released = true;
  }
  served.changed.notify_all();
  ASSERT_TRUE(eventually([&] { return threads.idle_threads() == COUNT; }));
  EXPECT_TRUE(eventually([&] { return threads.idle_threads() == 0; }));
}

}  // namespace
}  // namespace simrelay
