#pragma once
// A window without a toolkit for the window's rules: controls as plain fields, and a UI
// thread that is the test's own, whose queue runs while the test waits. FakeWindow puts
// MainController on it over chosen seams, in a temporary executable directory, and
// raises the events that clicks and ticks raise in a real window.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/MainController.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell::testutil {

class FakeMainView final : public IMainView {
 public:
  struct Row {
    std::vector<std::string> cells;
    bool ticked = false;
  };

  // The controls' states as the window opens.
  std::map<ViewControl, bool> enabled{
      {ViewControl::PoolRefresh, true},   {ViewControl::PoolFilter, true},
      {ViewControl::MonitorStart, false}, {ViewControl::AspNetBox, true},
      {ViewControl::AnalyseTab, false},   {ViewControl::AnalyseStart, false},
      {ViewControl::AnalyseStop, false}};
  std::map<ViewText, std::string> texts{
      {ViewText::PoolFilter, ""}, {ViewText::MonitorMinutes, "3"}, {ViewText::AnalyseCpu, "70"}};
  std::map<ViewCheck, bool> checks{
      {ViewCheck::GetSiteName, false}, {ViewCheck::GetAspNet, false}, {ViewCheck::HideInactive, true}};
  std::map<ViewList, std::vector<Row>> lists{{ViewList::Pools, {}}, {ViewList::Analyse, {}}};
  std::map<ViewList, int> selected{{ViewList::Pools, -1}, {ViewList::Analyse, -1}};
  std::vector<ViewTreeNode> tree;
  std::vector<ViewChartBar> bars;
  double chartLow = 0;
  double chartHigh = 100;
  std::vector<std::string> pane;          // with their stamps
  std::vector<std::string> analyseLines;  // with their stamps
  std::vector<std::string> messageBoxes;
  bool uiRuleBroken = false;  // a UI-only call came on another thread

  void SetEnabled(ViewControl control, bool on) override { Ui(); enabled[control] = on; }
  bool IsEnabled(ViewControl control) const override { return enabled.at(control); }
  std::string Text(ViewText box) const override { return texts.at(box); }
  void SetText(ViewText box, const std::string& text) override { Ui(); texts[box] = text; }
  bool IsChecked(ViewCheck box) const override { return checks.at(box); }

  void FillList(ViewList list, const std::vector<std::vector<std::string>>& rows) override {
    Ui();
    auto& target = lists[list];
    target.clear();
    for (const auto& cells : rows) target.push_back({cells, false});
    selected[list] = -1;
  }
  int RowCount(ViewList list) const override { return static_cast<int>(lists.at(list).size()); }
  std::string CellText(ViewList list, int row, int column) const override {
    return lists.at(list).at(static_cast<std::size_t>(row)).cells.at(static_cast<std::size_t>(column));
  }
  bool IsPoolTicked(int row) const override {
    return lists.at(ViewList::Pools).at(static_cast<std::size_t>(row)).ticked;
  }
  void TickAllPools(bool ticked) override {
    Ui();
    for (Row& row : lists[ViewList::Pools]) row.ticked = ticked;
  }
  int SelectedRow(ViewList list) const override { return selected.at(list); }
  void ReorderRows(ViewList list, const std::vector<int>& order) override {
    Ui();
    std::vector<Row> old = lists[list];
    std::vector<Row> reordered;
    int newSelected = -1;
    for (int from : order) {
      if (from == selected[list]) newSelected = static_cast<int>(reordered.size());
      reordered.push_back(old.at(static_cast<std::size_t>(from)));
    }
    if (reordered.size() != old.size()) uiRuleBroken = true;  // a row lost or doubled
    lists[list] = std::move(reordered);
    selected[list] = newSelected;
  }
  void FillTree(const std::vector<ViewTreeNode>& nodes) override { Ui(); tree = nodes; }
  void SetChart(const std::vector<ViewChartBar>& b, double low, double high) override {
    Ui();
    bars = b;
    chartLow = low;
    chartHigh = high;
  }
  void AppendPaneLine(const std::string& line) override { Ui(); pane.push_back(line); }
  void AppendAnalyseLine(const std::string& line) override { Ui(); analyseLines.push_back(line); }
  void ShowMessage(const std::string& text) override { Ui(); messageBoxes.push_back(text); }

