#include "history/HistoryChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tarnwell::history {

namespace {

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

// Steps a time axis may take; all divide a day or are whole days, so ticks land on the
// stamps' round times (the stamps count from a midnight).
constexpr std::int64_t kTimeSteps[] = {kSecond,      2 * kSecond,  5 * kSecond,  10 * kSecond, 15 * kSecond,
                                       30 * kSecond, kMinute,      2 * kMinute,  5 * kMinute,  10 * kMinute,
                                       15 * kMinute, 30 * kMinute, kHour,        2 * kHour,    3 * kHour,
                                       6 * kHour,    12 * kHour,   kDay,         2 * kDay,     7 * kDay,
                                       14 * kDay,    28 * kDay};

// Distinct on white and to most eyes; the first few match the Qt charts' light theme.
constexpr std::uint32_t kColours[] = {0x209fdf, 0x99ca53, 0xf6a625, 0x6d5fd5, 0xbf593e,
                                      0x2b8a3e, 0xd6336c, 0x495057, 0x0b7285, 0x8f5d00};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The widest label a step gives, in characters.
int LabelChars(std::int64_t step, std::int64_t span) {
  if (step >= kDay) return 5;                    // dd-mm
  if (step < kMinute) return 8;                  // hh:nn:ss
  return span > kDay ? 11 : 5;                   // dd-mm hh:nn, or hh:nn
}

std::string TimeLabel(std::int64_t timeMs, std::int64_t step, std::int64_t span) {
  const StampFields c = SplitStamp(timeMs);
  char text[32];
  if (step >= kDay) {
    std::snprintf(text, sizeof text, "%02d-%02d", c.day, c.month);
  } else if (step < kMinute) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", c.hour, c.minute, c.second);
  } else if (span > kDay) {
    std::snprintf(text, sizeof text, "%02d-%02d %02d:%02d", c.day, c.month, c.hour, c.minute);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d", c.hour, c.minute);
  }
  return text;
}

// A round step that gives at most `most` intervals up to `high`: 1, 2 or 5 times a power of ten.
double NiceStep(double high, int most) {
  const double raw = high / std::max(most, 1);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (m * magnitude >= raw) return m * magnitude;
  return 10 * magnitude;
}

std::string ValueLabel(double value, double step) {
  char text[32];
  if (step >= 1) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    const int decimals = std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
  }
  return text;
}

}  // namespace

std::uint32_t PoolColour(std::size_t index) { return kColours[index % std::size(kColours)]; }

PixelRect PlotArea(int width, int height, const TextMetrics& m) {
  PixelRect plot;
  plot.left = 8 * m.charWidth + 8;  // "100000.5" and a gap
  plot.top = m.lineHeight * 3 / 2 + 4;
  plot.right = std::max(plot.left + 1, width - 2 * m.charWidth);
  plot.bottom = std::max(plot.top + 1, height - m.lineHeight - 6);
  return plot;
}

ChartPicture DrawChart(const std::string& title, const std::vector<ChartSource>& sources, Figure figure,
                       const TimeRange& range, int width, int height, const TextMetrics& metrics) {
  ChartPicture picture;
  picture.title = title;
  picture.width = width;
  picture.height = height;
  picture.plot = PlotArea(width, height, metrics);
  picture.range = range;
  if (picture.range.toMs <= picture.range.fromMs) picture.range.toMs = picture.range.fromMs + 1;
  const PixelRect& plot = picture.plot;
  const std::int64_t from = picture.range.fromMs;
  const std::int64_t span = picture.range.toMs - from;

  // Two points (lowest, highest) per pixel column: what the plot can show.
  std::vector<PoolLine> reduced;
  reduced.reserve(sources.size());
  double high = 0;
  for (const ChartSource& source : sources) {
    if (source.samples == nullptr) continue;
    reduced.push_back(BuildReducedLine(source.pool, *source.samples, figure, from, picture.range.toMs,
                                       plot.Width(), source.spacingMs));
    for (const auto& segment : reduced.back().segments)
      for (const Point& p : segment) high = std::max(high, p.value);
  }

  // The value axis from 0 to a round top a little above the highest point.
  const int valueIntervals = std::clamp(plot.Height() / (metrics.lineHeight * 2), 1, 8);
  const double step = NiceStep(std::max(high * 1.05, 1.0), valueIntervals);
  picture.top = std::ceil(std::max(high * 1.05, 1.0) / step - 1e-9) * step;
  const auto yOf = [&](double value) {
    return plot.bottom - 1 - static_cast<int>(std::lround(value / picture.top * (plot.Height() - 1)));
  };
  const auto xOf = [&](std::int64_t t) {
    return plot.left + static_cast<int>((t - from) * (plot.Width() - 1) / span);
  };
  for (int i = 0; i * step <= picture.top * (1 + 1e-9); ++i)
    picture.valueTicks.push_back({yOf(i * step), ValueLabel(i * step, step)});

  // The time axis: the smallest round step whose labels do not crowd each other.
  const auto roomy = [&](std::int64_t s) {
    return static_cast<double>(s) * plot.Width() / static_cast<double>(span) >=
           (LabelChars(s, span) + 2) * metrics.charWidth;
  };
  std::int64_t timeStep = 0;
  for (const std::int64_t s : kTimeSteps) {
    if (roomy(s)) {
      timeStep = s;
      break;
    }
  }
  if (timeStep == 0) {  // years: whole multiples of the longest step
    timeStep = kTimeSteps[std::size(kTimeSteps) - 1];
    while (!roomy(timeStep) && timeStep < span) timeStep *= 2;
  }
  for (std::int64_t t = FloorDiv(from + timeStep - 1, timeStep) * timeStep; t <= picture.range.toMs; t += timeStep)
    picture.timeTicks.push_back({xOf(t), TimeLabel(t, timeStep, span)});

  for (std::size_t i = 0; i < reduced.size(); ++i) {
    DrawnLine line;
    line.pool = reduced[i].pool;
    line.colour = sources[i].colour;
    for (const auto& segment : reduced[i].segments) {
      std::vector<ChartPoint>& out = line.segments.emplace_back();
      out.reserve(segment.size());
      for (const Point& p : segment) out.push_back({xOf(p.timeMs), yOf(p.value), p.timeMs, p.value});
    }
    for (const std::int64_t t : reduced[i].restarts) line.restarts.push_back({xOf(t), plot.bottom - 1, t, 0});
    picture.lines.push_back(std::move(line));
  }
  return picture;
}

