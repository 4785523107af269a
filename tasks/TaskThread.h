#pragma once
// The small thread base the three workers share: Execute does the work on its own thread,
// Synchronize hands a function to the UI thread and waits, and the end notification runs
// on the UI thread after Execute. The owner (the window) joins the thread once Finished().
#include <atomic>
#include <functional>
#include <thread>

#include "platform/thread_scope.h"

namespace tarnwell {

class IWindowPort;

class TTaskThread {
 public:
  explicit TTaskThread(IWindowPort& window);
  virtual ~TTaskThread();  // joins; the owner must have let Execute end first
  TTaskThread(const TTaskThread&) = delete;
  TTaskThread& operator=(const TTaskThread&) = delete;

  // Runs on the UI thread after Execute, whatever way Execute ended. Set before Start.
  std::function<void()> OnTerminate;

  void Start();
  // Asks Execute to end; Execute looks at Terminated() where it may stop.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // True once Execute and the end notification have run; Join() then returns at once.
  bool Finished() const { return finished_.load(); }
  void Join();

 protected:
  virtual void Execute() = 0;
  // The apartment this worker initialises for the metabase seam.
  virtual platform::Apartment ThreadApartment() const { return platform::Apartment::SingleThreaded; }
  void Synchronize(const std::function<void()>& f);
  IWindowPort& Window() { return window_; }

 private:
  void Run();

  IWindowPort& window_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
};

}  // namespace tarnwell
