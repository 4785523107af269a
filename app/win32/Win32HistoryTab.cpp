// The History tab over the common controls: date pickers, the pool list with tick boxes
// (each name in its line's colour), the figure selector, Export, the counts line, and three
// charts painted off screen from HistoryController's pictures, with a tracking tooltip for
// hovering, the wheel and a dragged span for zooming and a double click to fit.
#include "app/win32/Win32HistoryTab.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <utility>

#include "app/win32/Win32Controls.h"
#include "app/win32/Win32Gdi.h"
#include "app/win32/Win32HistoryPaint.h"
#include "app/win32/Win32Ids.h"
#include "app/win32/Win32Picture.h"
#include "platform/win32/text.h"

namespace tarnwell::win32ui {

using platform::win32::FromUtf8;
using platform::win32::ToUtf8;

namespace {

constexpr UINT_PTR kGrowthTimer = 1;  // on the first chart's window
constexpr int kPoolListWidth = 160;
constexpr int kMinDrag = 3;  // pixels a drag must span to zoom; less is a click
constexpr int kTipOffset = 16;  // the tooltip's corner from the pointer, clear of it

SYSTEMTIME ToSystemTime(const history::Day& day) {
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(day.year);
  time.wMonth = static_cast<WORD>(day.month);
  time.wDay = static_cast<WORD>(day.day);
  return time;
}

history::Day PickerDay(HWND picker) {
  SYSTEMTIME time{};
  if (::SendMessageW(picker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&time)) != GDT_VALID) return {};
  return {time.wYear, time.wMonth, time.wDay};
}

COLORREF ToColorRef(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

}  // namespace

bool RegisterHistoryClasses(HINSTANCE instance) {
  WNDCLASSEXW chart{};
  chart.cbSize = sizeof chart;
  chart.style = CS_DBLCLKS;  // a double click fits the range again
  chart.lpfnWndProc = &HistoryTab::ChartProc;
  chart.hInstance = instance;
  chart.hCursor = ::LoadCursorW(nullptr, IDC_CROSS);
  chart.lpszClassName = kHistoryChartClass;
  return ::RegisterClassExW(&chart) != 0;
}

HistoryTab::HistoryTab(HINSTANCE instance, HWND main, HFONT font, const ILocalClock& clock,
                       std::function<void(std::function<void()>)> post)
    : instance_(instance), main_(main), font_(font), post_(std::move(post)) {
  const DWORD tab = WS_TABSTOP;
  lblFrom_ = Make(L"STATIC", L"From", SS_LEFT | SS_NOPREFIX, kIdHistoryFromLabel);
  dtpFrom_ = Make(DATETIMEPICK_CLASSW, L"", DTS_SHORTDATEFORMAT | tab, kIdHistoryFrom);
  lblTo_ = Make(L"STATIC", L"to", SS_LEFT | SS_NOPREFIX, kIdHistoryToLabel);
  dtpTo_ = Make(DATETIMEPICK_CLASSW, L"", DTS_SHORTDATEFORMAT | tab, kIdHistoryTo);
  for (HWND picker : {dtpFrom_, dtpTo_}) {
    ::SendMessageW(picker, DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(L"dd-MM-yyyy"));
  }
  btnLoad_ = Make(L"BUTTON", L"&Load", BS_PUSHBUTTON | tab, kIdHistoryLoad);
  cmbFigure_ = Make(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | tab, kIdHistoryFigure);
  for (const std::string& caption : HistoryController::OtherFigureCaptions()) {
    ::SendMessageW(cmbFigure_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(FromUtf8(caption).c_str()));
  }
  ::SendMessageW(cmbFigure_, CB_SETCURSEL, 0, 0);
  btnExport_ = Make(L"BUTTON", L"&Export...", BS_PUSHBUTTON | tab, kIdHistoryExport);
  lblCounts_ = Make(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kIdHistoryCounts);
  lvPools_ = Make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_NOCOLUMNHEADER | LVS_SINGLESEL | LVS_SHOWSELALWAYS | tab,
                  kIdHistoryPools, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(lvPools_, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  AddColumn(lvPools_, 0, L"Pool", kPoolListWidth - 24);
  for (int i = 0; i < HistoryController::kCharts; ++i) {
    charts_[static_cast<std::size_t>(i)] = ::CreateWindowExW(
        0, kHistoryChartClass, L"", WS_CHILD, 0, 0, 10, 10, main_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdHistoryChart + i)), instance_, this);
  }
  // The hover text: a tooltip that follows the pointer and shows only over a point.
  tip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, main_, nullptr, instance_, nullptr);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = main_;
  tool.lpszText = const_cast<wchar_t*>(L"");
  ::SendMessageW(tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  ::SendMessageW(tip_, TTM_SETMAXTIPWIDTH, 0, 600);  // lines break at the text's own ends
  ::SendMessageW(tip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  Show(false);
  // The rules last: they set the date boxes at once.
  rules_ = std::make_unique<HistoryController>(*this, clock);
  ::SetTimer(charts_[0], kGrowthTimer, HistoryController::kGrowthCheckMs, nullptr);
}

HistoryTab::~HistoryTab() {
  ::KillTimer(charts_[0], kGrowthTimer);
  rules_.reset();  // waits for a load under way; its result is never drawn
  for (HWND chart : charts_) {
    if (chart != nullptr && ::IsWindow(chart)) ::SetWindowLongPtrW(chart, GWLP_USERDATA, 0);
  }
  if (tip_ != nullptr && ::IsWindow(tip_)) ::DestroyWindow(tip_);
}

HWND HistoryTab::Make(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle) {
  HWND child = ::CreateWindowExW(exStyle, cls, text, WS_CHILD | style, 0, 0, 10, 10, main_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return child;
}

void HistoryTab::SetLogDir(const std::string& logDir) { rules_->SetLogDir(logDir); }

void HistoryTab::Show(bool shown) {
  for (HWND c : {lblFrom_, dtpFrom_, lblTo_, dtpTo_, btnLoad_, lvPools_, cmbFigure_, btnExport_, lblCounts_}) {
    ::ShowWindow(c, shown ? SW_SHOWNA : SW_HIDE);
  }
  for (HWND c : charts_) ::ShowWindow(c, shown ? SW_SHOWNA : SW_HIDE);
  if (!shown) HideTip();
}

void HistoryTab::Place(int x, int y, int width, int height) {
  // The controls' row, as the Qt tab's: From, to, Load; the selector, Export. The counts
  // line heads the charts, where the window's width leaves it room.
  const int row = y + 4;
  int at = x + 6;
  const auto next = [&at](HWND c, int top, int w, int h, int gap = 4) {
    tarnwell::win32ui::Place(c, at, top, w, h);
    at += w + gap;
  };
  next(lblFrom_, row + 4, 28, 14);
  next(dtpFrom_, row, 92, layout::kEditHeight);
  next(lblTo_, row + 4, 12, 14);
  next(dtpTo_, row, 92, layout::kEditHeight);
  next(btnLoad_, row - 1, layout::kButtonWidth, 23, 16);
  next(cmbFigure_, row, 110, 160);  // its drop-down's height too
  next(btnExport_, row - 1, layout::kButtonWidth, 23, 8);

  // The list, and beside it the counts line over the three charts stacked in the rest.
  const int top = row + 28;
  const int bottom = y + height - 4;
  tarnwell::win32ui::Place(lvPools_, x + 4, top, kPoolListWidth, bottom - top);
  ListView_SetColumnWidth(lvPools_, 0, LVSCW_AUTOSIZE_USEHEADER);
  const int left = x + 4 + kPoolListWidth + 8;
  const int chartWidth = std::max(0, x + width - 4 - left);
  tarnwell::win32ui::Place(lblCounts_, left, top, chartWidth, 14);
  const int chartsTop = top + 18;
  const int each = std::max(0, (bottom - chartsTop) / HistoryController::kCharts);
  for (int i = 0; i < HistoryController::kCharts; ++i) {
    tarnwell::win32ui::Place(charts_[static_cast<std::size_t>(i)], left - 4, chartsTop + i * each, chartWidth + 4, each);
  }
}

bool HistoryTab::IsChart(HWND window) const {
  return window != nullptr && std::find(charts_.begin(), charts_.end(), window) != charts_.end();
}

bool HistoryTab::OnCommand(int id, int code) {
  switch (id) {
    case kIdHistoryLoad:
      if (code == BN_CLICKED) rules_->Load();
      return true;
    case kIdHistoryFigure:
      if (code == CBN_SELCHANGE) rules_->FigureChanged();
      return true;
    case kIdHistoryExport:
      if (code == BN_CLICKED) Export();
      return true;
    default:
      return false;
  }
}

bool HistoryTab::OnNotify(const NMHDR& header, LRESULT& result) {
  if (header.hwndFrom == dtpFrom_ || header.hwndFrom == dtpTo_) {
    if (header.code == DTN_DATETIMECHANGE && quiet_ == 0) daysAsked_ = false;  // the user's days now
    result = 0;
    return true;
  }
  if (header.hwndFrom != lvPools_) return false;
  result = 0;
  if (header.code == NM_CUSTOMDRAW) {
    // Each pool's name in its line's colour: the list is the charts' legend.
    auto& draw = const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header));
    if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) {
      result = CDRF_NOTIFYITEMDRAW;
    } else if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
      const auto row = static_cast<std::size_t>(draw.nmcd.dwItemSpec);
      if (row < colours_.size()) draw.clrText = ToColorRef(colours_[row]);
      result = CDRF_DODEFAULT;
    }
    return true;
  }
  if (header.code == LVN_ITEMCHANGED && quiet_ == 0) {
    const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
    const UINT oldTick = change.uOldState & LVIS_STATEIMAGEMASK;
    const UINT newTick = change.uNewState & LVIS_STATEIMAGEMASK;
    // A row's first state image is set as it is added: not a tick the user changed.
    if ((change.uChanged & LVIF_STATE) != 0 && oldTick != 0 && oldTick != newTick) rules_->PoolTicksChanged();
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// IHistoryView

history::Day HistoryTab::FromDay() const { return PickerDay(dtpFrom_); }
history::Day HistoryTab::ToDay() const { return PickerDay(dtpTo_); }

void HistoryTab::SetDays(const history::Day& from, const history::Day& to) {
  daysAsked_ = true;
  askedFrom_ = from;
  askedTo_ = to;
  Quiet quiet(quiet_);
  SYSTEMTIME first = ToSystemTime(from), last = ToSystemTime(to);
  // A day outside the box's limits is refused, and the box keeps its day.
  ::SendMessageW(dtpFrom_, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&first));
  ::SendMessageW(dtpTo_, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&last));
}

