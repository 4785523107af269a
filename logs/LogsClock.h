#pragma once
// Local time as the logs, the panes and the analyser stamp it; injectable for tests.
#include <cstdint>
#include <string>

namespace tarnwell {

struct LocalTime {
  int year = 1899;   // four digits
  int month = 12;    // 1..12
  int day = 30;      // 1..31
  int hour = 0;      // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  // Milliseconds since local midnight, 0 .. 86,399,999.
  std::uint32_t MsOfDay() const;
  // Days since 30 December 1899, the time of day as the fraction.
  double ToDateTime() const;
};

class ILocalClock {
 public:
  virtual ~ILocalClock() = default;
  virtual LocalTime Now() const = 0;
};

// The machine's local clock.
const ILocalClock& SystemClock();

// The locale's separators; "/" and ":" where the platform gives none.
char DateSeparator();
char TimeSeparator();

std::string FormatPaneStamp(const LocalTime& t);     // dd/mm/yy hh:nn:ss.zzz
// A message as the pane shows it and the daily log keeps it: its pane stamp first.
std::string PaneLine(const LocalTime& t, const std::string& msg);
std::string FormatLogStamp(const LocalTime& t);      // dd-mm-yy hh:nn:ss.zzz
std::string FormatAnalyseStamp(const LocalTime& t);  // dd-mm-yy hh:nn:ss
std::string FormatFileDate(const LocalTime& t);      // ddmmyy

}  // namespace tarnwell
