#pragma once
// The pool-list loader: reloads the registry from the metabase on its own thread, then has
// the UI thread refill the Task tab's list. One per Refresh or Apply filter.
#include "tasks/TaskThread.h"

namespace tarnwell {

class TGetPoolData : public TTaskThread {
 public:
  using TTaskThread::TTaskThread;

 protected:
  void Execute() override;

 private:
  void FillPoolList();  // UI thread
};

}  // namespace tarnwell
