#include "app/MainController.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <system_error>
#include <thread>

#include "app/ListCompare.h"
#include "iis/iis.h"
#include "logs/LogsDir.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tasks/MonitoringPool.h"
#include "tasks/MonitoringPoolLock.h"
#include "tasks/TaskThread.h"
#include "tasks/getpooldata.h"
#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

constexpr std::int32_t kDefaultCpuThreshold = 70;  // percent
constexpr int kReapRetryMs = 1;
const char* const kIntervalReset = "3";
constexpr const char* kSelectPoolToAnalyse = "Select a pool in the list to analyse.";

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string NodeText(const TPoolRec& rec) {
  return rec.Name + " (RAM " + std::to_string(rec.RamKB) + " kb, CPU " + std::to_string(rec.Cpu) +
         ", PID " + std::to_string(rec.Pid) + ", Threads " + std::to_string(rec.Threads) +
         ", TCP " + std::to_string(rec.OpenTcp) + ", Files " + std::to_string(rec.OpenFiles) +
         ", Handles " + std::to_string(rec.Handles) + ")";
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Each click on a column heading turns its sort direction round; the new sign, or 0 for a
// column the list does not have.
int FlipSortSign(std::vector<int>& tags, int column) {
  if (column < 0 || column >= static_cast<int>(tags.size())) return 0;
  int& tag = tags[static_cast<std::size_t>(column)];
  tag = -tag;
  return tag;
}

}  // namespace

MainController::MainController(IMainView& view, platform::IMetabase& metabase,
                               platform::IProcessSystem& processes, const ILocalClock& clock)
    : view_(view), metabase_(metabase), processes_(processes), clock_(clock) {}

MainController::~MainController() {
  server_.reset();  // its thread ends before anything it reads goes
  StopWorkersAndWait();
  reporterGuard_.reset();  // no failure report may reach a window being torn down
  uiThreadScope_.reset();
  registry_.reset();
  log_.reset();
}

// ---------------------------------------------------------------------------------------
// Start-up, message log, shutdown

void MainController::Start(const std::string& exeDir) {
  // Installed before the daily log exists, so that its failure to open is shown too.
  reporterGuard_.emplace([this](const std::string& message) { ReportLogFailure(message); });
  CreateLogDir(exeDir);
  AnalyseSortColumn = 0;
  log_ = std::make_unique<TLog>(logDir_, std::string(), clock_);
  registry_ = std::make_unique<TIISObject>(metabase_, processes_);
  registry_->Log = log_.get();
  LogWinMsg("Start application.");
  if (metricsUrl_) {
    if (!textfile_) textfile_ = std::make_unique<TextfileExport>(std::string());  // the latest pass in memory only
    server_ = ServeLatestPass(serveHttp_, *metricsUrl_, *textfile_, [this](const std::string& line) { LogWinMsg(line); });
  }
  SiteNameToggled();
  uiThreadScope_.emplace(platform::Apartment::MultiThreaded);
  RecoverLeftAnalysis();
}

void MainController::SetTextfileDir(const std::string& dir) {
  textfile_ = dir.empty() ? nullptr : std::make_unique<TextfileExport>(dir);
}

void MainController::SetMetricsUrl(const MetricsUrl& url, platform::HttpServerFactory serve) {
  metricsUrl_ = url;
  serveHttp_ = std::move(serve);
}

void MainController::RecoverLeftAnalysis() {
  // Runs before the window takes any input, so no analysis can start meanwhile; a few
  // quick metabase calls, silent when no journal was left.
  try {
    RecoverAnalysis(logDir_, registry_->Metabase(), [this](const std::string& msg) { LogWinMsg(msg); });
  } catch (const std::exception& e) {
    // The journal stays; the next start or analysis tries again.
    LogWinMsg(std::string("Recovery: stopped on an error. ") + e.what());
  }
}

void MainController::CreateLogDir(const std::string& exeDir) {
  std::string error;
  logDir_ = MakeLogDir(exeDir, error);
  if (!error.empty()) view_.ShowMessage("Impossible create LOG dir. Please check NTFS permissions.\r\n" + error);
}

void MainController::ReportLogFailure(const std::string& message) {
  if (view_.OnUiThread()) {
    view_.ShowMessage(message);
  } else {
    Queue([this, message] { view_.ShowMessage(message); });
  }
}

void MainController::LogWinMsg(const std::string& msg) {
  const std::string line = PaneLine(clock_.Now(), msg);
  if (view_.OnUiThread()) {
    view_.AppendPaneLine(line);
  } else {
    Queue([this, line] { view_.AppendPaneLine(line); });
  }
  if (log_) {
    try {
      log_->Write(line);
    } catch (const std::exception&) {
      // A full or vanished disk must not take the window down; the pane still has the line.
    }
  }
}

