// The History tab's rules through a fake tab: loads that overtake each other, ticks and
// colours across reloads, one zoom for the three charts, export of what is shown, and the
// reload while today's log grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/HistoryController.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;

class FakeHistoryView final : public IHistoryView {
 public:
  history::Day from, to, first, last;
  int figure = 0;
  bool shown = true;
  std::string counts;
  std::vector<HistoryPoolRow> rows;
  std::vector<bool> ticks;
  int chartsChanged = 0;

  history::Day Clamped(const history::Day& day) const {
    if (last < first) return day;  // no limits yet
    return std::min(std::max(day, first), last);
  }

  history::Day FromDay() const override { return from; }
  history::Day ToDay() const override { return to; }
  // As a date box does: a day outside the limits becomes the nearest limit.
  void SetDays(const history::Day& f, const history::Day& t) override {
    from = Clamped(f);
    to = Clamped(t);
  }
  void SetDayLimits(const history::Day& f, const history::Day& l) override {
    first = f, last = l;
    SetDays(from, to);
  }
  int FigureIndex() const override { return figure; }
  void SetCounts(const std::string& text) override { counts = text; }
  void FillPools(const std::vector<HistoryPoolRow>& r) override {
    rows = r;
    ticks.clear();
    for (const HistoryPoolRow& row : r) ticks.push_back(row.ticked);
  }
  bool IsPoolTicked(int row) const override { return ticks.at(static_cast<std::size_t>(row)); }
  void ChartsChanged() override { ++chartsChanged; }
  bool IsShown() const override { return shown; }
  void PostToUi(std::function<void()> f) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(f));
    }
    wake_.notify_all();
  }

  // Runs what the loader posts, as the UI thread would, until done() holds.
  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      std::unique_lock lock(mutex_);
      if (!wake_.wait_until(lock, deadline, [this] { return !posted_.empty(); })) return false;
      auto f = std::move(posted_.front());
      posted_.pop_front();
      lock.unlock();
      f();
    }
    return true;
  }
  // Runs whatever is queued now.
  void RunPosted() {
    RunUntil([this] {
      std::lock_guard lock(mutex_);
      return posted_.empty();
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;
};

const history::TextMetrics kMetrics{7, 14};

std::string LogLines(const std::string& date, const std::string& pool, int count, int pid = 77, int minute = 10) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %02d:%02d:%02d.000", date.c_str(), minute + i / 3600 % 10, i / 60 % 60,
                  i % 60);
    text += std::string(stamp) + "\t" + pool + "\t2\t4096\t" + std::to_string(5 + i % 40) + "\t20\t7\t2\t300\t" +
            std::to_string(pid) + "\r\n";
  }
  return text;
}

struct Loaded {
  HistoryController& controller;
  int count = 0;
  explicit Loaded(HistoryController& c) : controller(c) {
    controller.OnLoaded([this] { ++count; });
  }
};

// A controller over a fake tab on a folder of logs, its clock on 06-12-26.
struct Tab {
  testutil::TempDir dir;
  testutil::TestClock clock{testutil::At(2026, 12, 6, 22, 0)};
  FakeHistoryView view;
  HistoryController controller{view, clock};
  Loaded loaded{controller};

  explicit Tab(std::string_view dirName = {}) : dir(dirName) { controller.SetLogDir(dir.Dir()); }
  // Load, and the UI thread's work until its result is drawn.
  bool Load() {
    const int before = loaded.count;
    controller.Load();
    return view.RunUntil([&] { return loaded.count > before; });
  }
};

std::size_t Points(const std::vector<history::PoolLine>& lines) {
  std::size_t n = 0;
  for (const auto& line : lines)
    for (const auto& segment : line.segments) n += segment.size();
  return n;
}

