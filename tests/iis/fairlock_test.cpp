#include "iis/iis_fairlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwell {
namespace {

// A holder that lets go and grabs again at once must queue behind a thread that was
// already waiting: the monitor with an interval of 0 against a pool-list reload.
TEST(FairMutex, AWaiterGetsTheLockBeforeTheHolderTakesItAgain) {
  FairMutex lock;
  std::vector<char> order;
  lock.lock();
  std::thread waiter([&] {
    std::lock_guard guard(lock);
    order.push_back('w');
  });
  while (lock.Queued() < 2) std::this_thread::yield();
  lock.unlock();
  {
    std::lock_guard guard(lock);
    order.push_back('h');
  }
  waiter.join();
  EXPECT_EQ(order, (std::vector<char>{'w', 'h'}));
  EXPECT_EQ(lock.Queued(), 0u);
}

TEST(FairMutex, KeepsMutualExclusionUnderContention) {
  FairMutex lock;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard guard(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
}

}  // namespace
}  // namespace tarnwell
