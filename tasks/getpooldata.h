#pragma once
// The pool-list loader: reloads the registry from the metabase on its own thread, then has
// the UI thread refill the Task tab's list. One per Refresh or Apply filter.
#include <optional>
#include <string>

#include "tasks/TaskThread.h"

namespace tarnwell {

class TGetPoolData : public TTaskThread {
 public:
  using TTaskThread::TTaskThread;

  // Set before Start: becomes the registry's Filter under the rebuild lock, so that
  // reloads started one after another each load with their own filter. Unset: kept.
  std::optional<std::string> Filter;

 protected:
  void Execute() override;

 private:
  void FillPoolList();  // UI thread
};

}  // namespace tarnwell
