#include "tests/win32/driver/service_driver.h"

#include <algorithm>

#include "platform/win32/native.h"
#include "tests/win32/driver/window_driver.h"

namespace tarnwell::wintest {

SERVICE_STATUS_PROCESS ServiceStatus() {
  SERVICE_STATUS_PROCESS status{};
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(scm ? ::OpenServiceW(scm.get(), L"Tarnwell", SERVICE_QUERY_STATUS) : nullptr);
  DWORD needed = 0;
  if (service) {
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  }
  return status;
}

void RemoveLeftService() {
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScHandle service(scm ? ::OpenServiceW(scm.get(), L"Tarnwell", SERVICE_STOP | DELETE) : nullptr);
  if (!service) return;
  SERVICE_STATUS status{};
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  ::DeleteService(service.get());
}

bool Sc(const std::wstring& args) {
  wchar_t dir[MAX_PATH] = {};
  ::GetSystemDirectoryW(dir, MAX_PATH);
  Process sc;
  return Start(std::wstring(dir) + L"\\sc.exe", args, sc) &&
         ::WaitForSingleObject(sc.info.hProcess, kPatienceMs) == WAIT_OBJECT_0;
}

Handle ServiceProcess() {
  const DWORD pid = ServiceStatus().dwProcessId;
  return Handle(pid != 0 ? ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid) : nullptr);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      out.push_back(text.substr(at) + "<cut>");
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

int PoolLines(const std::wstring& logDir, const std::string& pool) {
  return Count(Lines(ReadMatching(logDir, L"trnw-mon-*.log")), "\t" + pool + "\t");
}

std::string WholePasses(const std::wstring& logDir, const std::string& pool, int minPasses, int& passes) {
  const std::vector<std::string> monitoring = Lines(ReadMatching(logDir, L"trnw-mon-*.log"));
  const std::vector<std::string> daily = Lines(ReadMatching(logDir, L"trnw??????.log"));
  for (const std::string& line : monitoring) {
    if (line.starts_with('#')) continue;
    if (line.ends_with("<cut>") || std::count(line.begin(), line.end(), '\t') != 9) {
      return "a monitoring-log line is not whole: " + line;
    }
  }
  passes = Count(daily, "Monitoring pools : 1");
  const int lines = PoolLines(logDir, pool);
  if (lines != passes || passes < minPasses) {
    return pool + " lines " + std::to_string(lines) + " for " + std::to_string(passes) + " passes";
  }
  if (daily.empty() || !daily.back().ends_with("Service stop.") || Count(daily, "Stop monitoring pool") != 1) {
    return "the daily log does not end with the stop";
  }
  return {};
}

std::string ScrapeWithPrometheus(const std::string& script, const std::string& url, const std::string& pool, DWORD pid) {
  using Spawn = LONG(CDECL*)(char* const*, int);
  const FARPROC address = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp");
  if (address == nullptr) return "no wine to run " + script;
  std::vector<std::string> argv{script, url, pool, std::to_string(pid)};
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const LONG status = platform::win32::NativeCast<Spawn>(address)(args.data(), 1);
  return status == 0 ? std::string() : "the Prometheus scrape of " + url + " failed: " + std::to_string(status);
}

}  // namespace tarnwell::wintest
