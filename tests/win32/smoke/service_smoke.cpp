// Drives tarnwell.exe's service as an administrator would, under wine: --install-service
// with a settings file that names a copy of the demo MetaBase.xml, sc start, passes over a
// worker of ShopPool (one monitoring-log line per pass) served at its http-address (a GET
// of the page and of another path, and a scrape by Debian's Prometheus when given the
// script), sc stop; a start while the URL is taken, which says so and monitors all the
// same; then a start on a bad setting, which stops the service with its exit code and one
// line; and --uninstall-service.
// The install registers tarnwell.exe as the event source's message file; the uninstall
// takes it away.
// Each answer is read from its message box, and one given with --quiet from standard
// output. Usage:
//   tarnwell_service_smoke <tarnwell.exe> <MetaBase.xml> <child.exe> [<prometheus_scrape.sh>]
// (the script by its Linux path, run through wine's Unix spawn).
// Prints what it finds; exits 0 when the service did all of it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/http_server_win32.h"
#include "platform/win32/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/service_driver.h"
#include "tests/win32/driver/window_driver.h"
#include "tests/win32/http_get.h"

using namespace tarnwell::wintest;
using tarnwell::platform::win32::ToUtf8;

namespace {

constexpr DWORD kPasses = 3;

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

// tarnwell.exe with --quiet, its standard output a file: no box, the answer in the file as
// UTF-16LE after a byte order mark, and the exit status. A box would keep it from ending.
bool SaysQuietly(const std::wstring& exe, const std::wstring& args, DWORD status, const std::wstring& says,
                 const std::wstring& outFile) {
  const std::string what = "tarnwell.exe " + ToUtf8(args);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  Handle out(::CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr));
  if (out.get() == INVALID_HANDLE_VALUE) return Fail(("cannot write " + ToUtf8(outFile)).c_str()) == 0;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = out.get();
  std::wstring line = L"\"" + exe + L"\" " + args;
  Process run;
  if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &run.info)) {
    return Fail(("starting " + what).c_str()) == 0;
  }
  DWORD got = 0;
  if (::WaitForSingleObject(run.info.hProcess, kPatienceMs) != WAIT_OBJECT_0 || !::GetExitCodeProcess(run.info.hProcess, &got)) {
    return Fail((what + ": no end (a box?)").c_str()) == 0;
  }
  out.reset();
  const std::wstring expected = L"\uFEFF" + says + L"\r\n";
  const std::string bytes = tarnwell::testutil::ReadAll(outFile);
  const std::string_view expectedBytes(reinterpret_cast<const char*>(expected.data()), expected.size() * sizeof(wchar_t));
  if (got != status || bytes != expectedBytes) {
    return Fail((what + ": exit status " + std::to_string(got) + ", " + std::to_string(bytes.size()) + " bytes out").c_str()) == 0;
  }
  std::printf("%s: %s\n", what.c_str(), ToUtf8(says).c_str());
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
  if (!WaitFor(service.get(), [&] { return PoolLines(logDir, "ShopPool") >= static_cast<int>(kPasses); })) {
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
    const std::string scraped = ScrapeWithPrometheus(ToUtf8(argv[4]), "http://127.0.0.1:" + std::to_string(port) + "/metrics/",
                                                     "ShopPool", worker.info.dwProcessId);
    if (!scraped.empty()) return Fail(scraped.c_str());
  }

  // A process that reports "stopped" may be ended at once: it must end cleanly either way
  // (it once unlocked a mutex that was gone, and died of it).
  const auto endedCleanly = [&service] {
    DWORD code = STILL_ACTIVE;
    return ::GetExitCodeProcess(service.get(), &code) && code == 0;
  };
  if (!Sc(L"stop Tarnwell")) return Fail("sc stop Tarnwell");
  if (::WaitForSingleObject(service.get(), kPatienceMs) != WAIT_OBJECT_0) return Fail("the service did not stop");
  if (!endedCleanly()) return Fail("the service's process did not end cleanly");
  const SERVICE_STATUS_PROCESS stopped = ServiceStatus();
  if (stopped.dwCurrentState != SERVICE_STOPPED || stopped.dwWin32ExitCode != NO_ERROR) {
    return Fail(("stopped with state " + std::to_string(stopped.dwCurrentState) + ", exit " +
                 std::to_string(stopped.dwWin32ExitCode)).c_str());
  }
  int passes = 0;
  if (const std::string broken = WholePasses(logDir, "ShopPool", static_cast<int>(kPasses), passes); !broken.empty()) {
    return Fail(broken.c_str());
  }
  if (Count(Lines(ReadMatching(logDir, L"trnw??????.log")), "Metrics served at [" + url + "]") != 1) {
    return Fail("the daily log does not say the URL served");
  }
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
    if (!endedCleanly()) return Fail("the service's process did not end cleanly, the URL taken");
    std::printf("the URL taken: said once, and monitoring went on\n");
  }

  // A bad setting: the service stops at once, with one line and its own exit code.
  tarnwell::testutil::WriteFile(dir + L"tarnwell-service.ini", "interval = soon\r\n");
  Sc(L"start Tarnwell");  // may answer that it failed: what counts is the service's own end
  const auto refusedToRun = [] {
    const SERVICE_STATUS_PROCESS now = ServiceStatus();
    return now.dwCurrentState == SERVICE_STOPPED && now.dwWin32ExitCode != NO_ERROR;
  };
  if (!WaitFor(worker.info.hProcess, refusedToRun)) {
    return Fail("a bad setting did not stop the service with an exit code");
  }
  const SERVICE_STATUS_PROCESS refused = ServiceStatus();
  const std::vector<std::string> after = Lines(ReadMatching(logDir, L"trnw??????.log"));
  if (refused.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR || refused.dwServiceSpecificExitCode != 1 ||
      Count(after, "line 1: interval [soon] is not a number of minutes (0 to 999). The service stops.") != 1) {
    return Fail("the bad setting's stop is not said");
  }
  std::printf("a bad setting: stopped with the service's exit code 1\n");

  if (!Says(exe, L"--uninstall-service", 0, "Removed the Tarnwell service")) return 1;
  if (!EventMessageFile().empty()) return Fail("the event source stayed registered");
  if (!Says(exe, L"--uninstall-service", 1, "The Tarnwell service is not installed.")) return 1;
  if (!SaysQuietly(exe, L"--uninstall-service --quiet", 1, L"The Tarnwell service is not installed.", dir + L"answer.txt")) {
    return 1;
  }
  std::printf("service smoke: all seen\n");
  return 0;
}