void HistoryTab::SetDayLimits(const history::Day& first, const history::Day& last) {
  {
    Quiet quiet(quiet_);
    SYSTEMTIME range[2] = {ToSystemTime(first), ToSystemTime(last)};
    for (HWND picker : {dtpFrom_, dtpTo_}) {
      ::SendMessageW(picker, DTM_SETRANGE, GDTR_MIN | GDTR_MAX, reinterpret_cast<LPARAM>(range));
    }
  }
  // The days the rules set before the limits reached them (the last week, set while the
  // limits were still today alone).
  if (daysAsked_) {
    SetDays(std::clamp(askedFrom_, first, last), std::clamp(askedTo_, first, last));
  }
}

int HistoryTab::FigureIndex() const {
  return std::max(0, static_cast<int>(::SendMessageW(cmbFigure_, CB_GETCURSEL, 0, 0)));
}

void HistoryTab::SetCounts(const std::string& text) { ::SetWindowTextW(lblCounts_, FromUtf8(text).c_str()); }

void HistoryTab::FillPools(const std::vector<HistoryPoolRow>& rows) {
  Quiet quiet(quiet_);
  RedrawOff frozen(lvPools_);
  ListView_DeleteAllItems(lvPools_);
  colours_.clear();
  for (const HistoryPoolRow& row : rows) {
    std::wstring name = FromUtf8(row.name);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(colours_.size());
    item.pszText = name.data();
    const int at = ListView_InsertItem(lvPools_, &item);
    if (at < 0) continue;
    ListView_SetCheckState(lvPools_, at, row.ticked ? TRUE : FALSE);
    colours_.push_back(row.colour);
  }
}

