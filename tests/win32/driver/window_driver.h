#pragma once
// What the window tests under wine share: starting programs, waiting on what they do, the
// program's windows found and read, and the mouse and the keyboard as a user's. Every
// wait ends when the condition holds, when the program ends, or after kPatienceMs.
#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tarnwell::wintest {

inline constexpr DWORD kPatienceMs = 120000;  // a hang, not a slow machine

// A started program, ended if still running when this goes.
struct Process {
  PROCESS_INFORMATION info{};
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();
};

bool Start(const std::wstring& exe, const std::wstring& args, Process& out);
// The files of dir (ending in a separator) matching pattern, read whole and joined.
std::string ReadMatching(const std::wstring& dir, const wchar_t* pattern);
// Looks at what the program has done until it holds, while the program runs.
bool WaitFor(HANDLE program, const std::function<bool()>& holds);
// The program's main window; the display has no other program's.
HWND FindMainWindow(DWORD pid);
// Clicks a tab of a tab control in the program, as the mouse would.
void ClickTab(HANDLE program, HWND tabs, int index);
// The list row whose first cell is text; -1 when none.
int FindRow(HANDLE program, HWND list, const std::wstring& text);
// Selects the list row whose first cell is text, as a click on it would (the same
// notifications reach the window); false when no row has it.
bool SelectRow(HANDLE program, HWND list, const std::wstring& text);
// Ticks or clears the row's tick box with a click of the mouse; false when no row has text.
bool TickRow(HANDLE program, HWND list, const std::wstring& text);
// The control that has the keyboard in the program's window.
HWND FocusOf(HWND main);
// Keys as the keyboard types them (virtual key, down), to the foreground window's focus.
void Type(std::initializer_list<std::pair<WORD, bool>> keys);
// Text as the keyboard types it, character by character (any UTF-16 text).
void TypeText(const std::wstring& text);
// The pointer moved to a point of the screen, once it is there.
void MoveTo(POINT screen);
// A click of the mouse at a point of the screen, or on the middle of a window, as the
// mouse makes it: a greyed control takes none.
void ClickAt(POINT screen);
void ClickOn(HWND window);
// The names in dir (ending in a separator), sorted.
std::vector<std::wstring> Names(const std::wstring& dir);
// A shown top-level window of the process with this class; null when none.
HWND FindShownWindow(DWORD pid, const wchar_t* className);
// A message box of the program's, once it shows.
HWND FindMessageBox(DWORD pid);
// Runs exe with args to its message box, reads the box's text, presses OK and waits for the
// program's end: false (with what happened in text) when there was no box or no end.
bool AnswerInBox(const std::wstring& exe, const std::wstring& args, std::string& text, DWORD& status);
// A window's text, UTF-8, asked of its process.
std::string TextOf(HWND window);
bool IsEmpty(const std::wstring& dir);
// The window as the screen shows it, to a 24-bit BMP file. clientOnly: without the frame,
// whose size wine reports wrongly for a dialog with no window manager to draw it.
bool SavePicture(HWND window, const std::wstring& path, bool clientOnly = false);
// The screen's pixels in a rectangle (screen coordinates), top row first, as 0x00RRGGBB.
std::vector<DWORD> GrabScreen(const RECT& box);
// Says what failed; returns the exit status of a failed run.
int Fail(const char* what);

}  // namespace tarnwell::wintest
