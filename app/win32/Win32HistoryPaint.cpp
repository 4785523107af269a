#include "app/win32/Win32HistoryPaint.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app/win32/Win32Gdi.h"
#include "platform/win32/text.h"

namespace tarnwell::win32 {

namespace {

const COLORREF kGridColour = RGB(225, 225, 225);
const COLORREF kFrameColour = RGB(140, 140, 140);  // as the Qt tab's
const COLORREF kTextColour = RGB(0, 0, 0);
constexpr int kLabelGap = 4;       // between a label and the plot's edge
constexpr int kLoneDotRadius = 1;  // a segment of one sample: 3 px across
constexpr int kRestartRadius = 3;  // a new worker: 7 px across

COLORREF ToColorRef(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

void TextAt(HDC dc, int x, int y, const std::string& utf8, UINT align) {
  if (utf8.empty()) return;
  const std::wstring text = platform::win32::FromUtf8(utf8);
  ::SetTextAlign(dc, align);
  ::TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

int LineHeight(HDC dc) {
  TEXTMETRICW metrics{};
  return ::GetTextMetricsW(dc, &metrics) ? std::max(1, static_cast<int>(metrics.tmHeight)) : 14;
}

// A filled disc centred on (x, y), in the pen and brush selected.
void Dot(HDC dc, int x, int y, int radius) {
  ::Ellipse(dc, x - radius, y - radius, x + radius + 1, y + radius + 1);
}

void PaintGrid(HDC dc, const history::ChartPicture& picture) {
  const history::PixelRect& plot = picture.plot;
  UniquePen grid(::CreatePen(PS_SOLID, 1, kGridColour));
  Selection pen(dc, grid.get());
  for (const history::AxisTick& tick : picture.timeTicks) {
    if (tick.pixel <= plot.left || tick.pixel >= plot.right - 1) continue;  // the frame is there
    ::MoveToEx(dc, tick.pixel, plot.top, nullptr);
    ::LineTo(dc, tick.pixel, plot.bottom);
  }
  for (const history::AxisTick& tick : picture.valueTicks) {
    if (tick.pixel <= plot.top || tick.pixel >= plot.bottom - 1) continue;
    ::MoveToEx(dc, plot.left, tick.pixel, nullptr);
    ::LineTo(dc, plot.right, tick.pixel);
  }
}

void PaintFrame(HDC dc, const history::PixelRect& plot) {
  UniquePen frame(::CreatePen(PS_SOLID, 1, kFrameColour));
  Selection pen(dc, frame.get());
  Selection brush(dc, ::GetStockObject(NULL_BRUSH));
  ::Rectangle(dc, plot.left, plot.top, plot.right, plot.bottom);
}

void PaintLabels(HDC dc, const history::ChartPicture& picture, int lineHeight) {
  const history::PixelRect& plot = picture.plot;
  for (const history::AxisTick& tick : picture.valueTicks)
    TextAt(dc, plot.left - kLabelGap, tick.pixel - lineHeight / 2, tick.label, TA_RIGHT | TA_TOP | TA_NOUPDATECP);
  // Centred under its tick, but kept whole inside the picture: the last tick often sits
  // near the right edge.
  for (const history::AxisTick& tick : picture.timeTicks) {
    if (tick.label.empty()) continue;
    const std::wstring text = platform::win32::FromUtf8(tick.label);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    const int width = static_cast<int>(size.cx);
    const int left = std::max(0, std::min(tick.pixel - width / 2, picture.width - width));
    ::SetTextAlign(dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
    ::TextOutW(dc, left, plot.bottom + kLabelGap / 2, text.c_str(), static_cast<int>(text.size()));
  }
}

void PaintTitle(HDC dc, const history::ChartPicture& picture, int lineHeight) {
  if (picture.title.empty()) return;
  const std::wstring title = platform::win32::FromUtf8(picture.title);
  RECT line{0, 2, picture.width, 2 + lineHeight};  // PlotArea leaves a line and a half above the plot
  ::DrawTextW(dc, title.c_str(), static_cast<int>(title.size()), &line,
              DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

// The lines inside the plot only; the points reused from segment to segment.
void PaintLines(HDC dc, const history::ChartPicture& picture) {
  const history::PixelRect& plot = picture.plot;
  SavedDcState clip(dc);
  ::IntersectClipRect(dc, plot.left, plot.top, plot.right, plot.bottom);
  std::vector<POINT> points;
  for (const history::DrawnLine& line : picture.lines) {
    const COLORREF colour = ToColorRef(line.colour);
    UniquePen linePen(::CreatePen(PS_SOLID, 1, colour));
    UniqueBrush lineBrush(::CreateSolidBrush(colour));
    Selection pen(dc, linePen.get());
    Selection brush(dc, lineBrush.get());
    for (const std::vector<history::ChartPoint>& segment : line.segments) {
      if (segment.size() == 1) {
        Dot(dc, segment.front().x, segment.front().y, kLoneDotRadius);
        continue;
      }
      points.clear();
      for (const history::ChartPoint& p : segment) points.push_back(POINT{p.x, p.y});
      if (points.size() >= 2) ::Polyline(dc, points.data(), static_cast<int>(points.size()));
    }
  }
}

// The restart dots sit on the plot's floor, half below it: clipped to the plot's columns
// only, so that a dot at either end is cut as the lines are.
void PaintRestarts(HDC dc, const history::ChartPicture& picture) {
  const history::PixelRect& plot = picture.plot;
  SavedDcState clip(dc);
  ::IntersectClipRect(dc, plot.left, plot.top, plot.right, plot.bottom + kRestartRadius + 1);
  for (const history::DrawnLine& line : picture.lines) {
    if (line.restarts.empty()) continue;
    const COLORREF colour = ToColorRef(line.colour);
    UniquePen linePen(::CreatePen(PS_SOLID, 1, colour));
    UniqueBrush lineBrush(::CreateSolidBrush(colour));
    Selection pen(dc, linePen.get());
    Selection brush(dc, lineBrush.get());
    for (const history::ChartPoint& restart : line.restarts) Dot(dc, restart.x, restart.y, kRestartRadius);
  }
}

}  // namespace

void PaintHistoryChart(HDC dc, const history::ChartPicture& picture, HFONT font) {
  SavedDcState state(dc);
  Selection text(dc, font);
  const RECT whole{0, 0, picture.width, picture.height};
  ::FillRect(dc, &whole, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, kTextColour);
  const int lineHeight = LineHeight(dc);

  PaintGrid(dc, picture);
  PaintFrame(dc, picture.plot);
  PaintLabels(dc, picture, lineHeight);
  PaintTitle(dc, picture, lineHeight);
  PaintLines(dc, picture);
  PaintRestarts(dc, picture);
}

history::TextMetrics HistoryTextMetrics(HDC dc, HFONT font) {
  Selection text(dc, font);
  history::TextMetrics metrics;
  metrics.lineHeight = LineHeight(dc);
  SIZE digits{};
  static const wchar_t kDigits[] = L"0123456789";
  if (::GetTextExtentPoint32W(dc, kDigits, 10, &digits) && digits.cx > 0)
    metrics.charWidth = std::max(1, static_cast<int>((digits.cx + 9) / 10));
  return metrics;
}

}  // namespace tarnwell::win32