TEST(HistoryController, ANewRangeCancelsTheLoadBeforeAndAGoneTabGetsNothing) {
  testutil::TempDir dir;
  testutil::TestClock clock(testutil::At(2026, 12, 6, 22, 0));
  // Yesterday a pool "Old" with many lines, today a pool "New" with three.
  testutil::WriteFile(dir.File("trnw-mon-051226.log"), LogLines("05-12-26", "Old", 200000));
  testutil::WriteFile(dir.File("trnw-mon-061226.log"), LogLines("06-12-26", "New", 3));
  FakeHistoryView view;
  {
    HistoryController controller(view, clock);
    EXPECT_EQ(view.from, (history::Day{2026, 11, 30}));  // the last week
    controller.SetLogDir(dir.Dir());
    EXPECT_EQ(view.first, (history::Day{2026, 12, 5}));  // back to the first log there is
    Loaded loaded(controller);
    controller.Load();  // both days: a long read
    view.from = {2026, 12, 6};
    controller.Load();  // today only, asked before the first is drawn
    ASSERT_TRUE(view.RunUntil([&] { return loaded.count > 0; }));
    view.RunPosted();
    EXPECT_EQ(loaded.count, 1);
    ASSERT_EQ(view.rows.size(), 1u);
    EXPECT_EQ(view.rows[0].name, "New");
    EXPECT_EQ(view.counts, "3 lines in 1 files; 0 lines skipped; 0 days without a log");
    controller.Picture(0, 600, 150, kMetrics);
    EXPECT_EQ(Points(controller.ShownLines(0)), 3u);

    // The tab goes while a load runs: the controller waits for it, and what it posted
    // finds nobody.
    view.from = {2026, 12, 5};
    controller.Load();
  }
  view.RunPosted();
  EXPECT_EQ(view.rows.size(), 1u);
}

