// Work that must run once and whole however the process ends, when the
// ending can start on two threads at once: a signal or a console event
// while the main thread exits. Safe in a signal handler: a lock-free atomic,
// the monotonic clock and short sleeps, no lock and no allocation.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace simrelay {

class OnceAtExit {
 public:
  // The first caller runs `work`. A caller that finds it running waits until
  // it has finished, but at most `patience`: the thread running it may be
  // the very one that a signal interrupted to call this again.
  template <class Work>
  void run(Work work, std::chrono::milliseconds patience) {
    Phase expected = Phase::Idle;
    if (phase_.compare_exchange_strong(expected, Phase::Running)) {
      work();
      phase_.store(Phase::Done);
      return;
    }
    auto give_up = std::chrono::steady_clock::now() + patience;
    while (phase_.load() != Phase::Done && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  enum class Phase { Idle, Running, Done };
  static_assert(std::atomic<Phase>::is_always_lock_free);
  std::atomic<Phase> phase_{Phase::Idle};
};

}  // namespace simrelay
