#pragma once
// One History chart as any painter draws it: the plot area, the ticks of both axes with
// their labels, and each pool's reduced line in the chart's pixels, with the data behind
// every point so that hovering and export need nothing else. Knows no toolkit: QPainter
// draws it in one window, GDI in the other.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryLines.h"

namespace tarnwell::history {

struct TimeRange {
  std::int64_t fromMs = 0;  // ms since 2000-01-01, as the stamps count
  std::int64_t toMs = 0;
  bool operator==(const TimeRange&) const = default;
};

// What the painter's font needs, in pixels.
struct TextMetrics {
  int charWidth = 7;  // an average digit
  int lineHeight = 14;
};

struct PixelRect {
  int left = 0;
  int top = 0;
  int right = 0;  // exclusive
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

struct AxisTick {
  int pixel = 0;  // x on the time axis, y on the value axis
  std::string label;
};

struct ChartPoint {
  int x = 0;
  int y = 0;
  std::int64_t timeMs = 0;
  double value = 0;
};

struct DrawnLine {
  std::string pool;
  std::uint32_t colour = 0;  // 0xRRGGBB
  std::vector<std::vector<ChartPoint>> segments;  // each a polyline; none joins across a gap
  std::vector<ChartPoint> restarts;               // a new worker: a dot on the plot's floor
};

struct ChartPicture {
  std::string title;
  int width = 0;
  int height = 0;
  PixelRect plot;
  TimeRange range;
  double top = 1;  // the value at the plot's top edge
  std::vector<AxisTick> timeTicks;
  std::vector<AxisTick> valueTicks;
  std::vector<DrawnLine> lines;
};

// The line colours, by a pool's place among the loaded pools; they repeat after the last.
std::uint32_t PoolColour(std::size_t index);

// The plot area of a chart of this size: the title above, value labels to the left, time
// labels below.
PixelRect PlotArea(int width, int height, const TextMetrics& metrics);

// A pool's line ready to draw: the samples of the range, reduced to the plot's columns.
struct ChartSource {
  const std::vector<Sample>* samples = nullptr;
  std::string pool;
  std::uint32_t colour = 0;
  std::int64_t spacingMs = -1;  // TypicalSpacingMs of the samples, negative to work it out
};

// Builds, reduces and places the lines of one chart.
ChartPicture DrawChart(const std::string& title, const std::vector<ChartSource>& sources, Figure figure,
                       const TimeRange& range, int width, int height, const TextMetrics& metrics);

// The lines of a picture as the data they show, for export.
std::vector<PoolLine> ShownLines(const ChartPicture& picture);

// The time under a pixel column of the picture's plot (clamped to the plot).
std::int64_t TimeAtX(const ChartPicture& picture, int x);

// The range one wheel step keeps around the time under the pointer: steps > 0 zoom in.
TimeRange WheelZoom(const TimeRange& range, std::int64_t atMs, int steps);

// The point drawn nearest to (x, y) within radius pixels.
struct HoverHit {
  std::string pool;
  std::int64_t timeMs = 0;
  double value = 0;
};
std::optional<HoverHit> HitTest(const ChartPicture& picture, int x, int y, int radius = 6);
// "pool\ndd-mm-yy hh:nn:ss\nvalue" as a tooltip shows it.
std::string HoverText(const HoverHit& hit);

// A stamp as text: "dd-mm-yy hh:nn:ss".
std::string FormatStampText(std::int64_t timeMs);

}  // namespace tarnwell::history
