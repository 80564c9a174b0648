#include "connection_threads.h"

namespace simrelay {

ConnectionThreads::ConnectionThreads(Serve serve, std::chrono::milliseconds keep_idle)
    : shared_(std::make_shared<Shared>()) {
  shared_->serve = std::move(serve);
  shared_->keep_idle = keep_idle;
}

int ConnectionThreads::dispatch(Socket connection) {
  if (hand_over(connection)) return 0;
  // When no thread can be started the lambda is destroyed unrun, and the
  // connection closed with it.
  return start_detached_thread([shared = shared_, connection = std::move(connection)]() mutable {
    serve_until_idle(shared, std::move(connection));
  });
}

bool ConnectionThreads::hand_over(Socket& connection) {
  {
    MutexLock lock(shared_->mutex);
    // Only to a thread that no earlier connection is promised to already.
    if (shared_->idle <= shared_->handed.size()) return false;
    shared_->handed.push_back(std::move(connection));
  }
  shared_->wake.notify_one();  // After the unlock, so the thread does not wait for it.
  return true;
}

std::size_t ConnectionThreads::idle_threads() const {
  MutexLock lock(shared_->mutex);
  return shared_->idle;
}

void ConnectionThreads::serve_until_idle(const std::shared_ptr<Shared>& shared, Socket first) {
  Socket connection = std::move(first);
  for (;;) {
    shared->serve(std::move(connection));
    MutexLock lock(shared->mutex);
    ++shared->idle;
    auto deadline = std::chrono::steady_clock::now() + shared->keep_idle;
    while (shared->handed.empty()) {
      if (!shared->wake.wait_until(shared->mutex, deadline)) break;
    }
    --shared->idle;
    if (shared->handed.empty()) return;
    connection = std::move(shared->handed.front());
    shared->handed.pop_front();
  }
}

}  // namespace simrelay
