#pragma once
// Per-thread platform set-up for the seams (COM on Windows, nothing on Linux), as a scope.

namespace tarnwell::platform {

enum class Apartment { MultiThreaded, SingleThreaded };

class ThreadScope {
 public:
  explicit ThreadScope(Apartment apartment);
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  [[maybe_unused]] bool initialised_ = false;  // only the Windows scope has set-up to undo
};

}  // namespace tarnwell::platform
