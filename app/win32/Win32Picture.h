#pragma once
// A bitmap saved as a picture file: PNG through GDI+ when the system has it (bound at run
// time: gdiplus.dll is not among the program's imports), else a 24-bit BMP written here.
#include <windows.h>

#include <string>

namespace tarnwell::win32 {

enum class PictureFormat {
  kBest,     // PNG, or BMP when GDI+ is missing or fails
  kBmpOnly,  // BMP without trying GDI+
};

// Writes the bitmap (not selected into any DC) to pathWithoutExtension plus ".png" or
// ".bmp", replacing a file of that name. Returns the path written; on failure an empty
// path, no partial file, and the reason in *error (when given).
std::wstring SaveBitmapPicture(HBITMAP bitmap, const std::wstring& pathWithoutExtension, std::wstring* error,
                               PictureFormat format = PictureFormat::kBest);

}  // namespace tarnwell::win32
