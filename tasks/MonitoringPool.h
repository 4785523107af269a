#pragma once
// The monitoring thread: every interval it reloads the ticked pools, samples their worker
// processes, has the window redraw, and appends the monitoring log. Runs until the
// registry's Monitoring flag is cleared (Stop) or the window asks it to end.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "logs/LogsClock.h"
#include "tasks/TaskThread.h"

namespace tarnwell {

class TIISObject;
class TLog;

inline constexpr const char* kMonitoringHeader =
    "#Format (tab delimiter): datetime name_of_pool count_app ram cpu count_treads open_files open_tcp "
    "open_handles pid";

// The monitoring log's data line of one record, without the time stamp the log puts first.
// A TAB, CR or LF in the pool's name is written as a space.
std::string MonitoringLine(const struct TPoolRec& rec);

// The daily log's two lines of each pass's redraw, whoever monitors.
std::string IntervalLogLine(const std::string& minutesText);
std::string PoolsLogLine(std::int32_t poolCount);

// Interval box text to seconds: whole minutes 0 to 999; nothing for any other text.
std::optional<std::int32_t> IntervalSeconds(const std::string& minutesText);

class TMonitoringPool : public TTaskThread {
 public:
  using Sleeper = std::function<void(std::uint32_t ms)>;
  // clock and sleep are injected so that tests drive time; the program passes the system's.
  TMonitoringPool(IWindowPort& window, const ILocalClock& clock, Sleeper sleep);

 protected:
  void Execute() override;

 private:
  void Pass(TIISObject& registry, TLog& monLog);
  // At interval 0: sleeps what is left of one processor-use window since the pass started.
  void WaitOutMeasuringWindow(double passStart);
  bool KeepGoing(TIISObject& registry) const;

  const ILocalClock& clock_;
  Sleeper sleep_;
  bool metabaseFailing_ = false;  // the last pass could not read the metabase (monitor thread)
};

}  // namespace tarnwell
