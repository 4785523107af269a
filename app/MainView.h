#pragma once
// What the window's rules (MainController) ask of a window. Any toolkit can answer it: the
// Qt window does, and a window of common controls (check-box ListView, TreeView, edits)
// can. Text is UTF-8. Every call but PostToUi comes on the UI thread.
#include <functional>
#include <string>
#include <vector>

namespace tarnwell {

// Controls the rules switch on and off.
enum class ViewControl {
  PoolRefresh,    // btnTaskOPRefresh
  PoolFilter,     // btnTaskOFilter
  MonitorStart,   // btnTaskStart
  AspNetBox,      // chkGetASPNET
  AnalyseTab,     // tabAnalyse (its page; the tab header stays clickable)
  AnalyseStart,   // btnAnalyseStart
  AnalyseStop,    // btnAnalyseStop
};

enum class ViewText {
  PoolFilter,      // edtTaskOPFilter
  MonitorMinutes,  // edtMonMinutes
  AnalyseCpu,      // edtAnalyseCPU
};

enum class ViewCheck {
  GetSiteName,   // chkGetName
  GetAspNet,     // chkGetASPNET
  HideInactive,  // chkHideInactive
};

enum class ViewList {
  Pools,    // lvTaskOPools: Pool, Apps; each row has a tick box
  Analyse,  // lvAnalyse: Pool, App, CPU, RAM; one row selectable
};

// One top-level node of the monitoring tree and its child lines.
struct ViewTreeNode {
  std::string text;
  std::vector<std::string> children;
};

// One pool's two bars on the Graph tab.
struct ViewChartBar {
  std::string pool;
  double ramKB = 0;
  double cpu = 0;
};

class IMainView {
 public:
  virtual ~IMainView() = default;

  virtual void SetEnabled(ViewControl control, bool enabled) = 0;
  virtual bool IsEnabled(ViewControl control) const = 0;
  virtual std::string Text(ViewText box) const = 0;
  virtual void SetText(ViewText box, const std::string& text) = 0;
  virtual bool IsChecked(ViewCheck box) const = 0;

  // Replaces every row (pool rows come unticked). Raises no tick or selection change back
  // to the rules.
  virtual void FillList(ViewList list, const std::vector<std::vector<std::string>>& rows) = 0;
  virtual int RowCount(ViewList list) const = 0;
  virtual std::string CellText(ViewList list, int row, int column) const = 0;
  // The pool list's tick boxes. TickAllPools raises no tick change back to the rules.
  virtual bool IsPoolTicked(int row) const = 0;
  virtual void TickAllPools(bool ticked) = 0;
  // The selected row, or -1.
  virtual int SelectedRow(ViewList list) const = 0;
  // Puts the rows in a new order: row i becomes the one that was at order[i]. Ticks, the
  // selection and the current row go with their rows; no change is raised.
  virtual void ReorderRows(ViewList list, const std::vector<int>& order) = 0;

  // The List tab's tree, replaced whole.
  virtual void FillTree(const std::vector<ViewTreeNode>& nodes) = 0;
  // The Graph tab: both bar sets, on one value axis from low to high.
  virtual void SetChart(const std::vector<ViewChartBar>& bars, double low, double high) = 0;

  // A line to the message pane; the pane keeps its scroll position while "No scroll" is
  // ticked, and follows the new line otherwise.
  virtual void AppendPaneLine(const std::string& line) = 0;
  // A line to the analysis messages; they show it from its start.
  virtual void AppendAnalyseLine(const std::string& line) = 0;
  // One of the window's error messages; returns once the user has read it.
  virtual void ShowMessage(const std::string& text) = 0;

  // The UI thread's queue. PostToUi: any thread; f runs on the UI thread in the order
  // posted, or never if the window has gone. PostToUiLater: UI thread, after about ms.
  virtual bool OnUiThread() const = 0;
  virtual void PostToUi(std::function<void()> f) = 0;
  virtual void PostToUiLater(int ms, std::function<void()> f) = 0;
  // A local loop on the UI thread: runs what is posted (and the toolkit's own events, but
  // no user input) until done() holds. done() is looked at after every event and at least
  // every few tens of milliseconds.
  virtual void RunUntil(const std::function<bool()>& done) = 0;
};

}  // namespace tarnwell
