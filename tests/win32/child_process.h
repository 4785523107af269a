#pragma once
// A test helper process of the Windows seam tests, ended when the owner goes.
#include "platform/win32/win_api.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarnwell::tests {

// The directory of the running test program, where the helper is built too.
inline std::filesystem::path ProgramDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
}

// The event a helper sets once it runs: its arguments readable, its threads started.
inline std::wstring ReadyEventName(DWORD pid) { return L"tarnwell-child-ready-" + std::to_wstring(pid); }

class ChildProcess {
 public:
  // arguments: what follows the program's quoted path on its command line.
  explicit ChildProcess(const std::wstring& arguments) {
    const auto exe = ProgramDirectory() / L"tarnwell_win32_child.exe";
    commandLine_ = L"\"" + exe.wstring() + L"\" " + arguments;
    std::wstring mutableLine = commandLine_;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
      throw std::runtime_error("cannot start the test helper");
    }
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    // Made before the helper runs, so that it finds it; a minute is a hung helper.
    const HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(pid_).c_str());
    ::ResumeThread(info.hThread);
    ::CloseHandle(info.hThread);
    const DWORD waited = ::WaitForSingleObject(ready, 60000);
    ::CloseHandle(ready);
    if (waited != WAIT_OBJECT_0) throw std::runtime_error("the test helper did not start");
  }
  ~ChildProcess() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 5000);
    ::CloseHandle(process_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::uint32_t pid() const { return pid_; }
  HANDLE handle() const { return process_; }
  const std::wstring& commandLine() const { return commandLine_; }
  // Exit code once ended within the wait; STILL_ACTIVE otherwise.
  DWORD WaitExit(DWORD ms) const {
    ::WaitForSingleObject(process_, ms);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_, &code);
    return code;
  }

 private:
  HANDLE process_ = nullptr;
  std::uint32_t pid_ = 0;
  std::wstring commandLine_;
};

// A process id that no process has: one of a helper that has ended and is gone from the
// system (wine keeps an ended process openable for a moment after it has been waited for).
inline std::uint32_t EndedProcessId() {
  std::uint32_t pid = 0;
  {
    ChildProcess child(L"-ap \"Gone\"");
    pid = child.pid();
  }
  for (int i = 0; i < 600; ++i) {  // a bound for a stuck system only
    HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) break;
    ::CloseHandle(h);
    ::Sleep(50);
  }
  return pid;
}

// Threads of this process that keep processors busy while the object lives.
class Burners {
 public:
  explicit Burners(int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        volatile unsigned long long spin = 0;
        while (!stop_.load(std::memory_order_relaxed)) spin = spin + 1;
      });
    }
  }
  ~Burners() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }
  Burners(const Burners&) = delete;
  Burners& operator=(const Burners&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

}  // namespace tarnwell::tests
