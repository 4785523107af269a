// The whole job in tarnwell.exe under wine, through the ADSI calls a server answers: the
// web-service stand-in w3svc.exe runs the demo's server on a copy of its MetaBase.xml, with
// the demo's load profile, and tarnwell.exe (IIS_METABASE unset) binds IIS://localhost
// through the stand-in provider registered in the prefix. Driven with the mouse and the
// keyboard only: F5, the tick a click puts in the pool list, Start, the Analyse tab, the
// threshold typed in, Start and Stop of the analysis. Three analyses of ShopPool: stopped
// with Stop, ended by TerminateProcess while measuring (the next start puts the file back),
// ended by closing the window. Usage:
//   tarnwell_analyse_story <tarnwell.exe> <w3svc.exe> <MetaBase.xml> <load profile>
// w3wp.exe lies beside w3svc.exe. Prints what it finds; exits 0 when all of it held.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/win32/Win32Ids.h"
#include "iis/iis_workers.h"
#include "platform/win32/process_system_win32.h"
#include "platform/win32/text.h"
#include "tasks/AnalysePool.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/window_driver.h"

using namespace tarnwell::win32ui;
using namespace tarnwell::wintest;
using tarnwell::platform::win32::ToUtf8;

namespace {

const char kCart[] = "/LM/W3SVC/2/ROOT/cart/";
// The cart burns about 70 percent of a processor, the shop's other applications 5 each. A
// machine busy with other work (wine's processes run at no raised priority) has been seen
// to give the cart a quarter of that; twice the others' figure still tells them apart.
const wchar_t kThreshold[] = L"12";
constexpr int kFloor = 12;

struct Story {
  std::wstring appDir, store, logDir;
  std::string original;
  std::unique_ptr<tarnwell::platform::IProcessSystem> processes = tarnwell::platform::win32::OpenWin32ProcessSystem();

