// The program on Windows: the local metabase (or the MetaBase.xml file IIS_METABASE names)
// and process system, and the window of common controls over them; or, with --service,
// the same monitoring as a Windows service.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/win32/Win32Service.h"
#include "app/win32/Win32Window.h"
#include "logs/LogsClock.h"
#include "app/ProgramSeams.h"
#include "platform/win32/text.h"

namespace {

using tarnwell::platform::win32::FromUtf8;
using tarnwell::platform::win32::ToUtf8;

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

// The executable's path, UTF-16.
std::wstring ExePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The executable's folder, UTF-8, with its final separator.
std::string ExeDir() {
  const std::wstring path = ExePath();
  const std::size_t slash = path.find_last_of(L"\\/");
  return ToUtf8(slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1));
}

// A GUI program has no console to answer on: help, the version, a mistake and the
// service commands' answers show in a box; with --quiet they go to standard output, when
// the caller gave one, and the exit code says the rest. The text is UTF-16LE after a byte
// order mark, which an installer's log (IsTextUnicode), Notepad and type read whole in any
// code page.
int Answer(const std::string& text, bool error, int exitCode, bool quiet) {
  if (!quiet) {
    ::MessageBoxW(nullptr, FromUtf8(text).c_str(), L"Tarnwell", MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
    return exitCode;
  }
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return exitCode;
  std::wstring lines = L"\uFEFF";
  for (const wchar_t c : FromUtf8(text)) {
    if (c == L'\n') lines += L'\r';
    lines += c;
  }
  if (!lines.ends_with(L'\n')) lines += L"\r\n";
  DWORD written = 0;
  ::WriteFile(out, lines.data(), static_cast<DWORD>(lines.size() * sizeof(wchar_t)), &written, nullptr);
  return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  std::vector<std::string> arguments;
  int argc = 0;
  std::unique_ptr<wchar_t*, ArgvDeleter> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
  for (int i = 0; argv && i < argc; ++i) arguments.push_back(ToUtf8(argv.get()[i]));
  const tarnwell::ProgramOptions options = tarnwell::ParseProgramOptions(
      arguments, tarnwell::kWin32CommandLine, ToUtf8(Environment(L"TARNWELL_TEXTFILE_DIR")));
  switch (options.action) {
    case tarnwell::ProgramOptions::Action::Help:
    case tarnwell::ProgramOptions::Action::Version:
      return Answer(options.text, false, 0, options.quiet);
    case tarnwell::ProgramOptions::Action::Fail:
      return Answer(options.text, true, 2, options.quiet);
    case tarnwell::ProgramOptions::Action::Service: {
      // Under the service control manager nobody would see a box: only a start by hand answers.
      const auto answer = tarnwell::win32service::RunService(ExeDir());
      return answer.text.empty() ? answer.exitCode : Answer(answer.text, true, answer.exitCode, false);
    }
    case tarnwell::ProgramOptions::Action::InstallService: {
      const auto answer = tarnwell::win32service::InstallService(ToUtf8(ExePath()), ExeDir(), options.settingsFile);
      return Answer(answer.text, answer.exitCode != 0, answer.exitCode, options.quiet);
    }
    case tarnwell::ProgramOptions::Action::UninstallService: {
      const auto answer = tarnwell::win32service::UninstallService();
      return Answer(answer.text, answer.exitCode != 0, answer.exitCode, options.quiet);
    }
    case tarnwell::ProgramOptions::Action::Run:
      break;
  }

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES |
                                                     ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_DATE_CLASSES};
  ::InitCommonControlsEx(&controls);
  if (!tarnwell::win32ui::RegisterClasses(instance)) return 1;

  // The seams outlive the window that uses them.
  auto metabase = tarnwell::OpenLocalMetabase();
  auto processes = tarnwell::OpenProcessSystem();
  tarnwell::win32ui::MainWindow window(instance, ExeDir(), *metabase, *processes,
                                       tarnwell::SystemClock());
  if (!window.Create(options.textfileDir, options.listen)) return 1;
  ::ShowWindow(window.Handle(), show);
  ::UpdateWindow(window.Handle());
  return window.Run();
}
