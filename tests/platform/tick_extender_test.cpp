// GetTickCount's 32-bit milliseconds extended to 64 bits across its wrap, as the Windows
// Server 2003 stand-in for GetTickCount64 does it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/win32/compat/tick_extender.h"

namespace tarnwell::platform::win32 {
namespace {

constexpr std::uint64_t kWrap = 1ull << 32;

TEST(TickExtender, CountsEachWrapOnce) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> ticks;
    std::vector<std::uint64_t> extended;
  };
  const Case cases[] = {
      {"no wrap; the same tick twice", {5, 10, 10, 4000000000u}, {5, 10, 10, 4000000000u}},
      {"two wraps",
       {0xFFFFFFF0u, 3, 0xFFFFFFFFu, 0, 1},
       {0xFFFFFFF0u, kWrap + 3, kWrap + 0xFFFFFFFFu, 2 * kWrap, 2 * kWrap + 1}},
      {"a reading just short of a whole wrap later", {7, 6}, {7, kWrap + 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TickExtender extender;
    std::vector<std::uint64_t> got;
    for (const std::uint32_t tick : c.ticks) got.push_back(extender.Now([tick] { return tick; }));
    EXPECT_EQ(got, c.extended);
  }
}

// Threads share one tick source that moves on with every reading and wraps every 1,024
// readings; each result must be the 64-bit count of the reading it was made from, however
// the threads interleave. A reading taken before the shared state was loaded, and stored
// after a newer one, would come out a whole wrap ahead.
TEST(TickExtender, ThreadsAgreeOnEveryReading) {
  constexpr std::uint64_t kStep = kWrap / 1024;
  constexpr int kThreads = 4;
  constexpr int kReadings = 20000;  // about 78 wraps in all
  std::atomic<std::uint64_t> clock{0};
  TickExtender extender;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::uint64_t previous = 0;
      for (int i = 0; i < kReadings; ++i) {
        std::uint64_t read = 0;
        const std::uint64_t now = extender.Now([&] {
          read = clock.fetch_add(kStep) + kStep;
          std::this_thread::yield();  // lets other threads read and store meanwhile
          return static_cast<std::uint32_t>(read);
        });
        if (now != read || now <= previous) wrong.fetch_add(1);
        previous = now;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(extender.Now([&] { return static_cast<std::uint32_t>(clock.load()); }), clock.load());
}

}  // namespace
}  // namespace tarnwell::platform::win32
