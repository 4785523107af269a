#pragma once
// What the service tests under wine share: the Tarnwell service's state asked of the
// service control manager, sc.exe, and the monitoring logs that its passes write.
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace tarnwell::wintest {

struct ScClose {
  void operator()(SC_HANDLE h) const noexcept { ::CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScClose>;

struct HandleClose {
  void operator()(HANDLE h) const noexcept { ::CloseHandle(h); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

// The Tarnwell service's status; all zeros (state 0) when it is not installed.
SERVICE_STATUS_PROCESS ServiceStatus();
// Stops and removes a Tarnwell service left by an earlier run that failed half-way.
void RemoveLeftService();
// sc.exe with its arguments, to its end.
bool Sc(const std::wstring& args);
// The service's process, while it runs (to wait on and read its exit code); null when none.
Handle ServiceProcess();

// The lines of a log's text; a last line without its end is marked "<cut>".
std::vector<std::string> Lines(const std::string& text);
// How many lines hold text.
int Count(const std::vector<std::string>& lines, const std::string& text);
// The monitoring-log lines of pool ("\tShopPool\t") in logDir (ending in a separator).
int PoolLines(const std::wstring& logDir, const std::string& pool);
// Checks that the service's passes over one pool are whole in logDir after its stop: every
// monitoring-log line has its ten fields and its end, one line of the pool per pass, at
// least minPasses, and the daily log ends with the stop. Empty when so, else what is wrong;
// passes: how many passes the daily log counts.
std::string WholePasses(const std::wstring& logDir, const std::string& pool, int minPasses, int& passes);

// tests/win32/smoke/prometheus_scrape.sh (its Linux path) run to its end by wine's own Unix
// spawn while the service serves url: Debian's Prometheus scrapes it until it holds pool's
// processor figure under pid, and promtool checks the page. Empty when so, else what failed.
std::string ScrapeWithPrometheus(const std::string& script, const std::string& url, const std::string& pool, DWORD pid);

}  // namespace tarnwell::wintest
