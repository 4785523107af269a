#pragma once
// A metabase behind a gate, for tests that must act while a reload or a pass is surely
// running. Shared by the window's tests and the service's.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/metabase.h"

namespace tarnwell::testutil {

// While the gate is shut every bind waits, so that a reload
// is sure to be running when the test acts. Open it before the window closes.
class GatedMetabase final : public platform::IMetabase {
 public:
  explicit GatedMetabase(platform::IMetabase& inner) : inner_(inner) {}
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view path) override {
    std::unique_lock lock(mutex_);
    if (!open_) {
      ++waiting_;
      if (onWaiting) onWaiting();
      changed_.wait(lock, [this] { return open_; });
      --waiting_;
    }
    lock.unlock();
    return inner_.Bind(path);
  }
  // Called by a bind that starts to wait: wakes whoever watches Waiting(). Set before use.
  std::function<void()> onWaiting;
  void Shut() { Set(false); }
  void Open() { Set(true); }
  // Binds that wait at the gate now.
  int Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 private:
  void Set(bool open) {
    std::lock_guard lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }

  platform::IMetabase& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int waiting_ = 0;
};

}  // namespace tarnwell::testutil
