// Drives tarnwell.exe as an administrator would, under wine in Xvfb: a mistyped option, the
// version and the help, each read from its message box and closed with OK; then F5 on a
// copy of the demo MetaBase.xml, monitoring of every pool while a worker of ShopPool runs,
// with the figures written to the folder --textfile-dir names and served at the URL
// --listen names (http://localhost:PORT/metrics/), a picture of each tab, an
// analysis of ShopPool ended by the session's end, and File > Exit; then a second run whose
// analysis is closed twice at once. The program, the store and the textfile folder are in
// folders named outside ASCII, where a path that went through the ANSI code page would
// miss. Usage:
//   tarnwell_window_smoke <tarnwell.exe> <MetaBase.xml> <child.exe> [picture folder]
// Prints what it finds; exits 0 when the program did all of it.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/win32/Win32Ids.h"
#include "platform/win32/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/window_driver.h"
#include "tests/win32/http_get.h"

using namespace tarnwell::win32ui;
using namespace tarnwell::wintest;

namespace {

// Help > About..., shown modally; null when it does not show.
HWND OpenAbout(const Process& program, HWND main) {
  ::PostMessageW(main, WM_COMMAND, kIdAbout, 0);
  HWND about = nullptr;
  const bool shown = WaitFor(program.info.hProcess, [&] {
    about = ::FindWindowW(kAboutClass, nullptr);
    return about != nullptr && ::IsWindowVisible(about);
  });
  return shown ? about : nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return Fail("usage: tarnwell_window_smoke <tarnwell.exe> <MetaBase.xml> <child.exe> [pictures]");
  const std::wstring pictures = argc > 4 ? std::wstring(argv[4]) + L"\\" : L"";

  // A fresh folder named as an administrator might name it ("... Prüfung Tärnwell"): the
  // program, its log folder beside it and the worker; the store and the textfile folder each
  // in a folder of its own, one of them outside the Latin ANSI code pages.
  const tarnwell::testutil::TempDir temp{tarnwell::testutil::kNonAsciiName};  // removed after the processes end
  const std::wstring dir = temp.Path().wstring() + L"\\";
  const std::wstring storeDir = dir + L"M\u00E9tabase \u00C4rger\\";
  const std::wstring textfileDir = dir + L"Z\u00E4hler \u5E97\\";
  if (!::CreateDirectoryW(storeDir.c_str(), nullptr) || !::CreateDirectoryW(textfileDir.c_str(), nullptr) ||
      !::CopyFileW(argv[1], (dir + L"tarnwell.exe").c_str(), FALSE) ||
      !::CopyFileW(argv[2], (storeDir + L"MetaBase.xml").c_str(), FALSE) ||
      !::CopyFileW(argv[3], (dir + L"w3wp.exe").c_str(), FALSE)) {
    return Fail("copying the program, the store and the worker");
  }

  // The command line answers in a message box, since the program has no console: the text
  // of the box (its static text has the id 0xFFFF), OK, and the exit status.
  struct Answer {
    const wchar_t* arguments;
    DWORD status;
    const char* says;
  };
  for (const Answer& answer : {Answer{L"--bogus extra", 2, "tarnwell.exe: unknown option --bogus\nusage: tarnwell.exe "},
                               Answer{L"--textfile-dir", 2, "tarnwell.exe: --textfile-dir needs a folder\n"},
                               Answer{L"--version", 0, "Tarnwell " TARNWELL_VERSION "\n"},
                               Answer{L"/?", 0, "usage: tarnwell.exe "}}) {
    const std::string what = std::string("tarnwell.exe ").append(tarnwell::platform::win32::ToUtf8(answer.arguments));
    std::string text;
    DWORD status = 0;
    if (!AnswerInBox(dir + L"tarnwell.exe", answer.arguments, text, status)) return Fail((what + ": " + text).c_str());
    if (text.rfind(answer.says, 0) != 0) return Fail((what + ": the box says \"" + text + "\"").c_str());
    if (status != answer.status) return Fail((what + ": exit status " + std::to_string(status)).c_str());
    std::printf("%s: a box, OK, exit status %lu\n", what.c_str(), status);
  }
  if (!IsEmpty(dir + L"log\\")) return Fail("the command line's answers wrote to the log folder");

  // --textfile-dir names the folder over TARNWELL_TEXTFILE_DIR; a name with a space and
  // letters beyond ASCII reaches the program and the file system intact.
  const std::wstring environmentTextfiles = dir + L"environment\\";
  const unsigned short port = FreeLoopbackPort();
  if (!::CreateDirectoryW(environmentTextfiles.c_str(), nullptr)) {
    return Fail("making the textfile folders");
  }
  ::SetEnvironmentVariableW(L"TARNWELL_TEXTFILE_DIR", environmentTextfiles.c_str());

  const std::string original = tarnwell::testutil::ReadAll(storeDir + L"MetaBase.xml");
  const std::wstring logDir = dir + L"log\\";
  ::SetEnvironmentVariableW(L"IIS_METABASE", (storeDir + L"MetaBase.xml").c_str());

  // The program up with a worker of ShopPool, the pools listed by F5, every pool ticked
  // (Edit > Select all) and monitored until the worker is seen with its id.
  auto launch = [&](Process& worker, Process& program, HWND& main) -> const char* {
    if (!Start(dir + L"w3wp.exe", L"-ap \"ShopPool\"", worker)) return "starting w3wp.exe -ap \"ShopPool\"";
    const std::wstring arguments = L"--textfile-dir \"" + textfileDir.substr(0, textfileDir.size() - 1) +
                                   L"\" --listen http://localhost:" + std::to_wstring(port) + L"/metrics/";
    if (!Start(dir + L"tarnwell.exe", arguments, program)) return "starting tarnwell.exe";
    ::WaitForInputIdle(program.info.hProcess, kPatienceMs);
    if (!WaitFor(program.info.hProcess, [&] { return (main = FindMainWindow(program.info.dwProcessId)) != nullptr; })) {
      return "the main window";
    }
    std::printf("window up\n");
    // The keyboard starts in the pool list.
    if (!WaitFor(program.info.hProcess, [&] { return FocusOf(main) == ::GetDlgItem(main, kIdPools); })) {
      return "the keyboard did not start in the pool list";
    }
    // The first tab at start; Analyse greyed, its click refused, until monitoring fills it.
    HWND tabs = ::GetDlgItem(main, kIdTabs);
    if (::SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != kTabTask) return "the window did not open on the Task tab";
    ClickTab(program.info.hProcess, tabs, kTabAnalyse);
    if (::SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != kTabTask) return "a click on the greyed Analyse tab was taken";

    ::PostMessageW(main, WM_KEYDOWN, VK_F5, 0x003F0001);
    ::PostMessageW(main, WM_KEYUP, VK_F5, 0xC03F0001);
    HWND pools = ::GetDlgItem(main, kIdPools);
    if (!WaitFor(program.info.hProcess, [&] { return ::SendMessageW(pools, LVM_GETITEMCOUNT, 0, 0) == 9; })) {
      return "F5: the pool list never had 9 rows";
    }
    if (!WaitFor(program.info.hProcess, [&] { return ReadMatching(logDir, L"trnw??????.log").find("Pools: 9") != std::string::npos; })) {
      return "F5: the daily log never said \"Pools: 9\"";
    }
    std::printf("F5: Pools: 9\n");

    // Common Controls 6 (the manifest's): a click on a row's tick box ticks it, the window
    // hears of it (Start comes alive), and a second click clears it.
    for (const bool ticked : {true, false}) {
      ClickOn(::GetDlgItem(main, kIdStatus));  // else the two clicks on the box make a double click
      if (!TickRow(program.info.hProcess, pools, L"ShopPool")) return "no ShopPool row to tick";
      const int row = FindRow(program.info.hProcess, pools, L"ShopPool");
      const UINT want = INDEXTOSTATEIMAGEMASK(ticked ? 2 : 1);
      if (!WaitFor(program.info.hProcess, [&] {
            return (::SendMessageW(pools, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK) == want) &&
                   (::IsWindowEnabled(::GetDlgItem(main, kIdStart)) != 0) == ticked;
          })) {
        return ticked ? "a click on ShopPool's tick box: not ticked, or Start still greyed"
                      : "a second click on ShopPool's tick box: not cleared, or Start not greyed";
      }
    }
    std::printf("tick boxes: a click ticks and clears ShopPool\n");

    ::SendMessageW(main, WM_COMMAND, kIdSelectAll1, 0);
    HWND start = ::GetDlgItem(main, kIdStart);
    ::SendMessageW(main, WM_COMMAND, MAKEWPARAM(kIdStart, BN_CLICKED), reinterpret_cast<LPARAM>(start));
    const std::string pidEnd = "\t" + std::to_string(worker.info.dwProcessId) + "\r\n";
    std::string line;
    const bool found = WaitFor(program.info.hProcess, [&] {
      const std::string mon = ReadMatching(logDir, L"trnw-mon-*.log");
      const std::size_t at = mon.rfind("\tShopPool\t");
      if (at == std::string::npos) return false;
      const std::size_t end = mon.find("\r\n", at);
      line = mon.substr(at, end == std::string::npos ? std::string::npos : end + 2 - at);
      return line.size() >= pidEnd.size() && line.compare(line.size() - pidEnd.size(), pidEnd.size(), pidEnd) == 0;
    });
    if (!found) {
      std::printf("last ShopPool line: %s\n", line.c_str());
      return "monitoring: no ShopPool line ending in the worker's id";
    }
    std::printf("monitoring: ShopPool line with pid %lu\n", worker.info.dwProcessId);
    // The pass's figures in tarnwell.prom in the folder --textfile-dir names, else the daily
    // log's word of why not; nothing in the one TARNWELL_TEXTFILE_DIR names.
    const std::string promLine =
        "tarnwell_pool_threads{pool=\"ShopPool\",pid=\"" + std::to_string(worker.info.dwProcessId) + "\"}";
    std::string refused;
    const bool exported = WaitFor(program.info.hProcess, [&] {
      if (tarnwell::testutil::ReadAll(textfileDir + L"tarnwell.prom").find(promLine) != std::string::npos) return true;
      const std::string daily = ReadMatching(logDir, L"trnw??????.log");
      const std::size_t at = daily.find("Metrics textfile [");
      if (at != std::string::npos) refused = daily.substr(at, daily.find("\r\n", at) - at);
      return !refused.empty();
    });
    if (!exported || !refused.empty()) {
      std::printf("textfile: %s\n", refused.c_str());
      return "textfile: no figures of ShopPool's worker in tarnwell.prom";
    }
    if (!IsEmpty(environmentTextfiles)) return "--textfile-dir: TARNWELL_TEXTFILE_DIR's folder was written to";
    std::printf("--textfile-dir: tarnwell.prom with the worker's figures\n");
    // The same pass at the URL --listen names, asked for by that name.
    const HttpReply page = HttpGet(port, "/metrics/", "localhost");
    if (page.status != 200 || page.body.find(promLine) == std::string::npos) {
      std::printf("GET: %s%s%s\n", page.error.c_str(), page.headers.c_str(), page.body.c_str());
      return "--listen: the page has no figures of ShopPool's worker";
    }
    std::printf("--listen: the page with the worker's figures\n");
    // The pass's redraw reaches the window after its log line.
    HWND tree = ::GetDlgItem(main, kIdTree);
    if (!WaitFor(program.info.hProcess, [&] { return ::SendMessageW(tree, TVM_GETCOUNT, 0, 0) > 0; })) {
      return "monitoring: the tree stayed empty";
    }
    ClickTab(program.info.hProcess, tabs, kTabAnalyse);
    if (::SendMessageW(tabs, TCM_GETCURSEL, 0, 0) != kTabAnalyse) return "a click on the Analyse tab was refused while monitoring";
    ClickTab(program.info.hProcess, tabs, kTabTask);
    return nullptr;
  };

  // ShopPool selected in the Analyse list and its Start pressed; returns once the
  // applications sit in temporary pools (the analyser then ends the pool's own worker).
  auto analyse = [&](const Process& worker, const Process& program, HWND main) -> const char* {
    HWND list = ::GetDlgItem(main, kIdAnalyseList);
    if (!SelectRow(program.info.hProcess, list, L"ShopPool")) return "Analyse: no ShopPool row";
    HWND start = ::GetDlgItem(main, kIdAnalyseStart);
    if (::IsWindowEnabled(start) == 0) return "Analyse: Start stayed greyed with ShopPool selected";
    ::SendMessageW(start, BM_CLICK, 0, 0);
    if (!WaitFor(program.info.hProcess, [&] { return ::WaitForSingleObject(worker.info.hProcess, 0) == WAIT_OBJECT_0; })) {
      return "Analyse: ShopPool's worker was never ended";
    }
    if (tarnwell::testutil::ReadAll(storeDir + L"MetaBase.xml") == original) return "Analyse: MetaBase.xml unchanged";
    std::printf("Analyse: ShopPool's applications in temporary pools\n");
    return nullptr;
  };

  Process worker;
  Process program;
  HWND main = nullptr;
  if (const char* failed = launch(worker, program, main)) return Fail(failed);

  // Common Controls 6 paints a themed page: the labels and tick boxes on it show the page
  // behind them, not the window's grey (a corner of each, beside its text).
  {
    ::SetForegroundWindow(main);
    HWND tabs = ::GetDlgItem(main, kIdTabs);
    RECT label{};
    ::GetWindowRect(::GetDlgItem(main, kIdLabel1), &label);
    POINT page{label.left - 2, label.top + 1};  // left of the label: the page itself
    POINT inMain = page;
    ::ScreenToClient(main, &inMain);
    if (::ChildWindowFromPointEx(main, inMain, CWP_SKIPINVISIBLE) != tabs) return Fail("layout: no page left of Label1");
    HDC screen = ::GetDC(nullptr);
    std::string differs;
    const bool same = WaitFor(program.info.hProcess, [&] {
      const COLORREF want = ::GetPixel(screen, page.x, page.y);
      differs.clear();
      for (const int id : {kIdLabel1, kIdPoolsTitle, kIdGetName, kIdGetAspNet}) {
        RECT box{};
        ::GetWindowRect(::GetDlgItem(main, id), &box);
        if (::GetPixel(screen, box.right - 2, box.top + 1) != want) differs += " " + std::to_string(id);
      }
      return differs.empty();
    });
    ::ReleaseDC(nullptr, screen);
    if (!same) return Fail(("Task page: controls" + differs + " not on the page's colour").c_str());
  }
  std::printf("Task page: its labels and tick boxes on the page's colour\n");
  // The About dialog: the icon, and the version --version answers.
  {
    HWND about = OpenAbout(program, main);
    if (about == nullptr) return Fail("Help > About...: no dialog");
    const bool picture = ::SendMessageW(::GetDlgItem(about, kIdAboutIcon), STM_GETICON, 0, 0) != 0;
    const std::string version = TextOf(::GetDlgItem(about, kIdAboutVersion));
    ::SendMessageW(about, WM_CLOSE, 0, 0);
    if (!picture) return Fail("About: no icon");
    if (version != "ver. " TARNWELL_VERSION " for Windows 2003") return Fail(("About: \"" + version + "\"").c_str());
    if (!WaitFor(program.info.hProcess, [&] { return ::IsWindowEnabled(main) != 0; })) return Fail("About closed: the window stayed disabled");
  }
  std::printf("About: the icon, and ver. " TARNWELL_VERSION "\n");

  if (!pictures.empty()) {
    HWND pcMain = ::GetDlgItem(main, kIdTabs);
    HWND pcMon = ::GetDlgItem(main, kIdMonTabs);
    ::SetForegroundWindow(main);
    struct Shot {
      int tab, inner;
      const wchar_t* name;
    };
    for (const Shot& shot : {Shot{kTabTask, -1, L"win32-task.bmp"}, Shot{kTabMonitoring, 0, L"win32-monitoring-list.bmp"},
                             Shot{kTabMonitoring, 1, L"win32-monitoring-graph.bmp"}, Shot{kTabAnalyse, -1, L"win32-analyse.bmp"}}) {
      ClickTab(program.info.hProcess, pcMain, shot.tab);
      if (shot.inner >= 0) ClickTab(program.info.hProcess, pcMon, shot.inner);
      ::Sleep(500);  // for the picture only: the paint after the click
      if (!SavePicture(main, pictures + shot.name)) return Fail("saving a picture");
    }
    // Help > About..., shown modally; its picture, then closed as its frame would.
    HWND about = OpenAbout(program, main);
    if (about == nullptr) return Fail("Help > About...: no dialog");
    ::Sleep(500);  // for the picture only
    if (!SavePicture(about, pictures + L"win32-about.bmp", true)) return Fail("saving a picture");
    ::SendMessageW(about, WM_CLOSE, 0, 0);
    if (!WaitFor(program.info.hProcess, [&] { return ::IsWindowEnabled(main) != 0; })) return Fail("About closed: the window stayed disabled");
    std::printf("pictures saved\n");
  }

  // Esc in a message pane leaves the program running; Tab and Shift+Tab leave the pane
  // and come back to it.
  ::SetForegroundWindow(main);
  ClickTab(program.info.hProcess, ::GetDlgItem(main, kIdTabs), kTabAnalyse);
  for (const int id : {kIdLog, kIdAnalyseLog}) {
    const std::size_t logBefore = ReadMatching(logDir, L"trnw??????.log").size();
    HWND pane = ::GetDlgItem(main, id);
    ClickOn(pane);
    if (!WaitFor(program.info.hProcess, [&] { return FocusOf(main) == pane; })) return Fail("a click on a pane left it without the keyboard");
    Type({{VK_ESCAPE, true}, {VK_ESCAPE, false}, {VK_TAB, true}, {VK_TAB, false}});
    if (!WaitFor(program.info.hProcess, [&] { return FocusOf(main) != pane; })) return Fail("Tab stayed in a pane");
    Type({{VK_SHIFT, true}, {VK_TAB, true}, {VK_TAB, false}, {VK_SHIFT, false}});
    if (!WaitFor(program.info.hProcess, [&] { return FocusOf(main) == pane; })) return Fail("Shift+Tab did not come back to a pane");
    // Esc came before both Tabs: a close it raised has run by now.
    if (::WaitForSingleObject(program.info.hProcess, 0) != WAIT_TIMEOUT || ::IsWindow(main) == 0 ||
        ReadMatching(logDir, L"trnw??????.log").find("Close: waiting", logBefore) != std::string::npos) {
      return Fail("Esc in a pane closed the window");
    }
  }
  std::printf("panes: Esc ignored, Tab and Shift+Tab move on and back\n");

  // The About box gives the keyboard back to the pane that had it.
  HWND analysePane = ::GetDlgItem(main, kIdAnalyseLog);
  HWND about = OpenAbout(program, main);
  if (about == nullptr) return Fail("Help > About...: no dialog");
  ::SendMessageW(about, WM_CLOSE, 0, 0);
  if (!WaitFor(program.info.hProcess, [&] { return ::IsWindowEnabled(main) != 0 && FocusOf(main) == analysePane; })) {
    return Fail("About closed: the keyboard did not come back to the pane");
  }
  // Ctrl+Tab and Ctrl+Shift+Tab step through the main tabs, round from the last to the first.
  HWND mainTabs = ::GetDlgItem(main, kIdTabs);
  struct Step {
    bool back;
    int tab;
    const char* failure;
  };
  for (const Step& step : {Step{false, kTabHistory, "Ctrl+Tab on Analyse did not go on to History"},
                           Step{false, kTabTask, "Ctrl+Tab on History did not go round to Task"},
                           Step{true, kTabHistory, "Ctrl+Shift+Tab on Task did not go back to History"},
                           Step{true, kTabAnalyse, "Ctrl+Shift+Tab on History did not go back to Analyse"}}) {
    if (step.back) {
      Type({{VK_CONTROL, true}, {VK_SHIFT, true}, {VK_TAB, true}, {VK_TAB, false}, {VK_SHIFT, false}, {VK_CONTROL, false}});
    } else {
      Type({{VK_CONTROL, true}, {VK_TAB, true}, {VK_TAB, false}, {VK_CONTROL, false}});
    }
    if (!WaitFor(program.info.hProcess, [&] { return ::SendMessageW(mainTabs, TCM_GETCURSEL, 0, 0) == step.tab; })) {
      return Fail(step.failure);
    }
  }
  std::printf("keyboard: back to the pane after About; Ctrl+Tab and Ctrl+Shift+Tab switch tabs\n");

  // Alt and a tab's underlined letter show the tab. On Task, "&Task" shares its letter
  // with "S&top" and "&Analyse" with "&Apply filter": the key then only moves the
  // keyboard between them, and neither button is clicked.
  struct Mnemonic {
    WORD letter;
    int tab, inner, focusId;  // -1: not checked
  };
  const std::size_t beforeKeys = ReadMatching(logDir, L"trnw??????.log").size();
  HWND innerTabs = ::GetDlgItem(main, kIdMonTabs);
  for (const Mnemonic& step : {Mnemonic{'M', kTabMonitoring, -1, -1}, Mnemonic{'G', kTabMonitoring, 1, -1},
                               Mnemonic{'L', kTabMonitoring, 0, -1}, Mnemonic{'H', kTabHistory, -1, -1},
                               Mnemonic{'T', kTabTask, -1, kIdTabs},
                               Mnemonic{'T', kTabTask, -1, kIdStop}, Mnemonic{'A', kTabAnalyse, -1, kIdTabs}}) {
    Type({{VK_MENU, true}, {step.letter, true}, {step.letter, false}, {VK_MENU, false}});
    const bool shown = WaitFor(program.info.hProcess, [&] {
      return ::SendMessageW(mainTabs, TCM_GETCURSEL, 0, 0) == step.tab &&
             (step.inner < 0 || ::SendMessageW(innerTabs, TCM_GETCURSEL, 0, 0) == step.inner) &&
             (step.focusId < 0 || FocusOf(main) == ::GetDlgItem(main, step.focusId));
    });
    if (!shown) {
      return Fail(("Alt+" + std::string(1, static_cast<char>(step.letter)) + ": tab " +
                   std::to_string(::SendMessageW(mainTabs, TCM_GETCURSEL, 0, 0)) + ", focus on control " +
                   std::to_string(::GetDlgCtrlID(FocusOf(main))) + ", not tab " + std::to_string(step.tab) +
                   " with control " + std::to_string(step.focusId))
                      .c_str());
    }
  }
  const std::string keysLog = ReadMatching(logDir, L"trnw??????.log").substr(beforeKeys);
  if (keysLog.find("Stop monitoring pool") != std::string::npos || keysLog.find("Apply filter") != std::string::npos) {
    return Fail("Alt+T or Alt+A on Task clicked Stop or Apply filter");
  }
  std::printf("keyboard: Alt+M, G, L, H, T, A show their tabs; Stop and Apply filter only take the keyboard\n");

  // A logoff during an analysis: the applications are back before the session goes.
  if (const char* failed = analyse(worker, program, main)) return Fail(failed);
  DWORD_PTR agreed = 0;
  if (::SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, kPatienceMs, &agreed) == 0 || agreed == 0) {
    return Fail("WM_QUERYENDSESSION: refused or no answer");
  }
  if (::SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, kPatienceMs, nullptr) == 0) {
    return Fail("WM_ENDSESSION: no answer");
  }
  if (tarnwell::testutil::ReadAll(storeDir + L"MetaBase.xml") != original) {
    return Fail("WM_ENDSESSION: MetaBase.xml is not the original once it returned");
  }
  std::printf("session end: MetaBase.xml back to the original\n");

  // File > Exit ends the program.
  const DWORD asked = ::GetTickCount();
  ::PostMessageW(main, WM_COMMAND, kIdExit, 0);
  if (::WaitForSingleObject(program.info.hProcess, kPatienceMs) != WAIT_OBJECT_0) return Fail("File > Exit: still running");
  DWORD code = 1;
  ::GetExitCodeProcess(program.info.hProcess, &code);
  if (code != 0) return Fail(("File > Exit: exit code " + std::to_string(code)).c_str());
  std::printf("File > Exit: ended after %lu ms\n", ::GetTickCount() - asked);
  // The store's lock file beside it, and no temporary file left behind in the textfile folder.
  if (Names(storeDir) != std::vector<std::wstring>{L"MetaBase.xml", L"MetaBase.xml.lock"}) {
    return Fail("store: the folder holds other files than MetaBase.xml and its lock file");
  }
  if (Names(textfileDir) != std::vector<std::wstring>{L"tarnwell.prom"}) {
    return Fail("textfile: the folder holds other files than tarnwell.prom");
  }

  // A second close while the first waits for the analysis to put everything back (the
  // taskbar's Close, then End Task): one clean end.
  Process worker2;
  Process program2;
  HWND main2 = nullptr;
  const std::size_t logBefore = ReadMatching(logDir, L"trnw??????.log").size();
  if (const char* failed = launch(worker2, program2, main2)) return Fail(failed);

  // One pool row is selected at a time.
  HWND pools = ::GetDlgItem(main2, kIdPools);
  if (!SelectRow(program2.info.hProcess, pools, L"ShopPool") || !SelectRow(program2.info.hProcess, pools, L"DefaultAppPool")) {
    return Fail("pool list: no ShopPool or DefaultAppPool row");
  }
  if (::SendMessageW(pools, LVM_GETSELECTEDCOUNT, 0, 0) != 1) return Fail("pool list: two rows selected at once");
  // A line added to the message pane (Stop's) keeps the text selected in it.
  HWND pane = ::GetDlgItem(main2, kIdLog);
  ::SendMessageW(pane, EM_SETSEL, 2, 10);
  const std::size_t beforeStop = ReadMatching(logDir, L"trnw??????.log").size();
  ::SendMessageW(::GetDlgItem(main2, kIdStop), BM_CLICK, 0, 0);
  if (!WaitFor(program2.info.hProcess, [&] { return ReadMatching(logDir, L"trnw??????.log").find("Stop monitoring pool", beforeStop) != std::string::npos; })) {
    return Fail("Stop: no \"Stop monitoring pool\" line");
  }
  const auto selection = static_cast<DWORD>(::SendMessageW(pane, EM_GETSEL, 0, 0));
  if (LOWORD(selection) != 2 || HIWORD(selection) != 10) {
    return Fail(("message pane: selection " + std::to_string(LOWORD(selection)) + ".." + std::to_string(HIWORD(selection)) + " after a new line, not 2..10").c_str());
  }
  std::printf("one pool row selected at a time; the pane's selection kept\n");
  if (const char* failed = analyse(worker2, program2, main2)) return Fail(failed);
  ::PostMessageW(main2, WM_CLOSE, 0, 0);
  ::PostMessageW(main2, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(program2.info.hProcess, kPatienceMs) != WAIT_OBJECT_0) return Fail("two closes: still running");
  code = 1;
  ::GetExitCodeProcess(program2.info.hProcess, &code);
  if (code != 0) return Fail(("two closes: exit code " + std::to_string(code)).c_str());
  if (tarnwell::testutil::ReadAll(storeDir + L"MetaBase.xml") != original) return Fail("two closes: MetaBase.xml is not the original");
  // Each close that ran says so once; the second must not have run.
  const std::string log = ReadMatching(logDir, L"trnw??????.log").substr(logBefore);
  int closes = 0;
  for (std::size_t at = log.find("Close: waiting"); at != std::string::npos; at = log.find("Close: waiting", at + 1)) ++closes;
  if (closes != 1) return Fail(("two closes: " + std::to_string(closes) + " closes ran, not one").c_str());
  std::printf("two closes: one clean end, MetaBase.xml back to the original\n");
  std::printf("PASSED\n");
  return 0;
}
