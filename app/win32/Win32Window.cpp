// The main window over the common controls. Every control is a child of the main window
// and the tab controls only say which ones show, which keeps one window procedure.
#include "app/win32/Win32Window.h"
#include "app/win32/Win32Controls.h"
#include "app/win32/Win32HistoryTab.h"
#include "app/win32/Win32Ids.h"
#include "app/win32/Win32Resources.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "app/ProgramSeams.h"
#include "logs/LogsClock.h"
#include "platform/win32/text.h"

namespace tarnwell::win32ui {

using platform::win32::FromUtf8;
using platform::win32::ToUtf8;

namespace {

using namespace layout;
constexpr int kMinPane = 30;  // what a splitter leaves of either side
constexpr int kTagSelectAll = 10;
// The status bar's texts, one object each, so that a change is a change of pointer.
constexpr wchar_t kNoHint[] = L"";
constexpr wchar_t kFilterHint[] = L"Support regular expression";
constexpr wchar_t kAnalyseHint[] = L"Analyse only CPU value.";
const wchar_t* const kMainTabs[kMainTabCount] = {L"&Task", L"&Monitoring", L"&Analyse", L"&History"};
constexpr char kClosingWait[] = "Close: waiting for the monitoring and the analysis to end.";

// The letter a caption underlines: the one after a single '&'; 0 when none.
wchar_t MnemonicOf(const wchar_t* text) {
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p != L'&') continue;
    if (p[1] != L'&') return p[1];
    ++p;  // "&&" is a literal '&'
  }
  return 0;
}

wchar_t UpperCase(wchar_t letter) {
  // CharUpperW takes one character in the low word of its "string" argument.
  return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(
      ::CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(letter)))));
}

LRESULT CALLBACK ChartProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd, &paint);
    auto* window = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(::GetParent(hwnd), GWLP_USERDATA));
    if (window != nullptr) {
      ::SendMessageW(::GetParent(hwnd), WM_APP + 2, reinterpret_cast<WPARAM>(dc), 0);
    }
    ::EndPaint(hwnd, &paint);
    return 0;
  }
  if (msg == WM_ERASEBKGND) return 1;  // the paint fills every pixel
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

bool RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW main{};
  main.cbSize = sizeof main;
  main.lpfnWndProc = &MainWindow::WindowProc;
  main.hInstance = instance;
  // The program's icon at the sizes the system draws (shared: loaded once, never freed).
  const auto icon = [instance](int width, int height) {
    return static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARNWELL), IMAGE_ICON,
                                           ::GetSystemMetrics(width), ::GetSystemMetrics(height), LR_SHARED));
  };
  main.hIcon = icon(SM_CXICON, SM_CYICON);
  main.hIconSm = icon(SM_CXSMICON, SM_CYSMICON);
  main.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  main.lpszClassName = kMainClass;
  WNDCLASSEXW chart{};
  chart.cbSize = sizeof chart;
  chart.lpfnWndProc = &ChartProc;
  chart.hInstance = instance;
  chart.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  chart.lpszClassName = L"TarnwellChart";
  return ::RegisterClassExW(&main) != 0 && ::RegisterClassExW(&chart) != 0 && RegisterHistoryClasses(instance);
}

MainWindow::MainWindow(HINSTANCE instance, std::string exeDir, platform::IMetabase& metabase,
                       platform::IProcessSystem& processes, const ILocalClock& clock)
    : instance_(instance), exeDir_(std::move(exeDir)), metabase_(metabase),
      processes_(processes), clock_(clock), uiThread_(::GetCurrentThreadId()) {}

