// The chart every window paints: axes a reader can use, lines inside the plot, and the
// data under the pointer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/HistoryChart.h"

namespace tarnwell::history {
namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kDay = 1440 * kMinute;
const TextMetrics kMetrics{7, 14};
// 08-12-26 00:00, as the stamps count.
constexpr std::int64_t kMidnight = 9838 * kDay;

std::vector<Sample> EveryMinute(std::int64_t from, int count, std::uint32_t pid, int cpuBase = 0) {
  std::vector<Sample> out;
  for (int i = 0; i < count; ++i)
    out.push_back({.timeMs = from + i * kMinute, .ramKB = 2048 * (i % 50), .cpu = cpuBase + i % 90, .pid = pid});
  return out;
}

TEST(HistoryChart, TimeTicksAreRoundUncrowdedAndInsideThePlot) {
  struct Case {
    std::int64_t span;
    std::int64_t step;        // the tick spacing expected at 800 pixels
    std::string firstLabel;
  };
  const Case cases[] = {
      {20'000, 2'000, "00:00:02"},           // seconds
      {3'600'000, 5 * kMinute, "00:05"},     // an hour
      {kDay, 2 * 3'600'000, "02:00"},        // a day
      {3 * kDay, 12 * 3'600'000, "08-12 12:00"},  // days with their hours
      {30 * kDay, 7 * kDay, "12-12"},        // a month: weeks
      {4000 * kDay, 0, ""},                  // years: any step, but few ticks
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.span);
    const ChartPicture picture = DrawChart("CPU", {}, Figure::Cpu, {kMidnight + 1, kMidnight + c.span}, 800, 200, kMetrics);
    ASSERT_GE(picture.timeTicks.size(), 2u);
    EXPECT_LE(picture.timeTicks.size(), 20u);
    for (std::size_t i = 0; i < picture.timeTicks.size(); ++i) {
      const AxisTick& tick = picture.timeTicks[i];
      EXPECT_GE(tick.pixel, picture.plot.left);
      EXPECT_LT(tick.pixel, picture.plot.right);
      if (i > 0) {  // room for the label and a gap
        EXPECT_GE(tick.pixel - picture.timeTicks[i - 1].pixel,
                  static_cast<int>(tick.label.size()) * kMetrics.charWidth) << tick.label;
      }
    }
    if (c.step != 0) {
      EXPECT_EQ(picture.timeTicks[0].label, c.firstLabel);
      const double pixelTime = static_cast<double>(c.span) / picture.plot.Width();
      EXPECT_NEAR(static_cast<double>(TimeAtX(picture, picture.timeTicks[1].pixel) -
                                      TimeAtX(picture, picture.timeTicks[0].pixel)),
                  static_cast<double>(c.step), 2 * pixelTime);
    }
  }
}

