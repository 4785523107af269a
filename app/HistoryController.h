#pragma once
// The History tab's rules, apart from any toolkit: the range of days, Load on a worker
// thread (a new load cancels the one before; only the newest is ever drawn), the pool
// ticks, the figure selector, the time range shown and its zoom (one range for the three
// charts), the hover text, export, and the reload while monitoring writes today's log.
// Lives on the UI thread; talks to the tab through IHistoryView.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history/HistoryChart.h"
#include "history/MonitoringLogReader.h"
#include "logs/LogsClock.h"

namespace tarnwell {

struct HistoryPoolRow {
  std::string name;
  bool ticked = true;
  std::uint32_t colour = 0;  // 0xRRGGBB, its line's
};

// What the rules ask of a History tab. Text is UTF-8. Every call but PostToUi comes on the
// UI thread.
class IHistoryView {
 public:
  virtual ~IHistoryView() = default;

  // The From and To date boxes.
  virtual history::Day FromDay() const = 0;
  virtual history::Day ToDay() const = 0;
  virtual void SetDays(const history::Day& from, const history::Day& to) = 0;
  // The earliest and latest day the boxes may show.
  virtual void SetDayLimits(const history::Day& first, const history::Day& last) = 0;
  // The figure selector's row: an index into HistoryController::OtherFigureCaptions().
  virtual int FigureIndex() const = 0;
  virtual void SetCounts(const std::string& text) = 0;
  // Replaces the pool list; raises no tick change back to the rules.
  virtual void FillPools(const std::vector<HistoryPoolRow>& rows) = 0;
  virtual bool IsPoolTicked(int row) const = 0;
  // The three charts are to be painted again from Picture().
  virtual void ChartsChanged() = 0;
  // Whether the tab is on show (a hidden tab does not follow today's log).
  virtual bool IsShown() const = 0;
  // Any thread: f runs on the UI thread, or never if the tab has gone.
  virtual void PostToUi(std::function<void()> f) = 0;
};

class HistoryController {
 public:
  static constexpr int kCharts = 3;  // CPU, RAM, the selected figure
  static constexpr int kGrowthCheckMs = 5000;  // how often the view calls CheckGrowth
  static constexpr int kDefaultDays = 7;

  // The view and clock must outlive the controller. Sets the boxes to the last week.
  HistoryController(IHistoryView& view, const ILocalClock& clock);
  ~HistoryController();  // stops a load and waits for it
  HistoryController(const HistoryController&) = delete;
  HistoryController& operator=(const HistoryController&) = delete;

  static const std::vector<std::string>& OtherFigureCaptions();  // the selector's rows
  static const char* ChartTitle(int chart, int figureIndex);

  // The folder of the monitoring logs (UTF-8, with its trailing separator).
  void SetLogDir(std::string logDir);
  // Load: reads the range of the date boxes; returns at once.
  void Load();
  bool Loading() const { return loading_; }
  // Called when a load's result has been drawn (tests, the benchmark).
  void OnLoaded(std::function<void()> f) { onLoaded_ = std::move(f); }

  void PoolTicksChanged();
  void FigureChanged();
  // Every chart is made anew on its next paint.
  void Redraw();

  // A chart as it is to be painted at this size; made again only when something changed.
  const history::ChartPicture& Picture(int chart, int width, int height, const history::TextMetrics& metrics);
  // The wheel over a chart at pixel x (steps > 0 zoom in); a dragged span x1..x2; a double
  // click (fit). Each sets the range of all three.
  void Wheel(int chart, int x, int steps);
  void ZoomTo(int chart, int x1, int x2);
  void Fit();
  const history::TimeRange& Range() const { return range_; }
  // The tooltip for the pointer at (x, y) over a chart; empty when no point is near.
  std::string HoverText(int chart, int x, int y) const;

  // Export: "figure,pool,time,value" for exactly the points the charts show.
  std::string ExportCsv() const;
  // Writes ExportCsv() to a file (UTF-8 path); false when it cannot be written.
  bool WriteCsv(const std::string& path) const;
  // The picture's path beside a CSV path: name.csv -> name.png (or the given extension).
  static std::string PicturePathFor(const std::string& csvPath, const std::string& extension);

  // Every kGrowthCheckMs: reloads when the range holds today and today's log has grown.
  void CheckGrowth();

  const history::History& Loaded() const { return *loaded_; }
  // The lines of a chart as last drawn.
  std::vector<history::PoolLine> ShownLines(int chart) const;

 private:
  void FillDayLimits();
  void Loaded(std::uint64_t generation, std::shared_ptr<history::History> history);
  history::Day Today() const;
  std::int64_t TodaySize() const;

  IHistoryView& view_;
  const ILocalClock& clock_;
  std::string logDir_;
  std::shared_ptr<history::History> loaded_;
  std::map<std::string, std::int64_t> spacing_;  // each loaded pool's pass interval
  std::vector<std::string> poolNames_;           // the list's rows, in order
  history::TimeRange range_;
  std::array<history::ChartPicture, kCharts> pictures_;
  std::array<bool, kCharts> valid_{};
  std::int64_t todaySize_ = -1;
  std::uint64_t generation_ = 0;
  bool loading_ = false;
  std::function<void()> onLoaded_;
  std::shared_ptr<HistoryController*> self_;  // cleared when the controller goes
  std::jthread loader_;                        // last: joined first
};

}  // namespace tarnwell
