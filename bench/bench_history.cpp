// Loading a month of monitoring logs for the History view: 30 days of 50 pools at one line
// per pool per minute, 2.16 million lines.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>

#include "bench/month_of_logs.h"
#include "history/MonitoringLogReader.h"

namespace {

using tarnwell::bench::MonthOfLogs;

constexpr int kPools = 50;

void BM_HistoryLoad(benchmark::State& state) {
  static const MonthOfLogs logs(kPools);
  std::int64_t lines = 0;
  for (auto _ : state) {
    const auto history = tarnwell::history::LoadHistory(logs.Dir(), tarnwell::bench::kMonthStart, tarnwell::bench::kMonthEnd);
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
