#include "metrics/uCpuUsage.h"

#include <cmath>
#include <limits>

namespace tarnwell {

CpuUsageCounterPtr CreateCpuUsageCounter(platform::IProcessSystem& system, std::uint32_t pid) {
  auto reader = system.OpenTimes(pid);
  if (!reader) return nullptr;
  auto counter = std::make_unique<TCpuUsageCounter>();
  counter->ProcessId = pid;
  counter->System = &system;
  counter->LastTick = system.TickMs();
  const auto times = reader->Read();
  if (!times) return nullptr;
  counter->ProcessHandle = std::move(reader);
  counter->LastUserTime = times->user;
  counter->LastKernelTime = times->kernel;
  counter->LastUsage = 0;
  return counter;
}

float ReadCpuUsage(TCpuUsageCounter& counter) {
  const std::uint32_t now = counter.System->TickMs();
  const std::uint32_t elapsed = now - counter.LastTick;  // unsigned: survives the tick's wrap
  if (elapsed < CpuMinInterval) return counter.LastUsage;

  const auto times = counter.ProcessHandle ? counter.ProcessHandle->Read() : std::nullopt;
  if (!times) {
    counter.LastUsage = -1;
    return counter.LastUsage;
  }
  counter.LastTick = now;
  const std::int64_t busy = times->user + times->kernel - counter.LastUserTime - counter.LastKernelTime;
  counter.LastUserTime = times->user;
  counter.LastKernelTime = times->kernel;
  // busy in 100-ns units over elapsed ms: percent of one processor.
  counter.LastUsage = static_cast<float>(static_cast<double>(busy) / static_cast<double>(elapsed) / 100.0);
  return counter.LastUsage;
}

void DestroyCpuUsageCounter(CpuUsageCounterPtr& counter) { counter.reset(); }

float GetProcessCpuUsage(platform::IProcessSystem& system, std::uint32_t pid) {
  return GetProcessesCpuUsage(system, {pid}).front();
}

std::vector<float> GetProcessesCpuUsage(platform::IProcessSystem& system, const std::vector<std::uint32_t>& pids) {
  std::vector<CpuUsageCounterPtr> counters;
  counters.reserve(pids.size());
  bool anyOpen = false;
  for (const std::uint32_t pid : pids) {
    counters.push_back(CreateCpuUsageCounter(system, pid));
    anyOpen = anyOpen || counters.back() != nullptr;
  }
  if (anyOpen) system.SleepMs(CpuSampleDelay);
  std::vector<float> usages;
  usages.reserve(pids.size());
  for (CpuUsageCounterPtr& counter : counters) {
    float usage = -1;
    if (counter) {
      usage = ReadCpuUsage(*counter);
      DestroyCpuUsageCounter(counter);
      if (usage >= CpuCeiling) usage = CpuCeiling;
    }
    usages.push_back(usage);
  }
  return usages;
}

std::int64_t GetProcessWorkingSet(platform::IProcessSystem& system, std::uint32_t pid) {
  return system.WorkingSet(pid);
}

namespace {

constexpr double kInt32Max = std::numeric_limits<std::int32_t>::max();

// Rounds half to even (the default rounding mode) into the 32-bit range.
std::int32_t RoundClamped(double value) {
  if (value >= kInt32Max) return std::numeric_limits<std::int32_t>::max();
  if (value <= -kInt32Max) return -std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::lrint(value));
}

}  // namespace

std::int32_t RamKBFromWorkingSet(std::int64_t bytes) {
  if (bytes < 0) return 0;
  return RoundClamped(static_cast<double>(bytes) / 1024.0);
}

std::int32_t CpuFromUsage(float usage) {
  if (usage == -1.0f || std::isnan(usage)) return -1;
  return RoundClamped(usage);
}

}  // namespace tarnwell