bool HistoryTab::IsPoolTicked(int row) const {
  if (row < 0 || row >= ListView_GetItemCount(lvPools_)) return false;
  return ListView_GetCheckState(lvPools_, row) != 0;
}

void HistoryTab::ChartsChanged() {
  for (HWND chart : charts_) ::InvalidateRect(chart, nullptr, FALSE);
  HideTip();  // the point under it may have moved
}

bool HistoryTab::IsShown() const { return ::IsWindowVisible(charts_[0]) != 0; }

void HistoryTab::PostToUi(std::function<void()> f) { post_(std::move(f)); }

// ---------------------------------------------------------------------------------------
// The charts

LRESULT CALLBACK HistoryTab::ChartProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<HistoryTab*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  const int chart = ::GetDlgCtrlID(hwnd) - kIdHistoryChart;
  if (self == nullptr || !self->rules_ || chart < 0 || chart >= HistoryController::kCharts) {
    if (msg == WM_ERASEBKGND) return 1;
    return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  }
  return self->ChartMessage(chart, msg, wParam, lParam);
}

LRESULT HistoryTab::ChartMessage(int chart, UINT msg, WPARAM wParam, LPARAM lParam) {
  HWND hwnd = charts_[static_cast<std::size_t>(chart)];
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(hwnd, &paint);
      PaintChart(chart, dc);
      ::EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_TIMER:
      if (wParam == kGrowthTimer) rules_->CheckGrowth();
      return 0;
    case WM_MOUSEMOVE: {
      const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
      if (dragChart_ == chart) {
        dragTo_ = x;
        ::InvalidateRect(hwnd, nullptr, FALSE);
        HideTip();
        return 0;
      }
      Hover(chart, x, y);
      return 0;
    }
    case WM_MOUSELEAVE:
      if (tipChart_ == chart) HideTip();
      return 0;
    case WM_LBUTTONDOWN:
      ::SetFocus(hwnd);  // the wheel goes to the window with the keyboard on older systems
      ::SetCapture(hwnd);
      dragChart_ = chart;
      dragFrom_ = dragTo_ = GET_X_LPARAM(lParam);
      HideTip();
      return 0;
    case WM_LBUTTONUP: {
      if (dragChart_ != chart) return 0;
      dragTo_ = GET_X_LPARAM(lParam);
      dragChart_ = -1;
      ::ReleaseCapture();
      if (std::abs(dragTo_ - dragFrom_) >= kMinDrag) {
        rules_->ZoomTo(chart, std::min(dragFrom_, dragTo_), std::max(dragFrom_, dragTo_));
      } else {
        ::InvalidateRect(hwnd, nullptr, FALSE);  // the band goes
      }
      return 0;
    }
    case WM_CAPTURECHANGED:
      if (dragChart_ == chart) {  // taken away mid-drag: no zoom
        dragChart_ = -1;
        ::InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    case WM_LBUTTONDBLCLK:
      rules_->Fit();
      return 0;
    case WM_MOUSEWHEEL: {
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ::ScreenToClient(hwnd, &at);
      wheelRest_ += GET_WHEEL_DELTA_WPARAM(wParam);
      const int steps = wheelRest_ / WHEEL_DELTA;
      wheelRest_ -= steps * WHEEL_DELTA;
      if (steps != 0) rules_->Wheel(chart, at.x, steps);
      return 0;
    }
    case WM_GETDLGCODE:
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

void HistoryTab::PaintChart(int chart, HDC target) {
  RECT client{};
  ::GetClientRect(charts_[static_cast<std::size_t>(chart)], &client);
  const int width = std::max(1L, client.right), height = std::max(1L, client.bottom);
  // Off screen, then one copy: no flicker while hovering, dragging or zooming.
  win32::MemoryCanvas canvas(target, width, height);
  if (!canvas) return;  // out of GDI objects: the last paint stays
  HDC dc = canvas.Dc();
  const history::ChartPicture& picture =
      rules_->Picture(chart, width, height, win32::HistoryTextMetrics(dc, font_));
  win32::PaintHistoryChart(dc, picture, font_);
  if (dragChart_ == chart) {
    // The span being dragged, inverted over the plot's height.
    RECT band{std::clamp(std::min(dragFrom_, dragTo_), picture.plot.left, picture.plot.right), picture.plot.top,
              std::clamp(std::max(dragFrom_, dragTo_) + 1, picture.plot.left, picture.plot.right), picture.plot.bottom};
    ::InvertRect(dc, &band);
  }
  canvas.BlitTo(target);
}

void HistoryTab::Hover(int chart, int x, int y) {
  const std::string text = rules_->HoverText(chart, x, y);  // from the picture as drawn
  if (text.empty()) {
    HideTip();
    return;
  }
  std::wstring lines;
  for (const wchar_t c : FromUtf8(text)) {
    if (c == L'\n') lines += L'\r';
    lines += c;
  }
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = main_;
  if (lines != tipText_) {
    tipText_ = lines;
    tool.lpszText = tipText_.data();
    ::SendMessageW(tip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  POINT at{x + kTipOffset, y + kTipOffset};
  ::ClientToScreen(charts_[static_cast<std::size_t>(chart)], &at);
  ::SendMessageW(tip_, TTM_TRACKPOSITION, 0, MAKELPARAM(at.x, at.y));
  if (tipChart_ != chart) {
    ::SendMessageW(tip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
    tipChart_ = chart;
    TRACKMOUSEEVENT leave{sizeof leave, TME_LEAVE, charts_[static_cast<std::size_t>(chart)], 0};
    ::TrackMouseEvent(&leave);
  }
}

void HistoryTab::HideTip() {
  if (tipChart_ < 0 || tip_ == nullptr) return;
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = main_;
  ::SendMessageW(tip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
  tipChart_ = -1;
}

// ---------------------------------------------------------------------------------------
// Export: the points shown as CSV, and the three charts as one picture beside it.

void HistoryTab::Export() {
  std::wstring path(MAX_PATH * 4, L'\0');
  const wchar_t initial[] = L"history.csv";
  std::copy(std::begin(initial), std::end(initial), path.begin());
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = main_;
  dialog.lpstrFilter = L"CSV (*.csv)\0*.csv\0All files (*.*)\0*.*\0";
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.lpstrDefExt = L"csv";
  dialog.lpstrTitle = L"Export the lines shown";
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (::GetSaveFileNameW(&dialog) == 0) return;  // cancelled
  path.resize(std::wcslen(path.c_str()));
  const std::string csv = ToUtf8(path);

  // The charts as they are on screen, stacked, in one bitmap; painting them also makes
  // sure the CSV holds what each one shows now.
  std::array<RECT, HistoryController::kCharts> boxes{};
  int width = 1, height = 0;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    ::GetClientRect(charts_[i], &boxes[i]);
    width = std::max<int>(width, boxes[i].right);
    height += boxes[i].bottom;
  }
  win32::MemoryCanvas canvas(nullptr, width, height);  // the screen's format
  if (canvas) {
    HDC dc = canvas.Dc();
    const history::TextMetrics metrics = win32::HistoryTextMetrics(dc, font_);
    int top = 0;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      POINT old{};
      ::SetViewportOrgEx(dc, 0, top, &old);
      win32::PaintHistoryChart(dc, rules_->Picture(static_cast<int>(i), boxes[i].right, boxes[i].bottom, metrics),
                               font_);
      ::SetViewportOrgEx(dc, old.x, old.y, nullptr);
      top += boxes[i].bottom;
    }
  }
  const win32::UniqueBitmap bitmap = canvas.TakeBitmap();
  bool written = rules_->WriteCsv(csv);
  if (written) {
    // name.csv -> name.png (name.bmp without GDI+); another name gets the extension added.
    std::wstring stem = path;
    if (stem.size() > 4 && ::lstrcmpiW(stem.c_str() + stem.size() - 4, L".csv") == 0) stem.resize(stem.size() - 4);
    written = bitmap && !win32::SaveBitmapPicture(bitmap.get(), stem, nullptr).empty();
  }
  if (!written) SetCounts("Export failed: " + csv);
}

}  // namespace tarnwell::win32ui