std::vector<PoolLine> ShownLines(const ChartPicture& picture) {
  std::vector<PoolLine> lines;
  for (const DrawnLine& drawn : picture.lines) {
    PoolLine& line = lines.emplace_back();
    line.pool = drawn.pool;
    for (const auto& segment : drawn.segments) {
      auto& out = line.segments.emplace_back();
      for (const ChartPoint& p : segment) out.push_back({p.timeMs, p.value});
    }
    for (const ChartPoint& r : drawn.restarts) line.restarts.push_back(r.timeMs);
  }
  return lines;
}

std::int64_t TimeAtX(const ChartPicture& picture, int x) {
  const PixelRect& plot = picture.plot;
  const int at = std::clamp(x, plot.left, plot.right - 1);
  const std::int64_t span = picture.range.toMs - picture.range.fromMs;
  return picture.range.fromMs + (at - plot.left) * span / std::max(plot.Width() - 1, 1);
}

TimeRange WheelZoom(const TimeRange& range, std::int64_t atMs, int steps) {
  const double keep = std::pow(0.8, steps);
  const double from = static_cast<double>(range.fromMs);
  const double to = static_cast<double>(range.toMs);
  const double at = std::clamp(static_cast<double>(atMs), from, to);
  TimeRange zoomed{static_cast<std::int64_t>(std::llround(at - (at - from) * keep)),
                   static_cast<std::int64_t>(std::llround(at + (to - at) * keep))};
  // Never narrower than a second: below that the stamps have nothing to show.
  if (zoomed.toMs - zoomed.fromMs < kSecond) return range;
  return zoomed;
}

std::optional<HoverHit> HitTest(const ChartPicture& picture, int x, int y, int radius) {
  std::optional<HoverHit> best;
  long long bestDistance = static_cast<long long>(radius) * radius + 1;
  for (const DrawnLine& line : picture.lines) {
    for (const auto& segment : line.segments) {
      // Points are in x order: look only at the columns within reach.
      auto it = std::lower_bound(segment.begin(), segment.end(), x - radius,
                                 [](const ChartPoint& p, int left) { return p.x < left; });
      for (; it != segment.end() && it->x <= x + radius; ++it) {
        const long long dx = it->x - x;
        const long long dy = it->y - y;
        if (dx * dx + dy * dy < bestDistance) {
          bestDistance = dx * dx + dy * dy;
          best = HoverHit{line.pool, it->timeMs, it->value};
        }
      }
    }
  }
  return best;
}

std::string FormatStampText(std::int64_t timeMs) {
  const StampFields c = SplitStamp(timeMs);
  char text[32];
  std::snprintf(text, sizeof text, "%02d-%02d-%02d %02d:%02d:%02d", c.day, c.month, c.year % 100, c.hour, c.minute,
                c.second);
  return text;
}

std::string HoverText(const HoverHit& hit) {
  char value[32];
  std::snprintf(value, sizeof value, "%.1f", hit.value);
  return hit.pool + "\n" + FormatStampText(hit.timeMs) + "\n" + value;
}

}  // namespace tarnwell::history
