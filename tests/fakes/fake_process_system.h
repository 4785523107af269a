#pragma once
// A process system held in memory, with a clock that tests drive. Thread-safe: the
// sampling pass and the analyser may share one from their threads.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/process_system.h"

namespace tarnwell::fakes {

class FakeProcessSystem : public platform::IProcessSystem {
  template <typename F>
  auto Locked(F f) const {  // before its callers: they deduce its type
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  struct Process {
    std::uint32_t pid = 0;
    std::uint32_t threads = 1;
    std::string exeName = "w3wp.exe";
    std::string commandLine{};             // "" reads as unreadable
    std::int64_t workingSet = 0;           // bytes; -1: unreadable
    double cpuPercent = 0;                 // of one processor, accrued while the clock runs
    platform::ProcessTimes times{};        // 100-ns units so far
    platform::HandleCounts handles{};
    bool timesOpenable = true;             // false: OpenTimes gives null
    int timesReadsLeft = -1;               // successful Read()s left; -1: unlimited
  };

  // Processes, in the order Snapshot lists them.
  void Add(Process process) { Locked([&] { processes_.push_back(std::move(process)); }); }
  // The process ends: every later query about it fails. False when it was not there.
  bool Remove(std::uint32_t pid) { return Locked([&] { return Erase(pid); }); }
  void Update(std::uint32_t pid, const std::function<void(Process&)>& change) {
    Locked([&] { if (Process* p = Find(pid)) change(*p); });
  }
  std::optional<Process> Get(std::uint32_t pid) const {
    return Locked([&] { return Find(pid) ? std::optional(*Find(pid)) : std::nullopt; });
  }

  // Builds the command line IIS 6 gives a pool's worker.
  static std::string WorkerCommandLine(const std::string& pool);
  // Adds a w3wp.exe serving pool.
  void AddWorker(std::uint32_t pid, const std::string& pool, double cpuPercent = 0,
                 std::int64_t workingSet = 0, std::uint32_t threads = 1) {
    Add({.pid = pid, .threads = threads, .commandLine = WorkerCommandLine(pool), .workingSet = workingSet,
         .cpuPercent = cpuPercent});
  }

  // Clock: TickMs reads it; AdvanceMs and SleepMs move it and accrue every process's
  // processor time from its cpuPercent.
  void SetTick(std::uint32_t tick) { Locked([&] { tick_ = tick; }); }
  void AdvanceMs(std::uint32_t ms);
  // Runs after the clock has moved in SleepMs (no lock held: it may Remove or Update).
  void SetOnSleep(std::function<void(std::uint32_t ms)> hook) { Locked([&] { onSleep_ = std::move(hook); }); }

  void SetSnapshotFails(bool fails) { Locked([&] { snapshotFails_ = fails; }); }

  // What was asked.
  int CommandLineReads(std::uint32_t pid) const { return Locked([&] { return Asked(commandLineReads_, pid); }); }
  int CensusCount(std::uint32_t pid) const { return Locked([&] { return Asked(censusCount_, pid); }); }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Terminated() const {  // pid, exit code
    return Locked([&] { return terminated_; });
  }
  std::uint32_t TotalSleptMs() const { return Locked([&] { return sleptMs_; }); }

  // IProcessSystem
  bool Snapshot(std::vector<platform::ProcessEntry>& entries) override;
  std::string CommandLine(std::uint32_t pid) override;
  std::int64_t WorkingSet(std::uint32_t pid) override;
  std::unique_ptr<platform::IProcessTimesReader> OpenTimes(std::uint32_t pid) override;
  std::uint32_t TickMs() override { return Locked([&] { return tick_; }); }
  void SleepMs(std::uint32_t ms) override;
  platform::HandleCounts CountHandles(std::uint32_t pid) override;
  bool Terminate(std::uint32_t pid, std::uint32_t exitCode) override;

 private:
  class Reader;
  static int Asked(const std::map<std::uint32_t, int>& counts, std::uint32_t pid) {
    const auto it = counts.find(pid);
    return it == counts.end() ? 0 : it->second;
  }
  // Caller holds mutex_.
  Process* Find(std::uint32_t pid) const;
  bool Erase(std::uint32_t pid);

  mutable std::mutex mutex_;
  mutable std::vector<Process> processes_;  // Find serves const and non-const callers
  std::uint32_t tick_ = 1000;
  std::uint32_t sleptMs_ = 0;
  bool snapshotFails_ = false;
  std::function<void(std::uint32_t)> onSleep_;
  std::map<std::uint32_t, int> commandLineReads_;
  std::map<std::uint32_t, int> censusCount_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> terminated_;
};

}  // namespace tarnwell::fakes
