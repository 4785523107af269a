#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "logs/LogsClock.h"
#include "tests/support/test_clock.h"

namespace tarnwell {
namespace {

using testutil::At;

TEST(LogClockFormats, PadEveryFieldKeepMillisecondsAndTheYearsLastTwoDigits) {
  struct Case {
    LocalTime t;
    const char *pane, *log, *analyse, *file;
  };
  for (const Case& c : {Case{At(2026, 12, 6, 9, 5, 3, 7), "06/12/26 09:05:03.007", "06-12-26 09:05:03.007",
                             "06-12-26 09:05:03", "061226"},
                        Case{At(2026, 1, 31, 23, 59, 59, 999), "31/01/26 23:59:59.999", "31-01-26 23:59:59.999",
                             "31-01-26 23:59:59", "310126"},
                        Case{At(2000, 3, 4, 0, 0), "04/03/00 00:00:00.000", "04-03-00 00:00:00.000",
                             "04-03-00 00:00:00", "040300"},
                        Case{At(2105, 3, 4, 0, 0), "04/03/05 00:00:00.000", "04-03-05 00:00:00.000",
                             "04-03-05 00:00:00", "040305"}}) {
    EXPECT_EQ(FormatPaneStamp(c.t), c.pane);
    EXPECT_EQ(FormatLogStamp(c.t), c.log);
    EXPECT_EQ(FormatAnalyseStamp(c.t), c.analyse);
    EXPECT_EQ(FormatFileDate(c.t), c.file);
  }
}

TEST(LocalTimeValues, MillisecondsSinceMidnightAndDaysSinceTheEndOf1899) {
  EXPECT_EQ(At(2026, 12, 6, 0, 0).MsOfDay(), 0u);
  EXPECT_EQ(At(2026, 12, 6, 10, 0).MsOfDay(), 36'000'000u);
  EXPECT_EQ(At(2026, 12, 6, 23, 59, 59, 999).MsOfDay(), 86'399'999u);
  for (const auto& [t, days] : {std::pair{At(1899, 12, 30, 0, 0), 0.0}, {At(1900, 1, 1, 0, 0), 2.0},
                                {At(2000, 1, 1, 0, 0), 36526.0}, {At(2026, 12, 6, 18, 0), 46362.75},
                                {At(2026, 12, 6, 0, 0, 0, 1), 46362.0 + 1.0 / 86'400'000.0}})
    EXPECT_DOUBLE_EQ(t.ToDateTime(), days);
  // Leap days: 2024-02-29 sits between 28 February and 1 March; 1900 has none.
  EXPECT_DOUBLE_EQ(At(2024, 3, 1, 0, 0).ToDateTime() - At(2024, 2, 28, 0, 0).ToDateTime(), 2.0);
  EXPECT_DOUBLE_EQ(At(1900, 3, 1, 0, 0).ToDateTime() - At(1900, 2, 28, 0, 0).ToDateTime(), 1.0);
  // Before the epoch the time of day counts away from zero.
  EXPECT_DOUBLE_EQ(At(1899, 12, 29, 6, 0).ToDateTime(), -1.25);
}

#ifndef _WIN32
TEST(SystemClockTest, GivesLocalTimeOfTheMachine) {
  // Five and a half hours east of UTC for this test; the old zone comes back after it.
  std::optional<std::string> oldZone;
  if (const char* old = std::getenv("TZ")) oldZone = old;
  ::setenv("TZ", "TRN-05:30", 1);
  ::tzset();
  using namespace std::chrono;
  const auto before = system_clock::now();
  const LocalTime now = SystemClock().Now();
  const auto after = system_clock::now();
  oldZone ? ::setenv("TZ", oldZone->c_str(), 1) : ::unsetenv("TZ");
  ::tzset();

  // UTC plus the offset, in the clock's day count (25569: 1970-01-01 counted from 1899-12-30).
  const auto toLocalDays = [](system_clock::time_point p) {
    return duration_cast<milliseconds>(p.time_since_epoch()).count() / 86'400'000.0 + 25569.0 + 5.5 / 24.0;
  };
  const double slack = 1.0 / 86'400'000.0;  // one millisecond of rounding
  EXPECT_GE(now.ToDateTime(), toLocalDays(before) - slack);
  EXPECT_LE(now.ToDateTime(), toLocalDays(after) + slack);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
}
#endif

}  // namespace
}  // namespace tarnwell
