#include "app/HistoryController.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "platform/files/utf8_path.h"

namespace tarnwell {

namespace {

struct OtherFigure {
  const char* caption;
  history::Figure figure;
};
const OtherFigure kOtherFigures[] = {{"Threads", history::Figure::Threads},
                                     {"Handles", history::Figure::Handles},
                                     {"Open files", history::Figure::OpenFiles},
                                     {"TCP endpoints", history::Figure::OpenTcp}};
const char* const kChartTitles[] = {"CPU (% of one processor)", "RAM (MB)"};
const char* const kCsvFigures[] = {"CPU", "RAM MB"};

// The day a monitoring log's name gives ("trnw-mon-ddmmyy.log"), if it is one.
std::optional<history::Day> LogNameDay(const std::string& name) {
  if (name.size() != 19 || name.rfind("trnw-mon-", 0) != 0 || name.compare(15, 4, ".log") != 0) return std::nullopt;
  int digits[6];
  for (int i = 0; i < 6; ++i) {
    const char c = name[static_cast<std::size_t>(9 + i)];
    if (c < '0' || c > '9') return std::nullopt;
    digits[i] = c - '0';
  }
  const history::Day day{2000 + digits[4] * 10 + digits[5], digits[2] * 10 + digits[3], digits[0] * 10 + digits[1]};
  using namespace std::chrono;
  if (!year_month_day{year(day.year), month(static_cast<unsigned>(day.month)),
                      std::chrono::day(static_cast<unsigned>(day.day))}
           .ok())
    return std::nullopt;
  return day;
}

}  // namespace

HistoryController::HistoryController(IHistoryView& view, const ILocalClock& clock)
    : view_(view),
      clock_(clock),
      loaded_(std::make_shared<history::History>()),
      self_(std::make_shared<HistoryController*>(this)) {
  const history::Day today = Today();
  // Open limits until the log folder is known: a date box clamps what it is given.
  view_.SetDayLimits({2000, 1, 1}, today);
  const history::Day weekStart = history::AddDays(today, -(kDefaultDays - 1));
  view_.SetDays(weekStart, today);
  range_ = {history::DayStartMs(weekStart), history::DayStartMs(history::AddDays(today, 1)) - 1};
}

HistoryController::~HistoryController() = default;  // the loader, declared last, is stopped and joined first

const std::vector<std::string>& HistoryController::OtherFigureCaptions() {
  static const std::vector<std::string> captions = [] {
    std::vector<std::string> out;
    for (const OtherFigure& f : kOtherFigures) out.emplace_back(f.caption);
    return out;
  }();
  return captions;
}

const char* HistoryController::ChartTitle(int chart, int figureIndex) {
  if (chart < 2) return kChartTitles[chart];
  return kOtherFigures[std::clamp<int>(figureIndex, 0, static_cast<int>(std::size(kOtherFigures)) - 1)].caption;
}

void HistoryController::SetLogDir(std::string logDir) {
  logDir_ = std::move(logDir);
  FillDayLimits();
}

history::Day HistoryController::Today() const {
  const LocalTime now = clock_.Now();
  return {now.year, now.month, now.day};
}

void HistoryController::FillDayLimits() {
  // The date boxes reach from the first monitoring log there is to today.
  const history::Day today = Today();
  history::Day first = today;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(platform::PathFromUtf8(logDir_), ec), end; !ec && it != end;
       it.increment(ec)) {
    const auto day = LogNameDay(platform::Utf8FromPath(it->path().filename()));
    if (day && *day < first) first = *day;
  }
  view_.SetDayLimits(first, today);
}

std::int64_t HistoryController::TodaySize() const {
  std::error_code ec;
  const auto size =
      std::filesystem::file_size(platform::PathFromUtf8(logDir_ + history::MonitoringLogName(Today())), ec);
  return ec ? -1 : static_cast<std::int64_t>(size);
}

