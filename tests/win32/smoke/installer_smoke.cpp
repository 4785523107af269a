// Drives the installer as a farm's deployment script would, under wine: a silent install
// with the service and its settings (a copy of the demo MetaBase.xml, the pool ShopPool),
// sc start with a worker of ShopPool running, passes in the monitoring log, sc stop, and a
// silent uninstall that removes the service and the program and keeps the logs; then an
// install without the service and an uninstall that takes the logs too. With the script,
// Debian's Prometheus scrapes the service's http-address while it runs. Usage:
//   tarnwell_installer_smoke <tarnwell-setup.exe> <MetaBase.xml> <child.exe> [<prometheus_scrape.sh>]
// (the script by its Linux path, run through wine's Unix spawn).
// Prints what it finds; exits 0 when the installer did all of it.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "platform/win32/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/service_driver.h"
#include "tests/win32/driver/window_driver.h"
#include "tests/win32/http_get.h"

using namespace tarnwell::wintest;
using tarnwell::platform::win32::ToUtf8;

namespace {

constexpr int kPasses = 3;
constexpr const wchar_t* kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnwell";

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A program run to its end; its exit status, or what happened.
bool RunToEnd(const std::wstring& exe, const std::wstring& args, DWORD& status) {
  Process run;
  if (!Start(exe, args, run)) return false;
  if (::WaitForSingleObject(run.info.hProcess, kPatienceMs) != WAIT_OBJECT_0) return false;
  return ::GetExitCodeProcess(run.info.hProcess, &status) != 0;
}

// A value of the uninstaller's Add/Remove Programs key; empty when none.
std::wstring UninstallValue(const wchar_t* name) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  wchar_t value[1024] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LONG read = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_SZ ? std::wstring(value) : std::wstring();
}

