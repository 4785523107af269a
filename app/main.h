#pragma once
// The main window: three tabs (Task, Monitoring, Analyse), the message pane, the menus.
// Owns the run's pool registry and daily log. Lives on the UI thread.
#include <QFont>
#include <QMainWindow>
#include <QVector>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logs/Logs.h"
#include "logs/LogsClock.h"
#include "platform/thread_scope.h"
#include "tasks/WindowPort.h"

class QAction;
class QBarCategoryAxis;
class QBarSeries;
class QBarSet;
class QCheckBox;
class QChart;
class QChartView;
class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class QValueAxis;

namespace tarnwell {

class TAnalysePool;
class TFrmAbout;
class TIISObject;
class TLog;
class TTaskThread;
class TextfileExport;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

class TFrmMain : public QMainWindow, public IWindowPort {
  Q_OBJECT

 public:
  // Shows one of the window's two error messages; must return once the user has read it.
  using MessageBoxHook = std::function<void(const QString& text)>;

  // exeDir: the executable's directory, without a trailing separator. The seams and the
  // clock stay owned by the caller and must outlive the window. An empty hook shows a
  // QMessageBox.
  TFrmMain(const QString& exeDir, platform::IMetabase& metabase,
           platform::IProcessSystem& processes, const ILocalClock& clock = SystemClock(),
           MessageBoxHook messageBox = {}, QWidget* parent = nullptr);
  ~TFrmMain() override;

  // One line to the message pane and the daily log. Any thread: the stamp and the file
  // write happen on the caller's thread, the pane is reached on the UI thread.
  void LogWinMsg(const std::string& msg) override;

  // The log directory, with its trailing separator.
  std::string LogDir() const override { return logDir_; }
  TIISObject& Registry() override { return *registry_; }
  TextfileExport* Textfile() override { return textfile_.get(); }
  // Writes every pass's figures into dir/tarnwell.prom from now on. Before any worker
  // starts (UI thread).
  void SetTextfileDir(const std::string& dir);
  TLog& Log() { return *log_; }
  TFrmAbout& About() { return *frmAbout_; }

  // Window port: what the workers hand to the UI thread.
  void Synchronize(const std::function<void()>& f) override;  // any thread; waits
  void Post(std::function<void()> f) override;                // any thread
  // UI thread only, as the workers' hand-overs run them.
  std::string MonitoringIntervalText() override;
  void RefillPoolList() override;
  void ThreadPoolMonitoring() override;
  void SetAnalyseMsg(const std::string& msg) override;
  void UpdateLogAnalyse() override;

  // Starts a pool-list loader; `filter` becomes the registry's filter for its reload.
  void DoRefreshListPool(std::string filter);

  // Workers this window has started and not yet joined, by kind (UI thread).
  struct WorkerCounts {
    int loaders = 0;
    int monitors = 0;
    int analysers = 0;
  };
  WorkerCounts LiveWorkers() const;
  // Start was pressed while an earlier monitor or a reload was still running; the new
  // monitor starts when they have ended (UI thread).
  bool MonitoringStartPending() const { return pendingStart_.has_value(); }

  // Sort direction factor (+1 or -1) of each column; the sorting code flips them.
  QVector<int>& PoolColumnTags() { return poolColumnTags_; }
  QVector<int>& AnalyseColumnTags() { return analyseColumnTags_; }

  // Puts the window in the middle of the screen it is on.
  void CentreOnScreen();
  // The window's type face; the About dialog takes it over through its parent.
  static QFont WindowFont();

 public slots:
  // Task tab (pool list).
  void btnTaskOPRefreshClick();
  void btnTaskOFilterClick();
  void Refresh1Click();
  void Selectall1Click(QAction* sender);
  void lvTaskOPoolsColumnClick(int column);
  void lvTaskOPoolsChange(QTreeWidgetItem* item, int column);
  // Task tab (monitoring).
  void btnTaskStartClick();
  void btnTaskStopClick();
  void edtMonMinutesChange(const QString& text);
  void chkGetNameClick();
  // Analyse tab.
  void lvAnalyseColumnClick(int column);
  void lvAnalyseSelectItem();
  void btnAnalyseStartClick();
  void btnAnalyseStopClick();
  void OnMyTerminateAnalyse();
  // Menus.
  void Exit1Click();
  void About1Click();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose
  // The interval box's key filter.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Stops the workers this window started and waits for them, still running what they
  // hand to the UI thread. Called at close and again before the registry and log go.
  void StopWorkersAndWait();