MainWindow::~MainWindow() {
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

bool MainWindow::Create(const std::string& textfileDir, const std::optional<MetricsUrl>& listen) {
  textfileDir_ = textfileDir;
  listen_ = listen;
  const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_CONTROLPARENT;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  ::AdjustWindowRectEx(&frame, style, TRUE, exStyle);
  const int w = frame.right - frame.left;
  const int h = frame.bottom - frame.top;
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + std::max(0L, (work.right - work.left - w) / 2);
  const int y = work.top + std::max(0L, (work.bottom - work.top - h) / 2);
  hwnd_ = ::CreateWindowExW(exStyle, kMainClass, L"Tarnwell", style, x, y, w, h, nullptr,
                            nullptr, instance_, this);
  return hwnd_ != nullptr;
}

int MainWindow::Run() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (hwnd_ != nullptr) {
      // A text box keeps Ctrl+A for its own text.
      wchar_t cls[16] = {};
      const HWND focus = ::GetFocus();
      const bool editCtrlA = msg.message == WM_KEYDOWN && msg.wParam == 'A' &&
                             (::GetKeyState(VK_CONTROL) & 0x8000) != 0 && focus != nullptr &&
                             ::GetClassNameW(focus, cls, 16) > 0 && ::lstrcmpiW(cls, L"Edit") == 0;
      if (editCtrlA) {
        ::SendMessageW(focus, EM_SETSEL, 0, -1);
        continue;
      }
      if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && (::GetKeyState(VK_CONTROL) & 0x8000) != 0) {
        StepTab((::GetKeyState(VK_SHIFT) & 0x8000) != 0 ? -1 : 1);
        continue;
      }
      if (msg.message == WM_MOUSEWHEEL && history_) {
        // The wheel zooms the chart under the pointer, whichever control has the keyboard.
        const HWND under = ::WindowFromPoint(POINT{GET_X_LPARAM(msg.lParam), GET_Y_LPARAM(msg.lParam)});
        if (history_->IsChart(under)) msg.hwnd = under;
      }
      if (msg.message == WM_SYSCHAR && (msg.hwnd == hwnd_ || ::IsChild(hwnd_, msg.hwnd)) &&
          Mnemonic(static_cast<wchar_t>(msg.wParam))) {
        continue;
      }
      if (::TranslateAcceleratorW(hwnd_, accelerators_.get(), &msg) != 0) continue;
      if (::IsDialogMessageW(hwnd_, &msg) != 0) continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  return self->Handle(msg, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CREATE:
      return OnCreate() ? 0 : -1;
    case WM_SIZE:
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {420, 360};
      return 0;
    }
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item.hwndItem != pcMain || item.itemID >= kMainTabCount) break;
      const bool greyed = item.itemID == kTabAnalyse && !analyseEnabled_;
      RECT box = item.rcItem;
      ::FillRect(item.hDC, &box, ::GetSysColorBrush(COLOR_BTNFACE));
      const int mode = ::SetBkMode(item.hDC, TRANSPARENT);
      const COLORREF colour = ::SetTextColor(item.hDC, ::GetSysColor(greyed ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
      HGDIOBJ old = ::SelectObject(item.hDC, font_.get());
      ::DrawTextW(item.hDC, kMainTabs[item.itemID], -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      ::SelectObject(item.hDC, old);
      ::SetTextColor(item.hDC, colour);
      ::SetBkMode(item.hDC, mode);
      return TRUE;
    }
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) == lvTaskOPools) {
        POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (at.x == -1 && at.y == -1) {  // from the keyboard
          at = {8, 8};
          ::ClientToScreen(lvTaskOPools, &at);
        }
        ::TrackPopupMenu(::GetSubMenu(popMnuTaskPools.get(), 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON,
                         at.x, at.y, 0, hwnd_, nullptr);
        return 0;
      }
      break;
    case WM_THEMECHANGED:
    case WM_SYSCOLORCHANGE:
      pageBrush_.reset();
      pagePicture_.reset();
      ::InvalidateRect(hwnd_, nullptr, TRUE);
      break;
    case WM_CTLCOLOREDIT:
      return reinterpret_cast<LRESULT>(OnColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), true));
    case WM_CTLCOLORSTATIC:
      if (HBRUSH brush = OnColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), false)) {
        return reinterpret_cast<LRESULT>(brush);
      }
      break;
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) return TRUE;
      break;
    case WM_LBUTTONDOWN:
      SplitterPress(GET_Y_LPARAM(lParam));
      return 0;
    case WM_MOUSEMOVE:
      if (drag_ != Drag::None) SplitterDrag(GET_Y_LPARAM(lParam));
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      if (drag_ != Drag::None) {
        drag_ = Drag::None;
        if (msg == WM_LBUTTONUP) ::ReleaseCapture();
      }
      return 0;
    case WM_TIMER:
      RunTimer(wParam);
      return 0;
    case kRunPosted:
      RunPosted();
      return 0;
    case WM_APP + 2:  // the chart window's paint
      PaintChart(s, reinterpret_cast<HDC>(wParam), chart_, font_.get());
      return 0;
    case WM_ACTIVATE:
      // The keyboard goes back where it was before Alt+Tab, the About box or a message box.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = ::GetFocus();
        if (focus != nullptr && ::IsChild(hwnd_, focus)) savedFocus_ = focus;
        return 0;
      }
      if (savedFocus_ == nullptr || !::IsWindow(savedFocus_) || !::IsWindowVisible(savedFocus_) ||
          !::IsWindowEnabled(savedFocus_)) {
        savedFocus_ = TabCtrl_GetCurSel(pcMain) == kTabTask ? lvTaskOPools : pcMain;
      }
      ::SetFocus(savedFocus_);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_QUERYENDSESSION:
      // A logoff or shutdown is asked for: the analysis starts putting the applications
      // back now, which leaves WM_ENDSESSION less to wait for.
      if (MainController* rules = Rules()) rules->AnalyseStopClicked();
      return TRUE;
    case WM_ENDSESSION:
      // The process is ended once this returns: the configuration must be back by then.
      if (wParam != FALSE) {
        if (MainController* rules = Rules()) rules->StopWorkersAndWait();
      }
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd_, msg, wParam, lParam);
}