void MainController::StopWorkersAndWait() {
  if (workers_.empty() && !pendingStart_) return;
  closing_ = true;
  pendingStart_.reset();
  if (registry_) registry_->SetMonitoring(false);
  if (AnalyseThread != nullptr) AnalyseThread->StopRequested = true;
  for (Worker& worker : workers_) worker.thread->Terminate();

  // The workers still hand messages, redraws and their end notifications to this thread:
  // run them until every worker is done.
  view_.RunUntil([this] {
    return std::all_of(workers_.begin(), workers_.end(),
                       [](const Worker& w) { return w.thread->Finished(); });
  });
  for (Worker& worker : workers_) worker.thread->Join();  // each past its end: returns at once
  workers_.clear();
  monitor_ = nullptr;
  monitorLock_.reset();
  AnalyseThread = nullptr;
  closing_ = false;
}

// ---------------------------------------------------------------------------------------
// Window port

void MainController::Queue(std::function<void()> f) {
  handOvers_.fetch_add(1, std::memory_order_release);
  view_.PostToUi([this, f = std::move(f)] {
    handOvers_.load(std::memory_order_acquire);
    f();
  });
}

void MainController::Synchronize(const std::function<void()>& f) {
  if (view_.OnUiThread()) {
    f();
    return;
  }
  // The UI thread keeps the promise once f has run; an error raised there goes back to the
  // worker. A hand-over dropped unrun (the window gone) breaks the promise, and the worker
  // gets an error instead of waiting for ever.
  auto promise = std::make_shared<std::promise<void>>();
  std::future<void> ran = promise->get_future();
  Queue([&f, promise = std::move(promise)] {
    try {
      f();
      promise->set_value();
    } catch (...) {
      promise->set_exception(std::current_exception());
    }
  });
  ran.get();
}

void MainController::Post(std::function<void()> f) {
  Queue([f = std::move(f)] {
    try {
      f();
    } catch (...) {
      // Nothing posted here raises on purpose; the event loop must not see it.
    }
  });
}

std::string MainController::MonitoringIntervalText() { return view_.Text(ViewText::MonitorMinutes); }

void MainController::RefillPoolList() {
  const TIISObject& registry = *registry_;
  const std::int32_t count = std::clamp<std::int32_t>(registry.PoolCount, 0, MaxPools);
  std::vector<std::vector<std::string>> rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    if (rec.Name.empty()) continue;
    rows.push_back({rec.Name, std::to_string(rec.AppCount)});
  }
  view_.FillList(ViewList::Pools, rows);  // the ticks go with the rows
  UpdateTaskStartButton(-1);
}

void MainController::ThreadPoolMonitoring() {
  LogWinMsg(IntervalLogLine(view_.Text(ViewText::MonitorMinutes)));
  const TIISObject& registry = *registry_;
  const std::int32_t count = std::clamp<std::int32_t>(registry.PoolCount, 0, MaxPools);
  const bool hideInactive = view_.IsChecked(ViewCheck::HideInactive);

  std::vector<std::vector<std::string>> rows;
  std::vector<ViewTreeNode> nodes;
  std::vector<ViewChartBar> bars;
  rows.reserve(static_cast<std::size_t>(count));
  double lowest = 0;
  double highest = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    rows.push_back({rec.Name, std::to_string(rec.AppCount), std::to_string(rec.Cpu),
                    std::to_string(rec.RamKB)});
    if (hideInactive && rec.Pid == 0) continue;
    ViewTreeNode& node = nodes.emplace_back();
    node.text = NodeText(rec);
    if (rec.Apps) node.children = *rec.Apps;
    bars.push_back({rec.Name, double(rec.RamKB), double(rec.Cpu)});
    lowest = std::min({lowest, double(rec.RamKB), double(rec.Cpu)});
    highest = std::max({highest, double(rec.RamKB), double(rec.Cpu)});
  }
  // Losing the Analyse list's selection here leaves its Start as it is.
  view_.FillList(ViewList::Analyse, rows);
  view_.FillTree(nodes);
  // From the lowest figure (0, or -1 for an unmeasured CPU) to the highest, and at least
  // the CPU's 0..100 so that small figures do not fill the whole height.
  view_.SetChart(bars, lowest, std::max(highest, 100.0));

  LogWinMsg(PoolsLogLine(registry.PoolCount));
}

