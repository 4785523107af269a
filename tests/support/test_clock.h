#pragma once
// The one clock of the tests: it stands where the test sets it and moves only when the
// test (or a fake sleeper) steps it, forwards, backwards or across midnight. Read from
// every thread.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "logs/LogsClock.h"

namespace tarnwell::testutil {

inline LocalTime At(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
  return LocalTime{year, month, day, hour, minute, second, ms};
}

class TestClock final : public ILocalClock {
 public:
  // 06/12/26 22:45:03.120, a time that no test's expectation mistakes for another.
  TestClock() : TestClock(At(2026, 12, 6, 22, 45, 3, 120)) {}
  explicit TestClock(const LocalTime& t) { Set(t); }

  LocalTime Now() const override {
    using namespace std::chrono;
    const milliseconds since{ms_.load()};
    const sys_days day = floor<days>(sys_time<milliseconds>(since));
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{since - day.time_since_epoch()};
    return LocalTime{static_cast<int>(date.year()),
                     static_cast<int>(static_cast<unsigned>(date.month())),
                     static_cast<int>(static_cast<unsigned>(date.day())),
                     static_cast<int>(time.hours().count()),
                     static_cast<int>(time.minutes().count()),
                     static_cast<int>(time.seconds().count()),
                     static_cast<int>(time.subseconds().count())};
  }

  void Set(const LocalTime& t) {
    using namespace std::chrono;
    const sys_days day{year{t.year} / t.month / t.day};
    ms_ = duration_cast<milliseconds>(day.time_since_epoch()).count() + t.MsOfDay();
  }
  void Set(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
    Set(At(year, month, day, hour, minute, second, ms));
  }
  // A negative step sets the clock back, as an administrator or a time service may.
  void Advance(std::int64_t ms) { ms_ += ms; }
  // Milliseconds since 1970, local time: for measuring how far a sleeper moved the clock.
  std::int64_t Ms() const { return ms_.load(); }

 private:
  std::atomic<std::int64_t> ms_{0};
};

}  // namespace tarnwell::testutil
