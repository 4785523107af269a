// The program on Windows: the local metabase (or the MetaBase.xml file IIS_METABASE names)
// and process system, and the window of common controls over them.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "app/win32/Win32Window.h"
#include "logs/LogsClock.h"
#include "app/ProgramSeams.h"
#include "platform/win32/text.h"

namespace {

using tarnwell::platform::win32::FromUtf8;
using tarnwell::platform::win32::ToUtf8;

constexpr wchar_t kUsage[] =
    L"Usage: tarnwell.exe [--help] [--version]\n\n"
    L"Lists the application pools of the local IIS, monitors the ticked pools' worker\n"
    L"processes and finds the application that overloads a pool.\n\n"
    L"IIS_METABASE=<file>  use that MetaBase.xml file instead of the local IIS\n"
    L"TARNWELL_TEXTFILE_DIR=<folder>  write every pass's figures to <folder>\\tarnwell.prom\n"
    L"The daily logs go to the log folder beside tarnwell.exe.";

struct ArgvDeleter {
  void operator()(wchar_t** argv) const noexcept { ::LocalFree(argv); }
};

std::wstring Environment(const wchar_t* name) {
  const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, value.data(), n);
  value.resize(got < n ? got : 0);
  return value;
}

// The executable's folder, UTF-8.
std::string ExeDir() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  return ToUtf8(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  int argc = 0;
  std::unique_ptr<wchar_t*, ArgvDeleter> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
  for (int i = 1; argv && i < argc; ++i) {
    const std::wstring arg = argv.get()[i];
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      ::MessageBoxW(nullptr, kUsage, L"Tarnwell", MB_OK | MB_ICONINFORMATION);
      return 0;
    }
    if (arg == L"--version") {
      ::MessageBoxW(nullptr, (L"Tarnwell " + FromUtf8(TARNWELL_VERSION)).c_str(), L"Tarnwell",
                    MB_OK | MB_ICONINFORMATION);
      return 0;
    }
    ::MessageBoxW(nullptr, (L"Unknown option: " + arg + L"\n\n" + kUsage).c_str(), L"Tarnwell",
                  MB_OK | MB_ICONERROR);
    return 2;
  }

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES |
                                                     ICC_TAB_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  if (!tarnwell::win32ui::RegisterClasses(instance)) return 1;

  // The seams outlive the window that uses them.
  auto metabase = tarnwell::OpenLocalMetabase();
  auto processes = tarnwell::OpenProcessSystem();
  tarnwell::win32ui::MainWindow window(instance, ExeDir(), *metabase, *processes,
                                       tarnwell::SystemClock());
  if (!window.Create(ToUtf8(Environment(L"TARNWELL_TEXTFILE_DIR")))) return 1;
  ::ShowWindow(window.Handle(), show);
  ::UpdateWindow(window.Handle());
  return window.Run();
}
