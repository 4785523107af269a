#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <stop_token>
#include <string>
#include <vector>

#include "history/HistoryLines.h"
#include "history/MonitoringLogReader.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::history {
namespace {

std::string LogLine(const std::string& stamp, const std::string& pool, int cpu, int pid) {
  return stamp + "\t" + pool + "\t2\t65536\t" + std::to_string(cpu) + "\t20\t7\t2\t300\t" + std::to_string(pid) + "\r\n";
}

const std::string kHeader =
    "\r\n08-12-26 09:00:00.000\t#Format (tab delimiter): datetime name_of_pool count_app ram cpu count_treads "
    "open_files open_tcp open_handles pid\r\n";

// In a log folder named outside ASCII.
TEST(HistoryRead, BadLinesAndMissingDaysAreSkippedAndCounted) {
  testutil::TempDir dir{testutil::kNonAsciiName};
  testutil::WriteFile(dir.File("trnw-mon-061226.log"),
        kHeader + LogLine("06-12-26 10:00:00.000", "Shop", 5, 100) + LogLine("06-12-26 10:03:00.000", "Shop", 7, 100) +
            "06-12-26 10:06:00.000\tShop\t2\t65536\t5\n" +         // another shape
            "some words of another program\r\n" +                  // foreign
            LogLine("06-12-26 10:06:00.000", "Blog", -1, 200) +     // CPU not measured: still a sample
            LogLine("31-02-26 10:06:00.000", "Shop", 1, 100) +      // no such day
            "06-12-26 10:09:00.000\tShop\t2\t65536\t9\t20\t7\t2\t3");  // cut off by a crash
  // 07-12-26 missing.
  testutil::WriteFile(dir.File("trnw-mon-081226.log"), LogLine("08-12-26 00:00:01.500", "Shop", 9, 101));
  EXPECT_EQ(DaysWithLogs(dir.Dir(), {2026, 12, 5}, {2026, 12, 9}), (std::vector<Day>{{2026, 12, 6}, {2026, 12, 8}}));
  const History h = LoadHistory(dir.Dir(), {2026, 12, 6}, {2026, 12, 8}, {}, 2);
  EXPECT_FALSE(h.cancelled);
  EXPECT_EQ(h.files, 2);
  EXPECT_EQ(h.missingDays, 1);
  EXPECT_EQ(h.lines, 4);
  EXPECT_EQ(h.skipped, 2 + 3 + 1);  // the empty line and the header; three bad lines; the cut line
  ASSERT_EQ(h.pools.at("Shop").size(), 3u);
  // Across the days, as the stamps were written.
  EXPECT_EQ(h.pools.at("Shop")[2].timeMs - h.pools.at("Shop")[0].timeMs, 38 * 3'600'000LL + 1500);
  EXPECT_EQ(h.pools.at("Blog")[0].cpu, -1);
}

TEST(HistoryRead, ACancelledLoadKeepsNothing) {
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("trnw-mon-061226.log"), LogLine("06-12-26 10:00:00.000", "Shop", 5, 100));
  std::stop_source source;
  source.request_stop();  // a new range was asked for before this one was read
  const History h = LoadHistory(dir.Dir(), {2026, 12, 6}, {2026, 12, 6}, source.get_token(), 1);
  EXPECT_TRUE(h.cancelled);
  EXPECT_TRUE(h.pools.empty());
  EXPECT_EQ(h.lines, 0);
}

