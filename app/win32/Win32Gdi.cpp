#include "app/win32/Win32Gdi.h"

#include <algorithm>

namespace tarnwell::win32 {

MemoryCanvas::MemoryCanvas(HDC compatibleWith, int width, int height) noexcept
    : width_(std::max(width, 1)), height_(std::max(height, 1)) {
  dc_ = ::CreateCompatibleDC(compatibleWith);
  if (dc_ == nullptr) return;
  // A memory DC starts with a one-pixel monochrome bitmap: the screen's format comes from
  // the DC given, or from the screen itself when none is.
  HDC screen = compatibleWith != nullptr ? nullptr : ::GetDC(nullptr);
  bitmap_.reset(::CreateCompatibleBitmap(compatibleWith != nullptr ? compatibleWith : screen, width_, height_));
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  if (!bitmap_) {
    ::DeleteDC(dc_);
    dc_ = nullptr;
    return;
  }
  previous_ = ::SelectObject(dc_, bitmap_.get());
}

MemoryCanvas::~MemoryCanvas() {
  if (dc_ == nullptr) return;
  if (previous_ != nullptr) ::SelectObject(dc_, previous_);
  ::DeleteDC(dc_);
}

void MemoryCanvas::BlitTo(HDC target, int x, int y) const noexcept {
  if (dc_ != nullptr && bitmap_) ::BitBlt(target, x, y, width_, height_, dc_, 0, 0, SRCCOPY);
}

UniqueBitmap MemoryCanvas::TakeBitmap() noexcept {
  if (dc_ != nullptr) {
    if (previous_ != nullptr) ::SelectObject(dc_, previous_);
    ::DeleteDC(dc_);
    dc_ = nullptr;
    previous_ = nullptr;
  }
  return std::move(bitmap_);
}

}  // namespace tarnwell::win32
