#pragma once
// Process figures over the process-system seam: working set, processor use over a
// half-second window, and their rounding to the whole-number figures the registry stores.
// Called from worker threads (monitor, analyser); each call uses its own counter.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/process_system.h"

namespace tarnwell {

inline constexpr std::uint32_t CpuSampleDelay = 500;  // ms between the two readings
inline constexpr std::uint32_t CpuMinInterval = 250;  // ms; a closer reading repeats the last figure
inline constexpr float CpuCeiling = 99;               // highest figure ever reported, percent

// One process's processor-time reading between two samples. Owned by its creator
// through CpuUsageCounterPtr; the seam must outlive it.
struct TCpuUsageCounter {
  std::uint32_t ProcessId = 0;
  std::unique_ptr<platform::IProcessTimesReader> ProcessHandle;  // the open process
  std::int64_t LastUserTime = 0;    // 100-ns units
  std::int64_t LastKernelTime = 0;  // 100-ns units
  std::uint32_t LastTick = 0;       // the seam's TickMs at the last reading
  float LastUsage = 0;              // percent of one processor; -1 after a failed reading
  platform::IProcessSystem* System = nullptr;  // for TickMs, not owned
};

using CpuUsageCounterPtr = std::unique_ptr<TCpuUsageCounter>;

// Opens the process and takes the first reading; null when either fails.
CpuUsageCounterPtr CreateCpuUsageCounter(platform::IProcessSystem& system, std::uint32_t pid);
// Percent of one processor since the previous reading (no division by the processor
// count; two busy processors read about 200). Within CpuMinInterval of the previous
// reading: the previous figure, unchanged. A failed reading gives -1 and keeps the
// previous reading, so the next one measures from there.
float ReadCpuUsage(TCpuUsageCounter& counter);
// Releases the counter and its process; the pointer is null afterwards.
void DestroyCpuUsageCounter(CpuUsageCounterPtr& counter);

// Processor use over CpuSampleDelay ms (sleeps in the calling thread), capped at
// CpuCeiling; -1 when it cannot be measured.
float GetProcessCpuUsage(platform::IProcessSystem& system, std::uint32_t pid);
// Processor use of every process over one shared CpuSampleDelay ms window: every first
// reading, one sleep, every second reading, so that n processes cost one window and the
// figures are one snapshot. Each figure is what GetProcessCpuUsage gives for that process.
// No sleep when no process could be opened.
std::vector<float> GetProcessesCpuUsage(platform::IProcessSystem& system, const std::vector<std::uint32_t>& pids);
// Working set in bytes; -1 when it cannot be read.
std::int64_t GetProcessWorkingSet(platform::IProcessSystem& system, std::uint32_t pid);

// RamKB from a working set in bytes: KB rounded half to even; -1 (unreadable) gives 0;
// figures past the 32-bit range are held at its top.
std::int32_t RamKBFromWorkingSet(std::int64_t bytes);
// Cpu from a processor-use figure: rounded half to even; -1 stays -1.
std::int32_t CpuFromUsage(float usage);

}  // namespace tarnwell
