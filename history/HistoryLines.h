#pragma once
// Turns a pool's samples into what the History chart draws: one figure over time, broken
// where the monitoring stopped for longer than twice its interval, with the moments its
// worker was restarted (a new process id) marked, and reduced to what the pixels can show.
#include <cstdint>
#include <string>
#include <vector>

#include "history/MonitoringLogReader.h"

namespace tarnwell::history {

enum class Figure { Cpu, RamMB, Threads, Handles, OpenFiles, OpenTcp };

struct Point {
  std::int64_t timeMs = 0;
  double value = 0;
  bool operator==(const Point&) const = default;
};

struct PoolLine {
  std::string pool;
  std::vector<std::vector<Point>> segments;  // each drawn joined; none joins across a gap
  std::vector<std::int64_t> restarts;        // times at which a new worker appeared
};

double FigureValue(const Sample& sample, Figure figure);

// A stamp (ms since 2000-01-01) as calendar fields.
struct StampFields {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};
StampFields SplitStamp(std::int64_t timeMs);

// The pass interval as the samples show it: the median spacing of consecutive samples.
std::int64_t TypicalSpacingMs(const std::vector<Sample>& samples);

// The samples within [fromMs, toMs] as segments and restarts. spacingMs: the samples'
// TypicalSpacingMs when the caller has it, negative to work it out here.
PoolLine BuildLine(const std::string& pool, const std::vector<Sample>& samples, Figure figure, std::int64_t fromMs,
                   std::int64_t toMs, std::int64_t spacingMs = -1);

// At most two points (the lowest and the highest, in time order) per pixel column of
// [fromMs, toMs]; segments stay apart.
PoolLine ReduceToColumns(const PoolLine& line, std::int64_t fromMs, std::int64_t toMs, int columns);

// ReduceToColumns(BuildLine(...)) in one pass, without the whole line in between: what a
// redraw of many days needs.
PoolLine BuildReducedLine(const std::string& pool, const std::vector<Sample>& samples, Figure figure,
                          std::int64_t fromMs, std::int64_t toMs, int columns, std::int64_t spacingMs = -1);

// "pool,time,value" lines for exactly these points, a header first; time as
// yyyy-mm-dd hh:mm:ss.zzz, as the stamp was written.
std::string FormatCsv(const std::vector<PoolLine>& lines);

}  // namespace tarnwell::history
