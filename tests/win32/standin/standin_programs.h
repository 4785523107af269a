#pragma once
// The Windows stand-ins as the tests drive them: w3svc.exe and w3wp.exe started with pipes
// and files of the test's own, and the workers as the program's own process system sees
// them.
#include "platform/win32/win_api.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "iis/iis_workers.h"
#include "platform/process_system.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"
#include "tests/win32/child_process.h"

namespace tarnwell::tests {

using namespace std::chrono_literals;
using platform::win32::UniqueHandle;

// Where the build puts w3svc.exe and w3wp.exe, side by side.
inline std::filesystem::path StandinDirectory() {
  return (ProgramDirectory() / std::filesystem::path(TARNWELL_STANDIN_BIN)).lexically_normal();
}

// Polls condition until it holds or timeout passes; generous timeouts only, never a
// measurement.
inline bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

// A started program, ended (TerminateProcess) when the object goes. Its standard input is
// a pipe from the test; its standard output a pipe to the test, or a file.
class Program {
 public:
  // arguments: what follows the program's quoted path on its command line. creation: how
  // CreateProcessW starts it (by default without a console).
  Program(const std::filesystem::path& exe, const std::wstring& arguments,
          const std::filesystem::path& outputFile = {}, DWORD creation = DETACHED_PROCESS) {
    // Nothing it starts may hold the test runner's output open: the runner would wait for it.
    for (const DWORD own : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
      ::SetHandleInformation(::GetStdHandle(own), HANDLE_FLAG_INHERIT, 0);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inheritable, 0)) throw std::runtime_error("pipe");
    UniqueHandle childIn(inRead);
    input_.reset(inWrite);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    UniqueHandle childOut;
    if (outputFile.empty()) {
      if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0)) throw std::runtime_error("pipe");
      output_.reset(outRead);
      childOut.reset(outWrite);
      ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    } else {
      childOut.reset(::CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                   FILE_SHARE_DELETE, &inheritable, CREATE_ALWAYS, 0, nullptr));
      if (!childOut) throw std::runtime_error("cannot make the output file");
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = childOut.get();
    std::wstring line = L"\"" + exe.wstring() + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, creation, nullptr, nullptr, &startup,
                          &info)) {
      throw std::runtime_error("cannot start " + platform::win32::ToUtf8(exe.wstring()));
    }
    process_.reset(info.hProcess);
    ::CloseHandle(info.hThread);
    pid_ = info.dwProcessId;
  }
  ~Program() { Terminate(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  std::uint32_t pid() const { return pid_; }

  bool Send(std::string_view line) {
    const std::string text = std::string(line) + "\n";
    DWORD written = 0;
    return ::WriteFile(input_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
  }

  // One line of its standard output, without the line end; none on time-out or its end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto eol = pending_.find('\n'); eol != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      DWORD available = 0;
      if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return std::nullopt;
      if (available > 0) {
        std::string chunk(available, '\0');
        DWORD n = 0;
        if (!::ReadFile(output_.get(), chunk.data(), available, &n, nullptr)) return std::nullopt;
        pending_.append(chunk.data(), n);
        continue;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(20ms);
    }
  }

  void Terminate() {
    if (!process_) return;
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 30000);
  }
  // Its exit code once ended within the wait; STILL_ACTIVE otherwise.
  DWORD WaitExit(std::chrono::milliseconds timeout) const {
    ::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count()));
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  UniqueHandle process_;
  std::uint32_t pid_ = 0;
  UniqueHandle input_;
  UniqueHandle output_;
  std::string pending_;
};

// The running w3wp.exe processes started from the given executable, by pool name, with
// their command lines: what the program itself reads of a worker.
struct WorkerSeen {
  std::uint32_t pid = 0;
  std::string commandLine;
};
inline std::map<std::string, WorkerSeen> WorkersOf(platform::IProcessSystem& system, const std::filesystem::path& exe) {
  std::map<std::string, WorkerSeen> workers;
  std::vector<platform::ProcessEntry> entries;
  if (!system.Snapshot(entries)) return workers;
  const std::string quotedExe = "\"" + platform::win32::ToUtf8(exe.wstring()) + "\"";
  for (const auto& entry : entries) {
    if (entry.exeName != "w3wp.exe") continue;
    std::string line = system.CommandLine(entry.pid);
    if (line.rfind(quotedExe, 0) != 0) continue;  // another build's, or one that has just gone
    const std::string pool = ExtractPoolName(line);
    workers[pool] = {entry.pid, std::move(line)};
  }
  return workers;
}

// Whether a process with the id still runs.
inline bool IsRunning(std::uint32_t pid) {
  const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace tarnwell::tests
