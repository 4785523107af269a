#include "history/HistoryLines.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>

namespace tarnwell::history {

namespace {

std::string FormatTime(std::int64_t timeMs) {
  const StampFields t = SplitStamp(timeMs);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

// A pool name as one CSV field.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

StampFields SplitStamp(std::int64_t timeMs) {
  using namespace std::chrono;
  constexpr std::int64_t kMsPerDay = 86'400'000;
  std::int64_t day = timeMs / kMsPerDay;
  std::int64_t ms = timeMs % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --day;
  }
  const year_month_day date{sys_days(2000y / January / 1) + days(day)};
  return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(ms / 3'600'000),
          static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
}

double FigureValue(const Sample& s, Figure figure) {
  switch (figure) {
    case Figure::Cpu: return s.cpu;
    case Figure::RamMB: return s.ramKB / 1024.0;
    case Figure::Threads: return s.threads;
    case Figure::Handles: return s.handles;
    case Figure::OpenFiles: return s.openFiles;
    case Figure::OpenTcp: return s.openTcp;
  }
  return 0;
}

std::int64_t TypicalSpacingMs(const std::vector<Sample>& samples) {
  if (samples.size() < 2) return 0;
  std::vector<std::int64_t> spacings;
  spacings.reserve(samples.size() - 1);
  for (std::size_t i = 1; i < samples.size(); ++i) spacings.push_back(samples[i].timeMs - samples[i - 1].timeMs);
  const auto middle = spacings.begin() + static_cast<std::ptrdiff_t>(spacings.size() / 2);
  std::nth_element(spacings.begin(), middle, spacings.end());
  return *middle;
}

PoolLine BuildLine(const std::string& pool, const std::vector<Sample>& samples, Figure figure, std::int64_t fromMs,
                   std::int64_t toMs, std::int64_t spacingMs) {
  PoolLine line;
  line.pool = pool;
  const std::int64_t gap = 2 * (spacingMs < 0 ? TypicalSpacingMs(samples) : spacingMs);
  const Sample* previous = nullptr;
  const auto first = std::lower_bound(samples.begin(), samples.end(), fromMs,
                                      [](const Sample& s, std::int64_t t) { return s.timeMs < t; });
  for (auto it = first; it != samples.end() && it->timeMs <= toMs; ++it) {
    const Sample& s = *it;
    if (previous == nullptr || (gap > 0 && s.timeMs - previous->timeMs > gap)) line.segments.emplace_back();
    if (previous != nullptr && s.pid != previous->pid) line.restarts.push_back(s.timeMs);
    line.segments.back().push_back({s.timeMs, FigureValue(s, figure)});
    previous = &s;
  }
  return line;
}

PoolLine ReduceToColumns(const PoolLine& line, std::int64_t fromMs, std::int64_t toMs, int columns) {
  PoolLine reduced;
  reduced.pool = line.pool;
  reduced.restarts = line.restarts;
  const std::int64_t span = std::max<std::int64_t>(toMs - fromMs, 1);
  columns = std::max(columns, 1);
  const auto column = [&](std::int64_t t) {
    return std::clamp<std::int64_t>((t - fromMs) * columns / span, 0, columns - 1);
  };
  for (const auto& segment : line.segments) {
    std::vector<Point> out;
    std::size_t i = 0;
    while (i < segment.size()) {
      const std::int64_t c = column(segment[i].timeMs);
      std::size_t low = i;
      std::size_t high = i;
      std::size_t j = i;
      for (; j < segment.size() && column(segment[j].timeMs) == c; ++j) {
        if (segment[j].value < segment[low].value) low = j;
        if (segment[j].value > segment[high].value) high = j;
      }
      out.push_back(segment[std::min(low, high)]);
      if (low != high) out.push_back(segment[std::max(low, high)]);
      i = j;
    }
    reduced.segments.push_back(std::move(out));
  }
  return reduced;
}

PoolLine BuildReducedLine(const std::string& pool, const std::vector<Sample>& samples, Figure figure,
                          std::int64_t fromMs, std::int64_t toMs, int columns, std::int64_t spacingMs) {
  PoolLine line;
  line.pool = pool;
  const std::int64_t gap = 2 * (spacingMs < 0 ? TypicalSpacingMs(samples) : spacingMs);
  const std::int64_t span = std::max<std::int64_t>(toMs - fromMs, 1);
  columns = std::max(columns, 1);
  const auto column = [&](std::int64_t t) {
    return std::clamp<std::int64_t>((t - fromMs) * columns / span, 0, columns - 1);
  };
  // The column being gathered: its first lowest and first highest point, by place.
  std::int64_t current = -1;
  Point low, high;
  std::size_t lowAt = 0, highAt = 0;
  const auto flush = [&] {
    if (current < 0) return;
    std::vector<Point>& out = line.segments.back();
    out.push_back(lowAt <= highAt ? low : high);
    if (lowAt != highAt) out.push_back(lowAt <= highAt ? high : low);
    current = -1;
  };
  const Sample* previous = nullptr;
  const auto first = std::lower_bound(samples.begin(), samples.end(), fromMs,
                                      [](const Sample& s, std::int64_t t) { return s.timeMs < t; });
  for (auto it = first; it != samples.end() && it->timeMs <= toMs; ++it) {
    const Sample& s = *it;
    if (previous == nullptr || (gap > 0 && s.timeMs - previous->timeMs > gap)) {
      flush();
      line.segments.emplace_back();
    }
    if (previous != nullptr && s.pid != previous->pid) line.restarts.push_back(s.timeMs);
    const Point p{s.timeMs, FigureValue(s, figure)};
    const auto at = static_cast<std::size_t>(it - samples.begin());
    const std::int64_t c = column(s.timeMs);
    if (c != current) {
      flush();
      current = c;
      low = high = p;
      lowAt = highAt = at;
    } else {
      if (p.value < low.value) low = p, lowAt = at;
      if (p.value > high.value) high = p, highAt = at;
    }
    previous = &s;
  }
  flush();
  return line;
}

std::string FormatCsv(const std::vector<PoolLine>& lines) {
  std::string csv = "pool,time,value\n";
  for (const PoolLine& line : lines) {
    const std::string pool = CsvField(line.pool);
    for (const auto& segment : line.segments) {
      for (const Point& p : segment) {
        char value[32];
        std::snprintf(value, sizeof value, "%.10g", p.value);
        csv.append(pool).append(",").append(FormatTime(p.timeMs)).append(",").append(value).append("\n");
      }
    }
  }
  return csv;
}

}  // namespace tarnwell::history
