#pragma once
// The main window's rules, apart from any toolkit: what is enabled when, the lists' fill
// and sort, Start and Stop, the redraw of the tree, chart and Analyse list, the message
// pane, start-up and close. Owns the run's registry, daily log and workers, and is the
// window port the workers talk to. Lives on the UI thread; talks to the window through
// IMainView.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/MainView.h"
#include "logs/Logs.h"
#include "logs/LogsClock.h"
#include "platform/http_server.h"
#include "platform/thread_scope.h"
#include "tasks/MonitoringPoolLock.h"
#include "tasks/WindowPort.h"
#include "textfile/metrics_http.h"

namespace tarnwell {

class TAnalysePool;
class TIISObject;
class TLog;
class TTaskThread;
class TextfileExport;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

class MainController final : public IWindowPort {
 public:
  // The view, seams and clock stay owned by the caller and must outlive the controller.
  MainController(IMainView& view, platform::IMetabase& metabase,
                 platform::IProcessSystem& processes, const ILocalClock& clock);
  ~MainController() override;
  MainController(const MainController&) = delete;
  MainController& operator=(const MainController&) = delete;

  // FormCreate: exeDir (UTF-8, the executable's directory) gets the log folder; then the
  // daily log, the registry, "Start application." and the recovery of a left analysis.
  // Once, after the view's controls exist.
  void Start(const std::string& exeDir);

  // Window port.
  void LogWinMsg(const std::string& msg) override;  // any thread
  std::string LogDir() const override { return logDir_; }
  TIISObject& Registry() override { return *registry_; }
  TextfileExport* Textfile() override { return textfile_.get(); }
  void Synchronize(const std::function<void()>& f) override;  // any thread; waits
  void Post(std::function<void()> f) override;                // any thread
  std::string MonitoringIntervalText() override;
  void RefillPoolList() override;
  void ThreadPoolMonitoring() override;
  void SetAnalyseMsg(const std::string& msg) override { AnalyseMsg = msg; }
  void UpdateLogAnalyse() override { AppendAnalyseLine(AnalyseMsg); }

  // Writes every pass's figures into dir/tarnwell.prom from now on. Before any worker.
  void SetTextfileDir(const std::string& dir);
  // Serves every pass's exposition at url through serve from Start on, until the window
  // closes; a URL that cannot be served is one line in the daily log. Before Start.
  void SetMetricsUrl(const MetricsUrl& url, platform::HttpServerFactory serve);
  TLog& Log() { return *log_; }

  // Workers started and not yet joined, by kind.
  struct WorkerCounts {
    int loaders = 0;
    int monitors = 0;
    int analysers = 0;
  };
  WorkerCounts LiveWorkers() const;
  // Start was pressed while an earlier monitor or a reload still ran; the new monitor
  // starts when they have ended.
  bool MonitoringStartPending() const { return pendingStart_.has_value(); }
  // Sort direction factor (+1 or -1) of each column; a header click flips its column's.
  const std::vector<int>& PoolColumnTags() const { return poolColumnTags_; }
  const std::vector<int>& AnalyseColumnTags() const { return analyseColumnTags_; }

  // What the window's controls raise.
  void RefreshClicked();            // btnTaskOPRefresh, Refresh1, Refresh2
  void FilterClicked();             // btnTaskOFilter
  void TickAll(bool ticked);        // Select all / Deselect all
  void PoolColumnClicked(int column);
  void PoolTickChanged(int row);    // a row's tick box changed
  void StartClicked();              // btnTaskStart
  void StopClicked();               // btnTaskStop
  void MonitorMinutesChanged(const std::string& text);
  void SiteNameToggled();           // chkGetName
  void AnalyseColumnClicked(int column);
  void AnalyseSelectionChanged();
  void AnalyseStartClicked();
  void AnalyseStopClicked();
  void OnMyTerminateAnalyse();      // the analyser's end, on the UI thread

  // Starts a pool-list loader; `filter` becomes the registry's filter for its reload.
  void DoRefreshListPool(std::string filter);
  // Stops the workers and waits for them while running what they hand to the UI thread.
  // At close, and again before the registry and the log go.
  void StopWorkersAndWait();

