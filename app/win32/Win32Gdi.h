#pragma once
// Owners for GDI objects and device-context state: each object is deleted, and each
// selection and saved state restored, on every path.
#include <windows.h>

#include <utility>

namespace tarnwell::win32 {

// A pen, brush, font or bitmap, deleted with DeleteObject. Must not be selected into a DC
// when it goes: a Selection made after it is undone before it.
template <typename T>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(T object) noexcept : object_(object) {}
  ~GdiObject() { reset(); }
  GdiObject(GdiObject&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;

  T get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void reset(T object = nullptr) noexcept {
    if (object_ != nullptr) ::DeleteObject(object_);
    object_ = object;
  }

 private:
  T object_ = nullptr;
};

using UniquePen = GdiObject<HPEN>;
using UniqueBrush = GdiObject<HBRUSH>;
using UniqueFont = GdiObject<HFONT>;
using UniqueBitmap = GdiObject<HBITMAP>;

// Selects an object into a DC for as long as it lives; a null object selects nothing.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) noexcept
      : dc_(dc), previous_(object != nullptr ? ::SelectObject(dc, object) : nullptr) {}
  ~Selection() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// The DC's modes, alignment, colours and clip region as they were, restored when it goes.
class SavedDcState {
 public:
  explicit SavedDcState(HDC dc) noexcept : dc_(dc), saved_(::SaveDC(dc)) {}
  ~SavedDcState() {
    if (saved_ != 0) ::RestoreDC(dc_, saved_);
  }
  SavedDcState(const SavedDcState&) = delete;
  SavedDcState& operator=(const SavedDcState&) = delete;

 private:
  HDC dc_;
  int saved_;
};

// A memory DC compatible with another and a bitmap of the given size selected into it:
// what is painted off screen and then copied once, without flicker. compatibleWith is the
// window's DC, another canvas's, or null for the screen's (a bare memory DC would give a
// one-bit bitmap). Empty (no DC) when the system refuses either.
class MemoryCanvas {
 public:
  MemoryCanvas(HDC compatibleWith, int width, int height) noexcept;
  ~MemoryCanvas();
  MemoryCanvas(const MemoryCanvas&) = delete;
  MemoryCanvas& operator=(const MemoryCanvas&) = delete;

  explicit operator bool() const noexcept { return dc_ != nullptr && bitmap_; }
  HDC Dc() const noexcept { return dc_; }
  int Width() const noexcept { return width_; }
  int Height() const noexcept { return height_; }
  // Copies the whole canvas to (x, y) of the target.
  void BlitTo(HDC target, int x = 0, int y = 0) const noexcept;
  // The bitmap, out of the DC (GDI+ and GetDIBits want it unselected); the canvas is empty
  // afterwards.
  UniqueBitmap TakeBitmap() noexcept;

 private:
  HDC dc_ = nullptr;
  UniqueBitmap bitmap_;
  HGDIOBJ previous_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace tarnwell::win32
