#pragma once
// Reading back what GDI painted, for the Windows drawing tests: a pixel as 0xRRGGBB, and the
// count of pixels of a colour in a box.
#include <windows.h>

#include <cstdint>

namespace tarnwell::testutil {

inline std::uint32_t PixelRgb(HDC dc, int x, int y) {
  const COLORREF c = ::GetPixel(dc, x, y);
  return (static_cast<std::uint32_t>(GetRValue(c)) << 16) | (static_cast<std::uint32_t>(GetGValue(c)) << 8) |
         GetBValue(c);
}

// Pixels in [left, right) x [top, bottom) that are rgb.
inline int CountPixels(HDC dc, int left, int top, int right, int bottom, std::uint32_t rgb) {
  int n = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) n += PixelRgb(dc, x, y) == rgb ? 1 : 0;
  return n;
}

// Pixels in the box darker than mid-grey: text and the frame.
inline int CountDarkPixels(HDC dc, int left, int top, int right, int bottom) {
  int n = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) {
      const std::uint32_t p = PixelRgb(dc, x, y);
      n += ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) < 3 * 128 ? 1 : 0;
    }
  return n;
}

}  // namespace tarnwell::testutil
