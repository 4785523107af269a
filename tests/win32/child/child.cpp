// Test helper started by the Windows seam tests: idles, or with --burn keeps two
// processors busy, until it is ended or two minutes pass (so none is left behind). It sets
// its starter's ready event once it runs.
// Its other arguments are there to be read back through the process environment block.
#include <windows.h>

#include <string>
#include <thread>

int main() {
  if (std::wstring_view(::GetCommandLineW()).find(L"--burn") != std::wstring_view::npos) {
    for (int i = 0; i < 2; ++i) {
      std::thread([] {
        volatile unsigned long long spin = 0;
        for (;;) spin = spin + 1;
      }).detach();  // ended with the process
    }
  }
  const std::wstring ready = L"tarnwell-child-ready-" + std::to_wstring(::GetCurrentProcessId());
  if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
  ::Sleep(120000);
  return 0;
}
