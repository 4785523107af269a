#pragma once
// A 32-bit millisecond tick (GetTickCount, which wraps every 49.7 days) extended to 64 bits.
// Portable, so that its wrap handling is tested on any system.
#include <atomic>
#include <cstdint>

namespace tarnwell::platform::win32 {

// Counts every wrap it sees, so it must be asked at least once per wrap: a longer gap
// loses 49.7 days (the result still never goes back). Any thread may call Now.
class TickExtender {
 public:
  // read: () -> std::uint32_t, the 32-bit tick. The result starts at the first reading.
  template <typename Read32>
  std::uint64_t Now(Read32 read) {
    std::uint64_t last = last_.load(std::memory_order_acquire);
    for (;;) {
      // Read after loading: when the exchange below succeeds, no newer reading was stored
      // meanwhile, so this reading is not older than the one `last` was made from, and the
      // 32-bit difference is the time that passed, across a wrap too.
      const std::uint32_t now = read();
      const std::uint64_t next = last + static_cast<std::uint32_t>(now - static_cast<std::uint32_t>(last));
      if (last_.compare_exchange_weak(last, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return next;
      }
    }
  }

 private:
  // A 64-bit atomic without a lock on both architectures (cmpxchg8b on i686): the shim
  // that uses this runs under the thread library's own waits.
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
  std::atomic<std::uint64_t> last_{0};
};

}  // namespace tarnwell::platform::win32