void MainController::AppendAnalyseLine(const std::string& msg) {
  view_.AppendAnalyseLine(FormatAnalyseStamp(clock_.Now()) + "\t" + msg);
}

// ---------------------------------------------------------------------------------------
// Workers

TTaskThread* MainController::Adopt(WorkerKind kind, std::unique_ptr<TTaskThread> worker,
                                   std::function<void()> onEnd) {
  TTaskThread* raw = worker.get();
  raw->OnTerminate = [this, raw, onEnd = std::move(onEnd)] {
    if (onEnd) onEnd();
    WorkerEnded(raw);
  };
  workers_.push_back(Worker{kind, std::move(worker)});
  try {
    raw->Start();
  } catch (const std::exception& e) {
    // No thread: nothing will end it, so it must not be waited for.
    workers_.pop_back();
    LogWinMsg(std::string("Cannot start a worker thread: ") + e.what());
    return nullptr;
  }
  return raw;
}

void MainController::WorkerEnded(const TTaskThread* worker) {
  for (Worker& w : workers_) {
    if (w.thread.get() == worker) w.ended = true;
  }
  // The worker is still inside this notification: it is joined once it has returned.
  Post([this] { ReapWorkers(); });
}

void MainController::ReapWorkers() {
  bool lagging = false;
  for (Worker& w : workers_) {
    if (w.thread->Finished()) {
      w.thread->Join();  // past its end notification: returns at once
    } else if (w.ended) {
      lagging = true;  // between its end notification and its last instruction
    }
  }
  std::erase_if(workers_, [](const Worker& w) { return w.thread->Finished(); });
  if (lagging) view_.PostToUiLater(kReapRetryMs, [this] { ReapWorkers(); });
  StartPendingMonitoring();
}

MainController::WorkerCounts MainController::LiveWorkers() const {
  WorkerCounts counts;
  for (const Worker& w : workers_) {
    switch (w.kind) {
      case WorkerKind::Loader: ++counts.loaders; break;
      case WorkerKind::Monitor: ++counts.monitors; break;
      case WorkerKind::Analyser: ++counts.analysers; break;
    }
  }
  return counts;
}

void MainController::DoRefreshListPool(std::string filter) {
  auto loader = std::make_unique<TGetPoolData>(*this);
  loader->Filter = std::move(filter);
  Adopt(WorkerKind::Loader, std::move(loader), {});
}

bool MainController::CanStartMonitorNow() const {
  // A loader reads the settings that Start writes. The previous monitor must be joined,
  // not only past its end notification, so that there is never a second monitor thread.
  return std::none_of(workers_.begin(), workers_.end(), [](const Worker& w) {
    return w.kind == WorkerKind::Monitor || (w.kind == WorkerKind::Loader && !w.ended);
  });
}

bool MainController::TakeMonitoringLock() {
  try {
    monitorLock_.emplace(logDir_, MonitorHolder::Window);
  } catch (const std::system_error& e) {
    // No log folder to lock is no log to write either: the window still shows its figures.
    LogWinMsg(std::string("Monitoring without the log folder's lock: ") + e.what());
    return true;
  }
  if (monitorLock_->Held()) return true;
  LogWinMsg(MonitoredElsewhereText(monitorLock_->Other(), logDir_));
  monitorLock_.reset();
  return false;
}

void MainController::OfferAnalyseWithoutMonitoring(const std::string& selectedPools) {
  // The Analyse list is filled by the monitor's redraw; without one it gets the pools ticked
  // at Start (a reload since may have cleared the ticks), so that the analyser still works
  // while another program monitors.
  std::vector<std::vector<std::string>> rows;
  const int count = view_.RowCount(ViewList::Pools);
  for (int i = 0; i < count; ++i) {
    const std::string name = view_.CellText(ViewList::Pools, i, 0);
    const std::size_t at = selectedPools.find(name + "\t");
    if (name.empty() || at == std::string::npos || (at > 0 && selectedPools[at - 1] != '\t')) continue;
    rows.push_back({name, view_.CellText(ViewList::Pools, i, 1), "", ""});
  }
  if (rows.empty()) return;
  view_.FillList(ViewList::Analyse, rows);
  view_.SetEnabled(ViewControl::AnalyseTab, true);
}

