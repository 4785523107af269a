#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "logs/LogsClock.h"
#include "tests/logs/log_test_support.h"

namespace tarnwell {
namespace {

using testing::At;

TEST(LogClockFormats, PadEveryFieldAndKeepMilliseconds) {
  const LocalTime t = At(2026, 12, 6, 9, 5, 3, 7);
  EXPECT_EQ(FormatPaneStamp(t), "06/12/26 09:05:03.007");
  EXPECT_EQ(FormatLogStamp(t), "06-12-26 09:05:03.007");
  EXPECT_EQ(FormatAnalyseStamp(t), "06-12-26 09:05:03");
  EXPECT_EQ(FormatFileDate(t), "061226");

  const LocalTime late = At(2026, 1, 31, 23, 59, 59, 999);
  EXPECT_EQ(FormatPaneStamp(late), "31/01/26 23:59:59.999");
  EXPECT_EQ(FormatLogStamp(late), "31-01-26 23:59:59.999");
}

TEST(LogClockFormats, YearKeepsItsLastTwoDigits) {
  EXPECT_EQ(FormatFileDate(At(2000, 3, 4, 0, 0)), "040300");
  EXPECT_EQ(FormatFileDate(At(2105, 3, 4, 0, 0)), "040305");
  EXPECT_EQ(FormatLogStamp(At(2009, 3, 4, 0, 0)), "04-03-09 00:00:00.000");
}

TEST(LocalTimeValues, MillisecondsSinceMidnight) {
  EXPECT_EQ(At(2026, 12, 6, 0, 0).MsOfDay(), 0u);
  EXPECT_EQ(At(2026, 12, 6, 10, 0).MsOfDay(), 36'000'000u);
  EXPECT_EQ(At(2026, 12, 6, 23, 59, 59, 999).MsOfDay(), 86'399'999u);
}

TEST(LocalTimeValues, DaysSinceTheEndOf1899) {
  EXPECT_DOUBLE_EQ(At(1899, 12, 30, 0, 0).ToDateTime(), 0.0);
  EXPECT_DOUBLE_EQ(At(1900, 1, 1, 0, 0).ToDateTime(), 2.0);
  EXPECT_DOUBLE_EQ(At(2000, 1, 1, 0, 0).ToDateTime(), 36526.0);
  EXPECT_DOUBLE_EQ(At(2026, 12, 6, 18, 0).ToDateTime(), 46362.75);
  EXPECT_DOUBLE_EQ(At(2026, 12, 6, 0, 0, 0, 1).ToDateTime(), 46362.0 + 1.0 / 86'400'000.0);
  // Leap days: 2024-02-29 sits between 28 February and 1 March.
  EXPECT_DOUBLE_EQ(At(2024, 3, 1, 0, 0).ToDateTime() - At(2024, 2, 28, 0, 0).ToDateTime(), 2.0);
  EXPECT_DOUBLE_EQ(At(1900, 3, 1, 0, 0).ToDateTime() - At(1900, 2, 28, 0, 0).ToDateTime(), 1.0);
  // Before the epoch the time of day counts away from zero.
  EXPECT_DOUBLE_EQ(At(1899, 12, 29, 6, 0).ToDateTime(), -1.25);
}

#ifndef _WIN32
// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(SystemClockTest, GivesLocalTimeOfTheMachine) {
  ScopedTimeZone zone("TRN-05:30");  // five and a half hours east of UTC
  using namespace std::chrono;
  const auto before = system_clock::now();
  const LocalTime now = SystemClock().Now();
  const auto after = system_clock::now();

  // UTC plus the offset, expressed in the same day count as the clock's answer.
  const auto toLocalDays = [](system_clock::time_point p) {
    const double unixDays = duration_cast<milliseconds>(p.time_since_epoch()).count() / 86'400'000.0;
    return unixDays + 25569.0 + 5.5 / 24.0;  // 25569: 1970-01-01 counted from 1899-12-30
  };
  const double got = now.ToDateTime();
  const double slack = 1.0 / 86'400'000.0;  // one millisecond of rounding
  EXPECT_GE(got, toLocalDays(before) - slack);
  EXPECT_LE(got, toLocalDays(after) + slack);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
}
#endif

}  // namespace
}  // namespace tarnwell