void HistoryController::Load() {
  FillDayLimits();
  const std::uint64_t generation = ++generation_;
  loading_ = true;
  view_.SetCounts("Reading...");
  const history::Day from = view_.FromDay();
  const history::Day to = std::max(from, view_.ToDay());
  std::weak_ptr<HistoryController*> self = self_;
  IHistoryView* view = &view_;  // outlives the loader: the controller joins it first
  // Assigning stops the load before and waits for it (it looks at its token often), so
  // whatever that one posted is queued ahead of this one's result.
  loader_ = std::jthread([self, view, generation, from, to, dir = logDir_](std::stop_token stop) {
    auto history = std::make_shared<history::History>(history::LoadHistory(dir, from, to, stop));
    if (history->cancelled) return;
    view->PostToUi([self, generation, history] {
      if (const auto controller = self.lock()) (*controller)->Loaded(generation, history);
    });
  });
}

void HistoryController::Loaded(std::uint64_t generation, std::shared_ptr<history::History> history) {
  if (generation != generation_) return;  // an older range's result: not drawn
  loading_ = false;
  loaded_ = std::move(history);
  spacing_.clear();
  for (const auto& [pool, samples] : loaded_->pools) spacing_[pool] = history::TypicalSpacingMs(samples);
  view_.SetCounts(std::to_string(loaded_->lines) + " lines in " + std::to_string(loaded_->files) + " files; " +
                  std::to_string(loaded_->skipped) + " lines skipped; " + std::to_string(loaded_->missingDays) +
                  " days without a log");
  todaySize_ = TodaySize();

  // Ticks survive a reload for the pools that are still there; new pools come ticked. A
  // pool keeps its colour by its place among the loaded pools.
  std::map<std::string, bool> ticked;
  for (std::size_t i = 0; i < poolNames_.size(); ++i) ticked[poolNames_[i]] = view_.IsPoolTicked(static_cast<int>(i));
  poolNames_.clear();
  std::vector<HistoryPoolRow> rows;
  for (const auto& [name, samples] : loaded_->pools) {
    const auto it = ticked.find(name);
    rows.push_back({name, it == ticked.end() || it->second, history::PoolColour(poolNames_.size())});
    poolNames_.push_back(name);
  }
  view_.FillPools(rows);
  Fit();
  if (onLoaded_) onLoaded_();
}

void HistoryController::Fit() {
  // The time the loaded lines span, so that a short run is not a dot in a week.
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (const auto& [pool, samples] : loaded_->pools) {
    if (samples.empty()) continue;
    first = std::min(first, samples.front().timeMs);
    last = std::max(last, samples.back().timeMs);
  }
  if (first > last) {
    const history::Day from = view_.FromDay();
    range_ = {history::DayStartMs(from), history::DayStartMs(history::AddDays(std::max(from, view_.ToDay()), 1)) - 1};
  } else {
    const std::int64_t margin = std::max<std::int64_t>((last - first) / 50, 1000);
    range_ = {first - margin, last + margin};
  }
  Redraw();
}

void HistoryController::Redraw() {
  valid_.fill(false);
  view_.ChartsChanged();
}

void HistoryController::PoolTicksChanged() { Redraw(); }

void HistoryController::FigureChanged() {
  valid_[2] = false;  // CPU and RAM stay as they are
  view_.ChartsChanged();
}

