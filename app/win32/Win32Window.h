#pragma once
// TFrmMain as a window of the common controls: one window procedure, the controls made in
// WM_CREATE and placed in WM_SIZE, and the window's rules (MainController) behind it.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/MainController.h"
#include "app/WindowLayout.h"
#include "app/MainView.h"

namespace tarnwell {

class ILocalClock;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

namespace win32ui {

class HistoryTab;

// GDI owners.
struct GdiDeleter {
  void operator()(HGDIOBJ object) const noexcept { ::DeleteObject(object); }
};
using FontPtr = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiDeleter>;
using BrushPtr = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiDeleter>;
using BitmapPtr = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDeleter>;
struct MenuDeleter {
  void operator()(HMENU menu) const noexcept { ::DestroyMenu(menu); }
};
using MenuPtr = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;
struct AccelDeleter {
  void operator()(HACCEL table) const noexcept { ::DestroyAcceleratorTable(table); }
};
using AccelPtr = std::unique_ptr<std::remove_pointer_t<HACCEL>, AccelDeleter>;

// Registers the window classes of the main window, the chart and the About dialog.
bool RegisterClasses(HINSTANCE instance);

// The Graph tab's bars, drawn with GDI by the chart window.
struct ChartData {
  std::vector<ViewChartBar> bars;
  double low = 0;
  double high = 0;
};
void PaintChart(HWND chart, HDC dc, const ChartData& data, HFONT font);

// The About dialog, made once and shown modally as often as asked.
HWND CreateAbout(HINSTANCE instance, HWND owner, HFONT font);
void ShowAboutModal(HWND about, HWND owner);

class MainWindow final : public IMainView {
 public:
  MainWindow(HINSTANCE instance, std::string exeDir, platform::IMetabase& metabase,
             platform::IProcessSystem& processes, const ILocalClock& clock);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Makes the window (the rules start in WM_CREATE) and centres it on the screen.
  // listen: where the latest pass is served over HTTP; none: not served.
  bool Create(const std::string& textfileDir, const std::optional<MetricsUrl>& listen);
  HWND Handle() const { return hwnd_; }
  // The message loop, with the accelerators and dialog keys; returns at WM_QUIT.
  int Run();

  // IMainView
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

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK IntervalEditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PaneEditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
  bool OnCreate();
  void OnSize(int width, int height);
  void OnCommand(int id, int code, HWND control);
  LRESULT OnNotify(const NMHDR& header);
  HBRUSH OnColour(HDC dc, HWND control, bool editMessage);
  HBRUSH PageBrush(HDC dc, HWND control);
  bool OnSetCursor(HWND under, int hitTest);
  void OnClose();
  void OnDestroy();
  void RunPosted();
  void RunTimer(UINT_PTR id);
  void ShowPages();
  void StepTab(int step);  // Ctrl+Tab (+1) and Ctrl+Shift+Tab (-1) over the main tabs
  void SelectTab(HWND tabs, int index);  // shows the page as a click on its tab would
  bool Mnemonic(wchar_t key);  // Alt+key; false when no caption on show underlines it
  void SplitterPress(int y);
  void SplitterDrag(int y);

  HWND Make(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);
  HWND ListHandle(ViewList list) const;
  HWND EditHandle(ViewText box) const;
  static void AppendLine(HWND edit, const std::string& line, bool keepView, bool showStart);
  MainController* Rules() const { return controller_.get(); }

  HINSTANCE instance_;
  std::string exeDir_;
  std::string textfileDir_;
  std::optional<MetricsUrl> listen_;
  platform::IMetabase& metabase_;
  platform::IProcessSystem& processes_;
  const ILocalClock& clock_;
  DWORD uiThread_ = 0;

  HWND hwnd_ = nullptr;
  HWND stbStatus = nullptr, chkDontScroll = nullptr, memLog = nullptr, pcMain = nullptr;
  HWND stTaskOPools = nullptr, lvTaskOPools = nullptr, btnTaskOPRefresh = nullptr;
  HWND btnTaskOFilter = nullptr, edtTaskOPFilter = nullptr, btnTaskStart = nullptr;
  HWND btnTaskStop = nullptr, Label1 = nullptr, edtMonMinutes = nullptr, chkGetName = nullptr;
  HWND chkGetASPNET = nullptr, chkHideInactive = nullptr;
  HWND pcMon = nullptr, tvMonList = nullptr, s = nullptr;
  HWND lvAnalyse = nullptr, memAnalyse = nullptr, btnAnalyseStart = nullptr;
  HWND btnAnalyseStop = nullptr, Label2 = nullptr, edtAnalyseCPU = nullptr, Label3 = nullptr;
  HWND frmAbout_ = nullptr;
  WNDPROC intervalEditBase_ = nullptr;
  WNDPROC paneEditBase_ = nullptr;  // the message panes' EDIT procedure

  FontPtr font_, boldFont_;
  BrushPtr filterBrush_, analyseBrush_, paneBrush_;
  // The tab control's page as it paints it, for the labels and tick boxes on it: a theme
  // paints the page in other colours than the window's. Remade after a resize or a theme.
  BitmapPtr pagePicture_;
  BrushPtr pageBrush_;
  MenuPtr popMnuTaskPools;
  AccelPtr accelerators_;
  ChartData chart_;

  int logHeight_ = layout::kLogPaneHeight;  // pnlLog, dragged by splLog
  int analyseListHeight_ = layout::kAnalyseListHeight;  // Panel1, dragged by Splitter1
  RECT splLog_{}, splitter1_{};
  enum class Drag { None, Log, Analyse } drag_ = Drag::None;
  int dragOffset_ = 0;
  bool analyseEnabled_ = false;
  int shownPage_ = 0;  // pcMain's page on show
  HWND savedFocus_ = nullptr;  // the control with the keyboard when the window was left
  const wchar_t* shownHint_ = nullptr;  // the status bar's text
  int quiet_ = 0;  // >0 while the window itself changes ticks, rows or selection
  bool closing_ = false;  // a close is under way: it takes no second one

  std::mutex queueLock_;
  std::deque<std::function<void()>> queue_;
  bool queueOpen_ = false;  // the window exists and takes posts
  std::map<UINT_PTR, std::function<void()>> timers_;
  UINT_PTR nextTimer_ = 100;

  std::unique_ptr<HistoryTab> history_;  // the History tab's controls and rules
  std::unique_ptr<MainController> controller_;
};

}  // namespace win32ui
}  // namespace tarnwell
