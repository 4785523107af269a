// The Windows twin of BM_HistoryDraw: the History tab's redraw of a 30-day chart of 10 pools
// (one sample a minute, 43,200 a pool, loaded once), as tarnwell.exe does it: DrawChart for
// the three charts at the size they have in a 1000x700 tab, each painted with GDI into a
// memory canvas and copied once onto the tab's.
#include <windows.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/win32/Win32Gdi.h"
#include "app/win32/Win32HistoryPaint.h"
#include "bench/month_of_logs.h"
#include "history/HistoryChart.h"

namespace {

using namespace tarnwell;

constexpr int kPools = 10;
constexpr int kTabWidth = 1000;
constexpr int kTabHeight = 700;
constexpr int kChartWidth = 800;  // a chart's share of the tab, beside the pool list
constexpr int kChartHeight = 200;

struct LoadedMonth {
  history::History history;
  std::map<std::string, std::int64_t> spacing;  // worked out once per load, as the tab does
  history::TimeRange range;
};

// The month read once for every run; the files go once read.
const LoadedMonth& Month() {
  static const LoadedMonth month = [] {
    LoadedMonth m;
    const bench::MonthOfLogs logs(kPools);
    m.history = history::LoadHistory(logs.Dir(), bench::kMonthStart, bench::kMonthEnd);
    std::int64_t first = INT64_MAX;
    std::int64_t last = INT64_MIN;
    for (const auto& [pool, samples] : m.history.pools) {
      m.spacing[pool] = history::TypicalSpacingMs(samples);
      if (samples.empty()) continue;
      first = std::min(first, samples.front().timeMs);
      last = std::max(last, samples.back().timeMs);
    }
    // The whole month with a margin, as the tab fits it after a load.
    const std::int64_t margin = first <= last ? std::max<std::int64_t>((last - first) / 50, 1000) : 0;
    m.range = history::TimeRange{first - margin, last + margin};
    return m;
  }();
  return month;
}

const std::array<history::Figure, 3> kFigures{history::Figure::Cpu, history::Figure::RamMB, history::Figure::Threads};
const std::array<const char*, 3> kTitles{"CPU (%)", "RAM (MB)", "Threads"};

// What a redraw starts from: the loaded month's pools as chart sources, the tab's canvas and
// its font. Empty, with the run skipped, when any of it is missing.
struct Redraw {
  explicit Redraw(benchmark::State& state) : month(Month()), tab(nullptr, kTabWidth, kTabHeight) {
    if (month.history.lines != std::int64_t{kPools} * bench::kMonthDays * 24 * 60) {
      state.SkipWithError("the logs were not loaded");
      return;
    }
    if (!tab) {
      state.SkipWithError("no memory canvas");
      return;
    }
    std::size_t index = 0;
    for (const auto& [pool, samples] : month.history.pools)
      sources.push_back(history::ChartSource{&samples, pool, history::PoolColour(index++), month.spacing.at(pool)});
    metrics = win32::HistoryTextMetrics(tab.Dc(), font);
    ready = true;
  }

  history::ChartPicture Draw(std::size_t chart) const {
    return history::DrawChart(kTitles[chart], sources, kFigures[chart], month.range, kChartWidth, kChartHeight,
                              metrics);
  }

  // As the tab's WM_PAINT does it: off screen, then one copy.
  void Paint(std::size_t chart, const history::ChartPicture& picture) const {
    win32::MemoryCanvas canvas(tab.Dc(), kChartWidth, kChartHeight);
    win32::PaintHistoryChart(canvas.Dc(), picture, font);
    canvas.BlitTo(tab.Dc(), kTabWidth - kChartWidth, static_cast<int>(chart) * (kChartHeight + 10));
  }

  const LoadedMonth& month;
  win32::MemoryCanvas tab;
  HFONT font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  history::TextMetrics metrics;
  std::vector<history::ChartSource> sources;
  bool ready = false;
};

std::int64_t PointsOf(const history::ChartPicture& picture) {
  std::int64_t points = 0;
  for (const history::DrawnLine& line : picture.lines)
    for (const auto& segment : line.segments) points += static_cast<std::int64_t>(segment.size());
  return points;
}

// The whole redraw: build, reduce and paint the three charts.
void BM_HistoryDrawGdi(benchmark::State& state) {
  const Redraw redraw(state);
  if (!redraw.ready) return;
  std::int64_t points = 0;
  for (auto _ : state) {
    points = 0;
    for (std::size_t c = 0; c < kFigures.size(); ++c) {
      const history::ChartPicture picture = redraw.Draw(c);
      redraw.Paint(c, picture);
      points += PointsOf(picture);
    }
    ::GdiFlush();  // the batched GDI calls belong to this iteration
  }
  state.counters["points"] = static_cast<double>(points);  // drawn per redraw, the three charts
}
BENCHMARK(BM_HistoryDrawGdi)->Unit(benchmark::kMillisecond)->UseRealTime();

// The painting alone, the pictures drawn once: what the GDI painter costs of the redraw.
void BM_HistoryPaintGdi(benchmark::State& state) {
  const Redraw redraw(state);
  if (!redraw.ready) return;
  std::vector<history::ChartPicture> pictures;
  for (std::size_t c = 0; c < kFigures.size(); ++c) pictures.push_back(redraw.Draw(c));
  for (auto _ : state) {
    for (std::size_t c = 0; c < pictures.size(); ++c) redraw.Paint(c, pictures[c]);
    ::GdiFlush();
  }
}
BENCHMARK(BM_HistoryPaintGdi)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
