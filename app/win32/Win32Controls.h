#pragma once
// Small helpers over the common controls, shared by the window's two halves.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>

#include "app/WindowLayout.h"

namespace tarnwell::win32ui {

inline constexpr UINT kRunPosted = WM_APP + 1;  // runs the next posted function
// As the Qt panes: older lines go, so that a pass every few minutes for days stays small.
inline constexpr int kPaneMaxLines = layout::kPaneMaxLines;
inline constexpr int kWaitTickMs = 20;  // longest a local wait sleeps between looks

inline std::wstring WindowText(HWND hwnd) {
  const int n = ::GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = ::GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

inline void Place(HWND hwnd, int x, int y, int w, int h) {
  ::MoveWindow(hwnd, x, y, std::max(w, 0), std::max(h, 0), TRUE);
}

inline void AddColumn(HWND list, int index, const wchar_t* caption, int width) {
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.pszText = const_cast<wchar_t*>(caption);
  column.cx = width;
  column.iSubItem = index;
  ListView_InsertColumn(list, index, &column);
}

inline void SetCell(HWND list, int row, int column, const std::wstring& text) {
  ListView_SetItemText(list, row, column, const_cast<wchar_t*>(text.c_str()));
}

inline std::wstring Cell(HWND list, int row, int column) {
  std::wstring text(512, L'\0');
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text.data();
  item.cchTextMax = static_cast<int>(text.size());
  const auto n = ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                reinterpret_cast<LPARAM>(&item));
  text.resize(static_cast<std::size_t>(std::max<LRESULT>(n, 0)));
  return text;
}

inline int Columns(HWND list) {
  return static_cast<int>(::SendMessageW(ListView_GetHeader(list), HDM_GETITEMCOUNT, 0, 0));
}

// Suspends a control's painting for as long as it lives.
class RedrawOff {
 public:
  explicit RedrawOff(HWND hwnd) : hwnd_(hwnd) { ::SendMessageW(hwnd_, WM_SETREDRAW, FALSE, 0); }
  ~RedrawOff() {
    ::SendMessageW(hwnd_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(hwnd_, nullptr, TRUE);
  }
  RedrawOff(const RedrawOff&) = delete;
  RedrawOff& operator=(const RedrawOff&) = delete;

 private:
  HWND hwnd_;
};

class Quiet {
 public:
  explicit Quiet(int& counter) : counter_(counter) { ++counter_; }
  ~Quiet() { --counter_; }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  int& counter_;
};

}  // namespace tarnwell::win32ui
