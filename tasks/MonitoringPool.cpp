#include "tasks/MonitoringPool.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "metrics/uCpuUsage.h"
#include "tasks/WindowPort.h"
#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

constexpr std::uint32_t kPollMs = 1000;
constexpr double kSecondsPerDay = 86400.0;
constexpr double kMsPerDay = 86'400'000.0;

}  // namespace

std::string MonitoringLine(const TPoolRec& rec) {
  // A name may hold what separates the fields and the lines; the log must stay one line of
  // ten fields per pool.
  std::string line = rec.Name;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  for (std::int32_t v : {rec.AppCount, rec.RamKB, rec.Cpu, rec.Threads, rec.OpenFiles, rec.OpenTcp, rec.Handles, rec.Pid}) {
    line += '\t';
    line += std::to_string(v);
  }
  return line;
}

std::string IntervalLogLine(const std::string& minutesText) { return "Monitoring interval (min) : " + minutesText; }

std::string PoolsLogLine(std::int32_t poolCount) { return "Monitoring pools : " + std::to_string(poolCount); }

std::optional<std::int32_t> IntervalSeconds(const std::string& minutesText) {
  if (minutesText.empty() || minutesText.size() > 3) return std::nullopt;
  std::int32_t minutes = 0;
  for (char c : minutesText) {
    if (c < '0' || c > '9') return std::nullopt;
    minutes = minutes * 10 + (c - '0');
  }
  return minutes * 60;
}

TMonitoringPool::TMonitoringPool(IWindowPort& window, const ILocalClock& clock, Sleeper sleep)
    : TTaskThread(window), clock_(clock), sleep_(std::move(sleep)) {}

bool TMonitoringPool::KeepGoing(TIISObject& registry) const { return registry.IsMonitoring() && !Terminated(); }

void TMonitoringPool::Execute() {
  IWindowPort& window = Window();
  TIISObject& registry = window.Registry();
  platform::ThreadScope com(ThreadApartment());

  TLog monLog(window.LogDir(), "-mon-", clock_);
  monLog.Write(kMonitoringHeader, true);

  std::string intervalText;
  Synchronize([&] { intervalText = window.MonitoringIntervalText(); });
  const auto interval = IntervalSeconds(intervalText);
  if (!interval) {
    // Raised to the thread's end: the window's end notification puts the window back to
    // "not monitoring" and says why.
    throw std::invalid_argument("Monitoring interval [" + intervalText + "] is not a number of minutes");
  }

  bool run = true;
  while (run) {
    const double passStart = clock_.Now().ToDateTime();
    Pass(registry, monLog);
    if (*interval == 0) {
      WaitOutMeasuringWindow(passStart);
    } else {
      const double deadline = passStart + *interval / kSecondsPerDay;
      while (clock_.Now().ToDateTime() <= deadline) {
        sleep_(kPollMs);
        if (!KeepGoing(registry)) break;
      }
    }
    run = KeepGoing(registry);
  }
}

void TMonitoringPool::WaitOutMeasuringWindow(double passStart) {
  // Back to back, but a pass that measured nothing (no worker runs, or the metabase cannot be
  // read) would otherwise follow the last one at once: a busy processor and a daily log
  // growing by megabytes a minute. The clock set back counts as one window, never more.
  const double elapsedMs = (clock_.Now().ToDateTime() - passStart) * kMsPerDay;
  const double remainingMs = std::clamp(static_cast<double>(CpuSampleDelay) - elapsedMs, 0.0,
                                        static_cast<double>(CpuSampleDelay));
  const auto ms = static_cast<std::uint32_t>(std::lround(remainingMs));
  if (ms > 0) sleep_(ms);
}

void TMonitoringPool::Pass(TIISObject& registry, TLog& monLog) {
  // One rebuild at a time: the lock is held until the redraw and the lines are done, so a
  // pool-list reload cannot rewrite the records in between.
  std::lock_guard rebuild(registry.RebuildMutex());
  const auto started = std::chrono::steady_clock::now();
  registry.LoadPools();
  // An unreadable metabase is said once when it starts failing and once when it is back,
  // not in every pass.
  if (registry.LoadFailure.has_value() != metabaseFailing_ && registry.Log != nullptr) {
    const std::string line = registry.LoadFailure
                                 ? MetabaseUnreadableText(*registry.LoadFailure) +
                                       ". Monitoring goes on with the pools read before."
                                 : "The metabase can be read again [" + std::string(kAppPoolsAdsPath) + "]";
    try {
      registry.Log->Write(line);
    } catch (const std::exception&) {
      // The daily log reports its own failure; monitoring goes on.
    }
  }
  metabaseFailing_ = registry.LoadFailure.has_value();
  if (!registry.SamplePools() && registry.Log != nullptr) {
    registry.Log->Write("Error for get RAM/CPU data for pools");
  }
  Synchronize([this] { Window().ThreadPoolMonitoring(); });
  for (std::int32_t i = 0; i < registry.PoolCount; ++i) {
    const TPoolRec& rec = registry.Pools[i];
    if (!rec.Name.empty() && rec.Pid != 0) monLog.Write(MonitoringLine(rec));
  }
  if (TextfileExport* textfile = Window().Textfile()) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    textfile->WritePass(registry, took.count(), now.count(), registry.Log);
  }
}

}  // namespace tarnwell
