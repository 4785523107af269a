#pragma once
// A test helper process of the Windows seam tests, ended when the owner goes.
#include "platform/win32/win_api.h"
#include "platform/win32/win_handles.h"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarnwell::tests {

// The directory of the running test program, where the helper is built too.
inline std::filesystem::path ProgramDirectory() {
  std::wstring path(32768, L'\0');  // the longest path the system has
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path).parent_path();
}

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
    process_.reset(info.hProcess);
    pid_ = info.dwProcessId;
    // The event the helper sets once it runs, made before it runs so that it finds it; a
    // minute is a hung helper.
    const std::wstring readyName = L"tarnwell-child-ready-" + std::to_wstring(pid_);
    const platform::win32::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    ::ResumeThread(info.hThread);
    ::CloseHandle(info.hThread);
    if (::WaitForSingleObject(ready.get(), 60000) != WAIT_OBJECT_0) throw std::runtime_error("the test helper hung");
  }
  ~ChildProcess() {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 5000);
  }

  std::uint32_t pid() const { return pid_; }
  const std::wstring& commandLine() const { return commandLine_; }
  // Exit code once ended within the wait; STILL_ACTIVE otherwise.
  DWORD WaitExit(DWORD ms) const {
    ::WaitForSingleObject(process_.get(), ms);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  platform::win32::UniqueHandle process_;
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

// Threads of this process that keep processors busy until they are destroyed.
inline std::vector<std::jthread> Burners(int count) {
  std::vector<std::jthread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([](std::stop_token stop) {
      volatile unsigned long long spin = 0;
      while (!stop.stop_requested()) spin = spin + 1;
    });
  }
  return threads;
}

}  // namespace tarnwell::tests