const history::ChartPicture& HistoryController::Picture(int chart, int width, int height,
                                                        const history::TextMetrics& metrics) {
  const auto c = static_cast<std::size_t>(std::clamp(chart, 0, kCharts - 1));
  history::ChartPicture& picture = pictures_[c];
  const history::PixelRect plot = history::PlotArea(width, height, metrics);
  if (valid_[c] && picture.width == width && picture.height == height && picture.plot.left == plot.left &&
      picture.plot.top == plot.top && picture.plot.right == plot.right && picture.plot.bottom == plot.bottom)
    return picture;
  const int figureIndex = view_.FigureIndex();
  const history::Figure figures[kCharts] = {
      history::Figure::Cpu, history::Figure::RamMB,
      kOtherFigures[std::clamp<int>(figureIndex, 0, static_cast<int>(std::size(kOtherFigures)) - 1)].figure};
  std::vector<history::ChartSource> sources;
  for (std::size_t i = 0; i < poolNames_.size(); ++i) {
    if (!view_.IsPoolTicked(static_cast<int>(i))) continue;
    const auto it = loaded_->pools.find(poolNames_[i]);
    if (it == loaded_->pools.end()) continue;
    sources.push_back({&it->second, it->first, history::PoolColour(i), spacing_[it->first]});
  }
  picture = history::DrawChart(ChartTitle(chart, figureIndex), sources, figures[c], range_, width, height, metrics);
  valid_[c] = true;
  return picture;
}

void HistoryController::Wheel(int chart, int x, int steps) {
  const auto c = static_cast<std::size_t>(std::clamp(chart, 0, kCharts - 1));
  if (steps == 0 || pictures_[c].width == 0) return;
  const history::TimeRange zoomed = history::WheelZoom(range_, history::TimeAtX(pictures_[c], x), steps);
  if (zoomed == range_) return;
  range_ = zoomed;
  Redraw();
}

void HistoryController::ZoomTo(int chart, int x1, int x2) {
  const auto c = static_cast<std::size_t>(std::clamp(chart, 0, kCharts - 1));
  if (pictures_[c].width == 0 || std::abs(x2 - x1) < 3) return;  // a click, not a drag
  const std::int64_t from = history::TimeAtX(pictures_[c], std::min(x1, x2));
  const std::int64_t to = history::TimeAtX(pictures_[c], std::max(x1, x2));
  if (to - from < 1000) return;
  range_ = {from, to};
  Redraw();
}

std::string HistoryController::HoverText(int chart, int x, int y) const {
  const auto c = static_cast<std::size_t>(std::clamp(chart, 0, kCharts - 1));
  if (!valid_[c]) return {};
  const auto hit = history::HitTest(pictures_[c], x, y);
  return hit ? history::HoverText(*hit) : std::string();
}

std::vector<history::PoolLine> HistoryController::ShownLines(int chart) const {
  const auto c = static_cast<std::size_t>(std::clamp(chart, 0, kCharts - 1));
  return valid_[c] ? history::ShownLines(pictures_[c]) : std::vector<history::PoolLine>{};
}

std::string HistoryController::ExportCsv() const {
  // One file for the three charts: each line says its figure.
  std::string csv = "figure,pool,time,value\n";
  for (int c = 0; c < kCharts; ++c) {
    const std::string body = history::FormatCsv(ShownLines(c));
    const std::string figure = c < 2 ? kCsvFigures[c] : ChartTitle(c, view_.FigureIndex());
    std::size_t at = body.find('\n') + 1;  // past its header
    while (at < body.size()) {
      const std::size_t end = body.find('\n', at);
      csv.append(figure).append(",").append(body, at, end - at + 1);
      at = end + 1;
    }
  }
  return csv;
}

bool HistoryController::WriteCsv(const std::string& path) const {
  const std::string csv = ExportCsv();
  std::ofstream out(platform::PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  out.write(csv.data(), static_cast<std::streamsize>(csv.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string HistoryController::PicturePathFor(const std::string& csvPath, const std::string& extension) {
  std::string base = csvPath;
  if (base.size() >= 4) {
    std::string tail = base.substr(base.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (tail == ".csv") base.resize(base.size() - 4);
  }
  return base + extension;
}

void HistoryController::CheckGrowth() {
  // While monitoring writes today's log, a range that holds today follows it.
  if (loading_ || !view_.IsShown() || view_.ToDay() < Today()) return;
  if (TodaySize() != todaySize_) Load();
}

}  // namespace tarnwell
