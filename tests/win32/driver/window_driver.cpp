// What the window tests under wine share: starting programs, waiting on what they do,
// and the mouse and the keyboard as a user's.
#include "tests/win32/driver/window_driver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <type_traits>

#include "app/win32/Win32Ids.h"
#include "platform/win32/text.h"
#include "tests/support/files.h"

namespace tarnwell::wintest {

using namespace tarnwell::win32ui;

Process::~Process() {
  if (info.hProcess != nullptr) {
    if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(info.hProcess, 1);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
  }
}

bool Start(const std::wstring& exe, const std::wstring& args, Process& out) {
  std::wstring line = L"\"" + exe + L"\" " + args;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &out.info) != 0;
}

std::string ReadMatching(const std::wstring& dir, const wchar_t* pattern) {
  std::string all;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((dir + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return all;
  do {
    all += tarnwell::testutil::ReadAll(dir + found.cFileName);  // a wide path on Windows
  } while (::FindNextFileW(search, &found) != 0);
  ::FindClose(search);
  return all;
}

bool WaitFor(HANDLE program, const std::function<bool()>& holds) {
  const DWORD start = ::GetTickCount();
  while (!holds()) {
    if (::WaitForSingleObject(program, 200) != WAIT_TIMEOUT) return holds();
    if (::GetTickCount() - start > kPatienceMs) return false;
  }
  return true;
}

HWND FindMainWindow(DWORD pid) {
  HWND found = ::FindWindowW(kMainClass, nullptr);
  DWORD owner = 0;
  if (found != nullptr) ::GetWindowThreadProcessId(found, &owner);
  return owner == pid ? found : nullptr;
}

void ClickTab(HANDLE program, HWND tabs, int index) {
  void* remote = ::VirtualAllocEx(program, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE);
  RECT box{};
  if (remote != nullptr) {
    ::SendMessageW(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote));
    ::ReadProcessMemory(program, remote, &box, sizeof box, nullptr);
    ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  }
  const LPARAM at = MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2);
  ::SendMessageW(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::SendMessageW(tabs, WM_LBUTTONUP, 0, at);
}

int FindRow(HANDLE program, HWND list, const std::wstring& text) {
  const std::size_t bytes = sizeof(LVFINDINFOW) + (text.size() + 1) * sizeof(wchar_t);
  auto* remote = static_cast<char*>(::VirtualAllocEx(program, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
  if (remote == nullptr) return -1;
  LVFINDINFOW find{};
  find.flags = LVFI_STRING;
  find.psz = reinterpret_cast<LPCWSTR>(remote + sizeof find);
  ::WriteProcessMemory(program, remote, &find, sizeof find, nullptr);
  ::WriteProcessMemory(program, remote + sizeof find, text.c_str(), (text.size() + 1) * sizeof(wchar_t), nullptr);
  const auto row = ::SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(remote));
  ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  return static_cast<int>(row);
}

bool SelectRow(HANDLE program, HWND list, const std::wstring& text) {
  const int row = FindRow(program, list, text);
  void* remote = row < 0 ? nullptr : ::VirtualAllocEx(program, nullptr, sizeof(LVITEMW), MEM_COMMIT, PAGE_READWRITE);
  if (remote == nullptr) return false;
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::WriteProcessMemory(program, remote, &item, sizeof item, nullptr);
  ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote));
  ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  return true;
}

bool TickRow(HANDLE program, HWND list, const std::wstring& text) {
  const int row = FindRow(program, list, text);
  void* remote = row < 0 ? nullptr : ::VirtualAllocEx(program, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE);
  if (remote == nullptr) return false;
  ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
  RECT box{};
  box.left = LVIR_BOUNDS;
  ::WriteProcessMemory(program, remote, &box, sizeof box, nullptr);
  ::SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote));
  ::ReadProcessMemory(program, remote, &box, sizeof box, nullptr);
  ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  // The tick box is the row's first 16 pixels.
  POINT at{box.left + 8, (box.top + box.bottom) / 2};
  ::ClientToScreen(list, &at);
  ClickAt(at);
  return true;
}

HWND FocusOf(HWND main) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return ::GetGUIThreadInfo(::GetWindowThreadProcessId(main, nullptr), &info) != 0 ? info.hwndFocus : nullptr;
}

