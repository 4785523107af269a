// Drives tarnwell.exe's service as an administrator would, under wine: --install-service
// with a settings file that names a copy of the demo MetaBase.xml, sc start, passes over a
// worker of ShopPool (one monitoring-log line per pass) served at its http-address (a GET
// of the page and of another path, and a scrape by Debian's Prometheus when given the
// script), sc stop; a start while the URL is taken, which says so and monitors all the
// same; then a start on a bad setting, which stops the service with its exit code and one
// line; and --uninstall-service.
// The install registers tarnwell.exe as the event source's message file; the uninstall
// takes it away.
// Each answer is read from its message box. Usage:
//   tarnwell_service_smoke <tarnwell.exe> <MetaBase.xml> <child.exe> [<prometheus_scrape.sh>]
// (the script by its Linux path, run through wine's Unix spawn).
// Prints what it finds; exits 0 when the service did all of it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/http_server_win32.h"
#include "platform/win32/native.h"
#include "platform/win32/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/window_driver.h"
#include "tests/win32/http_get.h"

using namespace tarnwell::wintest;
using tarnwell::platform::win32::ToUtf8;

namespace {

constexpr DWORD kPasses = 3;

struct ScClose {
  void operator()(SC_HANDLE h) const noexcept { ::CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScClose>;

struct HandleClose {
  void operator()(HANDLE h) const noexcept { ::CloseHandle(h); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

SERVICE_STATUS_PROCESS Status() {
  SERVICE_STATUS_PROCESS status{};
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(scm ? ::OpenServiceW(scm.get(), L"Tarnwell", SERVICE_QUERY_STATUS) : nullptr);
  DWORD needed = 0;
  if (service) {
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  }
  return status;
}

// A service left by an earlier run that failed half-way.
void RemoveLeftService() {
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(scm ? ::OpenServiceW(scm.get(), L"Tarnwell", SERVICE_STOP | DELETE) : nullptr);
  if (!service) return;
  SERVICE_STATUS status{};
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  ::DeleteService(service.get());
}

// The event source's message file, as the install registered it; empty when none is.
std::wstring EventMessageFile() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Tarnwell", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[1024] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LONG read = ::RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_EXPAND_SZ ? std::wstring(value) : std::wstring();
}

std::wstring SystemProgram(const wchar_t* name) {
  wchar_t dir[MAX_PATH] = {};
  ::GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\" + name;
}

// sc.exe with its arguments, to its end.
bool Sc(const std::wstring& args) {
  Process sc;
  return Start(SystemProgram(L"sc.exe"), args, sc) && ::WaitForSingleObject(sc.info.hProcess, kPatienceMs) == WAIT_OBJECT_0;
}

// The service's process, while it runs; null when none.
Handle ServiceProcess() {
  const DWORD pid = Status().dwProcessId;
  return Handle(pid != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      out.push_back(text.substr(at) + "<cut>");  // a line without its end
      break;
    }
    if (end != at) out.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return out;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const std::string& line : lines) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

// The Linux program argv, run to its end by wine's own Unix spawn; its exit status, or -1
// where this is no wine.
int RunUnix(std::vector<std::string> argv) {
  using Spawn = LONG(CDECL*)(char* const*, int);
  const FARPROC address = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp");
  if (address == nullptr) return -1;
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  return static_cast<int>(tarnwell::platform::win32::NativeCast<Spawn>(address)(args.data(), 1));
}

// The daily log's passes, as its "Monitoring pools" lines count them.
int Passes(const std::wstring& logDir) {
  return Count(Lines(ReadMatching(logDir, L"trnw??????.log")), "Monitoring pools : 1");
}

bool Says(const std::wstring& exe, const std::wstring& args, DWORD status, const std::string& start) {
  std::string text;
  DWORD got = 0;
  const std::string what = "tarnwell.exe " + ToUtf8(args);
  if (!AnswerInBox(exe, args, text, got)) return Fail((what + ": " + text).c_str()) == 0;
  if (got != status || text.rfind(start, 0) != 0) {
    return Fail((what + ": exit status " + std::to_string(got) + ", the box says \"" + text + "\"").c_str()) == 0;
  }
  std::printf("%s: %s\n", what.c_str(), text.c_str());
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return Fail("usage: tarnwell_service_smoke <tarnwell.exe> <MetaBase.xml> <child.exe> [<scrape.sh>]");
  RemoveLeftService();
  const tarnwell::testutil::TempDir temp{tarnwell::testutil::kNonAsciiName};
  const std::wstring dir = temp.Path().wstring() + L"\\";
  const std::wstring exe = dir + L"tarnwell.exe";
  const std::wstring logDir = dir + L"log\\";
  if (!::CopyFileW(argv[1], exe.c_str(), FALSE) || !::CopyFileW(argv[2], (dir + L"MetaBase.xml").c_str(), FALSE) ||
      !::CopyFileW(argv[3], (dir + L"w3wp.exe").c_str(), FALSE)) {
    return Fail("copying the program, the store and the worker");
  }
  // The settings come from elsewhere; the install puts them beside the program.
  const unsigned short port = FreeLoopbackPort();
  const std::string url = "http://+:" + std::to_string(port) + "/metrics/";
  const std::string settings = "# the smoke test's\r\npools = ^ShopPool$\r\ninterval = 0\r\nmetabase = " +
                               ToUtf8(dir) + "MetaBase.xml\r\nhttp-address = " + url + "\r\n";
  const std::wstring source = dir + L"settings source.ini";
  tarnwell::testutil::WriteFile(source, settings);

  if (!Says(exe, L"--uninstall-service", 1, "The Tarnwell service is not installed.")) return 1;
  if (!Says(exe, L"--install-service --settings \"" + source + L"\"", 0, "Installed the Tarnwell service")) return 1;
  if (tarnwell::testutil::ReadAll(dir + L"tarnwell-service.ini") != settings) return Fail("the settings were not copied");
  if (!Says(exe, L"--install-service", 1, "The Tarnwell service is already installed")) return 1;
  if (::lstrcmpiW(EventMessageFile().c_str(), exe.c_str()) != 0) {
    return Fail(("the event source's message file is \"" + ToUtf8(EventMessageFile()) + "\"").c_str());
  }

  Process worker;
  if (!Start(dir + L"w3wp.exe", L"-ap \"ShopPool\"", worker)) return Fail("starting w3wp.exe -ap \"ShopPool\"");
  if (!Sc(L"start Tarnwell")) return Fail("sc start Tarnwell");
  Handle service = ServiceProcess();
  if (!service) return Fail("the service does not run after sc start");
  std::printf("sc start Tarnwell: running\n");

  // One monitoring-log line of ShopPool per pass, while the service runs.
  const auto shopLines = [&] { return Count(Lines(ReadMatching(logDir, L"trnw-mon-*.log")), "\tShopPool\t"); };
  if (!WaitFor(service.get(), [&] { return shopLines() >= static_cast<int>(kPasses); })) {
    return Fail(("the monitoring log did not grow: " + ReadMatching(logDir, L"trnw??????.log")).c_str());
  }

  // The latest pass at the URL, as a scraper gets it; another path under it is not found.
  const std::string workerSeries =
      "tarnwell_pool_cpu_percent{pool=\"ShopPool\",pid=\"" + std::to_string(worker.info.dwProcessId) + "\"} ";
  const HttpReply page = HttpGet(port, "/metrics/");
  if (page.status != 200 || page.headers.find("\r\nContent-Type: text/plain; version=0.0.4\r\n") == std::string::npos ||
      page.body.find(workerSeries) == std::string::npos) {
    return Fail(("GET " + url + ": " + page.error + page.headers + page.body).c_str());
  }
  const HttpReply other = HttpGet(port, "/metrics/other");
  if (other.status != 404) return Fail(("GET /metrics/other: " + other.error + other.headers).c_str());
  std::printf("GET %s: 200 with ShopPool's figures; /metrics/other: 404\n", url.c_str());
  if (argc > 4) {
    const int scraped = RunUnix({ToUtf8(argv[4]), "http://127.0.0.1:" + std::to_string(port) + "/metrics/", "ShopPool",
                                 std::to_string(worker.info.dwProcessId)});
    if (scraped != 0) return Fail(("the Prometheus scrape failed: " + std::to_string(scraped)).c_str());
  }

  if (!Sc(L"stop Tarnwell")) return Fail("sc stop Tarnwell");
  if (::WaitForSingleObject(service.get(), kPatienceMs) != WAIT_OBJECT_0) return Fail("the service did not stop");
  const SERVICE_STATUS_PROCESS stopped = Status();
  if (stopped.dwCurrentState != SERVICE_STOPPED || stopped.dwWin32ExitCode != NO_ERROR) {
    return Fail(("stopped with state " + std::to_string(stopped.dwCurrentState) + ", exit " +
                 std::to_string(stopped.dwWin32ExitCode)).c_str());
  }
  // Every pass whole: each line has its ten fields and its end, and as many lines as passes.
  const std::vector<std::string> monitoring = Lines(ReadMatching(logDir, L"trnw-mon-*.log"));
  const std::vector<std::string> daily = Lines(ReadMatching(logDir, L"trnw??????.log"));
  for (const std::string& line : monitoring) {
    if (line.starts_with('#')) continue;
    if (line.ends_with("<cut>") || std::count(line.begin(), line.end(), '\t') != 9) {
      return Fail(("a monitoring-log line is not whole: " + line).c_str());
    }
  }
  const int passes = Count(daily, "Monitoring pools : 1");
  if (shopLines() != passes || passes < static_cast<int>(kPasses)) {
    return Fail(("ShopPool lines " + std::to_string(shopLines()) + " for " + std::to_string(passes) + " passes").c_str());
  }
  if (daily.empty() || !daily.back().ends_with("Service stop.") || Count(daily, "Stop monitoring pool") != 1) {
    return Fail("the daily log does not end with the stop");
  }
  if (Count(daily, "Metrics served at [" + url + "]") != 1) return Fail("the daily log does not say the URL served");
  std::printf("sc stop Tarnwell: stopped after %d whole passes\n", passes);

  // The URL taken by another program: one line, and monitoring goes on.
  {
    auto holder = tarnwell::platform::win32::ServeHttp(url, [](const tarnwell::platform::HttpRequest&) {
      return tarnwell::platform::HttpResponse{};
    });
    if (!Sc(L"start Tarnwell")) return Fail("sc start Tarnwell, the URL taken");
    service = ServiceProcess();
    const int before = Passes(logDir);
    if (!service || !WaitFor(service.get(), [&] { return Passes(logDir) >= before + 2; })) {
      return Fail("the service did not monitor while its URL was taken");
    }
    const std::string taken = "Metrics cannot be served at [" + url +
                              "]: the URL is registered already, by another program or another Tarnwell. "
                              "Monitoring goes on.";
    if (Count(Lines(ReadMatching(logDir, L"trnw??????.log")), taken) != 1) return Fail(("not said: " + taken).c_str());
    if (!Sc(L"stop Tarnwell") || ::WaitForSingleObject(service.get(), kPatienceMs) != WAIT_OBJECT_0) {
      return Fail("the service did not stop, the URL taken");
    }
    std::printf("the URL taken: said once, and monitoring went on\n");
  }

  // A bad setting: the service stops at once, with one line and its own exit code.
  tarnwell::testutil::WriteFile(dir + L"tarnwell-service.ini", "interval = soon\r\n");
  Sc(L"start Tarnwell");  // may answer that it failed: what counts is the service's own end
  if (!WaitFor(worker.info.hProcess, [] { return Status().dwCurrentState == SERVICE_STOPPED && Status().dwWin32ExitCode != NO_ERROR; })) {
    return Fail("a bad setting did not stop the service with an exit code");
  }
  const SERVICE_STATUS_PROCESS refused = Status();
  const std::vector<std::string> after = Lines(ReadMatching(logDir, L"trnw??????.log"));
  if (refused.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR || refused.dwServiceSpecificExitCode != 1 ||
      Count(after, "line 1: interval [soon] is not a number of minutes (0 to 999). The service stops.") != 1) {
    return Fail("the bad setting's stop is not said");
  }
  std::printf("a bad setting: stopped with the service's exit code 1\n");

  if (!Says(exe, L"--uninstall-service", 0, "Removed the Tarnwell service")) return 1;
  if (!EventMessageFile().empty()) return Fail("the event source stayed registered");
  if (!Says(exe, L"--uninstall-service", 1, "The Tarnwell service is not installed.")) return 1;
  std::printf("service smoke: all seen\n");
  return 0;
}
