#pragma once
// The GDI painter of a History chart: draws a history::ChartPicture as the Qt tab does.
// UI thread (or any thread that owns the DC).
#include <windows.h>

#include "history/HistoryChart.h"

namespace tarnwell::win32 {

// Paints the picture over (0,0)..(width,height) of the DC: a white background, the title,
// the plot's frame and grid, the tick labels, each pool's line and its restart dots. The
// DC's selections and modes are as they were afterwards. A null font keeps the DC's own.
void PaintHistoryChart(HDC dc, const history::ChartPicture& picture, HFONT font);

// What the chart's layout needs of the font (history::PlotArea, DrawChart).
history::TextMetrics HistoryTextMetrics(HDC dc, HFONT font);

}  // namespace tarnwell::win32
