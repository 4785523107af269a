#pragma once
// The History tab of the window of common controls: a view of HistoryController. Its
// controls are children of the main window, as every page's are, so the main window hands
// it their commands and notifications and says when the page shows and where it lies. The
// three charts are windows of a class of their own, painted off screen from the rules'
// pictures. Lives on the UI thread.
#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/HistoryController.h"

namespace tarnwell {
class ILocalClock;

namespace win32ui {

// Registers the chart windows' class.
bool RegisterHistoryClasses(HINSTANCE instance);

class HistoryTab final : public IHistoryView {
 public:
  // post: the main window's hand-over to the UI thread (any thread; never runs once the
  // window has gone).
  HistoryTab(HINSTANCE instance, HWND main, HFONT font, const ILocalClock& clock,
             std::function<void(std::function<void()>)> post);
  ~HistoryTab() override;  // the rules first: they wait for a load under way
  HistoryTab(const HistoryTab&) = delete;
  HistoryTab& operator=(const HistoryTab&) = delete;

  void SetLogDir(const std::string& logDir);
  void Show(bool shown);
  // The page's rectangle in the main window's client area.
  void Place(int x, int y, int width, int height);
  // The main window's WM_COMMAND and WM_NOTIFY for the tab's controls; false for others.
  bool OnCommand(int id, int code);
  bool OnNotify(const NMHDR& header, LRESULT& result);
  // Whether a window is one of the charts (the wheel goes to the chart under the pointer).
  bool IsChart(HWND window) const;

  // IHistoryView
  history::Day FromDay() const override;
  history::Day ToDay() const override;
  void SetDays(const history::Day& from, const history::Day& to) override;
  void SetDayLimits(const history::Day& first, const history::Day& last) override;
  int FigureIndex() const override;
  void SetCounts(const std::string& text) override;
  void FillPools(const std::vector<HistoryPoolRow>& rows) override;
  bool IsPoolTicked(int row) const override;
  void ChartsChanged() override;
  bool IsShown() const override;
  void PostToUi(std::function<void()> f) override;

  static LRESULT CALLBACK ChartProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  LRESULT ChartMessage(int chart, UINT msg, WPARAM wParam, LPARAM lParam);
  void PaintChart(int chart, HDC target);
  void Hover(int chart, int x, int y);
  void HideTip();
  void Export();
  HWND Make(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);

  HINSTANCE instance_;
  HWND main_;
  HFONT font_;
  std::function<void(std::function<void()>)> post_;
  HWND lblFrom_ = nullptr, dtpFrom_ = nullptr, lblTo_ = nullptr, dtpTo_ = nullptr, btnLoad_ = nullptr;
  HWND lvPools_ = nullptr, cmbFigure_ = nullptr, btnExport_ = nullptr, lblCounts_ = nullptr;
  std::array<HWND, HistoryController::kCharts> charts_{};
  HWND tip_ = nullptr;
  std::wstring tipText_;
  int tipChart_ = -1;
  std::vector<std::uint32_t> colours_;  // the list's rows' line colours, 0xRRGGBB
  int quiet_ = 0;  // >0 while the tab itself fills the list or sets the date boxes
  // The days the rules last set, until the user picks others: a box clamped by narrower
  // limits at the time shows them once the limits allow.
  bool daysAsked_ = false;
  history::Day askedFrom_, askedTo_;
  // A dragged span: the chart, where the button went down, where the pointer is.
  int dragChart_ = -1;
  int dragFrom_ = 0, dragTo_ = 0;
  int wheelRest_ = 0;  // a high-resolution wheel's part of a step
  std::unique_ptr<HistoryController> rules_;  // last: goes first
};

}  // namespace win32ui
}  // namespace tarnwell