  // The workers running now, by pool.
  std::map<std::string, DWORD> Workers() {
    std::map<std::string, DWORD> workers;
    std::vector<tarnwell::platform::ProcessEntry> entries;
    if (!processes->Snapshot(entries)) return workers;
    for (const auto& entry : entries) {
      if (::lstrcmpiW(tarnwell::platform::win32::FromUtf8(entry.exeName).c_str(), L"w3wp.exe") != 0) continue;
      const std::string pool = tarnwell::ExtractPoolName(tarnwell::GetProcessCommandLine(*processes, entry.pid));
      if (!pool.empty()) workers[pool] = entry.pid;
    }
    return workers;
  }
  bool StoreIsOriginal() const { return tarnwell::testutil::ReadAll(store) == original; }
  std::string Analyses() const { return ReadMatching(logDir, L"trnw-ans-*.log"); }
  std::string Daily() const { return ReadMatching(logDir, L"trnw??????.log"); }
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// What the box holds replaced by text, typed as the keyboard types it.
bool Retype(HANDLE program, HWND box, const std::wstring& text) {
  ClickOn(box);
  Type({{VK_HOME, true}, {VK_HOME, false}, {VK_SHIFT, true}, {VK_END, true}, {VK_END, false}, {VK_SHIFT, false}});
  for (const wchar_t key : text) Type({{static_cast<WORD>(key), true}, {static_cast<WORD>(key), false}});
  return WaitFor(program, [&] {
    wchar_t now[32] = {};
    ::SendMessageW(box, WM_GETTEXT, 32, reinterpret_cast<LPARAM>(now));  // the edit's text, not its caption
    return text == now;
  });
}

// tarnwell.exe up, its window in front; F5 lists the nine pools.
const char* Open(Story& story, Process& program, HWND& main) {
  if (!Start(story.appDir + L"tarnwell.exe", L"", program)) return "starting tarnwell.exe";
  ::WaitForInputIdle(program.info.hProcess, kPatienceMs);
  if (!WaitFor(program.info.hProcess, [&] { return (main = FindMainWindow(program.info.dwProcessId)) != nullptr; })) {
    return "the main window";
  }
  ::SetForegroundWindow(main);
  const std::size_t before = Count(story.Daily(), "Pools: 9");
  Type({{VK_F5, true}, {VK_F5, false}});
  HWND pools = ::GetDlgItem(main, kIdPools);
  if (!WaitFor(program.info.hProcess, [&] { return ::SendMessageW(pools, LVM_GETITEMCOUNT, 0, 0) == 9; })) {
    return "F5: the pool list never had 9 rows";
  }
  if (!WaitFor(program.info.hProcess, [&] { return Count(story.Daily(), "Pools: 9") > before; })) {
    return "F5: the daily log never said \"Pools: 9\"";
  }
  return nullptr;
}

// ShopPool ticked and monitored; its worker's line in the monitoring log (checked once:
// checkLine), then the analysis of ShopPool started from the Analyse tab, returning once
// its three applications sit in temporary pools and the pool's own worker has ended.
const char* Analyse(Story& story, const Process& program, HWND main, bool checkLine) {
  HWND pools = ::GetDlgItem(main, kIdPools);
  HWND start = ::GetDlgItem(main, kIdStart);
  if (::IsWindowEnabled(start) != 0) return "Start was enabled with no pool ticked";
  if (!TickRow(program.info.hProcess, pools, L"ShopPool")) return "no ShopPool row to tick";
  const int row = FindRow(program.info.hProcess, pools, L"ShopPool");
  const auto ticked = [&] { return ::SendMessageW(pools, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2); };
  if (!WaitFor(program.info.hProcess, ticked)) return "a click on ShopPool's tick box did not tick it";
  if (!WaitFor(program.info.hProcess, [&] { return ::IsWindowEnabled(start) != 0; })) return "ticking ShopPool left Start greyed";
  const DWORD worker = story.Workers()["ShopPool"];
  if (worker == 0) return "no worker of ShopPool before Start";
  // Passes back to back, as an administrator watching one pool sets them.
  if (!Retype(program.info.hProcess, ::GetDlgItem(main, kIdMinutes), L"0")) return "the interval box did not take the keys";
  ClickOn(start);
  if (checkLine) {
    // "stamp TAB ShopPool TAB apps TAB RAM TAB CPU ... TAB pid". Any pass may show the
    // burn: on a busy machine one pass can find the worker without a processor.
    const std::regex line("\\tShopPool\\t3\\t\\d+\\t(\\d+)\\t[^\\r]*\\t" + std::to_string(worker) + "\\r\\n");
    int cpu = -1;
    std::string mon;
    const bool burning = WaitFor(program.info.hProcess, [&] {
      mon = ReadMatching(story.logDir, L"trnw-mon-*.log");
      for (std::sregex_iterator it(mon.begin(), mon.end(), line), end; it != end; ++it) {
        cpu = std::max(cpu, std::stoi((*it)[1]));
      }
      return cpu >= kFloor;
    });
    if (!burning) {
      std::printf("monitoring log:\n%s\n", mon.c_str());
      return cpu < 0 ? "monitoring: no ShopPool line with its worker's id"
                     : "monitoring: ShopPool's processor figure never showed the cart's burn";
    }
    std::printf("monitoring: ShopPool, worker %lu, CPU %d\n", worker, cpu);
  }
  HWND tree = ::GetDlgItem(main, kIdTree);
  if (!WaitFor(program.info.hProcess, [&] { return ::SendMessageW(tree, TVM_GETCOUNT, 0, 0) > 0; })) {
    return "monitoring: the tree stayed empty";
  }

  HWND tabs = ::GetDlgItem(main, kIdTabs);
  ClickTab(program.info.hProcess, tabs, kTabAnalyse);
  if (::SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != kTabAnalyse) return "the Analyse tab refused the click";
  if (!Retype(program.info.hProcess, ::GetDlgItem(main, kIdAnalyseCpu), kThreshold)) return "Analyse: the threshold box did not take the keys";
  HWND list = ::GetDlgItem(main, kIdAnalyseList);
  if (!WaitFor(program.info.hProcess, [&] { return FindRow(program.info.hProcess, list, L"ShopPool") >= 0; })) {
    return "Analyse: no ShopPool row";
  }
  SelectRow(program.info.hProcess, list, L"ShopPool");
  HWND analyse = ::GetDlgItem(main, kIdAnalyseStart);
  if (!WaitFor(program.info.hProcess, [&] { return ::IsWindowEnabled(analyse) != 0; })) {
    return "Analyse: Start stayed greyed with ShopPool selected";
  }
  const std::size_t before = Count(story.Analyses(), std::string("] in pool [") + tarnwell::kTempPoolPrefix);
  ClickOn(analyse);
  if (!WaitFor(program.info.hProcess, [&] {
        return Count(story.Analyses(), std::string("] in pool [") + tarnwell::kTempPoolPrefix) == before + 3 &&
               story.Workers()["ShopPool"] != worker;
      })) {
    return "Analyse: the applications never reached temporary pools, or the pool's worker never ended";
  }
  if (story.StoreIsOriginal()) return "Analyse: MetaBase.xml unchanged";
  std::printf("Analyse: ShopPool's applications in temporary pools\n");
  return nullptr;
}

// The server as before: the file byte for byte, no temporary pool's worker, and a worker of
// ShopPool that w3svc.exe started again.
const char* ServerAsBefore(Story& story, HANDLE service) {
  if (!story.StoreIsOriginal()) return "MetaBase.xml is not the original";
  const bool settled = WaitFor(service, [&] {
    const auto workers = story.Workers();
    return workers.count("ShopPool") != 0 &&
           std::none_of(workers.begin(), workers.end(), [](const auto& w) { return w.first.rfind(tarnwell::kTempPoolPrefix, 0) == 0; });
  });
  return settled ? nullptr : "a temporary pool's worker is left, or ShopPool has no worker again";
}

const char* CloseAndExit(const Process& program, HWND main) {
  ::PostMessageW(main, WM_CLOSE, 0, 0);  // the frame's Close
  DWORD code = 1;
  if (::WaitForSingleObject(program.info.hProcess, kPatienceMs) != WAIT_OBJECT_0) return "still running after Close";
  ::GetExitCodeProcess(program.info.hProcess, &code);
  return code == 0 ? nullptr : "Close: exit code not 0";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) return Fail("usage: tarnwell_analyse_story <tarnwell.exe> <w3svc.exe> <MetaBase.xml> <load profile>");
  const tarnwell::testutil::TempDir temp;  // removed after the processes end
  const std::wstring dir = temp.Path().wstring() + L"\\";
  Story story;
  story.appDir = dir + L"app\\";
  story.logDir = story.appDir + L"log\\";
  story.store = dir + L"MetaBase.xml";
  if (!::CreateDirectoryW(story.appDir.c_str(), nullptr) ||
      !::CopyFileW(argv[1], (story.appDir + L"tarnwell.exe").c_str(), FALSE) ||
      !::CopyFileW(argv[3], story.store.c_str(), FALSE)) {
    return Fail("copying the program and the store");
  }
  story.original = tarnwell::testutil::ReadAll(story.store);
  // The program binds IIS://localhost through ADSI; the provider serves this file.
  ::SetEnvironmentVariableW(L"IIS_METABASE", nullptr);
  ::SetEnvironmentVariableW(L"TARNWELL_STANDIN_METABASE", story.store.c_str());