bool MainController::BeginMonitoring(const MonitoringStart& settings) {
  if (!TakeMonitoringLock()) {
    OfferAnalyseWithoutMonitoring(settings.selectedPools);
    return false;
  }
  TIISObject& registry = *registry_;
  const std::string oldPools = registry.SelectedPools;
  const bool oldSiteName = registry.GetSiteName;
  const bool oldAspNetVersion = registry.GetAspNetVersion;
  registry.SelectedPools = settings.selectedPools;
  registry.SetMonitoring(true);
  registry.GetSiteName = settings.getSiteName;
  registry.GetAspNetVersion = settings.getAspNetVersion;
  auto monitor = std::make_unique<TMonitoringPool>(*this, SystemClock(), SleepMs);
  const TTaskThread* raw = monitor.get();
  monitor_ = Adopt(WorkerKind::Monitor, std::move(monitor), [this, raw] { OnMonitorEnded(raw); });
  if (monitor_ != nullptr) return true;
  // No thread (Adopt said why): the registry goes back to what it held; a reload reads
  // the site-name settings too.
  monitorLock_.reset();
  registry.SetMonitoring(false);
  registry.SelectedPools = oldPools;
  registry.GetSiteName = oldSiteName;
  registry.GetAspNetVersion = oldAspNetVersion;
  return false;
}

void MainController::StartPendingMonitoring() {
  if (!pendingStart_ || closing_ || !CanStartMonitorNow()) return;
  const MonitoringStart settings = *pendingStart_;
  pendingStart_.reset();
  if (!BeginMonitoring(settings)) {
    SetMonitoringButtons(false);
    // A Start refused because another program monitors has filled the Analyse list: its
    // tab stays usable.
    view_.SetEnabled(ViewControl::AnalyseTab, settings.analyseTabEnabled || view_.RowCount(ViewList::Analyse) > 0);
  }
}

void MainController::OnMonitorEnded(const TTaskThread* monitor) {
  if (monitor_ == monitor) monitor_ = nullptr;
  monitorLock_.reset();  // its last line is written
  // Stop clears the flag before the monitor ends; still set, the monitor ended on an error.
  if (!closing_ && registry_->IsMonitoring()) {
    registry_->SetMonitoring(false);
    LogWinMsg("Monitoring stopped on an error. Press Start to monitor again.");
    SetMonitoringButtons(false);
  }
}

void MainController::SetMonitoringButtons(bool monitoring) {
  view_.SetEnabled(ViewControl::PoolRefresh, !monitoring);
  view_.SetEnabled(ViewControl::PoolFilter, !monitoring);
}

// ---------------------------------------------------------------------------------------
// Handlers

void MainController::SiteNameToggled() {
  view_.SetEnabled(ViewControl::AspNetBox, view_.IsChecked(ViewCheck::GetSiteName));
}

void MainController::RefreshClicked() { DoRefreshListPool(std::string()); }

void MainController::FilterClicked() {
  const std::string filter = view_.Text(ViewText::PoolFilter);
  LogWinMsg("Apply filter : [" + filter + "]");
  DoRefreshListPool(filter);
}

void MainController::TickAll(bool ticked) {
  view_.TickAllPools(ticked);  // one Start check for all rows, below
  UpdateTaskStartButton(-1);
}

void MainController::SortList(ViewList list, int column,
                              const std::function<bool(const std::string&, const std::string&)>& less) {
  // Equal rows keep their order.
  const int count = view_.RowCount(list);
  std::vector<std::pair<std::string, int>> keys;
  keys.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) keys.emplace_back(view_.CellText(list, i, column), i);
  std::stable_sort(keys.begin(), keys.end(),
                   [&less](const auto& a, const auto& b) { return less(a.first, b.first); });
  std::vector<int> order;
  order.reserve(keys.size());
  for (const auto& key : keys) order.push_back(key.second);
  view_.ReorderRows(list, order);
}

void MainController::PoolColumnClicked(int column) {
  const int sign = FlipSortSign(poolColumnTags_, column);
  if (sign == 0) return;
  PoolSortColumn = column;
  SortList(ViewList::Pools, column,
           [sign](const std::string& a, const std::string& b) { return PoolListLess(a, b, sign); });
}

void MainController::PoolTickChanged(int row) { UpdateTaskStartButton(row); }

void MainController::UpdateTaskStartButton(int changedRow) {
  if (changedRow >= 0 && view_.IsPoolTicked(changedRow)) {
    view_.SetEnabled(ViewControl::MonitorStart, true);
    return;
  }
  bool anyTicked = false;
  const int count = view_.RowCount(ViewList::Pools);
  for (int i = 0; i < count && !anyTicked; ++i) anyTicked = view_.IsPoolTicked(i);
  view_.SetEnabled(ViewControl::MonitorStart, anyTicked);
}

