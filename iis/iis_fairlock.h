#pragma once
// A mutex that serves its waiters in the order they came (a ticket lock). The registry's
// rebuild lock needs it: a monitor with an interval of 0 re-takes the lock at once after
// each pass, and with a plain mutex a waiting pool-list reload could lose every time.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarnwell {

class FairMutex {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    const std::uint64_t ticket = next_++;
    turn_.wait(guard, [&] { return serving_ == ticket; });
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      ++serving_;
    }
    turn_.notify_all();
  }
  // Threads holding or waiting for the lock.
  std::uint64_t Queued() const {
    std::lock_guard guard(mutex_);
    return next_ - serving_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t next_ = 0;
  std::uint64_t serving_ = 0;
};

}  // namespace tarnwell
