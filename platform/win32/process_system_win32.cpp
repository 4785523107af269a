#include "platform/win32/process_system_win32.h"

#include "platform/win32/win_api.h"
#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>

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

// A process opened with the query-information right for repeated time reads.
class TimesReader final : public IProcessTimesReader {
 public:
  explicit TimesReader(UniqueHandle process) : process_(std::move(process)) {}
  std::optional<ProcessTimes> Read() override {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(process_.get(), &creation, &exit, &kernel, &user)) return std::nullopt;
    return ProcessTimes{FileTimeCount(user), FileTimeCount(kernel)};
  }

 private:
  UniqueHandle process_;
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
    return std::make_unique<TimesReader>(std::move(process));
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
