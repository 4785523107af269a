// The History tab of tarnwell.exe under wine, on monitoring logs recorded from the demo
// (tests/win32/data/, written again as today's log), driven with the mouse and the keyboard:
// the History tab, Load, the pools listed; a click on a pool's tick box takes its line off
// the charts and a second one puts it back (the pixels of its colour); the pools' lines lie
// inside the plots; Export through the Save dialog writes exactly the points the test works
// out itself from the same logs with the core (LoadHistory, DrawChart at the charts' sizes),
// after a load, a span dragged across a chart, a wheel step and a double click; the tooltip
// over a point tells it;
// a load of a year of logs followed at once by a load of the last week shows only the week's
// pools; the window closed during a load ends at once with exit code 0. Usage:
//   tarnwell_history_story <tarnwell.exe> <MetaBase.xml> <recorded monitoring log> [pictures]
// Prints what it finds; exits 0 when all of it held.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/HistoryController.h"
#include "app/win32/Win32HistoryPaint.h"
#include "app/win32/Win32Ids.h"
#include "history/HistoryChart.h"
#include "history/MonitoringLogReader.h"
#include "platform/win32/text.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/driver/window_driver.h"

using namespace tarnwell::win32ui;
using namespace tarnwell::wintest;
using tarnwell::HistoryController;
using tarnwell::platform::win32::FromUtf8;
using tarnwell::platform::win32::ToUtf8;
namespace history = tarnwell::history;

namespace {

constexpr int kArchiveDays = 380;  // a year and more of older logs, of a pool of their own
constexpr int kArchiveLines = 400;
const char kArchivePool[] = "ArchivePool";

history::Day Today() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay};
}

history::Day DaysBefore(history::Day day, int n) {
  // Back one day at a time, through the system's calendar.
  for (int i = 0; i < n; ++i) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(day.year);
    t.wMonth = static_cast<WORD>(day.month);
    t.wDay = static_cast<WORD>(day.day);
    FILETIME f{};
    ::SystemTimeToFileTime(&t, &f);
    ULARGE_INTEGER v{};
    v.LowPart = f.dwLowDateTime;
    v.HighPart = f.dwHighDateTime;
    v.QuadPart -= 864'000'000'000ULL;  // a day in 100 ns
    f.dwLowDateTime = v.LowPart;
    f.dwHighDateTime = v.HighPart;
    ::FileTimeToSystemTime(&f, &t);
    day = {t.wYear, t.wMonth, t.wDay};
  }
  return day;
}

// The recorded lines with their stamps moved to the day (the time of day kept), and the pool
// renamed when pool is given.
std::string Redated(const std::string& recorded, const history::Day& day, const std::string& pool = {},
                    int maxLines = -1) {
  char date[16];
  std::string out;
  int lines = 0;
  std::istringstream in(recorded);
  for (std::string line; std::getline(in, line) && (maxLines < 0 || lines < maxLines);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string_view name;
    if (!history::ParseLine(line, name)) continue;
    std::snprintf(date, sizeof date, "%02d%c%02d%c%02d", day.day, line[2], day.month, line[5], day.year % 100);
    std::string moved = date + line.substr(8);
    if (!pool.empty()) moved = moved.substr(0, moved.find('\t') + 1) + pool + moved.substr(moved.find('\t', moved.find('\t') + 1));
    out += moved + "\r\n";
    ++lines;
  }
  return out;
}

// The range the charts show after a load: the loaded lines' span and a fiftieth of it
// (at least a second) either side, as the tab's rules fit it.
history::TimeRange Fitted(const history::History& loaded) {
  std::int64_t first = INT64_MAX, last = INT64_MIN;
  for (const auto& [pool, samples] : loaded.pools) {
    if (samples.empty()) continue;
    first = std::min(first, samples.front().timeMs);
    last = std::max(last, samples.back().timeMs);
  }
  const std::int64_t margin = std::max<std::int64_t>((last - first) / 50, 1000);
  return {first - margin, last + margin};
}

