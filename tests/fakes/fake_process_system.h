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
  void Add(Process process);
  // The process ends: every later query about it fails. False when it was not there.
  bool Remove(std::uint32_t pid);
  void Update(std::uint32_t pid, const std::function<void(Process&)>& change);
  std::optional<Process> Get(std::uint32_t pid) const;

  // Builds the command line IIS 6 gives a pool's worker.
  static std::string WorkerCommandLine(const std::string& pool);
  // Adds a w3wp.exe serving pool.
  void AddWorker(std::uint32_t pid, const std::string& pool, double cpuPercent = 0,
                 std::int64_t workingSet = 0, std::uint32_t threads = 1);

  // Clock: TickMs reads it; AdvanceMs and SleepMs move it and accrue every process's
  // processor time from its cpuPercent.
  void SetTick(std::uint32_t tick);
  void AdvanceMs(std::uint32_t ms);
  // Runs after the clock has moved in SleepMs (no lock held: it may Remove or Update).
  void SetOnSleep(std::function<void(std::uint32_t ms)> hook);
  // SleepMs also waits for real, for tests of threads that must see time pass.
  void SetRealSleep(bool real);

  void SetSnapshotFails(bool fails);

  // What was asked.
  int CommandLineReads(std::uint32_t pid) const;
  int CensusCount(std::uint32_t pid) const;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Terminated() const;  // pid, exit code
  std::uint32_t TotalSleptMs() const;

  // IProcessSystem
  bool Snapshot(std::vector<platform::ProcessEntry>& entries) override;
  std::string CommandLine(std::uint32_t pid) override;
  std::int64_t WorkingSet(std::uint32_t pid) override;
  std::unique_ptr<platform::IProcessTimesReader> OpenTimes(std::uint32_t pid) override;
  std::uint32_t TickMs() override;
  void SleepMs(std::uint32_t ms) override;
  platform::HandleCounts CountHandles(std::uint32_t pid) override;
  bool Terminate(std::uint32_t pid, std::uint32_t exitCode) override;

 private:
  class Reader;
  std::optional<platform::ProcessTimes> ReadTimes(std::uint32_t pid);
  Process* FindLocked(std::uint32_t pid);
  const Process* FindLocked(std::uint32_t pid) const;

  mutable std::mutex mutex_;
  std::vector<Process> processes_;
  std::uint32_t tick_ = 1000;
  std::uint32_t sleptMs_ = 0;
  bool snapshotFails_ = false;
  bool realSleep_ = false;
  std::function<void(std::uint32_t)> onSleep_;
  std::map<std::uint32_t, int> commandLineReads_;
  std::map<std::uint32_t, int> censusCount_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> terminated_;
};

}  // namespace tarnwell::fakes
