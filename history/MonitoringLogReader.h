#pragma once
// Reads the monitoring logs (log/trnw-mon-ddmmyy.log) back into per-pool series: the logs
// are the History view's database. Lines are split on TAB and the stamp read as written;
// a line cut off by a crash, a line of another shape, the header and empty lines are
// skipped and counted. Files are read in parallel; a load can be cancelled.
#include <cstdint>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell::history {

// A calendar day, as the log file names carry it.
struct Day {
  int year = 0;  // four digits
  int month = 0;
  int day = 0;
  auto operator<=>(const Day&) const = default;
};

// One pool's line of one pass.
struct Sample {
  std::int64_t timeMs = 0;  // the stamp as written, in ms since 2000-01-01 00:00 (no time zone)
  std::int32_t apps = 0;
  std::int32_t ramKB = 0;
  std::int32_t cpu = 0;
  std::int32_t threads = 0;
  std::int32_t openFiles = 0;
  std::int32_t openTcp = 0;
  std::int32_t handles = 0;
  std::uint32_t pid = 0;
};

struct History {
  std::map<std::string, std::vector<Sample>> pools;  // by name, each in time order
  std::int64_t lines = 0;      // lines read as samples
  std::int64_t skipped = 0;    // header, empty, cut and foreign lines
  std::int32_t files = 0;      // files read
  std::int32_t missingDays = 0;  // days of the range without a file
  bool cancelled = false;
};

// "08-12-26 12:52:50.599" (any one-character separators) -> ms since 2000-01-01.
std::optional<std::int64_t> ParseStamp(std::string_view stamp);
// One line without its line end: the pool and its sample, or none for any other line.
std::optional<Sample> ParseLine(std::string_view line, std::string_view& pool);

// "trnw-mon-ddmmyy.log" for a day.
std::string MonitoringLogName(const Day& day);
// The days from..to (inclusive) that have a monitoring log in dir.
std::vector<Day> DaysWithLogs(const std::string& dir, const Day& from, const Day& to);

// Reads the day's logs from..to in dir, on up to `threads` threads. Stops early, with
// cancelled set and nothing else kept, when stop is requested.
History LoadHistory(const std::string& dir, const Day& from, const Day& to, std::stop_token stop = {},
                    unsigned threads = 0);

// The day after.
Day NextDay(const Day& day);
// The day n days later (earlier when n < 0).
Day AddDays(const Day& day, int n);
// The day's midnight in ms as the stamps count (since 2000-01-01).
std::int64_t DayStartMs(const Day& day);

}  // namespace tarnwell::history
