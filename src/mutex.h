// A mutex, its scoped lock and a condition variable, annotated so that Clang
// checks their use.
#pragma once

#include <condition_variable>
#include <mutex>

#include "thread_annotations.h"

namespace simrelay {

class SIMRELAY_CAPABILITY("mutex") Mutex {
 public:
  void lock() SIMRELAY_ACQUIRE() { mutex_.lock(); }
  void unlock() SIMRELAY_RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds the mutex for its own lifetime.
class SIMRELAY_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) SIMRELAY_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() SIMRELAY_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

class CondVar {
 public:
  // Releases the mutex until notified, then holds it again; may also return
  // for no reason.
  void wait(Mutex& mutex) SIMRELAY_REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  void notify_all() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace simrelay