std::vector<Sample> Samples(const std::vector<std::pair<std::int64_t, std::uint32_t>>& timesAndPids) {
  std::vector<Sample> out;
  for (const auto& [minute, pid] : timesAndPids)
    out.push_back({.timeMs = minute * 60'000, .cpu = static_cast<std::int32_t>(minute), .pid = pid});
  return out;
}

TEST(HistoryLines, AGapBreaksTheLineAndARestartIsMarked) {
  // Every 3 minutes, a stop of 12 minutes, then a new worker.
  const auto samples = Samples({{0, 7}, {3, 7}, {6, 7}, {9, 7}, {21, 8}, {24, 8}, {27, 8}});
  EXPECT_EQ(TypicalSpacingMs(samples), 3 * 60'000);
  const PoolLine line = BuildLine("Shop", samples, Figure::Cpu, 0, 60 * 60'000);
  ASSERT_EQ(line.segments.size(), 2u);
  EXPECT_EQ(line.segments[0].size(), 4u);
  EXPECT_EQ(line.segments[1].front(), (Point{21 * 60'000, 21}));
  EXPECT_EQ(line.restarts, (std::vector<std::int64_t>{21 * 60'000}));
  // A restart without a gap keeps the line joined.
  EXPECT_EQ(BuildLine("Shop", Samples({{0, 7}, {3, 8}, {6, 8}}), Figure::Cpu, 0, 60'000'000).segments.size(), 1u);
}

TEST(HistoryLines, ReductionKeepsEachColumnsExtremesAndTheCsvHoldsExactlyThePointsShown) {
  PoolLine line;
  line.pool = "Shop, \"main\"";
  line.segments.push_back({});
  // Ten columns of 100 points, each column with extremes of its own.
  constexpr int kColumns = 10;
  for (int i = 0; i < 1000; ++i) {
    const int c = i / 100;
    line.segments[0].push_back({i * 1000, static_cast<double>((i * 37) % (11 + 9 * c) + 5 * c)});
  }
  const PoolLine reduced = ReduceToColumns(line, 0, 1'000'000, kColumns);
  ASSERT_EQ(reduced.segments.size(), 1u);
  const auto byValue = [](const Point& a, const Point& b) { return a.value < b.value; };
  const auto byTime = [](const Point& a, const Point& b) { return a.timeMs < b.timeMs; };
  EXPECT_TRUE(std::is_sorted(reduced.segments[0].begin(), reduced.segments[0].end(), byTime));
  for (int c = 0; c < kColumns; ++c) {
    SCOPED_TRACE(c);
    const auto inColumn = [c](const std::vector<Point>& points) {
      std::vector<Point> out;
      std::copy_if(points.begin(), points.end(), std::back_inserter(out),
                   [c](const Point& p) { return p.timeMs / 100'000 == c; });
      return out;
    };
    const std::vector<Point> original = inColumn(line.segments[0]);
    const std::vector<Point> kept = inColumn(reduced.segments[0]);
    ASSERT_EQ(kept.size(), 2u);
    const auto low = std::min_element(original.begin(), original.end(), byValue);
    const auto high = std::max_element(original.begin(), original.end(), byValue);
    // The first lowest and the first highest point of the column, each as it was.
    EXPECT_EQ(kept[0], std::min(*low, *high, byTime));
    EXPECT_EQ(kept[1], std::max(*low, *high, byTime));
  }
  const std::string csv = FormatCsv({reduced});
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + std::ssize(reduced.segments[0]));
  EXPECT_EQ(csv.rfind("pool,time,value\n\"Shop, \"\"main\"\"\",2000-01-01 00:00:00.000,0\n", 0), 0u) << csv;
}

TEST(HistoryLines, OnePassGivesWhatBuildingThenReducingGives) {
  // Gaps, restarts, equal stamps, and ranges that cut the samples.
  std::vector<Sample> samples;
  std::uint32_t pid = 100;
  std::int64_t t = 0;
  for (int i = 0; i < 5000; ++i) {
    t += (i % 997 == 0) ? 3'600'000 : (i % 13 == 0 ? 0 : 60'000);
    if (i % 1500 == 0) ++pid;
    samples.push_back({.timeMs = t, .ramKB = (i * 7919) % 5003, .cpu = (i * 31) % 97, .threads = i % 5, .pid = pid});
  }
  struct Case {
    std::int64_t from, to;
    int columns;
  };
  const Case cases[] = {{0, t, 800}, {0, t, 1}, {t / 3, t / 2, 333}, {-1000, t + 1000, 5000}, {t + 1, t + 2, 10}};
  for (const Case& c : cases) {
    for (const Figure figure : {Figure::Cpu, Figure::RamMB, Figure::Threads}) {
      SCOPED_TRACE(testing::Message() << c.from << ".." << c.to << "/" << c.columns);
      const PoolLine expected = ReduceToColumns(BuildLine("P", samples, figure, c.from, c.to), c.from, c.to, c.columns);
      const PoolLine actual = BuildReducedLine("P", samples, figure, c.from, c.to, c.columns);
      EXPECT_EQ(actual.segments, expected.segments);
      EXPECT_EQ(actual.restarts, expected.restarts);
    }
  }
}

}  // namespace
}  // namespace tarnwell::history
