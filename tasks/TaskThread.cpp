#include "tasks/TaskThread.h"

#include <exception>

#include "tasks/WindowPort.h"

namespace tarnwell {

TTaskThread::TTaskThread(IWindowPort& window) : window_(window) {}

TTaskThread::~TTaskThread() { Join(); }

void TTaskThread::Start() { thread_ = std::thread([this] { Run(); }); }

void TTaskThread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TTaskThread::Synchronize(const std::function<void()>& f) { window_.Synchronize(f); }

void TTaskThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A worker's run ends silently on an error; each worker reports what it must itself.
  }
  try {
    if (OnTerminate) window_.Synchronize(OnTerminate);
  } catch (...) {
  }
  finished_.store(true);
}

}  // namespace tarnwell