TEST(HistoryChart, ValueAxisIsRoundAboveTheHighestPointAndLinesStayInThePlot) {
  const std::vector<Sample> shop = EveryMinute(kMidnight, 600, 7, 3);  // CPU up to 92
  const std::vector<Sample> lone = {{.timeMs = kMidnight + 700 * kMinute, .cpu = 40, .pid = 9}};
  const ChartPicture picture =
      DrawChart("CPU", {{&shop, "Shop", 0x209fdf, -1}, {&lone, "Lone", 0x99ca53, -1}}, Figure::Cpu,
                {kMidnight, kMidnight + 720 * kMinute}, 600, 180, kMetrics);
  EXPECT_GE(picture.top, 92 * 1.05);
  EXPECT_EQ(picture.valueTicks.front().label, "0");
  EXPECT_EQ(picture.valueTicks.front().pixel, picture.plot.bottom - 1);
  EXPECT_EQ(picture.valueTicks.back().pixel, picture.plot.top);
  EXPECT_EQ(std::stod(picture.valueTicks.back().label), picture.top);
  ASSERT_EQ(picture.lines.size(), 2u);
  EXPECT_EQ(picture.lines[0].colour, 0x209fdfu);
  std::size_t points = 0;
  for (const DrawnLine& line : picture.lines)
    for (const auto& segment : line.segments)
      for (const ChartPoint& p : segment) {
        ++points;
        EXPECT_GE(p.x, picture.plot.left);
        EXPECT_LT(p.x, picture.plot.right);
        EXPECT_GE(p.y, picture.plot.top);
        EXPECT_LT(p.y, picture.plot.bottom);
      }
  // At most two points a pixel column, and the lone sample kept as a segment of its own.
  EXPECT_LE(points, 2u * static_cast<std::size_t>(picture.plot.Width()) + 1);
  ASSERT_EQ(picture.lines[1].segments.size(), 1u);
  EXPECT_EQ(picture.lines[1].segments[0].size(), 1u);
  // The export holds what is drawn, point for point.
  const std::vector<PoolLine> shown = ShownLines(picture);
  EXPECT_EQ(shown[1].segments[0][0], (Point{kMidnight + 700 * kMinute, 40}));

  // Fractions get decimals; no figure gives a top of 0.
  const std::vector<Sample> small = {{.timeMs = kMidnight, .ramKB = 100, .pid = 1},
                                     {.timeMs = kMidnight + kMinute, .ramKB = 300, .pid = 1}};
  const ChartPicture ram = DrawChart("RAM", {{&small, "S", 0, -1}}, Figure::RamMB, {kMidnight, kMidnight + 2 * kMinute},
                                     600, 180, kMetrics);
  EXPECT_EQ(ram.valueTicks[1].label.find('.') != std::string::npos, true) << ram.valueTicks[1].label;
  const ChartPicture none = DrawChart("RAM", {}, Figure::RamMB, {kMidnight, kMidnight + kMinute}, 600, 180, kMetrics);
  EXPECT_GT(none.top, 0);
}

TEST(HistoryChart, RestartsSitOnTheFloorAndTheNearestPointAnswersTheHover) {
  std::vector<Sample> samples = EveryMinute(kMidnight, 30, 7);
  const std::vector<Sample> after = EveryMinute(kMidnight + 30 * kMinute, 30, 8);
  samples.insert(samples.end(), after.begin(), after.end());
  const ChartPicture picture = DrawChart("CPU", {{&samples, "Shop", 0, -1}}, Figure::Cpu,
                                         {kMidnight, kMidnight + 60 * kMinute}, 800, 200, kMetrics);
  ASSERT_EQ(picture.lines[0].restarts.size(), 1u);
  EXPECT_EQ(picture.lines[0].restarts[0].y, picture.plot.bottom - 1);
  EXPECT_EQ(picture.lines[0].restarts[0].timeMs, kMidnight + 30 * kMinute);

  const ChartPoint& p = picture.lines[0].segments[0][12];
  const auto hit = HitTest(picture, p.x + 2, p.y - 2);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->pool, "Shop");
  EXPECT_EQ(hit->timeMs, kMidnight + 12 * kMinute);
  EXPECT_EQ(HoverText(*hit), "Shop\n08-12-26 00:12:00\n12.0");
  EXPECT_FALSE(HitTest(picture, p.x, picture.plot.top - 40).has_value());
}

TEST(HistoryChart, TheWheelKeepsTheTimeUnderThePointer) {
  const TimeRange range{0, 100 * kMinute};
  const TimeRange in = WheelZoom(range, 25 * kMinute, 1);
  EXPECT_EQ(in.toMs - in.fromMs, 80 * kMinute);
  EXPECT_EQ(25 * kMinute - in.fromMs, 20 * kMinute);  // the pointer's place in the range kept
  const TimeRange back = WheelZoom(in, 25 * kMinute, -1);
  EXPECT_NEAR(static_cast<double>(back.fromMs), 0, 1);
  EXPECT_NEAR(static_cast<double>(back.toMs), static_cast<double>(100 * kMinute), 1);
  // Below a second there is nothing more to see.
  const TimeRange narrow{0, 1100};
  EXPECT_EQ(WheelZoom(narrow, 500, 3), narrow);
}

}  // namespace
}  // namespace tarnwell::history