void MainController::StartClicked() {
  if (pendingStart_) {
    const bool oldMonitor = LiveWorkers().monitors > 0;
    LogWinMsg(std::string("Monitoring will start when ") +
              (oldMonitor ? "the previous monitoring has ended" : "the pool list reload has ended"));
    return;
  }
  if (registry_->IsMonitoring()) {
    LogWinMsg("Monitoring already runs");
    return;
  }
  MonitoringStart settings;
  int ticked = 0;
  const int count = view_.RowCount(ViewList::Pools);
  for (int i = 0; i < count; ++i) {
    if (!view_.IsPoolTicked(i)) continue;
    settings.selectedPools += view_.CellText(ViewList::Pools, i, 0) + "\t";
    ++ticked;
  }
  if (ticked == 0) return;
  const std::string interval = view_.Text(ViewText::MonitorMinutes);
  if (interval.empty()) {
    LogWinMsg("Monitoring interval is empty. Enter the minutes between samples (0 to 999).");
    return;
  }
  if (!IntervalSeconds(interval)) {
    LogWinMsg("Monitoring interval [" + interval + "] is not a number of minutes (0 to 999).");
    return;
  }
  settings.getSiteName = view_.IsChecked(ViewCheck::GetSiteName);
  settings.getAspNetVersion = view_.IsChecked(ViewCheck::GetAspNet);
  settings.analyseTabEnabled = view_.IsEnabled(ViewControl::AnalyseTab);
  if (CanStartMonitorNow()) {
    // A monitor that cannot start leaves the window as it was; the pane has the reason.
    if (!BeginMonitoring(settings)) return;
  } else {
    pendingStart_ = settings;  // begins when the previous monitor or the reloads have ended
  }
  view_.SetEnabled(ViewControl::AnalyseTab, true);
  SetMonitoringButtons(true);
  LogWinMsg("Start monitoring");
}

void MainController::StopClicked() {
  if (pendingStart_) {
    pendingStart_.reset();  // it never began
  } else if (registry_->IsMonitoring()) {
    registry_->SetMonitoring(false);  // the monitor sees it at its next look, within a second
  } else {
    return;
  }
  LogWinMsg("Stop monitoring pool");
  SetMonitoringButtons(false);
}

bool MainController::IntervalKeyAccepted(std::string_view typed) {
  if (typed.empty()) return true;
  return typed.size() == 1 && (AllDigits(typed) || typed.front() == '\b');
}

void MainController::MonitorMinutesChanged(const std::string& text) {
  // Whole minutes only; a pasted text of anything else becomes the default.
  if (!text.empty() && !AllDigits(text)) view_.SetText(ViewText::MonitorMinutes, kIntervalReset);
}

void MainController::AnalyseColumnClicked(int column) {
  const int sign = FlipSortSign(analyseColumnTags_, column);
  if (sign == 0) return;
  AnalyseSortColumn = column;
  SortList(ViewList::Analyse, column, [column, sign](const std::string& a, const std::string& b) {
    return AnalyseListLess(column, a, b, sign);
  });
}

void MainController::AnalyseSelectionChanged() {
  // One analysis at a time: Start stays off while an analyser, stopping or not, exists.
  view_.SetEnabled(ViewControl::AnalyseStart,
                   view_.SelectedRow(ViewList::Analyse) >= 0 && AnalyseThread == nullptr);
}

void MainController::AnalyseStartClicked() {
  if (AnalyseThread != nullptr) return;
  const int selected = view_.SelectedRow(ViewList::Analyse);
  if (selected < 0) {
    // A redraw took the selection away and left Start on.
    AppendAnalyseLine(kSelectPoolToAnalyse);
    return;
  }
  auto analyser = std::make_unique<TAnalysePool>(*this, clock_);
  analyser->PoolName = view_.CellText(ViewList::Analyse, selected, 0);
  analyser->CpuThreshold =
      ReadWholeNumber(view_.Text(ViewText::AnalyseCpu)).value_or(kDefaultCpuThreshold);
  analyser->StopRequested = false;
  TAnalysePool* raw = analyser.get();
  if (Adopt(WorkerKind::Analyser, std::move(analyser), [this] { OnMyTerminateAnalyse(); }) == nullptr) {
    return;
  }
  AnalyseThread = raw;
  view_.SetEnabled(ViewControl::AnalyseStart, false);
  view_.SetEnabled(ViewControl::AnalyseStop, true);
}

void MainController::AnalyseStopClicked() {
  if (AnalyseThread == nullptr) return;
  AnalyseThread->StopRequested = true;
  view_.SetEnabled(ViewControl::AnalyseStop, false);
}

void MainController::OnMyTerminateAnalyse() {
  AnalyseThread = nullptr;
  view_.SetEnabled(ViewControl::AnalyseStop, false);
}

}  // namespace tarnwell