  Process service;
  if (!Start(argv[2], L"--metabase \"" + story.store + L"\" --profile \"" + argv[4] + L"\"", service)) {
    return Fail("starting w3svc.exe");
  }
  if (!WaitFor(service.info.hProcess, [&] { return story.Workers().count("ShopPool") != 0; })) {
    return Fail("w3svc.exe started no worker of ShopPool");
  }
  std::printf("w3svc.exe: ShopPool's worker %lu\n", story.Workers()["ShopPool"]);

  // Stopped with Stop: the cart, and only above the others, in each measurement's reports.
  {
    Process program;
    HWND main = nullptr;
    if (const char* failed = Open(story, program, main)) return Fail(failed);
    std::printf("F5: Pools: 9\n");
    if (const char* failed = Analyse(story, program, main, true)) return Fail(failed);
    // Two measurements' reports of the cart: the first may still hold the new workers' start.
    if (!WaitFor(program.info.hProcess, [&] { return Count(story.Analyses(), std::string("AppPath: [") + kCart + "]") >= 2; })) {
      std::printf("analyses log:\n%s\n", story.Analyses().c_str());
      return Fail("Analyse: the cart was never reported twice");
    }
    ClickOn(::GetDlgItem(main, kIdAnalyseStop));
    if (!WaitFor(program.info.hProcess, [&] { return story.Analyses().find("End analyse of pool: ShopPool") != std::string::npos; })) {
      return Fail("Stop: the analysis never ended");
    }
    // The cart and nothing else once the workers have started: the shop's other applications
    // burn a fraction of the threshold. A measurement reports in the order the applications
    // were moved, so a report not after the one before begins the next measurement's. In
    // the first, a worker's start under wine (a few hundred milliseconds of processor) can
    // carry any application over the threshold.
    const std::string analyses = story.Analyses();
    std::vector<std::string> moved;
    const std::regex transfer(R"(Created temp\. application pool: \[[^\]]+\] for app\. \[([^\]]+)\])");
    for (std::sregex_iterator it(analyses.begin(), analyses.end(), transfer), end; it != end; ++it) moved.push_back((*it)[1]);
    const std::regex overload(R"(OVERLOAD CPU: \[\d+\] in pool \[[^\]]+\]\. Site: [^\r]*AppPath: \[([^\]]+)\])");
    int measurement = 0;
    std::size_t last = moved.size();
    for (std::sregex_iterator it(analyses.begin(), analyses.end(), overload), end; it != end; ++it) {
      const std::size_t at = static_cast<std::size_t>(std::find(moved.begin(), moved.end(), (*it)[1].str()) - moved.begin());
      if (at <= last) ++measurement;
      last = at;
      if ((*it)[1] != kCart && (measurement > 1 || at == moved.size())) {
        std::printf("analyses log:\n%s\n", analyses.c_str());
        return Fail(("Analyse: reported besides the cart: " + (*it)[1].str()).c_str());
      }
    }
    std::printf("Analyse: the cart reported, and no other application\n");
    if (const char* failed = ServerAsBefore(story, service.info.hProcess)) return Fail(failed);
    std::printf("Stop: MetaBase.xml the original, ShopPool's worker started again\n");
    if (const char* failed = CloseAndExit(program, main)) return Fail(failed);
  }

