// TFrmMain's common controls as the window's rules see them (IMainView), and the UI
// thread's queue: posted functions in a locked queue, a posted message to run each one.
#include <windowsx.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "app/win32/Win32Controls.h"
#include "app/win32/Win32Ids.h"
#include "app/win32/Win32Window.h"
#include "platform/win32/text.h"

namespace tarnwell::win32ui {

using platform::win32::FromUtf8;
using platform::win32::ToUtf8;

// ---------------------------------------------------------------------------------------
// The controls as the rules see them

HWND MainWindow::ListHandle(ViewList list) const {
  return list == ViewList::Pools ? lvTaskOPools : lvAnalyse;
}

HWND MainWindow::EditHandle(ViewText box) const {
  switch (box) {
    case ViewText::PoolFilter: return edtTaskOPFilter;
    case ViewText::MonitorMinutes: return edtMonMinutes;
    case ViewText::AnalyseCpu: return edtAnalyseCPU;
  }
  return nullptr;
}

void MainWindow::SetEnabled(ViewControl control, bool enabled) {
  HWND hwnd = nullptr;
  switch (control) {
    case ViewControl::PoolRefresh: hwnd = btnTaskOPRefresh; break;
    case ViewControl::PoolFilter: hwnd = btnTaskOFilter; break;
    case ViewControl::MonitorStart: hwnd = btnTaskStart; break;
    case ViewControl::AspNetBox: hwnd = chkGetASPNET; break;
    case ViewControl::AnalyseStart: hwnd = btnAnalyseStart; break;
    case ViewControl::AnalyseStop: hwnd = btnAnalyseStop; break;
    case ViewControl::AnalyseTab:
      // The page's controls, and the tab: greyed, and refused while disabled (OnNotify).
      analyseEnabled_ = enabled;
      for (HWND c : {lvAnalyse, memAnalyse, Label2, edtAnalyseCPU, Label3}) ::EnableWindow(c, enabled);
      ::InvalidateRect(pcMain, nullptr, FALSE);  // its caption, greyed or not
      if (!enabled && TabCtrl_GetCurSel(pcMain) == kTabAnalyse) {
        TabCtrl_SetCurSel(pcMain, kTabTask);
        ShowPages();
      }
      return;
  }
  if (hwnd != nullptr) ::EnableWindow(hwnd, enabled);
}

bool MainWindow::IsEnabled(ViewControl control) const {
  switch (control) {
    case ViewControl::PoolRefresh: return ::IsWindowEnabled(btnTaskOPRefresh) != 0;
    case ViewControl::PoolFilter: return ::IsWindowEnabled(btnTaskOFilter) != 0;
    case ViewControl::MonitorStart: return ::IsWindowEnabled(btnTaskStart) != 0;
    case ViewControl::AspNetBox: return ::IsWindowEnabled(chkGetASPNET) != 0;
    case ViewControl::AnalyseTab: return analyseEnabled_;
    case ViewControl::AnalyseStart: return ::IsWindowEnabled(btnAnalyseStart) != 0;
    case ViewControl::AnalyseStop: return ::IsWindowEnabled(btnAnalyseStop) != 0;
  }
  return false;
}

std::string MainWindow::Text(ViewText box) const { return ToUtf8(WindowText(EditHandle(box))); }

void MainWindow::SetText(ViewText box, const std::string& text) {
  ::SetWindowTextW(EditHandle(box), FromUtf8(text).c_str());
}

bool MainWindow::IsChecked(ViewCheck box) const {
  switch (box) {
    case ViewCheck::GetSiteName: return Button_GetCheck(chkGetName) == BST_CHECKED;
    case ViewCheck::GetAspNet: return Button_GetCheck(chkGetASPNET) == BST_CHECKED;
    case ViewCheck::HideInactive: return Button_GetCheck(chkHideInactive) == BST_CHECKED;
  }
  return false;
}

void MainWindow::FillList(ViewList list, const std::vector<std::vector<std::string>>& rows) {
  HWND hwnd = ListHandle(list);
  Quiet quiet(quiet_);
  RedrawOff frozen(hwnd);
  ListView_DeleteAllItems(hwnd);
  ListView_SetItemCount(hwnd, static_cast<int>(rows.size()));
  int index = 0;
  for (const auto& row : rows) {
    std::wstring first = row.empty() ? std::wstring() : FromUtf8(row[0]);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = first.data();
    const int at = ListView_InsertItem(hwnd, &item);
    if (at < 0) continue;
    for (std::size_t c = 1; c < row.size(); ++c) SetCell(hwnd, at, static_cast<int>(c), FromUtf8(row[c]));
    if (list == ViewList::Pools) ListView_SetCheckState(hwnd, at, FALSE);
    ++index;
  }
}

int MainWindow::RowCount(ViewList list) const { return ListView_GetItemCount(ListHandle(list)); }

std::string MainWindow::CellText(ViewList list, int row, int column) const {
  HWND hwnd = ListHandle(list);
  if (row < 0 || row >= ListView_GetItemCount(hwnd) || column < 0 || column >= Columns(hwnd)) return {};
  return ToUtf8(Cell(hwnd, row, column));
}

bool MainWindow::IsPoolTicked(int row) const {
  if (row < 0 || row >= ListView_GetItemCount(lvTaskOPools)) return false;
  return ListView_GetCheckState(lvTaskOPools, row) != 0;
}

void MainWindow::TickAllPools(bool ticked) {
  Quiet quiet(quiet_);
  RedrawOff frozen(lvTaskOPools);
  const int n = ListView_GetItemCount(lvTaskOPools);
  for (int i = 0; i < n; ++i) ListView_SetCheckState(lvTaskOPools, i, ticked ? TRUE : FALSE);
}

int MainWindow::SelectedRow(ViewList list) const {
  return ListView_GetNextItem(ListHandle(list), -1, LVNI_SELECTED);
}

void MainWindow::ReorderRows(ViewList list, const std::vector<int>& order) {
  HWND hwnd = ListHandle(list);
  const int n = ListView_GetItemCount(hwnd);
  const int columns = Columns(hwnd);
  struct Row {
    std::vector<std::wstring> cells;
    UINT state = 0;  // tick, selection and focus
  };
  std::vector<Row> rows(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    Row& row = rows[static_cast<std::size_t>(i)];
    for (int c = 0; c < columns; ++c) row.cells.push_back(Cell(hwnd, i, c));
    row.state = ListView_GetItemState(hwnd, i, LVIS_STATEIMAGEMASK | LVIS_SELECTED | LVIS_FOCUSED);
  }
  std::vector<int> placed;
  std::vector<bool> used(rows.size(), false);
  for (int from : order) {
    if (from >= 0 && from < n && !used[static_cast<std::size_t>(from)]) {
      used[static_cast<std::size_t>(from)] = true;
      placed.push_back(from);
    }
  }
  for (int i = 0; i < n; ++i) {  // rows the order missed keep their place at the end
    if (!used[static_cast<std::size_t>(i)]) placed.push_back(i);
  }
  Quiet quiet(quiet_);
  RedrawOff frozen(hwnd);
  for (int i = 0; i < n; ++i) {
    const Row& row = rows[static_cast<std::size_t>(placed[static_cast<std::size_t>(i)])];
    for (int c = 0; c < columns; ++c) SetCell(hwnd, i, c, row.cells[static_cast<std::size_t>(c)]);
    UINT state = row.state;
    if ((state & LVIS_STATEIMAGEMASK) == 0 && list == ViewList::Pools) state |= INDEXTOSTATEIMAGEMASK(1);
    ListView_SetItemState(hwnd, i, state, LVIS_STATEIMAGEMASK | LVIS_SELECTED | LVIS_FOCUSED);
  }
}

void MainWindow::FillTree(const std::vector<ViewTreeNode>& nodes) {
  RedrawOff frozen(tvMonList);
  TreeView_DeleteAllItems(tvMonList);
  auto insert = [this](HTREEITEM parent, const std::string& text) {
    std::wstring wide = FromUtf8(text);
    TVINSERTSTRUCTW item{};
    item.hParent = parent;
    item.hInsertAfter = TVI_LAST;
    item.item.mask = TVIF_TEXT;
    item.item.pszText = wide.data();
    return reinterpret_cast<HTREEITEM>(::SendMessageW(tvMonList, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  };
  for (const ViewTreeNode& node : nodes) {
    HTREEITEM top = insert(TVI_ROOT, node.text);
    if (top == nullptr) continue;
    for (const std::string& line : node.children) insert(top, line);
  }
}

void MainWindow::SetChart(const std::vector<ViewChartBar>& bars, double low, double high) {
  chart_.bars = bars;
  chart_.low = low;
  chart_.high = high;
  ::InvalidateRect(s, nullptr, FALSE);
}

void MainWindow::AppendLine(HWND edit, const std::string& line, bool keepView, bool showStart) {
  const int firstVisible = static_cast<int>(::SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
  const int left = ::GetScrollPos(edit, SB_HORZ);
  DWORD selStart = 0, selEnd = 0;  // the user's, put back after the line
  ::SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  std::optional<RedrawOff> frozen;
  if (keepView) frozen.emplace(edit);

  const int length = ::GetWindowTextLengthW(edit);
  const std::wstring text = (length > 0 ? L"\r\n" : L"") + FromUtf8(line);
  ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
  ::SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  int dropped = 0;
  DWORD cutChars = 0;
  const int lines = static_cast<int>(::SendMessageW(edit, EM_GETLINECOUNT, 0, 0));
  if (lines > kPaneMaxLines) {
    dropped = lines - kPaneMaxLines;
    const LRESULT cut = ::SendMessageW(edit, EM_LINEINDEX, static_cast<WPARAM>(dropped), 0);
    cutChars = static_cast<DWORD>(std::max<LRESULT>(cut, 0));
    ::SendMessageW(edit, EM_SETSEL, 0, cut);
    ::SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  // A selection the user made stays, less what went from the top.
  const bool selected = selStart != selEnd && selEnd > cutChars;
  const auto keepSelection = [&] {
    if (!selected) return;
    ::SendMessageW(edit, EM_SETSEL, selStart > cutChars ? selStart - cutChars : 0, selEnd - cutChars);
  };
  if (keepView) {
    // Back to the lines that were in view, less those dropped from the top.
    ::SendMessageW(edit, EM_SETSEL, 0, 0);
    ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
    ::SendMessageW(edit, EM_LINESCROLL, 0, std::max(0, firstVisible - dropped));
    ::SendMessageW(edit, WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, left), 0);
    keepSelection();
    return;
  }
  LRESULT caret = ::GetWindowTextLengthW(edit);
  if (showStart) {
    const auto last = ::SendMessageW(edit, EM_GETLINECOUNT, 0, 0) - 1;
    caret = ::SendMessageW(edit, EM_LINEINDEX, static_cast<WPARAM>(last), 0);
  }
  ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(caret), caret);
  ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  keepSelection();
}

void MainWindow::AppendPaneLine(const std::string& line) {
  AppendLine(memLog, line, Button_GetCheck(chkDontScroll) == BST_CHECKED, false);
}

void MainWindow::AppendAnalyseLine(const std::string& line) { AppendLine(memAnalyse, line, false, true); }

void MainWindow::ShowMessage(const std::string& text) {
  ::MessageBoxW(hwnd_, FromUtf8(text).c_str(), L"Tarnwell", MB_OK | MB_ICONERROR);
}

// ---------------------------------------------------------------------------------------
// The UI thread's queue: the functions in a locked queue, a posted message to run them.

bool MainWindow::OnUiThread() const { return ::GetCurrentThreadId() == uiThread_; }

void MainWindow::PostToUi(std::function<void()> f) {
  std::lock_guard<std::mutex> lock(queueLock_);
  if (!queueOpen_) return;  // the window has gone: never run
  queue_.push_back(std::move(f));
  ::PostMessageW(hwnd_, kRunPosted, 0, 0);
}

void MainWindow::PostToUiLater(int ms, std::function<void()> f) {
  if (hwnd_ == nullptr) return;
  const UINT_PTR id = nextTimer_++;
  if (::SetTimer(hwnd_, id, static_cast<UINT>(std::max(ms, 1)), nullptr) == 0) return;
  timers_.emplace(id, std::move(f));
}

void MainWindow::RunTimer(UINT_PTR id) {
  ::KillTimer(hwnd_, id);
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  std::function<void()> f = std::move(it->second);
  timers_.erase(it);
  if (f) f();
}

void MainWindow::RunPosted() {
  // Everything queued so far, in order, one at a time: a message whose post failed (a full
  // queue) loses nothing, and a function that waits in a local loop lets the rest run there.
  for (;;) {
    std::function<void()> f;
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      if (queue_.empty()) return;
      f = std::move(queue_.front());
      queue_.pop_front();
    }
    if (f) f();
  }
}

void MainWindow::RunUntil(const std::function<bool()>& done) {
  // Everything but input: posted and sent messages, timers and paints.
  const UINT pick = PM_REMOVE | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE | PM_QS_PAINT;
  MSG msg;
  std::optional<int> quit;  // handed on to the outer loop
  while (!done() && !quit) {
    while (::PeekMessageW(&msg, nullptr, 0, 0, pick) != 0) {
      if (msg.message == WM_QUIT) {
        quit = static_cast<int>(msg.wParam);
        break;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
      if (done()) break;
    }
    if (quit || done()) break;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitTickMs,
                                QS_POSTMESSAGE | QS_SENDMESSAGE | QS_PAINT | QS_TIMER);
  }
  if (quit) {
    // The wait itself goes on: the caller needs its workers ended.
    while (!done()) {
      while (::PeekMessageW(&msg, nullptr, 0, 0, pick) != 0 && msg.message != WM_QUIT) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
      if (!done()) ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitTickMs, QS_POSTMESSAGE | QS_SENDMESSAGE | QS_PAINT | QS_TIMER);
    }
    ::PostQuitMessage(*quit);
  }
}

}  // namespace tarnwell::win32ui