std::wstring StartMenuShortcut() {
  wchar_t programs[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
  return std::wstring(programs) + L"\\Tarnwell\\Tarnwell.lnk";
}

// The uninstaller, run as it runs itself: a copy outside the folder it empties, told that
// folder with _?=, so that its end is the uninstall's end.
bool Uninstall(const std::wstring& installDir, const std::wstring& copy, const std::wstring& switches) {
  if (!::CopyFileW((installDir + L"\\uninstall.exe").c_str(), copy.c_str(), FALSE)) return Fail("no uninstall.exe") == 0;
  DWORD status = 1;
  const bool ran = RunToEnd(copy, switches + L" _?=" + installDir, status);
  ::DeleteFileW(copy.c_str());
  if (!ran || status != 0) return Fail(("uninstall.exe " + ToUtf8(switches) + ": exit " + std::to_string(status)).c_str()) == 0;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return Fail("usage: tarnwell_installer_smoke <tarnwell-setup.exe> <MetaBase.xml> <child.exe>");
  RemoveLeftService();
  const tarnwell::testutil::TempDir temp{tarnwell::testutil::kNonAsciiName};
  const std::wstring dir = temp.Path().wstring() + L"\\";
  const std::wstring installDir = dir + L"Program Files\\Tarnwell";
  const std::wstring logDir = installDir + L"\\log\\";
  const std::wstring textfileDir = dir + L"prom";
  if (!::CopyFileW(argv[2], (dir + L"MetaBase.xml").c_str(), FALSE) ||
      !::CopyFileW(argv[3], (dir + L"w3wp.exe").c_str(), FALSE) || !::CreateDirectoryW(textfileDir.c_str(), nullptr)) {
    return Fail("copying the store and the worker");
  }

  // Values that hold a space or a "/" are quoted, as GetOptions reads them; /D= goes last.
  DWORD status = 1;
  const std::string url = "http://+:" + std::to_string(FreeLoopbackPort()) + "/metrics/";
  const std::wstring install = L"/S /POOLS=^ShopPool$ /INTERVAL=0 /TEXTFILE=\"" + textfileDir + L"\" /HTTP=\"" +
                               tarnwell::platform::win32::FromUtf8(url) + L"\" /METABASE=\"" + dir + L"MetaBase.xml\" /D=" +
                               installDir;
  if (!RunToEnd(argv[1], install, status) || status != 0) {
    return Fail(("tarnwell-setup " + ToUtf8(install) + ": exit " + std::to_string(status)).c_str());
  }
  // The settings reach the service as UTF-8, whatever the code page.
  const std::string settings = "# Written by the Tarnwell installer.\r\npools = ^ShopPool$\r\ninterval = 0\r\ntextfile-dir = " +
                               ToUtf8(textfileDir) + "\r\nhttp-address = " + url + "\r\nmetabase = " + ToUtf8(dir) +
                               "MetaBase.xml\r\n";
  if (tarnwell::testutil::ReadAll(installDir + L"\\tarnwell-service.ini") != settings) {
    return Fail(("the settings beside tarnwell.exe: " + tarnwell::testutil::ReadAll(installDir + L"\\tarnwell-service.ini")).c_str());
  }
  if (!Exists(installDir + L"\\tarnwell.exe") || !Exists(StartMenuShortcut()) ||
      UninstallValue(L"UninstallString") != L"\"" + installDir + L"\\uninstall.exe\"") {
    return Fail("the program, its shortcut or its uninstaller's registration is missing");
  }
  if (ServiceStatus().dwCurrentState != SERVICE_STOPPED) return Fail("the service is not installed, or runs already");
  std::printf("tarnwell-setup /S /POOLS /INTERVAL /TEXTFILE /HTTP /METABASE: installed, the service stopped\n");

  Process worker;
  if (!Start(dir + L"w3wp.exe", L"-ap \"ShopPool\"", worker)) return Fail("starting w3wp.exe -ap \"ShopPool\"");
  if (!Sc(L"start Tarnwell")) return Fail("sc start Tarnwell");
  Handle service = ServiceProcess();
  if (!service) return Fail("the service does not run after sc start");
  const auto monitors = [&] { return PoolLines(logDir, "ShopPool") >= kPasses && Exists(textfileDir + L"\\tarnwell.prom"); };
  if (!WaitFor(service.get(), monitors)) {
    return Fail(("no passes in the monitoring log or tarnwell.prom: " + ReadMatching(logDir, L"trnw??????.log")).c_str());
  }
  if (argc > 4) {
    std::string scrape = url;
    scrape.replace(scrape.find('+'), 1, "127.0.0.1");
    if (const std::string failed = ScrapeWithPrometheus(ToUtf8(argv[4]), scrape, "ShopPool", worker.info.dwProcessId);
        !failed.empty()) {
      return Fail(failed.c_str());
    }
    std::printf("Prometheus scraped %s: ShopPool's processor figure under its worker's id\n", scrape.c_str());
  }
  if (!Sc(L"stop Tarnwell")) return Fail("sc stop Tarnwell");
  if (::WaitForSingleObject(service.get(), kPatienceMs) != WAIT_OBJECT_0) return Fail("the service did not stop");
  int passes = 0;
  if (const std::string broken = WholePasses(logDir, "ShopPool", kPasses, passes); !broken.empty()) return Fail(broken.c_str());
  std::printf("sc start, sc stop: %d whole passes\n", passes);

  const std::string logs = ReadMatching(logDir, L"*.log");
  if (!Uninstall(installDir, dir + L"uninstall copy.exe", L"/S")) return 1;
  if (ServiceStatus().dwCurrentState != 0) return Fail("the service stayed installed");
  if (Exists(installDir + L"\\tarnwell.exe") || Exists(installDir + L"\\tarnwell-service.ini") ||
      Exists(installDir + L"\\uninstall.exe") || Exists(StartMenuShortcut()) || !UninstallValue(L"DisplayName").empty()) {
    return Fail("the uninstall left the program, its settings, its shortcut or its registration");
  }
  if (ReadMatching(logDir, L"*.log") != logs) return Fail("the uninstall did not keep the logs");
  std::printf("uninstall.exe /S: the service and the program removed, the logs kept\n");

  // Without the service, and an uninstall asked to take the logs too: nothing stays.
  if (!RunToEnd(argv[1], L"/S /D=" + installDir, status) || status != 0) return Fail("tarnwell-setup /S: no install");
  if (ServiceStatus().dwCurrentState != 0 || Exists(installDir + L"\\tarnwell-service.ini")) {
    return Fail("an install without /SERVICE installed the service");
  }
  if (!Uninstall(installDir, dir + L"uninstall copy.exe", L"/S /REMOVELOGS")) return 1;
  if (Exists(installDir)) {
    std::string left;
    for (const std::wstring& name : Names(installDir + L"\\")) left += " " + ToUtf8(name);
    return Fail(("uninstall.exe /S /REMOVELOGS left the folder with" + left).c_str());
  }
  std::printf("tarnwell-setup /S, uninstall.exe /S /REMOVELOGS: nothing left\n");
  std::printf("installer smoke: all seen\n");
  return 0;
}
