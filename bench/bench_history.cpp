// Loading a month of monitoring logs for the History view: 30 days of 50 pools at one line
// per pool per minute, 2.16 million lines.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "history/MonitoringLogReader.h"

namespace {

using tarnwell::history::Day;

constexpr int kDays = 30;
constexpr int kPools = 50;

// The logs, written once for every run of the benchmark and removed at exit.
class MonthOfLogs {
 public:
  MonthOfLogs() {
    dir_ = std::filesystem::temp_directory_path() / ("tarnwell-history-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    Day day{2026, 11, 1};
    for (int d = 0; d < kDays; ++d, day = tarnwell::history::NextDay(day)) {
      std::ofstream out(dir_ / tarnwell::history::MonitoringLogName(day), std::ios::binary);
      std::string text = "\r\n";
      char line[160];
      for (int minute = 0; minute < 24 * 60; ++minute) {
        for (int p = 0; p < kPools; ++p) {
          const int n = std::snprintf(line, sizeof line, "%02d-%02d-%02d %02d:%02d:00.%03d\tPool%02d\t3\t%d\t%d\t28\t40\t3\t410\t%d\r\n",
                                      day.day, day.month, day.year % 100, minute / 60, minute % 60, p, p,
                                      60000 + (minute * 7 + p) % 9000, (minute + p) % 100, 2000 + p);
          text.append(line, static_cast<std::size_t>(n));
        }
      }
      out << text;
    }
  }
  ~MonthOfLogs() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Dir() const { return dir_.string(); }

 private:
  std::filesystem::path dir_;
};

void BM_HistoryLoad(benchmark::State& state) {
  static const MonthOfLogs logs;
  std::int64_t lines = 0;
  for (auto _ : state) {
    const auto history = tarnwell::history::LoadHistory(logs.Dir(), {2026, 11, 1}, {2026, 11, 30});
    lines = history.lines;
    benchmark::DoNotOptimize(history.pools.size());
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["lines"] = static_cast<double>(lines);
  state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;  // of the whole benchmark program
}
BENCHMARK(BM_HistoryLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