 private:
  void BuildLayout();
  QWidget* BuildTaskTab();
  QWidget* BuildMonitoringTab();
  QWidget* BuildAnalyseTab();
  void BuildMenus();
  void ConnectHandlers();
  void FormCreate(const QString& exeDir);
  void CreateLogDir(const QString& exeDir);
  // Puts back what an analysis of an earlier run left in the log directory's journal,
  // each step to the pane and the daily log (UI thread, at start-up).
  void RecoverLeftAnalysis();
  void ReportLogFailure(const std::string& message);  // any thread
  void AppendPaneLine(const QString& line);            // UI thread
  void AppendAnalyseLine(const std::string& msg);      // UI thread: a stamped line of memAnalyse
  // Any thread: queues f for the UI thread. The counter's release and acquire order what
  // the caller wrote before with what f reads, visibly to thread checkers, which do not
  // see Qt's own futex-based queue locks.
  void Queue(std::function<void()> f);

  // Workers (UI thread). Every worker this window starts is kept here until it is joined.
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
  // False, with the registry as it was, when no monitoring thread could be started.
  bool BeginMonitoring(const MonitoringStart& settings);
  void StartPendingMonitoring();
  void OnMonitorEnded(const TTaskThread* monitor);
  void SetMonitoringButtons(bool monitoring);

  void UpdateTaskStartButton(const QTreeWidgetItem* changed);

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

  // Fields of the run, in the order the handlers meet them.
  int PoolSortColumn = 0;
  int AnalyseSortColumn = 0;
  std::string logDir_;
  std::unique_ptr<TIISObject> registry_;
  std::unique_ptr<TLog> log_;
  std::unique_ptr<TextfileExport> textfile_;
  TAnalysePool* AnalyseThread = nullptr;  // the live analyser, owned by workers_
  std::string AnalyseMsg;  // written by the analyser while it waits in a hand-over

  platform::IMetabase& metabase_;
  platform::IProcessSystem& processes_;
  const ILocalClock& clock_;
  MessageBoxHook messageBox_;
  std::optional<LogReporterScope> reporterGuard_;
  std::optional<platform::ThreadScope> uiThreadScope_;  // the UI thread's platform set-up
  QVector<int> poolColumnTags_{1, 1};
  QVector<int> analyseColumnTags_{1, 1, 1, 1};
  std::vector<Worker> workers_;
  const TTaskThread* monitor_ = nullptr;  // the live monitor, owned by workers_
  std::optional<MonitoringStart> pendingStart_;
  bool closing_ = false;  // set while the close stops and awaits the workers
  std::atomic<std::uint64_t> handOvers_{0};  // see Queue

  // Controls (owned by Qt's parent chain).
  QStatusBar* stbStatus = nullptr;
  QSplitter* splLog = nullptr;
  QFrame* pnlLog = nullptr;
  QCheckBox* chkDontScroll = nullptr;
  QPlainTextEdit* memLog = nullptr;
  QTabWidget* pcMain = nullptr;
  QWidget* tabTask = nullptr;
  QTreeWidget* lvTaskOPools = nullptr;
  QPushButton* btnTaskOPRefresh = nullptr;
  QPushButton* btnTaskOFilter = nullptr;
  QLineEdit* edtTaskOPFilter = nullptr;
  QPushButton* btnTaskStart = nullptr;
  QPushButton* btnTaskStop = nullptr;
  QLineEdit* edtMonMinutes = nullptr;
  QCheckBox* chkGetName = nullptr;
  QCheckBox* chkGetASPNET = nullptr;
  QCheckBox* chkHideInactive = nullptr;
  QWidget* tabMonitoring = nullptr;
  QTabWidget* pcMon = nullptr;
  QTreeWidget* tvMonList = nullptr;
  QChartView* s = nullptr;
  QChart* chart_ = nullptr;
  QBarSeries* series_ = nullptr;
  QBarSet* Series1 = nullptr;  // RAM, kB
  QBarSet* Series2 = nullptr;  // CPU, percent
  QBarCategoryAxis* axisPools_ = nullptr;
  QValueAxis* axisValues_ = nullptr;
  QWidget* tabAnalyse = nullptr;
  class HistoryTab* tabHistory_ = nullptr;  // beyond the three tabs: the logs drawn over days
  QTreeWidget* lvAnalyse = nullptr;
  QPlainTextEdit* memAnalyse = nullptr;
  QPushButton* btnAnalyseStart = nullptr;
  QPushButton* btnAnalyseStop = nullptr;
  QLineEdit* edtAnalyseCPU = nullptr;
  QMenu* popMnuTaskPools = nullptr;
  QAction* Exit1 = nullptr;
  QAction* Selectall1 = nullptr;
  QAction* Deselectall1 = nullptr;
  QAction* Refresh1 = nullptr;
  QAction* About1 = nullptr;
  QAction* Selectall2 = nullptr;
  QAction* Deselectall2 = nullptr;
  QAction* Refresh2 = nullptr;
  TFrmAbout* frmAbout_ = nullptr;
};

}  // namespace tarnwell
