#pragma once
// The main window's designed sizes, in pixels, shared by its Qt and Win32 faces.
namespace tarnwell::layout {

// The client area below the menu bar, status bar included.
inline constexpr int kClientWidth = 686;
inline constexpr int kClientHeight = 538;
inline constexpr int kLogPaneHeight = 119;      // pnlLog
inline constexpr int kAnalyseListHeight = 137;  // Panel1 of the Analyse tab
inline constexpr int kSplitterWidth = 5;
inline constexpr int kButtonWidth = 75;
inline constexpr int kButtonHeight = 25;
inline constexpr int kEditHeight = 21;
// Per message pane; older lines are dropped. A line costs the Qt pane about 0.7 KB, so
// 1,000 lines (500 passes, a day at the 3-minute interval) hold it under 1 MB.
inline constexpr int kPaneMaxLines = 1000;

}  // namespace tarnwell::layout
