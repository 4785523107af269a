// Test helper started by the Windows seam tests: idles, or with --burn keeps two
// processors busy, until it is ended or two minutes pass (so none is left behind). It sets
// its starter's ready event once it runs.
// Its other arguments are there to be read back through the process environment block.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};

void Burn() {
  volatile unsigned long long spin = 0;
  while (!gStop.load(std::memory_order_relaxed)) spin = spin + 1;
}

}  // namespace

int main() {
  const bool burn = std::wstring_view(::GetCommandLineW()).find(L"--burn") != std::wstring_view::npos;
  std::vector<std::thread> burners;
  if (burn) {
    for (int i = 0; i < 2; ++i) burners.emplace_back(Burn);
  }
  const std::wstring ready = L"tarnwell-child-ready-" + std::to_wstring(::GetCurrentProcessId());
  if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
  ::Sleep(120000);
  gStop = true;
  for (auto& t : burners) t.join();
  return 0;
}