TEST(HistoryController, TicksSurviveAReloadAndEachPoolKeepsItsColour) {
  Tab tab;
  auto& [dir, clock, view, controller, loaded] = tab;
  testutil::WriteFile(dir.File("trnw-mon-061226.log"), LogLines("06-12-26", "Blog", 30, 5) + LogLines("06-12-26", "Shop", 30, 6));
  ASSERT_TRUE(tab.Load());
  ASSERT_EQ(view.rows.size(), 2u);
  EXPECT_TRUE(view.rows[0].ticked && view.rows[1].ticked);
  EXPECT_EQ(view.rows[1].colour, history::PoolColour(1));
  const auto& both = controller.Picture(0, 600, 150, kMetrics);
  ASSERT_EQ(both.lines.size(), 2u);
  EXPECT_EQ(both.lines[1].colour, view.rows[1].colour);

  view.ticks[0] = false;  // Blog unticked
  controller.PoolTicksChanged();
  const auto& shop = controller.Picture(0, 600, 150, kMetrics);
  ASSERT_EQ(shop.lines.size(), 1u);
  EXPECT_EQ(shop.lines[0].pool, "Shop");
  EXPECT_EQ(shop.lines[0].colour, history::PoolColour(1));

  // A pool that sorts first arrives: Blog stays unticked, the newcomer comes ticked.
  testutil::WriteFile(dir.File("trnw-mon-061226.log"),
                      LogLines("06-12-26", "Blog", 30, 5) + LogLines("06-12-26", "Shop", 30, 6) +
                          LogLines("06-12-26", "Api", 30, 7));
  ASSERT_TRUE(tab.Load());
  ASSERT_EQ(view.rows.size(), 3u);
  EXPECT_EQ(view.rows[0].name, "Api");
  EXPECT_EQ(view.ticks, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(controller.Picture(0, 600, 150, kMetrics).lines.size(), 2u);
}

TEST(HistoryController, OneZoomForTheThreeChartsAndExportHoldsExactlyWhatIsShown) {
  Tab tab{testutil::kNonAsciiName};
  auto& [dir, clock, view, controller, loaded] = tab;
  testutil::WriteFile(dir.File("trnw-mon-061226.log"), LogLines("06-12-26", "Shop", 7200));  // two hours
  ASSERT_TRUE(tab.Load());
  const history::TimeRange fitted = controller.Range();
  for (int c = 0; c < HistoryController::kCharts; ++c) controller.Picture(c, 600, 150, kMetrics);

  // The wheel over the RAM chart narrows all three; a click without a drag does nothing.
  const int changed = view.chartsChanged;
  controller.Wheel(1, 300, 2);
  EXPECT_GT(view.chartsChanged, changed);
  EXPECT_LT(controller.Range().toMs - controller.Range().fromMs, fitted.toMs - fitted.fromMs);
  for (int c = 0; c < HistoryController::kCharts; ++c)
    EXPECT_EQ(controller.Picture(c, 600, 150, kMetrics).range, controller.Range()) << c;
  const history::TimeRange wheeled = controller.Range();
  controller.ZoomTo(2, 200, 201);
  EXPECT_EQ(controller.Range(), wheeled);
  const auto& cpu = controller.Picture(0, 600, 150, kMetrics);
  const std::int64_t from = history::TimeAtX(cpu, 200);
  const std::int64_t to = history::TimeAtX(cpu, 400);
  controller.ZoomTo(2, 400, 200);  // dragged leftwards
  EXPECT_EQ(controller.Range(), (history::TimeRange{from, to}));
  controller.Fit();
  EXPECT_EQ(controller.Range(), fitted);

  // Hovering a drawn point names it.
  const auto& shown = controller.Picture(0, 600, 150, kMetrics);
  const history::ChartPoint& p = shown.lines.at(0).segments.at(0).at(10);
  EXPECT_EQ(controller.HoverText(0, p.x, p.y).rfind("Shop\n06-12-26 ", 0), 0u);
  EXPECT_EQ(controller.HoverText(0, p.x, shown.plot.top - 30), "");

  // Export: one line per point drawn, each named by its chart's figure.
  view.figure = 1;  // Handles
  controller.FigureChanged();
  std::size_t points = 0;
  for (int c = 0; c < HistoryController::kCharts; ++c) {
    controller.Picture(c, 600, 150, kMetrics);
    points += Points(controller.ShownLines(c));
  }
  const std::string csv = controller.ExportCsv();
  EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')), points + 1);
  EXPECT_EQ(csv.rfind("figure,pool,time,value\nCPU,Shop,2026-12-06 ", 0), 0u);
  EXPECT_NE(csv.find("\nRAM MB,Shop,"), std::string::npos);
  EXPECT_NE(csv.find("\nHandles,Shop,2026-12-06 10:00:00.000,300\n"), std::string::npos);
  const std::string path = dir.File("export.csv");
  ASSERT_TRUE(controller.WriteCsv(path));
  EXPECT_EQ(testutil::ReadAll(path), csv);
  EXPECT_FALSE(controller.WriteCsv(dir.File("no such folder/export.csv")));
  EXPECT_EQ(HistoryController::PicturePathFor(path, ".png"), dir.File("export.png"));
  EXPECT_EQ(HistoryController::PicturePathFor("C:\\x\\lines.CSV", ".bmp"), "C:\\x\\lines.bmp");
  EXPECT_EQ(HistoryController::PicturePathFor("lines", ".png"), "lines.png");
}

TEST(HistoryController, TodaysGrowingLogIsFollowedWhileTheTabIsShown) {
  Tab tab;
  auto& [dir, clock, view, controller, loaded] = tab;
  const std::string today = dir.File("trnw-mon-061226.log");
  testutil::WriteFile(today, LogLines("06-12-26", "Shop", 10));
  ASSERT_TRUE(tab.Load());
  controller.CheckGrowth();
  EXPECT_FALSE(controller.Loading());  // nothing new

  testutil::WriteFile(today, LogLines("06-12-26", "Shop", 12));
  view.shown = false;
  controller.CheckGrowth();
  EXPECT_FALSE(controller.Loading());  // another tab is on show
  view.to = {2026, 12, 5};
  view.shown = true;
  controller.CheckGrowth();
  EXPECT_FALSE(controller.Loading());  // the range ends before today
  view.to = {2026, 12, 6};
  controller.CheckGrowth();
  EXPECT_TRUE(controller.Loading());
  ASSERT_TRUE(view.RunUntil([&] { return loaded.count == 2; }));
  EXPECT_EQ(controller.Loaded().lines, 12);
}

}  // namespace
}  // namespace tarnwell