void Type(std::initializer_list<std::pair<WORD, bool>> keys) {
  std::vector<INPUT> inputs;
  for (const auto& [key, down] : keys) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void TypeText(const std::wstring& text) {
  std::vector<INPUT> inputs;
  for (const wchar_t c : text) {
    for (const DWORD up : {DWORD{0}, DWORD{KEYEVENTF_KEYUP}}) {
      INPUT input{};
      input.type = INPUT_KEYBOARD;
      input.ki.wScan = c;
      input.ki.dwFlags = KEYEVENTF_UNICODE | up;
      inputs.push_back(input);
    }
  }
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void MoveTo(POINT screen) {
  ::SetCursorPos(screen.x, screen.y);
  // Buttons and the wheel act where the pointer is when they are read: under a display
  // server the move can land after the call returns.
  for (int look = 0; look < 100; ++look) {
    POINT at{};
    if (::GetCursorPos(&at) && at.x == screen.x && at.y == screen.y) break;
    ::Sleep(10);
  }
}

void ClickAt(POINT screen) {
  MoveTo(screen);
  INPUT clicks[2] = {};
  clicks[0].type = clicks[1].type = INPUT_MOUSE;
  clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(2, clicks, sizeof(INPUT));
}

void ClickOn(HWND window) {
  RECT box{};
  ::GetWindowRect(window, &box);
  ClickAt({(box.left + box.right) / 2, (box.top + box.bottom) / 2});
}

std::vector<std::wstring> Names(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((dir + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search, &found) != 0);
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

HWND FindShownWindow(DWORD pid, const wchar_t* className) {
  struct Search {
    DWORD pid;
    const wchar_t* className;
    HWND found;
  } search{pid, className, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        ::GetClassNameW(window, name, 64);
        if (owner != s.pid || ::lstrcmpiW(name, s.className) != 0 || !::IsWindowVisible(window)) return TRUE;
        s.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindMessageBox(DWORD pid) { return FindShownWindow(pid, L"#32770"); }

bool AnswerInBox(const std::wstring& exe, const std::wstring& args, std::string& text, DWORD& status) {
  Process program;
  if (!Start(exe, args, program)) {
    text = "not started";
    return false;
  }
  HWND box = nullptr;
  if (!WaitFor(program.info.hProcess, [&] { return (box = FindMessageBox(program.info.dwProcessId)) != nullptr; })) {
    text = "no message box";
    return false;
  }
  text = TextOf(::GetDlgItem(box, 0xFFFF));  // the box's static text
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  if (::WaitForSingleObject(program.info.hProcess, kPatienceMs) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(program.info.hProcess, &status)) {
    text = "still running after OK: " + text;
    return false;
  }
  return true;
}

std::string TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return tarnwell::platform::win32::ToUtf8(text);
}

bool IsEmpty(const std::wstring& dir) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((dir + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") empty = false;
  } while (empty && ::FindNextFileW(search, &found) != 0);
  ::FindClose(search);
  return empty;
}

std::vector<DWORD> GrabScreen(const RECT& box) {
  const int w = box.right - box.left, h = box.bottom - box.top;
  std::vector<DWORD> pixels(static_cast<std::size_t>(std::max(w, 0)) * static_cast<std::size_t>(std::max(h, 0)));
  if (pixels.empty()) return pixels;
  const std::unique_ptr<std::remove_pointer_t<HDC>, void (*)(HDC)> screen(::GetDC(nullptr),
                                                                         [](HDC dc) { ::ReleaseDC(nullptr, dc); });
  const std::unique_ptr<std::remove_pointer_t<HDC>, BOOL (*)(HDC)> dc(::CreateCompatibleDC(screen.get()), &::DeleteDC);
  const std::unique_ptr<std::remove_pointer_t<HBITMAP>, void (*)(HBITMAP)> bitmap(
      ::CreateCompatibleBitmap(screen.get(), w, h), [](HBITMAP b) { ::DeleteObject(b); });
  const HGDIOBJ old = ::SelectObject(dc.get(), bitmap.get());
  ::BitBlt(dc.get(), 0, 0, w, h, screen.get(), box.left, box.top, SRCCOPY);
  ::SelectObject(dc.get(), old);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = -h;  // top row first
  info.biPlanes = 1;
  info.biBitCount = 32;
  ::GetDIBits(dc.get(), bitmap.get(), 0, static_cast<UINT>(h), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
  return pixels;
}

bool SavePicture(HWND window, const std::wstring& path, bool clientOnly) {
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT box{};
  ::GetWindowRect(window, &box);
  if (clientOnly) {
    ::GetClientRect(window, &box);
    ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&box), 2);
  }
  const int w = box.right - box.left, h = box.bottom - box.top;
  const std::vector<DWORD> screen = GrabScreen(box);
  // A 24-bit BMP: rows bottom up, each padded to four bytes.
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  const int stride = (w * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(std::max(h, 0)));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const DWORD p = screen[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)];
      char* to = &pixels[static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(x) * 3];
      to[0] = static_cast<char>(p & 0xFF);
      to[1] = static_cast<char>((p >> 8) & 0xFF);
      to[2] = static_cast<char>((p >> 16) & 0xFF);
    }
  }
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

int Fail(const char* what) {
  std::printf("FAILED: %s\n", what);
  std::fflush(stdout);
  return 1;
}


}  // namespace tarnwell::wintest