// A rectangle of the screen as the display shows it, pixel by pixel.
struct ScreenPixels {
  RECT box{};
  std::vector<COLORREF> pixels;
  explicit ScreenPixels(HWND window) {
    ::GetClientRect(window, &box);
    ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&box), 2);
    const std::vector<DWORD> raw = GrabScreen(box);
    pixels.reserve(raw.size());
    for (const DWORD p : raw) pixels.push_back(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
  }
  int Width() const { return box.right - box.left; }
  // Pixels of a colour inside (or, inside = false, outside) a rectangle of the window.
  int Count(COLORREF colour, const RECT& area, bool inside) const {
    int n = 0;
    for (int y = 0; y < box.bottom - box.top; ++y) {
      for (int x = 0; x < Width(); ++x) {
        const bool in = x >= area.left && x < area.right && y >= area.top && y < area.bottom;
        if (in == inside && pixels[static_cast<std::size_t>(y * Width() + x)] == colour) ++n;
      }
    }
    return n;
  }
};

COLORREF ToColorRef(std::uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// The From box's day, asked of the program.
history::Day PickerDay(HANDLE program, HWND picker) {
  void* remote = ::VirtualAllocEx(program, nullptr, sizeof(SYSTEMTIME), MEM_COMMIT, PAGE_READWRITE);
  SYSTEMTIME t{};
  if (remote == nullptr) return {};
  ::SendMessageW(picker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(remote));
  ::ReadProcessMemory(program, remote, &t, sizeof t, nullptr);
  ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  return {t.wYear, t.wMonth, t.wDay};
}

// The year of a date box stepped with the keyboard: a click on its day, Right twice to the
// year, then Up or Down.
void StepYear(HWND picker, WORD key) {
  RECT box{};
  ::GetWindowRect(picker, &box);
  ClickAt({box.left + 8, (box.top + box.bottom) / 2});
  Type({{VK_RIGHT, true}, {VK_RIGHT, false}, {VK_RIGHT, true}, {VK_RIGHT, false}, {key, true}, {key, false}});
}

// The program's tooltip on show; null when none shows.
HWND FindTooltip(DWORD pid) { return FindShownWindow(pid, TOOLTIPS_CLASSW); }

// The text of the tooltip's one tool (the main window's), asked of the program.
std::string TooltipText(HANDLE program, HWND tip, HWND owner) {
  constexpr std::size_t kChars = 512;
  const std::size_t bytes = sizeof(TOOLINFOW) + kChars * sizeof(wchar_t);
  auto* remote = static_cast<char*>(::VirtualAllocEx(program, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
  if (remote == nullptr) return {};
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = owner;
  tool.lpszText = reinterpret_cast<LPWSTR>(remote + sizeof tool);
  ::WriteProcessMemory(program, remote, &tool, sizeof tool, nullptr);
  ::SendMessageW(tip, TTM_GETTEXTW, kChars, reinterpret_cast<LPARAM>(remote));
  std::wstring text(kChars, L'\0');
  ::ReadProcessMemory(program, remote + sizeof tool, text.data(), kChars * sizeof(wchar_t), nullptr);
  ::VirtualFreeEx(program, remote, 0, MEM_RELEASE);
  text.resize(std::wcslen(text.c_str()));
  return ToUtf8(text);
}

struct Tab {
  HWND main, load, pools, counts, from, exportButton;
  std::vector<HWND> charts;
};

bool Ticked(HWND list, int row) {
  return ::SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK) ==
         INDEXTOSTATEIMAGEMASK(2);
}

// The pools' rows the list shows, as the loaded names: every name found, and no other row.
bool ListsExactly(HANDLE program, HWND list, const std::vector<std::string>& names) {
  if (::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) != static_cast<LRESULT>(names.size())) return false;
  return std::all_of(names.begin(), names.end(), [&](const std::string& n) { return FindRow(program, list, FromUtf8(n)) >= 0; });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return Fail("usage: tarnwell_history_story <tarnwell.exe> <MetaBase.xml> <recorded log> [pictures]");
  const std::wstring pictures = argc > 4 ? std::wstring(argv[4]) + L"\\" : L"";

  const tarnwell::testutil::TempDir temp{tarnwell::testutil::kNonAsciiName};
  const std::wstring dir = temp.Path().wstring() + L"\\";
  const std::wstring logDir = dir + L"log\\";
  if (!::CopyFileW(argv[1], (dir + L"tarnwell.exe").c_str(), FALSE) ||
      !::CopyFileW(argv[2], (dir + L"MetaBase.xml").c_str(), FALSE) || !::CreateDirectoryW(logDir.c_str(), nullptr)) {
    return Fail("copying the program and the store");
  }
  ::SetEnvironmentVariableW(L"IIS_METABASE", (dir + L"MetaBase.xml").c_str());

  // The recording as today's log; a year of older logs of another pool before the week
  // the tab shows at first.
  const std::string recorded = tarnwell::testutil::ReadAll(std::wstring(argv[3]));
  const history::Day today = Today();
  const std::string logDirUtf8 = ToUtf8(logDir);
  tarnwell::testutil::WriteFile(logDirUtf8 + history::MonitoringLogName(today), Redated(recorded, today));
  for (int back = HistoryController::kDefaultDays; back < kArchiveDays; ++back) {
    const history::Day day = DaysBefore(today, back);
    tarnwell::testutil::WriteFile(logDirUtf8 + history::MonitoringLogName(day),
                                  Redated(recorded, day, kArchivePool, kArchiveLines));
  }
  const history::History expected = history::LoadHistory(logDirUtf8, today, today);
  std::vector<std::string> names;
  for (const auto& [pool, samples] : expected.pools) names.push_back(pool);
  if (names.size() < 2) return Fail("the recorded log holds fewer than two pools");
  std::printf("logs: today's with %zu pools, %d days of %s before the week\n", names.size(),
              kArchiveDays - HistoryController::kDefaultDays, kArchivePool);

  Process program;
  HWND main = nullptr;
  if (!Start(dir + L"tarnwell.exe", L"", program)) return Fail("starting tarnwell.exe");
  ::WaitForInputIdle(program.info.hProcess, kPatienceMs);
  if (!WaitFor(program.info.hProcess, [&] { return (main = FindMainWindow(program.info.dwProcessId)) != nullptr; })) {
    return Fail("the main window");
  }
  ::SetForegroundWindow(main);
  const HANDLE process = program.info.hProcess;
  Tab tab{main,
          ::GetDlgItem(main, kIdHistoryLoad),
          ::GetDlgItem(main, kIdHistoryPools),
          ::GetDlgItem(main, kIdHistoryCounts),
          ::GetDlgItem(main, kIdHistoryFrom),
          ::GetDlgItem(main, kIdHistoryExport),
          {}};
  for (int i = 0; i < HistoryController::kCharts; ++i) tab.charts.push_back(::GetDlgItem(main, kIdHistoryChart + i));

  // The History tab, after Analyse; Load lists the pools of the week.
  HWND tabs = ::GetDlgItem(main, kIdTabs);
  ClickTab(process, tabs, kTabHistory);
  if (!WaitFor(process, [&] { return ::IsWindowVisible(tab.load) != 0 && ::IsWindowVisible(tab.charts[2]) != 0; })) {
    return Fail("History: the tab's controls did not show");
  }
  const history::Day from = PickerDay(process, tab.from), weekStart = DaysBefore(today, HistoryController::kDefaultDays - 1);
  if (from != weekStart) {
    std::printf("From: %02d-%02d-%04d, not %02d-%02d-%04d\n", from.day, from.month, from.year, weekStart.day,
                weekStart.month, weekStart.year);
    return Fail("History: the From box is not six days back");
  }
  ClickOn(tab.load);
  if (!WaitFor(process, [&] { return ListsExactly(process, tab.pools, names); })) {
    return Fail("Load: the list never showed the pools of today's log");
  }
  std::printf("Load: %zu pools listed; counts: %s\n", names.size(), TextOf(tab.counts).c_str());

  // Every pool comes ticked, and each one's line shows in its colour within the charts.
  std::map<std::string, COLORREF> colours;
  for (std::size_t i = 0; i < names.size(); ++i) colours[names[i]] = ToColorRef(history::PoolColour(i));
  const auto pixelsOf = [&](const std::string& pool) {
    int n = 0;
    for (HWND chart : tab.charts) {
      const ScreenPixels shot(chart);
      n += shot.Count(colours[pool], RECT{0, 0, shot.Width(), 100000}, true);
    }
    return n;
  };
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!Ticked(tab.pools, FindRow(process, tab.pools, FromUtf8(names[i])))) return Fail("Load: a pool came unticked");
  }
  // The pool the tick boxes are tried on: the one whose colour shows the most.
  std::string chosen;
  int chosenPixels = 0;
  if (!WaitFor(process, [&] {
        for (const std::string& pool : names) {
          const int n = pixelsOf(pool);
          if (n > chosenPixels) chosen = pool, chosenPixels = n;
        }
        return chosenPixels > 0;
      })) {
    return Fail("charts: no pixel of any pool's colour");
  }
  std::printf("charts: %s's line, %d pixels of its colour\n", chosen.c_str(), chosenPixels);
  for (const bool ticked : {false, true}) {
    ClickOn(::GetDlgItem(main, kIdStatus));  // else two clicks on the box make a double click
    if (!TickRow(process, tab.pools, FromUtf8(chosen))) return Fail("no row to tick");
    const int row = FindRow(process, tab.pools, FromUtf8(chosen));
    if (!WaitFor(process, [&] { return Ticked(tab.pools, row) == ticked && (pixelsOf(chosen) > 0) == ticked; })) {
      std::printf("row %d ticked: %d, %d pixels of its colour\n", row, Ticked(tab.pools, row) ? 1 : 0, pixelsOf(chosen));
      return Fail(ticked ? "a click on the pool's tick box: its line did not come back"
                         : "a click on the pool's tick box: its line stayed on the charts");
    }
  }
  std::printf("tick boxes: a click takes %s's line off the charts, a second puts it back\n", chosen.c_str());

  // The lines lie inside the plots: no pixel of a pool's colour around them (the restart
  // dots sit on the plot's floor, a few pixels either side).
  HDC screen = ::GetDC(nullptr);
  HFONT font = ::CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
  const history::TextMetrics metrics = tarnwell::win32::HistoryTextMetrics(screen, font);
  ::DeleteObject(font);
  ::ReleaseDC(nullptr, screen);
  constexpr int kDot = 5;
  for (std::size_t c = 0; c < tab.charts.size(); ++c) {
    RECT client{};
    ::GetClientRect(tab.charts[c], &client);
    const history::PixelRect plot = history::PlotArea(client.right, client.bottom, metrics);
    const ScreenPixels shot(tab.charts[c]);
    for (const std::string& pool : names) {
      const int outside = shot.Count(colours[pool], RECT{plot.left - kDot, plot.top - kDot, plot.right + kDot, plot.bottom + kDot}, false);
      if (outside > 0) {
        return Fail(("charts: " + std::to_string(outside) + " pixels of " + pool + "'s colour outside plot " +
                     std::to_string(c)).c_str());
      }
    }
  }
  std::printf("charts: the lines inside the plots\n");
  if (!pictures.empty()) {
    ::Sleep(300);  // for the picture only
    if (!SavePicture(main, pictures + L"win32-history.bmp")) return Fail("saving a picture");
  }

  // A year of logs, and at once the week again: only the week's pools are drawn.
  const std::string before = TextOf(tab.counts);
  StepYear(tab.from, VK_DOWN);
  const int weekYear = DaysBefore(today, HistoryController::kDefaultDays - 1).year;
  if (!WaitFor(process, [&] { return PickerDay(process, tab.from).year == weekYear - 1; })) {
    return Fail("From: Down on its year did not go back a year");
  }
  ClickOn(tab.load);
  if (!WaitFor(process, [&] { return TextOf(tab.counts) != before; })) return Fail("Load of a year: the counts line never changed");
  StepYear(tab.from, VK_UP);
  ClickOn(tab.load);
  // The week's load says so in its counts line, as the first load did.
  if (!WaitFor(process, [&] { return TextOf(tab.counts) == before; })) {
    return Fail(("Load of the week after a year: counts \"" + TextOf(tab.counts) + "\", not \"" + before + "\"").c_str());
  }
  if (!ListsExactly(process, tab.pools, names)) return Fail("Load of the week after a year: the list is not the week's pools");
  std::printf("a year's load, then the week's at once: only the week's %zu pools\n", names.size());

  // Export: the Save dialog, the path typed, Enter; the CSV holds exactly the points the
  // core draws at the charts' sizes for the range they show, the picture lies beside it.
  const history::Figure figures[] = {history::Figure::Cpu, history::Figure::RamMB, history::Figure::Threads};
  std::vector<history::ChartPicture> drawn;  // as the core draws the charts, at the last export
  std::wstring picture;
  std::size_t exported = 0;
  const auto exportMatches = [&](const history::TimeRange& range, const std::wstring& stem) -> std::string {
    ClickOn(tab.exportButton);
    HWND dialog = nullptr;
    if (!WaitFor(process, [&] { return (dialog = FindMessageBox(program.info.dwProcessId)) != nullptr; })) {
      DWORD code = STILL_ACTIVE;
      ::GetExitCodeProcess(process, &code);
      return code == STILL_ACTIVE ? std::string("no Save dialog") : "the program ended, exit code " + std::to_string(code);
    }
    const std::wstring csvPath = dir + stem + L".csv";
    ::SetForegroundWindow(dialog);
    Type({{VK_HOME, true}, {VK_HOME, false}, {VK_SHIFT, true}, {VK_END, true}, {VK_END, false}, {VK_SHIFT, false}});
    TypeText(csvPath);
    Type({{VK_RETURN, true}, {VK_RETURN, false}});
    picture.clear();
    if (!WaitFor(process, [&] {
          for (const wchar_t* extension : {L".png", L".bmp"}) {
            if (::GetFileAttributesW((dir + stem + extension).c_str()) != INVALID_FILE_ATTRIBUTES) picture = dir + stem + extension;
          }
          return !picture.empty() && ::GetFileAttributesW(csvPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
                 FindMessageBox(program.info.dwProcessId) == nullptr;
        })) {
      return "no CSV and picture beside it; counts: " + TextOf(tab.counts);
    }
    const std::string csv = tarnwell::testutil::ReadAll(csvPath);
    // What the core draws: the ticked pools, each figure, the range.
    std::vector<history::ChartSource> sources;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!Ticked(tab.pools, FindRow(process, tab.pools, FromUtf8(names[i])))) continue;
      sources.push_back({&expected.pools.at(names[i]), names[i], history::PoolColour(i), -1});
    }
    std::vector<std::string> want;  // "pool,time,value" lines, chart by chart
    std::vector<std::size_t> chartEnds;
    drawn.clear();
    for (std::size_t c = 0; c < tab.charts.size(); ++c) {
      RECT client{};
      ::GetClientRect(tab.charts[c], &client);
      drawn.push_back(history::DrawChart("", sources, figures[c], range, client.right, client.bottom, metrics));
      std::istringstream body(history::FormatCsv(history::ShownLines(drawn.back())));
      std::string line;
      std::getline(body, line);  // its header
      while (std::getline(body, line)) want.push_back(line);
      chartEnds.push_back(want.size());
    }
    std::istringstream rows(csv);
    std::string line;
    std::getline(rows, line);
    if (line != "figure,pool,time,value") return "the CSV's header is \"" + line + "\"";
    std::vector<std::string> figureOf;
    std::vector<std::string> got;
    while (std::getline(rows, line)) {
      const std::size_t comma = line.find(',');
      figureOf.push_back(line.substr(0, comma));
      got.push_back(comma == std::string::npos ? std::string() : line.substr(comma + 1));
    }
    if (got != want) {
      std::printf("CSV: %zu points, the core %zu\n", got.size(), want.size());
      for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        if (got[i] != want[i]) {
          std::printf("first difference at %zu: \"%s\" against \"%s\"\n", i, got[i].c_str(), want[i].c_str());
          break;
        }
      }
      return "the CSV is not the points the core draws";
    }
    // One figure name per chart, three different ones.
    std::set<std::string> figureNames;
    for (std::size_t c = 0, at = 0; c < chartEnds.size(); at = chartEnds[c++]) {
      for (std::size_t i = at; i < chartEnds[c]; ++i) {
        if (figureOf[i] != figureOf[at]) return "two figure names within one chart's points";
      }
      if (at < chartEnds[c]) figureNames.insert(figureOf[at]);
    }
    if (figureNames.size() != tab.charts.size()) return "the charts' points do not carry three figure names";
    exported = got.size();
    return {};
  };
  history::TimeRange range = Fitted(expected);
  if (const std::string failed = exportMatches(range, L"Exp\u00F6rt history"); !failed.empty()) {
    return Fail(("Export: " + failed).c_str());
  }
  std::printf("Export: %zu points, as the core draws them; the picture %s\n", exported, ToUtf8(picture).c_str());

  // A span dragged across the CPU chart sets the three charts' range to it; a wheel step
  // over the RAM chart zooms in around the pointer; a double click fits the lines again.
  const history::PixelRect plot = drawn[0].plot;
  const POINT dragFrom = {plot.left + plot.Width() / 4, (plot.top + plot.bottom) / 2};
  const POINT dragTo = {plot.left + plot.Width() / 2, plot.top + 4};
  range = {history::TimeAtX(drawn[0], dragFrom.x), history::TimeAtX(drawn[0], dragTo.x)};
  {
    POINT at = dragFrom, to = dragTo;
    ::ClientToScreen(tab.charts[0], &at);
    ::ClientToScreen(tab.charts[0], &to);
    INPUT button{};
    button.type = INPUT_MOUSE;
    MoveTo(at);
    button.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    ::SendInput(1, &button, sizeof button);
    MoveTo({(at.x + to.x) / 2, (at.y + to.y) / 2});
    MoveTo(to);
    button.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(1, &button, sizeof button);
  }
  if (const std::string failed = exportMatches(range, L"Exp\u00F6rt dragged"); !failed.empty()) {
    return Fail(("a dragged span, then Export: " + failed).c_str());
  }
  std::printf("a dragged span: %zu points of the span on the three charts\n", exported);
  {
    const POINT wheelAt = {drawn[1].plot.left + drawn[1].plot.Width() / 3, (drawn[1].plot.top + drawn[1].plot.bottom) / 2};
    range = history::WheelZoom(range, history::TimeAtX(drawn[1], wheelAt.x), 1);
    POINT at = wheelAt;
    ::ClientToScreen(tab.charts[1], &at);
    MoveTo(at);
    INPUT wheel{};
    wheel.type = INPUT_MOUSE;
    wheel.mi.dwFlags = MOUSEEVENTF_WHEEL;
    wheel.mi.mouseData = WHEEL_DELTA;
    ::SendInput(1, &wheel, sizeof wheel);
  }
  if (const std::string failed = exportMatches(range, L"Exp\u00F6rt wheel"); !failed.empty()) {
    return Fail(("a wheel step, then Export: " + failed).c_str());
  }
  std::printf("a wheel step: %zu points around the pointer\n", exported);
  {
    POINT at = {drawn[2].plot.left + 10, drawn[2].plot.top + 10};
    ::ClientToScreen(tab.charts[2], &at);
    ClickAt(at);
    ClickAt(at);
  }
  if (const std::string failed = exportMatches(Fitted(expected), L"Exp\u00F6rt fitted"); !failed.empty()) {
    return Fail(("a double click, then Export: " + failed).c_str());
  }
  std::printf("a double click: the lines fitted again\n");

  // The pointer on a point of the RAM chart: the tooltip tells its pool, time and value; on
  // the chart's title, away from every point, it hides.
  HWND tip = nullptr;
  const history::DrawnLine* hovered = nullptr;
  for (const history::DrawnLine& l : drawn[1].lines) {
    if (!l.segments.empty() && !l.segments.front().empty()) hovered = &l;
  }
  if (hovered == nullptr) return Fail("hover: no point drawn on the RAM chart");
  const history::ChartPoint& point = hovered->segments.front()[hovered->segments.front().size() / 2];
  const auto hit = history::HitTest(drawn[1], point.x, point.y);
  if (!hit) return Fail("hover: the core finds no point under a drawn one");
  std::string wantTip;
  for (const char c : history::HoverText(*hit)) wantTip += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string shown;
  for (const POINT at : {POINT{point.x, point.y}, POINT{2, 2}}) {
    POINT screenAt = at;
    ::ClientToScreen(tab.charts[1], &screenAt);
    MoveTo({screenAt.x - 1, screenAt.y});
    MoveTo(screenAt);  // a move the chart hears of
    const bool onPoint = at.x != 2;
    if (!WaitFor(process, [&] {
          tip = FindTooltip(program.info.dwProcessId);
          shown = tip != nullptr ? TooltipText(process, tip, main) : std::string();
          return (tip != nullptr) == onPoint;
        })) {
      return Fail(onPoint ? "hover: no tooltip over a point" : "hover: the tooltip stayed away from the points");
    }
    if (onPoint && shown != wantTip) return Fail(("hover: the tooltip says \"" + shown + "\", not \"" + wantTip + "\"").c_str());
  }
  std::printf("hover: the point's pool, time and value over it, no tooltip away from the points\n");

  // Closed during a load of a year: the program ends at once, with exit code 0.
  const std::string settled = TextOf(tab.counts);
  StepYear(tab.from, VK_DOWN);
  ClickOn(tab.load);
  if (!WaitFor(process, [&] { return TextOf(tab.counts) != settled; })) return Fail("Load of a year: the counts line never changed");
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(process, kPatienceMs) != WAIT_OBJECT_0) return Fail("closed during a load: still running");
  DWORD code = 1;
  ::GetExitCodeProcess(process, &code);
  if (code != 0) return Fail(("closed during a load: exit code " + std::to_string(code)).c_str());
  std::printf("closed during a load: ended with exit code 0\n");
  std::printf("PASSED\n");
  return 0;
}