  bool OnUiThread() const override { return std::this_thread::get_id() == ui_; }
  void PostToUi(std::function<void()> f) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(f));
    }
    wake_.notify_all();
  }
  void PostToUiLater(int ms, std::function<void()> f) override {
    Ui();
    later_.emplace_back(Clock::now() + std::chrono::milliseconds(ms), std::move(f));
  }
  void RunUntil(const std::function<bool()>& done) override {
    while (!done()) RunOne(Clock::now() + std::chrono::milliseconds(20));
  }

  // Runs the queue until the condition holds; false after the timeout.
  bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = Clock::now() + timeout;
    while (!condition()) {
      if (Clock::now() >= end) return false;
      RunOne(end);
    }
    return true;
  }
  // Runs what is queued now, and waits for nothing more.
  void Drain() { WaitFor([this] { std::lock_guard lock(mutex_); return queue_.empty(); }); }

  // The pane's lines without their "dd/mm/yy hh:nn:ss.zzz " stamp.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const std::string& line : pane) out.push_back(line.size() > 22 ? line.substr(22) : std::string());
    return out;
  }
  int CountMessage(const std::string& message) const {
    return static_cast<int>(std::ranges::count(Messages(), message));
  }
  // Rows as "cell|cell|...".
  std::vector<std::string> Rows(ViewList list) const {
    std::vector<std::string> out;
    for (const Row& row : lists.at(list)) {
      std::string text;
      for (const std::string& cell : row.cells) text += (text.empty() ? "" : "|") + cell;
      out.push_back(text);
    }
    return out;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Ui() {
    if (!OnUiThread()) uiRuleBroken = true;
  }
  // Runs one posted or due task, or waits for one until `until` (or the next due one).
  void RunOne(Clock::time_point until) {
    for (auto it = later_.begin(); it != later_.end(); ++it) {
      if (it->first <= Clock::now()) {
        auto f = std::move(it->second);
        later_.erase(it);
        f();
        return;
      }
      until = std::min(until, it->first);
    }
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, until, [this] { return !queue_.empty(); });
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }

  std::thread::id ui_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::pair<Clock::time_point, std::function<void()>>> later_;
};

// The rules on a fake window over the given seams, which stay owned by the test. The
// executable directory is relativeExeDir under a temporary one (an absolute one as it is).
struct FakeWindow {
  TempDir tmp;
  std::string exeDir;
  TestClock clock;
  FakeMainView view;
  platform::IMetabase& metabase;
  platform::IProcessSystem& processes;
  std::unique_ptr<MainController> rules;

  FakeWindow(platform::IMetabase& m, platform::IProcessSystem& p, const std::string& relativeExeDir = "",
             bool open = true)
      : exeDir(platform::Utf8FromPath(relativeExeDir.empty() ? tmp.Path()
                                                             : tmp.Path() / platform::PathFromUtf8(relativeExeDir))),
        metabase(m),
        processes(p) {
    if (open) Open();
  }
  ~FakeWindow() { Close(); }  // TempDir keeps it from being copied

  // The window opens (again): new rules, as at the program's start.
  void Open() {
    rules.reset();
    rules = std::make_unique<MainController>(view, metabase, processes, clock);
    rules->Start(exeDir);
  }

  MainController* operator->() { return rules.get(); }

  // A click reaches the rules only while its control is enabled.
  void Click(ViewControl control, void (MainController::*handler)()) {
    if (view.enabled.at(control)) (rules.get()->*handler)();
  }
  void Tick(const std::string& pool, bool on = true) {
    auto& rows = view.lists[ViewList::Pools];
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].cells.at(0) != pool || rows[i].ticked == on) continue;
      rows[i].ticked = on;
      rules->PoolTickChanged(static_cast<int>(i));
    }
  }
  std::vector<std::string> Ticked() const {
    std::vector<std::string> out;
    for (const auto& row : view.lists.at(ViewList::Pools)) {
      if (row.ticked) out.push_back(row.cells.at(0));
    }
    return out;
  }
  void Select(ViewList list, const std::string& first) {
    const auto& rows = view.lists.at(list);
    const auto it = std::ranges::find_if(rows, [&](const auto& row) { return row.cells.at(0) == first; });
    view.selected[list] = it == rows.end() ? -1 : static_cast<int>(it - rows.begin());
    if (list == ViewList::Analyse) rules->AnalyseSelectionChanged();
  }
  bool NoWorkers() const {
    const auto live = rules->LiveWorkers();
    return live.loaders == 0 && live.monitors == 0 && live.analysers == 0;
  }
  // Refresh, and wait until its loader has ended.
  bool Refresh() {
    const int fills = view.CountMessage("End fill list");
    Click(ViewControl::PoolRefresh, &MainController::RefreshClicked);
    return view.WaitFor([&] {
      return view.CountMessage("End fill list") > fills && rules->LiveWorkers().loaders == 0;
    });
  }
  // The window closes: the workers stop and are waited for.
  void Close() {
    if (rules) rules->StopWorkersAndWait();
  }
};

}  // namespace tarnwell::testutil
