#pragma once
// The main window: three tabs (Task, Monitoring, Analyse), the message pane, the menus.
// The Qt face of MainController, which holds the window's rules, the run's pool registry
// and daily log. Lives on the UI thread.
#include <QFont>
#include <QMainWindow>
#include <QVector>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/MainController.h"
#include "app/MainView.h"
#include "logs/LogsClock.h"

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

class TFrmAbout;
class TIISObject;
class TLog;
class TextfileExport;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

class TFrmMain : public QMainWindow, private IMainView {
  Q_OBJECT

 public:
  // Shows one of the window's two error messages; must return once the user has read it.
  using MessageBoxHook = std::function<void(const QString& text)>;
  using WorkerCounts = MainController::WorkerCounts;

  // exeDir: the executable's directory, without a trailing separator. The seams and the
  // clock stay owned by the caller and must outlive the window. An empty hook shows a
  // QMessageBox.
  TFrmMain(const QString& exeDir, platform::IMetabase& metabase,
           platform::IProcessSystem& processes, const ILocalClock& clock = SystemClock(),
           MessageBoxHook messageBox = {}, QWidget* parent = nullptr);
  ~TFrmMain() override;

  // The window's rules; they are also the window port the workers talk to.
  MainController& Controller() { return *controller_; }

  // What the rules offer, as the window offered it before they moved out.
  void LogWinMsg(const std::string& msg) { controller_->LogWinMsg(msg); }
  std::string LogDir() const { return controller_->LogDir(); }
  TIISObject& Registry() { return controller_->Registry(); }
  TextfileExport* Textfile() { return controller_->Textfile(); }
  void SetTextfileDir(const std::string& dir) { controller_->SetTextfileDir(dir); }
  TLog& Log() { return controller_->Log(); }
  TFrmAbout& About() { return *frmAbout_; }
  void Synchronize(const std::function<void()>& f) { controller_->Synchronize(f); }
  void Post(std::function<void()> f) { controller_->Post(std::move(f)); }
  std::string MonitoringIntervalText() { return controller_->MonitoringIntervalText(); }
  void RefillPoolList() { controller_->RefillPoolList(); }
  void ThreadPoolMonitoring() { controller_->ThreadPoolMonitoring(); }
  void SetAnalyseMsg(const std::string& msg) { controller_->SetAnalyseMsg(msg); }
  void UpdateLogAnalyse() { controller_->UpdateLogAnalyse(); }
  void DoRefreshListPool(std::string filter) { controller_->DoRefreshListPool(std::move(filter)); }
  WorkerCounts LiveWorkers() const { return controller_->LiveWorkers(); }
  bool MonitoringStartPending() const { return controller_->MonitoringStartPending(); }
  QVector<int> PoolColumnTags() const;
  QVector<int> AnalyseColumnTags() const;

  // Puts the window in the middle of the screen it is on.
  void CentreOnScreen();
  // The window's type face; the About dialog takes it over through its parent.
  static QFont WindowFont();

 public slots:
  // Task tab (pool list).
  void btnTaskOPRefreshClick() { controller_->RefreshClicked(); }
  void btnTaskOFilterClick() { controller_->FilterClicked(); }
  void Refresh1Click() { controller_->RefreshClicked(); }
  void Selectall1Click(QAction* sender);
  void lvTaskOPoolsColumnClick(int column) { controller_->PoolColumnClicked(column); }
  void lvTaskOPoolsChange(QTreeWidgetItem* item, int column);
  // Task tab (monitoring).
  void btnTaskStartClick() { controller_->StartClicked(); }
  void btnTaskStopClick() { controller_->StopClicked(); }
  void edtMonMinutesChange(const QString& text) { controller_->MonitorMinutesChanged(text.toStdString()); }
  void chkGetNameClick() { controller_->SiteNameToggled(); }
  // Analyse tab.
  void lvAnalyseColumnClick(int column) { controller_->AnalyseColumnClicked(column); }
  void lvAnalyseSelectItem() { controller_->AnalyseSelectionChanged(); }
  void btnAnalyseStartClick() { controller_->AnalyseStartClicked(); }
  void btnAnalyseStopClick() { controller_->AnalyseStopClicked(); }
  void OnMyTerminateAnalyse() { controller_->OnMyTerminateAnalyse(); }
  // Menus.
  void Exit1Click();
  void About1Click();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose
  // The interval box's key filter.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildLayout();
  QWidget* BuildTaskTab();
  QWidget* BuildMonitoringTab();
  QWidget* BuildAnalyseTab();
  void BuildMenus();
  void ConnectHandlers();

  // IMainView (UI thread, but PostToUi).
  void SetEnabled(ViewControl control, bool enabled) override;
  bool IsEnabled(ViewControl control) const override;
  std::string Text(ViewText box) const override;
  void SetText(ViewText box, const std::string& text) override;
  bool IsChecked(ViewCheck box) const override;
  void FillList(ViewList list, const std::vector<std::vector<std::string>>& rows) override;
  int RowCount(ViewList list) const override;
  std::string CellText(ViewList list, int row, int column) const override;
  bool IsPoolTicked(int row) const override;
  void TickAllPools(bool ticked) override;
  int SelectedRow(ViewList list) const override;
  void ReorderRows(ViewList list, const std::vector<int>& order) override;
  void FillTree(const std::vector<ViewTreeNode>& nodes) override;
  void SetChart(const std::vector<ViewChartBar>& bars, double low, double high) override;
  void AppendPaneLine(const std::string& line) override;
  void AppendAnalyseLine(const std::string& line) override;
  void ShowMessage(const std::string& text) override;
  bool OnUiThread() const override;
  void PostToUi(std::function<void()> f) override;
  void PostToUiLater(int ms, std::function<void()> f) override;
  void RunUntil(const std::function<bool()>& done) override;

  QWidget* ControlWidget(ViewControl control) const;
  QLineEdit* TextBox(ViewText box) const;
  QTreeWidget* ListWidget(ViewList list) const;

  MessageBoxHook messageBox_;
  std::unique_ptr<MainController> controller_;

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
