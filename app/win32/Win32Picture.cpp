#include "app/win32/Win32Picture.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/win_handles.h"

namespace tarnwell::win32 {

namespace {

// --- GDI+'s flat API, as far as a PNG save needs it -----------------------------------

struct GpStartupInput {
  UINT32 version = 1;
  void* debugEventCallback = nullptr;
  BOOL suppressBackgroundThread = FALSE;
  BOOL suppressExternalCodecs = FALSE;
};

struct GpCodecInfo {  // ImageCodecInfo
  CLSID clsid;
  GUID formatId;
  const WCHAR* codecName;
  const WCHAR* dllName;
  const WCHAR* formatDescription;
  const WCHAR* filenameExtension;
  const WCHAR* mimeType;
  DWORD flags;
  DWORD version;
  DWORD sigCount;
  DWORD sigSize;
  const BYTE* sigPattern;
  const BYTE* sigMask;
};

using GpStatus = int;  // 0: Ok
using GpImage = void;
using StartupFn = GpStatus(WINAPI*)(ULONG_PTR*, const GpStartupInput*, void*);
using ShutdownFn = void(WINAPI*)(ULONG_PTR);
using FromHbitmapFn = GpStatus(WINAPI*)(HBITMAP, HPALETTE, GpImage**);
using SaveFn = GpStatus(WINAPI*)(GpImage*, const WCHAR*, const CLSID*, const void*);
using EncodersSizeFn = GpStatus(WINAPI*)(UINT*, UINT*);
using EncodersFn = GpStatus(WINAPI*)(UINT, UINT, GpCodecInfo*);
using DisposeFn = GpStatus(WINAPI*)(GpImage*);

template <typename Fn>
Fn Bind(HMODULE module, const char* name) {
  // The usual two-step cast from FARPROC, which -Wcast-function-type accepts.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

std::wstring SystemFolderFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::wstring(folder, n) + L"\\" + name;
}

// gdiplus.dll from the system folder, started, with the functions a save needs; shut down
// and unloaded when it goes. Empty when any of that fails.
class GdiPlus {
 public:
  GdiPlus() {
    // Vista and later keep it in the system folder. Windows XP and Server 2003 keep it in
    // WinSxS only, where tarnwell.exe's manifest (a dependency on Microsoft.Windows.GdiPlus)
    // has the name resolved.
    const std::wstring path = SystemFolderFile(L"gdiplus.dll");
    if (!path.empty()) module_ = ::LoadLibraryW(path.c_str());
    if (module_ == nullptr) module_ = ::LoadLibraryW(L"gdiplus.dll");
    if (module_ == nullptr) return;
    const auto startup = Bind<StartupFn>(module_, "GdiplusStartup");
    shutdown_ = Bind<ShutdownFn>(module_, "GdiplusShutdown");
    fromHbitmap_ = Bind<FromHbitmapFn>(module_, "GdipCreateBitmapFromHBITMAP");
    save_ = Bind<SaveFn>(module_, "GdipSaveImageToFile");
    encodersSize_ = Bind<EncodersSizeFn>(module_, "GdipGetImageEncodersSize");
    encoders_ = Bind<EncodersFn>(module_, "GdipGetImageEncoders");
    dispose_ = Bind<DisposeFn>(module_, "GdipDisposeImage");
    if (startup == nullptr || shutdown_ == nullptr || fromHbitmap_ == nullptr || save_ == nullptr ||
        encodersSize_ == nullptr || encoders_ == nullptr || dispose_ == nullptr)
      return;
    const GpStartupInput input;
    started_ = startup(&token_, &input, nullptr) == 0;
  }
  ~GdiPlus() {
    if (started_) shutdown_(token_);
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  GdiPlus(const GdiPlus&) = delete;
  GdiPlus& operator=(const GdiPlus&) = delete;

  explicit operator bool() const { return started_; }

  // The CLSID of the encoder for this MIME type, if GDI+ has one.
  bool Encoder(std::wstring_view mime, CLSID* clsid) const {
    UINT count = 0;
    UINT bytes = 0;
    if (encodersSize_(&count, &bytes) != 0 || count == 0 || bytes < count * sizeof(GpCodecInfo)) return false;
    // The strings the entries point at follow them in the same block.
    std::vector<std::uint64_t> block((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* codecs = reinterpret_cast<GpCodecInfo*>(block.data());
    if (encoders_(count, bytes, codecs) != 0) return false;
    for (UINT i = 0; i < count; ++i) {
      if (codecs[i].mimeType != nullptr && mime == codecs[i].mimeType) {
        *clsid = codecs[i].clsid;
        return true;
      }
    }
    return false;
  }

  bool SavePng(HBITMAP bitmap, const std::wstring& path) const {
    CLSID png{};
    if (!Encoder(L"image/png", &png)) return false;
    GpImage* image = nullptr;
    if (fromHbitmap_(bitmap, nullptr, &image) != 0 || image == nullptr) return false;
    const bool saved = save_(image, path.c_str(), &png, nullptr) == 0;
    dispose_(image);
    return saved;
  }

 private:
  HMODULE module_ = nullptr;
  ULONG_PTR token_ = 0;
  bool started_ = false;
  ShutdownFn shutdown_ = nullptr;
  FromHbitmapFn fromHbitmap_ = nullptr;
  SaveFn save_ = nullptr;
  EncodersSizeFn encodersSize_ = nullptr;
  EncodersFn encoders_ = nullptr;
  DisposeFn dispose_ = nullptr;
};

// --- The BMP written here -------------------------------------------------------------

std::wstring SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : L"error " + std::to_wstring(code);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return message;
}

template <typename T>
void Put(std::vector<std::uint8_t>& out, T value) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof value);
}

// The whole file: headers and bottom-up 24-bit rows padded to four bytes. Empty when GDI
// cannot read the bitmap.
std::vector<std::uint8_t> BmpFile(HBITMAP bitmap, std::wstring* why) {
  BITMAP info{};
  if (::GetObjectW(bitmap, sizeof info, &info) != static_cast<int>(sizeof info) || info.bmWidth <= 0 ||
      info.bmHeight <= 0) {
    *why = L"not a bitmap";
    return {};
  }
  const int width = info.bmWidth;
  const int height = info.bmHeight;
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~static_cast<std::size_t>(3);
  const std::size_t pixelBytes = stride * static_cast<std::size_t>(height);

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files usually are
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(pixelBytes);

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = static_cast<DWORD>(file.bfOffBits + pixelBytes);

  std::vector<std::uint8_t> out;
  out.reserve(file.bfSize);
  Put(out, file);
  Put(out, header);
  out.resize(file.bfSize);
  BITMAPINFO request{};
  request.bmiHeader = header;
  HDC screen = ::GetDC(nullptr);
  const int rows = ::GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), out.data() + file.bfOffBits, &request,
                               DIB_RGB_COLORS);
  ::ReleaseDC(nullptr, screen);
  if (rows != height) {
    *why = L"cannot read the bitmap's pixels";
    return {};
  }
  return out;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes, std::wstring* why) {
  bool written = false;
  {
    platform::win32::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *why = SystemMessage(::GetLastError());
      return false;
    }
    std::size_t done = 0;
    written = true;
    while (done < bytes.size()) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
      if (!::WriteFile(file.get(), bytes.data() + done, chunk, &n, nullptr) || n == 0) {
        *why = SystemMessage(::GetLastError());
        written = false;
        break;
      }
      done += n;
    }
  }
  if (!written) ::DeleteFileW(path.c_str());  // no half picture left behind
  return written;
}

}  // namespace

std::wstring SaveBitmapPicture(HBITMAP bitmap, const std::wstring& pathWithoutExtension, std::wstring* error,
                               PictureFormat format) {
  std::wstring why;
  auto fail = [&](const std::wstring& path) {
    if (error != nullptr) *error = L"cannot write " + path + L": " + why;
    return std::wstring();
  };
  if (bitmap == nullptr) {
    why = L"no picture";
    return fail(pathWithoutExtension);
  }
  if (format == PictureFormat::kBest) {
    const std::wstring png = pathWithoutExtension + L".png";
    GdiPlus gdiPlus;
    if (gdiPlus) {
      if (gdiPlus.SavePng(bitmap, png)) return png;
      ::DeleteFileW(png.c_str());  // whatever a failed save left
    }
  }
  const std::wstring bmp = pathWithoutExtension + L".bmp";
  const std::vector<std::uint8_t> bytes = BmpFile(bitmap, &why);
  if (bytes.empty() || !WriteWholeFile(bmp, bytes, &why)) return fail(bmp);
  return bmp;
}

}  // namespace tarnwell::win32
