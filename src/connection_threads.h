// Runs each accepted connection on a thread of its own. A thread that has
// finished its connection waits a short while for the next one before it
// ends: a burst of short requests then costs no thread start and end per
// request, and an idle bridge is back to its own threads soon after.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

#include "mutex.h"
#include "platform.h"

namespace simrelay {

inline constexpr std::chrono::milliseconds CONNECTION_THREAD_KEEP{500};

class ConnectionThreads {
 public:
  using Serve = std::function<void(Socket)>;

  explicit ConnectionThreads(Serve serve,
                             std::chrono::milliseconds keep_idle = CONNECTION_THREAD_KEEP);

  // Hands the connection to a waiting thread, or starts a new one for it.
  // 0, or the system error code when no thread could be started; the
  // connection is then closed unserved.
  int dispatch(Socket connection);

  // Threads that wait for a connection now (for tests).
  std::size_t idle_threads() const;

 private:
  struct Shared {
    Serve serve;
    std::chrono::milliseconds keep_idle;
    mutable Mutex mutex;
    CondVar wake;
    std::deque<Socket> handed GUARDED_BY(mutex);  // Accepted, not yet taken.
    std::size_t idle GUARDED_BY(mutex) = 0;
  };

  // A thread's body: serves `first`, then each connection handed to it,
  // until none comes within keep_idle.
  static void serve_until_idle(const std::shared_ptr<Shared>& shared, Socket first);

  // Shared with every thread, so that none outlives what it waits on.
  std::shared_ptr<Shared> shared_;
};

}  // namespace simrelay
