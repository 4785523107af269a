#include "logs/LogsClock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnwell {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Two decimal digits of a field; the year keeps only its last two.
int TwoDigits(int value) { return ((value % 100) + 100) % 100; }

class LocalSystemClock final : public ILocalClock {
 public:
  LocalTime Now() const override {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto sinceEpoch = duration_cast<milliseconds>(now.time_since_epoch());
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto ms = (sinceEpoch - secs).count();
    if (ms < 0) {  // before 1970: keep the milliseconds positive
      ms += 1000;
      secs -= seconds(1);
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays within the minute
    lt.millisecond = static_cast<int>(ms);
    return lt;
  }
};

#ifdef _WIN32
char LocaleSeparator(LCTYPE what, char fallback) {
  char buf[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, what, buf, sizeof buf) > 0 && buf[0] != '\0') {
    return buf[0];
  }
  return fallback;
}
#endif

}  // namespace

std::uint32_t LocalTime::MsOfDay() const {
  return static_cast<std::uint32_t>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond);
}

double LocalTime::ToDateTime() const {
  static const std::int64_t epoch = DaysFromCivil(1899, 12, 30);
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - epoch;
  const double fraction = MsOfDay() / 86'400'000.0;
  // Before the epoch the time of day still counts away from zero (-1.25 is 29/12/1899 06:00).
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

const ILocalClock& SystemClock() {
  static const LocalSystemClock clock;
  return clock;
}

char DateSeparator() {
#ifdef _WIN32
  static const char sep = LocaleSeparator(LOCALE_SDATE, '/');
  return sep;
#else
  return '/';  // the C library's locales give no date separator
#endif
}

char TimeSeparator() {
#ifdef _WIN32
  static const char sep = LocaleSeparator(LOCALE_STIME, ':');
  return sep;
#else
  return ':';
#endif
}

std::string PaneLine(const LocalTime& t, const std::string& msg) { return FormatPaneStamp(t) + " " + msg; }

std::string FormatPaneStamp(const LocalTime& t) {
  char buf[128];
  const char d = DateSeparator();
  const char c = TimeSeparator();
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d %02d%c%02d%c%02d.%03d", TwoDigits(t.day), d,
                TwoDigits(t.month), d, TwoDigits(t.year), t.hour, c, t.minute, c, t.second,
                t.millisecond);
  return buf;
}

std::string FormatLogStamp(const LocalTime& t) {
  char buf[128];
  const char c = TimeSeparator();
  std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d%c%02d%c%02d.%03d", TwoDigits(t.day),
                TwoDigits(t.month), TwoDigits(t.year), t.hour, c, t.minute, c, t.second,
                t.millisecond);
  return buf;
}

std::string FormatAnalyseStamp(const LocalTime& t) {
  char buf[128];
  const char c = TimeSeparator();
  std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d%c%02d%c%02d", TwoDigits(t.day),
                TwoDigits(t.month), TwoDigits(t.year), t.hour, c, t.minute, c, t.second);
  return buf;
}

std::string FormatFileDate(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", TwoDigits(t.day), TwoDigits(t.month),
                TwoDigits(t.year));
  return buf;
}

}  // namespace tarnwell
