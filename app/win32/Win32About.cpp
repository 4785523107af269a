// TFrmAbout: a fixed dialog box over the main window, its two links opened with the
// system's browser.
#include <windows.h>
#include <shellapi.h>

#include "app/win32/Win32Ids.h"
#include "app/win32/Win32Resources.h"
#include "app/win32/Win32Window.h"
#include "platform/win32/text.h"

namespace tarnwell::win32ui {

namespace {

constexpr wchar_t kHomeAddress[] = L"https://tarnwell.example.org";
constexpr wchar_t kSupportAddress[] = L"https://tarnwell.example.org/support";
constexpr int kIdOk = kIdAboutOk, kIdHome = kIdAboutHome, kIdSupport = kIdAboutSupport;
constexpr int kWidth = 480, kHeight = 190;

struct AboutFonts {
  FontPtr title, link, small;
};

AboutFonts& Fonts() {
  static AboutFonts fonts;
  return fonts;
}

HFONT MakeFont(int pixels, int weight, bool underline) {
  return ::CreateFontW(-pixels, 0, 0, 0, weight, FALSE, underline, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y,
           int w, int h, int id, HFONT font) {
  HWND child = ::CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(parent, GWLP_HINSTANCE)),
                                 nullptr);
  ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return child;
}

LRESULT CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == kIdOk || id == IDCANCEL || id == IDOK) {
        ::ShowWindow(hwnd, SW_HIDE);
      } else if ((id == kIdHome || id == kIdSupport) && HIWORD(wParam) == STN_CLICKED) {
        // The link's caption is the address it opens; a failure is not reported.
        ::ShellExecuteW(hwnd, L"open", id == kIdHome ? kHomeAddress : kSupportAddress, nullptr,
                        nullptr, SW_SHOWNORMAL);
      }
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
      if (id == kIdHome || id == kIdSupport) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, RGB(0, 0, 255));
        ::SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    }
    case WM_SETCURSOR: {
      const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(wParam));
      if (id == kIdHome || id == kIdSupport) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(hwnd, &paint);
      RECT panel{8, 8, kWidth - 8, kHeight - 48};
      ::DrawEdge(dc, &panel, EDGE_SUNKEN, BF_RECT);
      ::EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_CLOSE:
      ::ShowWindow(hwnd, SW_HIDE);
      // A sent close does not wake the modal loop, which would leave the main window
      // disabled until the next message.
      ::PostMessageW(hwnd, WM_NULL, 0, 0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

HWND CreateAbout(HINSTANCE instance, HWND owner, HFONT font) {
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = &AboutProc;
  cls.hInstance = instance;
  cls.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kAboutClass;
  ::RegisterClassExW(&cls);  // fails harmlessly when already there

  AboutFonts& fonts = Fonts();
  if (!fonts.title) {
    fonts.title.reset(MakeFont(19, FW_BOLD, false));
    fonts.link.reset(MakeFont(11, FW_NORMAL, true));
    fonts.small.reset(MakeFont(9, FW_NORMAL, false));
  }
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, kWidth, kHeight};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  HWND about = ::CreateWindowExW(exStyle, kAboutClass, L"About Tarnwell...", style, 0, 0,
                                 frame.right - frame.left, frame.bottom - frame.top, owner,
                                 nullptr, instance, nullptr);
  if (about == nullptr) return nullptr;
  // What the lowered panel (drawn in WM_PAINT) shows.
  HWND picture = Child(about, L"STATIC", L"", SS_ICON, 20, 16, 32, 32, kIdAboutIcon, font);
  // Shared: the system keeps the icon loaded for the program's life.
  ::SendMessageW(picture, STM_SETICON,
                 reinterpret_cast<WPARAM>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARNWELL), IMAGE_ICON, 32, 32, LR_SHARED)), 0);
  // Clear of the icon, still centred on the dialog.
  Child(about, L"STATIC", L"Tarnwell", SS_CENTER, 60, 18, kWidth - 120, 26, kIdAboutName, fonts.title.get());
  // The version --version answers, from the build.
  Child(about, L"STATIC", platform::win32::FromUtf8("ver. " TARNWELL_VERSION " for Windows 2003").c_str(), SS_CENTER,
        16, 50, kWidth - 32, 16, kIdAboutVersion, font);
  Child(about, L"STATIC", kHomeAddress, SS_CENTER | SS_NOTIFY | SS_NOPREFIX, 16, 76, 212, 18, kIdHome,
        fonts.link.get());
  Child(about, L"STATIC", kSupportAddress, SS_CENTER | SS_NOTIFY | SS_NOPREFIX, 236, 76, 228, 18,
        kIdSupport, fonts.link.get());
  Child(about, L"STATIC", L"Regular expressions by PCRE2, Copyright (c) University of Cambridge",
        SS_CENTER, 16, 108, kWidth - 32, 14, 0, fonts.small.get());
  Child(about, L"BUTTON", L"&OK", BS_DEFPUSHBUTTON | WS_TABSTOP, (kWidth - 75) / 2, kHeight - 38,
        75, 25, kIdOk, font);
  return about;
}

void ShowAboutModal(HWND about, HWND owner) {
  if (about == nullptr) return;
  // Centred on the main window.
  RECT parent{}, self{};
  ::GetWindowRect(owner, &parent);
  ::GetWindowRect(about, &self);
  const int w = self.right - self.left, h = self.bottom - self.top;
  ::SetWindowPos(about, nullptr, parent.left + (parent.right - parent.left - w) / 2,
                 parent.top + (parent.bottom - parent.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ::EnableWindow(owner, FALSE);
  ::ShowWindow(about, SW_SHOW);
  ::SetFocus(::GetDlgItem(about, kIdOk));
  MSG msg;
  bool quit = false;
  while (::IsWindowVisible(about)) {
    if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) {
      quit = true;
      break;
    }
    if (::IsDialogMessageW(about, &msg) != 0) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  ::EnableWindow(owner, TRUE);
  ::ShowWindow(about, SW_HIDE);
  ::SetActiveWindow(owner);
  if (quit) ::PostQuitMessage(static_cast<int>(msg.wParam));
}

}  // namespace tarnwell::win32ui
