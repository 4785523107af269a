// What the window draws itself with GDI: the Graph tab's chart (a RAM bar, red, and a CPU
// bar, green, per pool on one value axis titled "RAM/CPU", grid lines at round values, and a
// legend).
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "app/win32/Win32Window.h"
#include "platform/win32/text.h"

namespace tarnwell::win32ui {

namespace {

const COLORREF kRamColour = RGB(255, 0, 0);
const COLORREF kCpuColour = RGB(0, 128, 0);

// A round step that cuts the range into about five parts.
double NiceStep(double range) {
  if (!(range > 0)) return 1;
  const double rough = range / 5;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  const double fraction = rough / magnitude;
  const double nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
  return nice * magnitude;
}

void Text(HDC dc, int x, int y, const std::wstring& text, UINT align) {
  ::SetTextAlign(dc, align);
  ::TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

void FillBox(HDC dc, const RECT& box, COLORREF colour) {
  HBRUSH brush = ::CreateSolidBrush(colour);
  ::FillRect(dc, &box, brush);
  ::DeleteObject(brush);
}

}  // namespace

void PaintChart(HWND chart, HDC target, const ChartData& data, HFONT font) {
  RECT client{};
  ::GetClientRect(chart, &client);
  // Drawn off screen, then copied: no flicker on every pass.
  HDC dc = ::CreateCompatibleDC(target);
  HBITMAP bitmap = ::CreateCompatibleBitmap(target, std::max(1L, client.right), std::max(1L, client.bottom));
  HGDIOBJ oldBitmap = ::SelectObject(dc, bitmap);
  HGDIOBJ oldFont = ::SelectObject(dc, font);
  ::FillRect(dc, &client, reinterpret_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  ::SetBkMode(dc, TRANSPARENT);

  const double step = NiceStep(data.high - data.low);
  const double low = std::floor(data.low / step) * step;
  double high = std::ceil(data.high / step) * step;
  if (high <= low) high = low + step;

  TEXTMETRICW metrics{};
  ::GetTextMetricsW(dc, &metrics);
  const int lineHeight = metrics.tmHeight;
  const int legendWidth = 60;
  const RECT plot{60, 10, std::max(61L, client.right - legendWidth - 10),
                  std::max(11L, client.bottom - 2 * lineHeight - 10)};

  // The axis title, turned upright.
  LOGFONTW turned{};
  ::GetObjectW(font, sizeof turned, &turned);
  turned.lfEscapement = turned.lfOrientation = 900;
  HFONT upright = ::CreateFontIndirectW(&turned);
  HGDIOBJ previous = ::SelectObject(dc, upright);
  Text(dc, 4, (plot.top + plot.bottom) / 2 + 24, L"RAM/CPU", TA_LEFT | TA_TOP);
  ::SelectObject(dc, previous);
  ::DeleteObject(upright);

  // Grid and value labels.
  HPEN grid = ::CreatePen(PS_SOLID, 1, RGB(220, 220, 220));
  HGDIOBJ oldPen = ::SelectObject(dc, grid);
  const double span = high - low;
  auto yOf = [&](double v) {
    return static_cast<int>(plot.bottom - std::lround((v - low) / span * (plot.bottom - plot.top)));
  };
  for (double v = low; v <= high + step / 2; v += step) {
    const int y = yOf(v);
    ::MoveToEx(dc, plot.left, y, nullptr);
    ::LineTo(dc, plot.right, y);
    wchar_t label[32];
    std::swprintf(label, 32, L"%.0f", v);
    Text(dc, plot.left - 4, y - lineHeight / 2, label, TA_RIGHT | TA_TOP);
  }
  ::SelectObject(dc, oldPen);
  ::DeleteObject(grid);
  ::MoveToEx(dc, plot.left, plot.top, nullptr);
  ::LineTo(dc, plot.left, plot.bottom);
  ::LineTo(dc, plot.right, plot.bottom);

  // Two bars per pool, its name below them while there is room for it.
  const int pools = static_cast<int>(data.bars.size());
  if (pools > 0) {
    const double slot = static_cast<double>(plot.right - plot.left) / pools;
    const int barWidth = std::max(1, static_cast<int>(slot * 0.35));
    const bool labels = slot >= 20;
    for (int i = 0; i < pools; ++i) {
      const ViewChartBar& bar = data.bars[static_cast<std::size_t>(i)];
      const int middle = plot.left + static_cast<int>(slot * i + slot / 2);
      const int zero = yOf(std::clamp(0.0, low, high));
      RECT ram{middle - barWidth, std::min(yOf(std::clamp(bar.ramKB, low, high)), zero), middle,
               std::max(yOf(std::clamp(bar.ramKB, low, high)), zero)};
      RECT cpu{middle, std::min(yOf(std::clamp(bar.cpu, low, high)), zero), middle + barWidth,
               std::max(yOf(std::clamp(bar.cpu, low, high)), zero)};
      FillBox(dc, ram, kRamColour);
      FillBox(dc, cpu, kCpuColour);
      if (labels) {
        const std::wstring name = platform::win32::FromUtf8(bar.pool);
        RECT box{middle - static_cast<int>(slot / 2), plot.bottom + 3,
                 middle + static_cast<int>(slot / 2), plot.bottom + 3 + lineHeight};
        ::DrawTextW(dc, name.c_str(), static_cast<int>(name.size()), &box,
                    DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
      }
    }
  }

  // Legend.
  const int lx = plot.right + 12;
  FillBox(dc, RECT{lx, plot.top + 2, lx + 10, plot.top + 12}, kRamColour);
  Text(dc, lx + 14, plot.top, L"RAM", TA_LEFT | TA_TOP);
  FillBox(dc, RECT{lx, plot.top + 2 + lineHeight + 4, lx + 10, plot.top + 12 + lineHeight + 4}, kCpuColour);
  Text(dc, lx + 14, plot.top + lineHeight + 4, L"CPU", TA_LEFT | TA_TOP);

  ::BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  ::SelectObject(dc, oldFont);
  ::SelectObject(dc, oldBitmap);
  ::DeleteObject(bitmap);
  ::DeleteDC(dc);
}

}  // namespace tarnwell::win32ui