HWND MainWindow::Make(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle) {
  HWND child = ::CreateWindowExW(exStyle, cls, text, WS_CHILD | style, 0, 0, 10, 10, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  return child;
}

bool MainWindow::OnCreate() {
  // 8-point MS Sans Serif: 11 pixels at 96 dots per inch.
  font_.reset(::CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif"));
  boldFont_.reset(::CreateFontW(-11, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif"));
  filterBrush_.reset(::CreateSolidBrush(RGB(192, 220, 192)));
  analyseBrush_.reset(::CreateSolidBrush(RGB(215, 255, 255)));
  paneBrush_.reset(::CreateSolidBrush(::GetSysColor(COLOR_WINDOW)));

  // Menus and their keys.
  HMENU menu = ::CreateMenu();
  HMENU file = ::CreatePopupMenu();
  ::AppendMenuW(file, MF_STRING, kIdExit, L"&Exit");
  HMENU edit = ::CreatePopupMenu();
  ::AppendMenuW(edit, MF_STRING, kIdSelectAll1, L"&Select all\tCtrl+A");
  ::AppendMenuW(edit, MF_STRING, kIdDeselectAll1, L"&Deselect all\tCtrl+B");
  ::AppendMenuW(edit, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(edit, MF_STRING, kIdRefresh1, L"&Refresh\tF5");
  HMENU help = ::CreatePopupMenu();
  ::AppendMenuW(help, MF_STRING, kIdAbout, L"&About...");
  ::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
  ::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), L"&Edit");
  ::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");
  ::SetMenu(hwnd_, menu);  // the window frees it
  popMnuTaskPools.reset(::CreateMenu());
  HMENU pop = ::CreatePopupMenu();
  ::AppendMenuW(pop, MF_STRING, kIdSelectAll2, L"&Select all");
  ::AppendMenuW(pop, MF_STRING, kIdDeselectAll2, L"&Deselect all");
  ::AppendMenuW(pop, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(pop, MF_STRING, kIdRefresh2, L"&Refresh");
  ::AppendMenuW(popMnuTaskPools.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(pop), L"");
  ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'A', kIdSelectAll1},
                  {FCONTROL | FVIRTKEY, 'B', kIdDeselectAll1},
                  {FVIRTKEY, VK_F5, kIdRefresh1}};
  accelerators_.reset(::CreateAcceleratorTableW(keys, 3));

  // Controls, in tab order. The tab controls first: the pages' controls lie above them.
  const DWORD tab = WS_TABSTOP;
  const DWORD visible = WS_VISIBLE;
  stbStatus = Make(STATUSCLASSNAMEW, L"", visible | SBARS_SIZEGRIP | SBT_NOBORDERS, kIdStatus);
  ::SendMessageW(stbStatus, SB_SIMPLE, TRUE, 0);
  // Drawn by the window: a tab control has no greyed tab, and Analyse is greyed until
  // monitoring has filled its list.
  pcMain = Make(WC_TABCONTROLW, L"", visible | WS_CLIPSIBLINGS | TCS_BOTTOM | TCS_OWNERDRAWFIXED | tab, kIdTabs);
  for (int i = 0; i < kMainTabCount; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(kMainTabs[i]);
    TabCtrl_InsertItem(pcMain, i, &item);
  }
  pcMon = Make(WC_TABCONTROLW, L"", WS_CLIPSIBLINGS | tab, kIdMonTabs);
  const wchar_t* monTabs[] = {L"&List", L"&Graph"};
  for (int i = 0; i < 2; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(monTabs[i]);
    TabCtrl_InsertItem(pcMon, i, &item);
  }

  // Task tab.
  stTaskOPools = Make(L"STATIC", L"Avaible pools", SS_LEFT, kIdPoolsTitle);
  ::SendMessageW(stTaskOPools, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.get()), FALSE);
  lvTaskOPools = Make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | tab, kIdPools);
  ListView_SetExtendedListViewStyle(lvTaskOPools, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  AddColumn(lvTaskOPools, 0, L"Pool", 220);
  AddColumn(lvTaskOPools, 1, L"Apps", 40);
  btnTaskOPRefresh = Make(L"BUTTON", L"&Refresh", BS_PUSHBUTTON | tab, kIdRefresh);
  btnTaskOFilter = Make(L"BUTTON", L"&Apply filter", BS_PUSHBUTTON | tab, kIdFilter);
  edtTaskOPFilter = Make(L"EDIT", L"", ES_AUTOHSCROLL | tab, kIdFilterBox);
  btnTaskStart = Make(L"BUTTON", L"&Start", BS_PUSHBUTTON | WS_DISABLED | tab, kIdStart);
  ::SendMessageW(btnTaskStart, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.get()), FALSE);
  btnTaskStop = Make(L"BUTTON", L"S&top", BS_PUSHBUTTON | tab, kIdStop);
  Label1 = Make(L"STATIC", L"Monitoring &every (in minutes)", SS_LEFT, kIdLabel1);
  edtMonMinutes = Make(L"EDIT", L"3", ES_AUTOHSCROLL | tab, kIdMinutes, WS_EX_CLIENTEDGE);
  ::SendMessageW(edtMonMinutes, EM_LIMITTEXT, 3, 0);
  ::SetWindowLongPtrW(edtMonMinutes, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  intervalEditBase_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      edtMonMinutes, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::IntervalEditProc)));
  chkGetName = Make(L"BUTTON", L"Get name of site", BS_AUTOCHECKBOX | tab, kIdGetName);
  chkGetASPNET = Make(L"BUTTON", L"Get ver. ASP.NET", BS_AUTOCHECKBOX | tab, kIdGetAspNet);
  chkHideInactive = Make(L"BUTTON", L"&Hide inactive pools", BS_AUTOCHECKBOX, kIdHideInactive);
  Button_SetCheck(chkHideInactive, BST_CHECKED);  // never shown

  // Monitoring tab.
  tvMonList = Make(WC_TREEVIEWW, L"", TVS_FULLROWSELECT | TVS_NOTOOLTIPS | TVS_HASBUTTONS |
                                          TVS_LINESATROOT | TVS_SHOWSELALWAYS | tab, kIdTree);
  TreeView_SetIndent(tvMonList, 19);
  s = Make(L"TarnwellChart", L"", 0, kIdChart);

  // Analyse tab.
  lvAnalyse = Make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | tab, kIdAnalyseList);
  ListView_SetExtendedListViewStyle(lvAnalyse, LVS_EX_FULLROWSELECT);
  AddColumn(lvAnalyse, 0, L"Pool", 200);
  AddColumn(lvAnalyse, 1, L"App", 50);
  AddColumn(lvAnalyse, 2, L"CPU", 50);
  AddColumn(lvAnalyse, 3, L"RAM", 50);
  const DWORD paneStyle = ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY |
                          WS_VSCROLL | WS_HSCROLL | tab;
  memAnalyse = Make(L"EDIT", L"", paneStyle, kIdAnalyseLog);
  ::SendMessageW(memAnalyse, EM_SETLIMITTEXT, 0, 0);
  btnAnalyseStart = Make(L"BUTTON", L"&Start", BS_PUSHBUTTON | WS_DISABLED | tab, kIdAnalyseStart);
  btnAnalyseStop = Make(L"BUTTON", L"Sto&p", BS_PUSHBUTTON | WS_DISABLED | tab, kIdAnalyseStop);
  Label2 = Make(L"STATIC", L"Alert if CPU usage greater than", SS_LEFT, kIdLabel2);
  edtAnalyseCPU = Make(L"EDIT", L"70", ES_AUTOHSCROLL | tab, kIdAnalyseCpu, WS_EX_CLIENTEDGE);
  ::SendMessageW(edtAnalyseCPU, EM_LIMITTEXT, 3, 0);
  Label3 = Make(L"STATIC", L"%", SS_LEFT, kIdLabel3);

  // The message pane.
  chkDontScroll = Make(L"BUTTON", L"No scroll", visible | BS_AUTOCHECKBOX | tab, kIdDontScroll);
  Button_SetCheck(chkDontScroll, BST_CHECKED);
  memLog = Make(L"EDIT", L"", visible | paneStyle, kIdLog, WS_EX_CLIENTEDGE);
  ::SendMessageW(memLog, EM_SETLIMITTEXT, 0, 0);
  for (HWND pane : {memAnalyse, memLog}) {
    ::SetWindowLongPtrW(pane, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    paneEditBase_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::PaneEditProc)));
  }

  // History tab.
  history_ = std::make_unique<HistoryTab>(instance_, hwnd_, font_.get(), clock_,
                                          [this](std::function<void()> f) { PostToUi(std::move(f)); });

  frmAbout_ = CreateAbout(instance_, hwnd_, font_.get());

  {
    std::lock_guard<std::mutex> lock(queueLock_);
    queueOpen_ = true;
  }
  // The tab controls under every page control, the inner one over the outer one.
  for (HWND tabs : {pcMon, pcMain}) {
    ::SetWindowPos(tabs, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  TabCtrl_SetCurSel(pcMain, kTabTask);  // the tab shown when the window opens
  SetEnabled(ViewControl::AnalyseTab, false);
  ShowPages();

  // The rules start once every control they reach exists.
  IMainView& view = *this;
  controller_ = std::make_unique<MainController>(view, metabase_, processes_, clock_);
  if (!textfileDir_.empty()) controller_->SetTextfileDir(textfileDir_);
  if (listen_) controller_->SetMetricsUrl(*listen_, SystemHttpServer());
  controller_->Start(exeDir_);
  history_->SetLogDir(controller_->LogDir());  // the folder the rules made
  return true;
}

void MainWindow::StepTab(int step) {
  int page = TabCtrl_GetCurSel(pcMain);
  do {
    page = (page + step + kMainTabCount) % kMainTabCount;
  } while (page == kTabAnalyse && !analyseEnabled_);
  SelectTab(pcMain, page);
}

void MainWindow::SelectTab(HWND tabs, int index) {
  TabCtrl_SetCurSel(tabs, index);
  ShowPages();
  // The keyboard leaves a control the page change hid; hiding it gave the keyboard to
  // the main window itself, where no key does anything.
  const HWND focus = ::GetFocus();
  if (focus == nullptr || focus == hwnd_ || !::IsWindowVisible(focus)) ::SetFocus(tabs);
}

bool MainWindow::Mnemonic(wchar_t key) {
  // Every caption on show that underlines the key, in tab order: the page's controls,
  // then the inner and the main tabs. The dialog manager knows no tab caption, so the
  // window answers Alt+letter itself, by the dialog manager's own rule: one control takes
  // the key (a button is clicked, a label gives the keyboard to the control after it, a
  // tab is shown); several only take the keyboard in turn, so that "&Task" and "S&top"
  // on one page never stop monitoring unasked.
  struct Target {
    HWND control;
    int tab;  // the caption's index on a tab control; -1 for a control's own caption
    bool label = false;
  };
  key = UpperCase(key);
  const HWND focus = ::GetFocus();
  std::vector<Target> targets;
  std::size_t afterFocus = 0;  // the first target after the control with the keyboard
  std::optional<std::size_t> current;  // the target that has the keyboard
  for (HWND c = ::GetWindow(hwnd_, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
    if (c == focus) afterFocus = targets.size();
    if (::IsWindowVisible(c) == 0 || ::IsWindowEnabled(c) == 0) continue;
    if (c == pcMain || c == pcMon) {
      const int count = TabCtrl_GetItemCount(c);
      for (int i = 0; i < count; ++i) {
        if (c == pcMain && i == kTabAnalyse && !analyseEnabled_) continue;  // greyed
        wchar_t text[32] = {};
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = 32;
        if (TabCtrl_GetItem(c, i, &item) == FALSE || UpperCase(MnemonicOf(text)) != key) continue;
        if (c == focus && TabCtrl_GetCurSel(c) == i) current = targets.size();
        targets.push_back({c, i});
      }
      continue;
    }
    wchar_t cls[16] = {};
    ::GetClassNameW(c, cls, 16);
    const bool label = ::lstrcmpiW(cls, L"Static") == 0;
    if (!label && ::lstrcmpiW(cls, L"Button") != 0) continue;
    if (label && (::GetWindowLongPtrW(c, GWL_STYLE) & SS_NOPREFIX) != 0) continue;
    wchar_t text[64] = {};
    ::GetWindowTextW(c, text, 64);
    if (UpperCase(MnemonicOf(text)) != key) continue;
    if (c == focus) current = targets.size();
    targets.push_back({c, -1, label});
  }
  if (targets.empty() || key == 0) return false;  // the menu bar's, if any

  if (targets.size() > 1) {
    const Target& next = targets[current ? (*current + 1) % targets.size() : afterFocus % targets.size()];
    if (next.tab >= 0) SelectTab(next.control, next.tab);
    ::SetFocus(next.control);
    return true;
  }
  const Target& only = targets.front();
  if (only.tab >= 0) {
    SelectTab(only.control, only.tab);
  } else if (!only.label) {
    ::SendMessageW(only.control, BM_CLICK, 0, 0);
  } else if (HWND after = ::GetNextDlgTabItem(hwnd_, only.control, FALSE)) {
    ::SetFocus(after);
    if ((::SendMessageW(after, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) != 0) ::SendMessageW(after, EM_SETSEL, 0, -1);
  }
  return true;
}

void MainWindow::ShowPages() {
  const int page = TabCtrl_GetCurSel(pcMain);
  shownPage_ = page;
  const bool graph = TabCtrl_GetCurSel(pcMon) == 1;
  auto show = [](HWND hwnd, bool on) { ::ShowWindow(hwnd, on ? SW_SHOWNA : SW_HIDE); };
  for (HWND c : {stTaskOPools, lvTaskOPools, btnTaskOPRefresh, btnTaskOFilter, edtTaskOPFilter,
                 btnTaskStart, btnTaskStop, Label1, edtMonMinutes, chkGetName, chkGetASPNET}) {
    show(c, page == kTabTask);
  }
  show(pcMon, page == kTabMonitoring);
  show(tvMonList, page == kTabMonitoring && !graph);
  show(s, page == kTabMonitoring && graph);
  for (HWND c : {lvAnalyse, memAnalyse, btnAnalyseStart, btnAnalyseStop, Label2, edtAnalyseCPU, Label3}) {
    show(c, page == kTabAnalyse);
  }
  if (history_) history_->Show(page == kTabHistory);
  RECT client{};
  ::GetClientRect(hwnd_, &client);
  OnSize(client.right, client.bottom);
}

void MainWindow::OnSize(int width, int height) {
  if (stbStatus == nullptr) return;
  pageBrush_.reset();
  pagePicture_.reset();
  ::SendMessageW(stbStatus, WM_SIZE, 0, 0);
  RECT bar{};
  ::GetWindowRect(stbStatus, &bar);
  const int bottom = height - (bar.bottom - bar.top);
  logHeight_ = std::clamp(logHeight_, kMinPane, std::max(kMinPane, bottom - kSplitterWidth - 2 * kMinPane));
  const int logTop = bottom - logHeight_;
  Place(chkDontScroll, 4, logTop + 1, 120, 18);
  Place(memLog, 0, logTop + 20, width, logHeight_ - 20);
  splLog_ = {0, logTop - kSplitterWidth, width, logTop};

  const int tabsBottom = logTop - kSplitterWidth;
  Place(pcMain, 0, 0, width, tabsBottom);
  RECT page{0, 0, width, tabsBottom};
  TabCtrl_AdjustRect(pcMain, FALSE, &page);
  const int pw = page.right - page.left;
  const int ph = page.bottom - page.top;
  const int px = page.left;
  const int py = page.top;

  // Task: the options (title, list, buttons), then the interval row at the bottom.
  const int controlTop = py + ph - 30;
  Place(Label1, px + 8, controlTop + 8, 144, 14);
  Place(edtMonMinutes, px + 152, controlTop + 4, 41, kEditHeight);
  Place(chkGetName, px + 200, controlTop + 6, 104, 17);
  Place(chkGetASPNET, px + 304, controlTop + 6, 120, 17);
  Place(stTaskOPools, px + 4, py + 2, pw - 8, 15);
  const int refreshTop = controlTop - 2 - 36;
  Place(lvTaskOPools, px + 2, py + 17, pw - 4, refreshTop - py - 17);
  const int by = refreshTop + 5;
  Place(btnTaskOPRefresh, px + 5, by, kButtonWidth, kButtonHeight);
  Place(btnTaskOFilter, px + 88, by, kButtonWidth, kButtonHeight);
  const int stopX = px + pw - 4 - kButtonWidth;
  const int startX = stopX - 4 - kButtonWidth;
  Place(btnTaskStart, startX, by, kButtonWidth, kButtonHeight);
  Place(btnTaskStop, stopX, by, kButtonWidth, kButtonHeight);
  Place(edtTaskOPFilter, px + 168, by + 2, std::max(60, startX - 8 - (px + 168)), kEditHeight);

  // Monitoring: the inner tabs fill the page.
  Place(pcMon, px, py, pw, ph);
  RECT inner{px, py, px + pw, py + ph};
  TabCtrl_AdjustRect(pcMon, FALSE, &inner);
  Place(tvMonList, inner.left, inner.top, inner.right - inner.left, inner.bottom - inner.top);
  Place(s, inner.left, inner.top, inner.right - inner.left, inner.bottom - inner.top);
  ::InvalidateRect(s, nullptr, FALSE);

  // Analyse: the list, Splitter1, the messages and the button row.
  const int panel2Top = py + ph - 31;
  analyseListHeight_ = std::clamp(analyseListHeight_, kMinPane,
                                  std::max(kMinPane, panel2Top - py - kSplitterWidth - kMinPane));
  Place(lvAnalyse, px + 2, py + 2, pw - 4, analyseListHeight_ - 4);
  splitter1_ = {px, py + analyseListHeight_, px + pw, py + analyseListHeight_ + kSplitterWidth};
  Place(memAnalyse, px, splitter1_.bottom, pw, panel2Top - splitter1_.bottom);
  Place(btnAnalyseStart, px + 4, panel2Top + 3, kButtonWidth, kButtonHeight);
  Place(btnAnalyseStop, px + 87, panel2Top + 3, kButtonWidth, kButtonHeight);
  Place(Label2, px + 176, panel2Top + 9, 152, 14);
  Place(edtAnalyseCPU, px + 328, panel2Top + 5, 41, kEditHeight);
  Place(Label3, px + 371, panel2Top + 9, 12, 14);

  if (history_) history_->Place(px, py, pw, ph);
}

void MainWindow::SplitterPress(int y) {
  POINT at{0, y};
  const bool analyse = TabCtrl_GetCurSel(pcMain) == kTabAnalyse;
  if (y >= splLog_.top && y < splLog_.bottom) {
    drag_ = Drag::Log;
    dragOffset_ = splLog_.bottom - at.y;
  } else if (analyse && y >= splitter1_.top && y < splitter1_.bottom) {
    drag_ = Drag::Analyse;
    dragOffset_ = at.y - splitter1_.top;
  } else {
    return;
  }
  ::SetCapture(hwnd_);
}

void MainWindow::SplitterDrag(int y) {
  RECT client{};
  ::GetClientRect(hwnd_, &client);
  if (drag_ == Drag::Log) {
    logHeight_ = splLog_.bottom - (y + dragOffset_) + logHeight_;
  } else {
    analyseListHeight_ += (y - dragOffset_) - splitter1_.top;
  }
  OnSize(client.right, client.bottom);
}

bool MainWindow::OnSetCursor(HWND under, int hitTest) {
  if (under == hwnd_ && hitTest == HTCLIENT) {
    POINT at{};
    ::GetCursorPos(&at);
    ::ScreenToClient(hwnd_, &at);
    const bool analyse = TabCtrl_GetCurSel(pcMain) == kTabAnalyse;
    if (::PtInRect(&splLog_, at) || (analyse && ::PtInRect(&splitter1_, at))) {
      ::SetCursor(::LoadCursorW(nullptr, IDC_SIZENS));
      return true;
    }
  }
  // The status bar shows the hint of the control under the mouse.
  const wchar_t* hint = kNoHint;
  if (under == edtTaskOPFilter) hint = kFilterHint;
  if (under == lvAnalyse || (under != nullptr && ::GetParent(under) == lvAnalyse)) {
    hint = kAnalyseHint;
  }
  if (hint != shownHint_) {  // set only when it changes: this runs on every mouse move
    shownHint_ = hint;
    ::SendMessageW(stbStatus, SB_SETTEXTW, 255 | SBT_NOBORDERS, reinterpret_cast<LPARAM>(hint));
  }
  return false;
}

HBRUSH MainWindow::OnColour(HDC dc, HWND control, bool editMessage) {
  if (control == edtTaskOPFilter) {
    ::SetBkColor(dc, RGB(192, 220, 192));
    return filterBrush_.get();
  }
  if (control == memAnalyse) {
    ::SetBkColor(dc, RGB(215, 255, 255));
    return analyseBrush_.get();
  }
  if (control == memLog && !editMessage) {  // read-only, yet a white page
    ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
    return paneBrush_.get();
  }
  if (editMessage) return reinterpret_cast<HBRUSH>(::DefWindowProcW(hwnd_, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
  return PageBrush(dc, control);
}

// A label or tick box on a page shows the page behind it; null for any other control.
HBRUSH MainWindow::PageBrush(HDC dc, HWND control) {
  RECT tabs{}, box{};
  ::GetWindowRect(pcMain, &tabs);
  ::GetWindowRect(control, &box);
  wchar_t cls[16] = {};
  if (box.left < tabs.left || box.top < tabs.top || box.right > tabs.right || box.bottom > tabs.bottom ||
      (::GetClassNameW(control, cls, 16) > 0 && (::lstrcmpiW(cls, L"Edit") == 0 || ::lstrcmpiW(cls, L"ComboBox") == 0))) {
    return nullptr;  // a greyed or read-only box keeps its own colour
  }
  if (!pageBrush_) {
    RECT client{};
    ::GetClientRect(pcMain, &client);
    HDC screen = ::GetDC(pcMain);
    pagePicture_.reset(::CreateCompatibleBitmap(screen, std::max(1L, client.right), std::max(1L, client.bottom)));
    HDC memory = ::CreateCompatibleDC(screen);
    HGDIOBJ old = ::SelectObject(memory, pagePicture_.get());
    ::SendMessageW(pcMain, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT | PRF_ERASEBKGND);
    ::SelectObject(memory, old);
    ::DeleteDC(memory);
    ::ReleaseDC(pcMain, screen);
    pageBrush_.reset(::CreatePatternBrush(pagePicture_.get()));
  }
  // The brush's origin at the tab control's, seen from the control.
  ::SetBrushOrgEx(dc, tabs.left - box.left, tabs.top - box.top, nullptr);
  ::SetBkMode(dc, TRANSPARENT);
  return pageBrush_.get();
}

void MainWindow::OnCommand(int id, int code, HWND control) {
  if (history_ && history_->OnCommand(id, code)) return;
  MainController* rules = Rules();
  if (rules == nullptr) return;
  const bool clicked = control == nullptr || code == BN_CLICKED;
  switch (id) {
    case kIdExit: ::PostMessageW(hwnd_, WM_CLOSE, 0, 0); break;
    case kIdAbout: ShowAboutModal(frmAbout_, hwnd_); break;
    case kIdSelectAll1:
    case kIdSelectAll2:
    case kIdDeselectAll1:
    case kIdDeselectAll2: {
      const int tag = (id == kIdSelectAll1 || id == kIdSelectAll2) ? kTagSelectAll : 11;
      rules->TickAll(tag == kTagSelectAll);
      break;
    }
    case kIdRefresh1:
    case kIdRefresh2: rules->RefreshClicked(); break;
    case kIdRefresh: if (clicked) rules->RefreshClicked(); break;
    case kIdFilter: if (clicked) rules->FilterClicked(); break;
    case kIdStart: if (clicked) rules->StartClicked(); break;
    case kIdStop: if (clicked) rules->StopClicked(); break;
    case kIdGetName: if (clicked) rules->SiteNameToggled(); break;
    case kIdAnalyseStart: if (clicked) rules->AnalyseStartClicked(); break;
    case kIdAnalyseStop: if (clicked) rules->AnalyseStopClicked(); break;
    case kIdMinutes:
      if (code == EN_CHANGE) rules->MonitorMinutesChanged(ToUtf8(WindowText(edtMonMinutes)));
      break;
    default: break;
  }
}

LRESULT MainWindow::OnNotify(const NMHDR& header) {
  MainController* rules = Rules();
  if (header.hwndFrom == pcMain || header.hwndFrom == pcMon) {
    if (header.code != TCN_SELCHANGE) return 0;
    if (header.hwndFrom == pcMain && TabCtrl_GetCurSel(pcMain) == kTabAnalyse && !analyseEnabled_) {
      TabCtrl_SetCurSel(pcMain, shownPage_);  // greyed: the click or key is refused
      return 0;
    }
    ShowPages();
    return 0;
  }
  if (LRESULT result = 0; history_ && history_->OnNotify(header, result)) return result;
  if (rules == nullptr || quiet_ > 0) return 0;
  if (header.hwndFrom == lvTaskOPools || header.hwndFrom == lvAnalyse) {
    const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
    const bool pools = header.hwndFrom == lvTaskOPools;
    if (header.code == LVN_COLUMNCLICK) {
      if (pools) rules->PoolColumnClicked(change.iSubItem);
      else if (analyseEnabled_) rules->AnalyseColumnClicked(change.iSubItem);
    } else if (header.code == LVN_ITEMCHANGED && (change.uChanged & LVIF_STATE) != 0) {
      const UINT oldTick = change.uOldState & LVIS_STATEIMAGEMASK;
      const UINT newTick = change.uNewState & LVIS_STATEIMAGEMASK;
      if (pools && oldTick != 0 && oldTick != newTick) rules->PoolTickChanged(change.iItem);
      if (!pools && ((change.uOldState ^ change.uNewState) & LVIS_SELECTED) != 0) {
        rules->AnalyseSelectionChanged();
      }
    }
  }
  return 0;
}

LRESULT CALLBACK MainWindow::IntervalEditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_CHAR && wParam != VK_TAB) {
    const wchar_t typed[2] = {static_cast<wchar_t>(wParam), 0};
    if (!MainController::IntervalKeyAccepted(ToUtf8(typed))) return 0;  // dropped
  }
  return ::CallWindowProcW(self->intervalEditBase_, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK MainWindow::PaneEditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_GETDLGCODE) {
    // A multi-line edit asks for every key, and then takes Esc for the window's close and
    // keeps Tab: the panes are read-only, so both go back to the dialog keys.
    const LRESULT code = ::CallWindowProcW(self->paneEditBase_, hwnd, msg, wParam, lParam);
    return code & ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_WANTMESSAGE);
  }
  if ((msg == WM_KEYDOWN || msg == WM_CHAR) && (wParam == VK_ESCAPE || wParam == VK_TAB)) return 0;
  return ::CallWindowProcW(self->paneEditBase_, hwnd, msg, wParam, lParam);
}

void MainWindow::OnClose() {
  // The wait below runs posted messages, and a second close (the taskbar's, End Task)
  // would destroy the window and the rules under the first one.
  if (closing_) return;
  closing_ = true;
  // As the Qt window: the workers end, and what they hand over still runs, before the
  // window goes. An analysis may take a while to put its applications back: say why the
  // window stays.
  if (MainController* rules = Rules()) {
    const MainController::WorkerCounts live = rules->LiveWorkers();
    if (live.loaders + live.monitors + live.analysers > 0) rules->LogWinMsg(kClosingWait);
    rules->StopWorkersAndWait();
  }
  ::DestroyWindow(hwnd_);
}

void MainWindow::OnDestroy() {
  history_.reset();  // waits for a load under way, whose result is then never drawn
  if (controller_) {
    controller_->StopWorkersAndWait();
    std::unique_ptr<MainController> rules = std::move(controller_);
    rules.reset();
  }
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    queueOpen_ = false;
    queue_.clear();
  }
  for (auto& timer : timers_) ::KillTimer(hwnd_, timer.first);
  timers_.clear();
  if (frmAbout_ != nullptr) ::DestroyWindow(frmAbout_);
  frmAbout_ = nullptr;
  ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  hwnd_ = nullptr;
  ::PostQuitMessage(0);
}

}  // namespace tarnwell::win32ui