  // A key typed into the interval box, as the text it types: nothing, a digit or
  // Backspace pass; anything else is dropped.
  static bool IntervalKeyAccepted(std::string_view typed);

 private:
  void CreateLogDir(const std::string& exeDir);
  void RecoverLeftAnalysis();
  void ReportLogFailure(const std::string& message);  // any thread
  void AppendAnalyseLine(const std::string& msg);     // a stamped line of the analysis messages
  // Any thread: queues f for the UI thread. The counter's release and acquire order what
  // the caller wrote before with what f reads, visibly to thread checkers, which do not
  // see a toolkit's own futex-based queue locks.
  void Queue(std::function<void()> f);
  void SortList(ViewList list, int column,
                const std::function<bool(const std::string&, const std::string&)>& less);
  void UpdateTaskStartButton(int changedRow);  // -1: look at every row

  enum class WorkerKind { Loader, Monitor, Analyser };
  struct Worker {
    WorkerKind kind;
    std::unique_ptr<TTaskThread> thread;
    bool ended = false;  // its end notification has run
  };
  // Sets the worker's end notification (onEnd, then the reap), keeps it and starts it.
  // Null, with a pane message, when no thread could be started.
  TTaskThread* Adopt(WorkerKind kind, std::unique_ptr<TTaskThread> worker,
                     std::function<void()> onEnd);
  void WorkerEnded(const TTaskThread* worker);
  // Joins and frees the workers that have finished; then starts a pending monitor.
  void ReapWorkers();

  // What Start hands to the registry and the monitor.
  struct MonitoringStart {
    std::string selectedPools;  // ticked names, each followed by a TAB
    bool getSiteName = false;
    bool getAspNetVersion = false;
    bool analyseTabEnabled = false;  // before Start, for a start that fails
  };
  // The registry's settings may change only while no worker reads them.
  bool CanStartMonitorNow() const;
  // False, with the registry as it was, when no monitoring thread could be started or
  // another program monitors into the log folder.
  bool BeginMonitoring(const MonitoringStart& settings);
  // False, said in the pane, when another program holds the log folder's monitoring lock.
  bool TakeMonitoringLock();
  void OfferAnalyseWithoutMonitoring(const std::string& selectedPools);
  void StartPendingMonitoring();
  void OnMonitorEnded(const TTaskThread* monitor);
  void SetMonitoringButtons(bool monitoring);

  // Keeps a log failure reporter installed for as long as it lives.
  class LogReporterScope {
   public:
    explicit LogReporterScope(LogFailureReporter reporter) {
      SetLogFailureReporter(std::move(reporter));
    }
    ~LogReporterScope() { SetLogFailureReporter({}); }
    LogReporterScope(const LogReporterScope&) = delete;
    LogReporterScope& operator=(const LogReporterScope&) = delete;
  };

  IMainView& view_;
  platform::IMetabase& metabase_;
  platform::IProcessSystem& processes_;
  const ILocalClock& clock_;

  int PoolSortColumn = 0;
  int AnalyseSortColumn = 0;
  std::string logDir_;
  std::unique_ptr<TIISObject> registry_;
  std::unique_ptr<TLog> log_;
  std::unique_ptr<TextfileExport> textfile_;
  std::optional<MetricsUrl> metricsUrl_;
  platform::HttpServerFactory serveHttp_;
  std::unique_ptr<platform::IHttpServer> server_;  // reads textfile_'s latest pass: after it
  TAnalysePool* AnalyseThread = nullptr;  // the live analyser, owned by workers_
  std::string AnalyseMsg;  // written by the analyser while it waits in a hand-over

  std::optional<LogReporterScope> reporterGuard_;
  std::optional<platform::ThreadScope> uiThreadScope_;  // the UI thread's platform set-up
  std::vector<int> poolColumnTags_{1, 1};
  std::vector<int> analyseColumnTags_{1, 1, 1, 1};
  std::vector<Worker> workers_;
  const TTaskThread* monitor_ = nullptr;  // the live monitor, owned by workers_
  std::optional<MonitoringLock> monitorLock_;  // held from Start until the monitor has ended
  std::optional<MonitoringStart> pendingStart_;
  bool closing_ = false;  // set while the close stops and awaits the workers
  std::atomic<std::uint64_t> handOvers_{0};  // see Queue
};

}  // namespace tarnwell