  // Ended by TerminateProcess while measuring: the next start puts the file back.
  {
    Process program;
    HWND main = nullptr;
    if (const char* failed = Open(story, program, main)) return Fail(failed);
    if (const char* failed = Analyse(story, program, main, false)) return Fail(failed);
    ::TerminateProcess(program.info.hProcess, 9);
    ::WaitForSingleObject(program.info.hProcess, kPatienceMs);
    if (story.StoreIsOriginal()) return Fail("killed: MetaBase.xml already the original");
    Process next;
    HWND nextMain = nullptr;
    if (!Start(story.appDir + L"tarnwell.exe", L"", next)) return Fail("starting tarnwell.exe again");
    if (!WaitFor(next.info.hProcess, [&] { return story.Daily().find("Recovery: complete") != std::string::npos; })) {
      return Fail("the next start: no \"Recovery: complete\"");
    }
    if (!WaitFor(next.info.hProcess, [&] { return (nextMain = FindMainWindow(next.info.dwProcessId)) != nullptr; })) {
      return Fail("the next start: no window");
    }
    if (const char* failed = ServerAsBefore(story, service.info.hProcess)) return Fail(failed);
    std::printf("killed while measuring: the next start put MetaBase.xml back\n");
    if (const char* failed = CloseAndExit(next, nextMain)) return Fail(failed);
  }

  // Ended by closing the window: everything back before the process ends, exit code 0.
  {
    Process program;
    HWND main = nullptr;
    if (const char* failed = Open(story, program, main)) return Fail(failed);
    if (const char* failed = Analyse(story, program, main, false)) return Fail(failed);
    if (const char* failed = CloseAndExit(program, main)) return Fail(failed);
    if (!story.StoreIsOriginal()) return Fail("closed during an analysis: MetaBase.xml is not the original");
    if (const char* failed = ServerAsBefore(story, service.info.hProcess)) return Fail(failed);
    std::printf("closed during an analysis: MetaBase.xml back before the end, exit code 0\n");
  }
  std::printf("PASSED\n");
  return 0;
}
