#pragma once
// The process-system seam: what the program asks of the operating system about other
// processes. /proc answers it on Linux; kernel32, psapi and ntdll on Windows.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwell::platform {

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::uint32_t threads = 0;
  std::string exeName;  // file name without directory, "w3wp.exe"
};

// Processor time consumed so far, in 100-nanosecond units as GetProcessTimes gives it.
struct ProcessTimes {
  std::int64_t user = 0;
  std::int64_t kernel = 0;
};

// Handle counts of one process: every handle, files on local disks, TCP endpoints.
struct HandleCounts {
  std::int32_t openFiles = 0;
  std::int32_t openTcp = 0;
  std::int32_t handles = 0;
};

// An open process kept for repeated processor-time reads (owns the OS handle).
class IProcessTimesReader {
 public:
  virtual ~IProcessTimesReader() = default;
  virtual std::optional<ProcessTimes> Read() = 0;
};

class IProcessSystem {
 public:
  virtual ~IProcessSystem() = default;

  // Snapshot of the running processes, in the system's order. False when not even the
  // first entry could be read.
  virtual bool Snapshot(std::vector<ProcessEntry>& entries) = 0;
  // The process's command line as 8-bit text; empty when it cannot be read.
  virtual std::string CommandLine(std::uint32_t pid) = 0;
  // Current working set in bytes; -1 when it cannot be read.
  virtual std::int64_t WorkingSet(std::uint32_t pid) = 0;
  // Opens the process for processor-time reads; null when it cannot be opened.
  virtual std::unique_ptr<IProcessTimesReader> OpenTimes(std::uint32_t pid) = 0;
  // Millisecond tick that wraps at 2^32, as GetTickCount.
  virtual std::uint32_t TickMs() = 0;
  virtual void SleepMs(std::uint32_t ms) = 0;
  // Handle census; zeros for what cannot be counted, never raises for a vanished process.
  virtual HandleCounts CountHandles(std::uint32_t pid) = 0;
  // Ends the process with the exit code; false when it cannot be opened or ended.
  virtual bool Terminate(std::uint32_t pid, std::uint32_t exitCode) = 0;
};

}  // namespace tarnwell::platform
