#include "platform/win32/process_system_win32.h"

#include "platform/win32/win_api.h"
#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

#include "platform/win32/command_line.h"
#include "platform/win32/native.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::platform::win32 {

namespace {

// An entry point bound at first use; null when the library or the entry is missing,
// and the caller then fails quietly.
FARPROC BindQuietly(const char* libraryName, const char* entryName) {
  HMODULE module = ::GetModuleHandleA(libraryName);
  if (module == nullptr) module = ::LoadLibraryA(libraryName);
  return module != nullptr ? ::GetProcAddress(module, entryName) : nullptr;
}

using GetProcessMemoryInfoFn = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
// The 8-bit variants, whatever UNICODE says.
using Process32Fn = BOOL(WINAPI*)(HANDLE, tagPROCESSENTRY32*);

GetProcessMemoryInfoFn MemoryInfoFunction() {
  static const auto fn = NativeCast<GetProcessMemoryInfoFn>(BindQuietly("PSAPI.dll", "GetProcessMemoryInfo"));
  return fn;
}

struct ToolhelpFunctions {
  CreateToolhelp32SnapshotFn create = nullptr;
  Process32Fn first = nullptr;
  Process32Fn next = nullptr;
};

const ToolhelpFunctions& Toolhelp() {
  static const ToolhelpFunctions fns{
      NativeCast<CreateToolhelp32SnapshotFn>(BindQuietly("kernel32.dll", "CreateToolhelp32Snapshot")),
      NativeCast<Process32Fn>(BindQuietly("kernel32.dll", "Process32First")),
      NativeCast<Process32Fn>(BindQuietly("kernel32.dll", "Process32Next"))};
  return fns;
}

std::int64_t FileTimeCount(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

using Thread32Fn = BOOL(WINAPI*)(HANDLE, THREADENTRY32*);

// The threads of a process as a snapshot lists them now, each opened to read its times;
// a thread the caller may not open is left out.
std::vector<UniqueHandle> OpenThreadsOf(std::uint32_t pid) {
  static const auto first = NativeCast<Thread32Fn>(BindQuietly("kernel32.dll", "Thread32First"));
  static const auto next = NativeCast<Thread32Fn>(BindQuietly("kernel32.dll", "Thread32Next"));
  std::vector<UniqueHandle> threads;
  const ToolhelpFunctions& th = Toolhelp();
  if (th.create == nullptr || first == nullptr || next == nullptr) return threads;
  UniqueHandle snapshot(th.create(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return threads;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    UniqueHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    if (thread) threads.push_back(std::move(thread));
  }
  return threads;
}

// Wine keeps no processor time for another process (its GetProcessTimes answers numbers
// that do not move with the process), only for each thread; Windows keeps both.
bool ProcessTimesAreKept() {
  static const bool kept = BindQuietly("ntdll.dll", "wine_get_version") == nullptr;
  return kept;
}

// A process opened with the query-information right for repeated time reads. Where the
// system keeps no process times, the threads the process had at the opening are read
// instead, each count kept from only growing, as a thread that ended may read nothing.
class TimesReader final : public IProcessTimesReader {
 public:
  TimesReader(UniqueHandle process, std::vector<UniqueHandle> threads)
      : process_(std::move(process)), threads_(std::move(threads)), seen_(threads_.size()) {}
  std::optional<ProcessTimes> Read() override {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(process_.get(), &creation, &exit, &kernel, &user)) return std::nullopt;
    if (ProcessTimesAreKept()) return ProcessTimes{FileTimeCount(user), FileTimeCount(kernel)};
    ProcessTimes sum;
    for (std::size_t i = 0; i < threads_.size(); ++i) {
      if (::GetThreadTimes(threads_[i].get(), &creation, &exit, &kernel, &user)) {
        const ProcessTimes now{FileTimeCount(user), FileTimeCount(kernel)};
        if (now.user + now.kernel > seen_[i].user + seen_[i].kernel) seen_[i] = now;
      }
      sum.user += seen_[i].user;
      sum.kernel += seen_[i].kernel;
    }
    return sum;
  }

 private:
  UniqueHandle process_;
  std::vector<UniqueHandle> threads_;  // empty where the system keeps process times
  std::vector<ProcessTimes> seen_;  // per thread, the largest count read
};

class Win32ProcessSystem final : public IProcessSystem {
 public:
  explicit Win32ProcessSystem(CensusOptions census) : census_(NativeCensusSystem(), census) {}

  bool Snapshot(std::vector<ProcessEntry>& entries) override {
    entries.clear();
    const ToolhelpFunctions& th = Toolhelp();
    if (th.create == nullptr || th.first == nullptr || th.next == nullptr) return false;
    UniqueHandle snapshot(th.create(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    tagPROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!th.first(snapshot.get(), &entry)) return false;
    do {
      // szExeFile is in the ANSI code page; the program's text is UTF-8.
      entries.push_back(ProcessEntry{static_cast<std::uint32_t>(entry.th32ProcessID),
                                     static_cast<std::uint32_t>(entry.cntThreads),
                                     AnsiToUtf8(std::string_view(entry.szExeFile, ::strnlen(entry.szExeFile, MAX_PATH)))});
    } while (th.next(snapshot.get(), &entry));
    return true;
  }

  std::string CommandLine(std::uint32_t pid) override { return ReadProcessCommandLine(pid); }

  std::int64_t WorkingSet(std::uint32_t pid) override {
    const GetProcessMemoryInfoFn memoryInfo = MemoryInfoFunction();
    if (memoryInfo == nullptr) return -1;
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) return -1;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!memoryInfo(process.get(), &counters, sizeof counters)) return -1;
    return static_cast<std::int64_t>(counters.WorkingSetSize);
  }

  std::unique_ptr<IProcessTimesReader> OpenTimes(std::uint32_t pid) override {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) return nullptr;
    return std::make_unique<TimesReader>(std::move(process),
                                         ProcessTimesAreKept() ? std::vector<UniqueHandle>{} : OpenThreadsOf(pid));
  }

  std::uint32_t TickMs() override { return ::GetTickCount(); }

  void SleepMs(std::uint32_t ms) override { ::Sleep(ms); }

  HandleCounts CountHandles(std::uint32_t pid) override { return census_.Count(pid); }

  bool Terminate(std::uint32_t pid, std::uint32_t exitCode) override {
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && ::TerminateProcess(process.get(), exitCode);
  }

 private:
  HandleCensus census_;
};

}  // namespace

std::unique_ptr<IProcessSystem> OpenWin32ProcessSystem(CensusOptions census) {
  return std::make_unique<Win32ProcessSystem>(census);
}

}  // namespace tarnwell::platform::win32
