#pragma once
// The main window: three tabs (Task, Monitoring, Analyse), the message pane, the menus.
// Owns the run's pool registry and daily log. Lives on the UI thread.
#include <QFont>
#include <QMainWindow>
#include <QVector>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "logs/Logs.h"
#include "logs/LogsClock.h"
#include "platform/thread_scope.h"

class QAction;
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

namespace tarnwell {

class TFrmAbout;
class TIISObject;
class TLog;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

class TFrmMain : public QMainWindow {
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
  void LogWinMsg(const std::string& msg);

  // The log directory, with its trailing separator.
  std::string LogDir() const { return logDir_; }
  TIISObject& Registry() { return *registry_; }
  TLog& Log() { return *log_; }
  TFrmAbout& About() { return *frmAbout_; }

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
  // Menus.
  void Exit1Click();
  void About1Click();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose
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
  void ReportLogFailure(const std::string& message);  // any thread
  void AppendPaneLine(const QString& line);            // UI thread

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
  std::string AnalyseMsg;  // written by the analyser while it waits in a hand-over

  platform::IMetabase& metabase_;
  platform::IProcessSystem& processes_;
  const ILocalClock& clock_;
  MessageBoxHook messageBox_;
  std::optional<LogReporterScope> reporterGuard_;
  std::optional<platform::ThreadScope> uiThreadScope_;  // the UI thread's platform set-up
  QVector<int> poolColumnTags_{1, 1};
  QVector<int> analyseColumnTags_{1, 1, 1, 1};

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
  QWidget* tabAnalyse = nullptr;
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
