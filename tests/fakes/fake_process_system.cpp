#include "tests/fakes/fake_process_system.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace tarnwell::fakes {

class FakeProcessSystem::Reader final : public platform::IProcessTimesReader {
 public:
  Reader(FakeProcessSystem& system, std::uint32_t pid) : system_(system), pid_(pid) {}
  std::optional<platform::ProcessTimes> Read() override { return system_.ReadTimes(pid_); }

 private:
  FakeProcessSystem& system_;
  std::uint32_t pid_;
};

void FakeProcessSystem::Add(Process process) {
  std::lock_guard lock(mutex_);
  processes_.push_back(std::move(process));
}

bool FakeProcessSystem::Remove(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  for (auto it = processes_.begin(); it != processes_.end(); ++it) {
    if (it->pid == pid) {
      processes_.erase(it);
      return true;
    }
  }
  return false;
}

void FakeProcessSystem::Update(std::uint32_t pid, const std::function<void(Process&)>& change) {
  std::lock_guard lock(mutex_);
  if (Process* p = FindLocked(pid)) change(*p);
}

std::optional<FakeProcessSystem::Process> FakeProcessSystem::Get(std::uint32_t pid) const {
  std::lock_guard lock(mutex_);
  if (const Process* p = FindLocked(pid)) return *p;
  return std::nullopt;
}

std::string FakeProcessSystem::WorkerCommandLine(const std::string& pool) {
  return R"(c:\windows\system32\inetsrv\w3wp.exe -a \\.\pipe\iisipm5a8d2c1e-4b7f-4e0a-9c3d-2f6b1a7e8d90 -ap ")" + pool +
         "\"";
}

void FakeProcessSystem::AddWorker(std::uint32_t pid, const std::string& pool, double cpuPercent,
                                  std::int64_t workingSet, std::uint32_t threads) {
  Process p;
  p.pid = pid;
  p.threads = threads;
  p.commandLine = WorkerCommandLine(pool);
  p.cpuPercent = cpuPercent;
  p.workingSet = workingSet;
  Add(std::move(p));
}

void FakeProcessSystem::SetTick(std::uint32_t tick) {
  std::lock_guard lock(mutex_);
  tick_ = tick;
}

void FakeProcessSystem::AdvanceMs(std::uint32_t ms) {
  std::lock_guard lock(mutex_);
  tick_ += ms;  // wraps as GetTickCount does
  for (auto& p : processes_) {
    // percent of one processor over ms milliseconds, in 100-ns units
    p.times.user += std::llround(p.cpuPercent / 100.0 * ms * 10000.0);
  }
}

void FakeProcessSystem::SetOnSleep(std::function<void(std::uint32_t)> hook) {
  std::lock_guard lock(mutex_);
  onSleep_ = std::move(hook);
}

void FakeProcessSystem::SetRealSleep(bool real) {
  std::lock_guard lock(mutex_);
  realSleep_ = real;
}

void FakeProcessSystem::SetSnapshotFails(bool fails) {
  std::lock_guard lock(mutex_);
  snapshotFails_ = fails;
}

int FakeProcessSystem::CommandLineReads(std::uint32_t pid) const {
  std::lock_guard lock(mutex_);
  auto it = commandLineReads_.find(pid);
  return it == commandLineReads_.end() ? 0 : it->second;
}

int FakeProcessSystem::CensusCount(std::uint32_t pid) const {
  std::lock_guard lock(mutex_);
  auto it = censusCount_.find(pid);
  return it == censusCount_.end() ? 0 : it->second;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> FakeProcessSystem::Terminated() const {
  std::lock_guard lock(mutex_);
  return terminated_;
}

std::uint32_t FakeProcessSystem::TotalSleptMs() const {
  std::lock_guard lock(mutex_);
  return sleptMs_;
}

bool FakeProcessSystem::Snapshot(std::vector<platform::ProcessEntry>& entries) {
  std::lock_guard lock(mutex_);
  entries.clear();
  if (snapshotFails_) return false;
  for (const auto& p : processes_) entries.push_back({p.pid, p.threads, p.exeName});
  return !entries.empty();
}

std::string FakeProcessSystem::CommandLine(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  ++commandLineReads_[pid];
  const Process* p = FindLocked(pid);
  return p ? p->commandLine : std::string();
}

std::int64_t FakeProcessSystem::WorkingSet(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  const Process* p = FindLocked(pid);
  return p ? p->workingSet : -1;
}

std::unique_ptr<platform::IProcessTimesReader> FakeProcessSystem::OpenTimes(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  const Process* p = FindLocked(pid);
  if (!p || !p->timesOpenable) return nullptr;
  return std::make_unique<Reader>(*this, pid);
}

std::optional<platform::ProcessTimes> FakeProcessSystem::ReadTimes(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  Process* p = FindLocked(pid);
  if (!p || p->timesReadsLeft == 0) return std::nullopt;
  if (p->timesReadsLeft > 0) --p->timesReadsLeft;
  return p->times;
}

std::uint32_t FakeProcessSystem::TickMs() {
  std::lock_guard lock(mutex_);
  return tick_;
}

void FakeProcessSystem::SleepMs(std::uint32_t ms) {
  std::function<void(std::uint32_t)> hook;
  bool real = false;
  {
    std::lock_guard lock(mutex_);
    sleptMs_ += ms;
    hook = onSleep_;
    real = realSleep_;
  }
  if (real) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  AdvanceMs(ms);
  if (hook) hook(ms);
}

platform::HandleCounts FakeProcessSystem::CountHandles(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  ++censusCount_[pid];
  const Process* p = FindLocked(pid);
  return p ? p->handles : platform::HandleCounts{};
}

bool FakeProcessSystem::Terminate(std::uint32_t pid, std::uint32_t exitCode) {
  std::lock_guard lock(mutex_);
  for (auto it = processes_.begin(); it != processes_.end(); ++it) {
    if (it->pid == pid) {
      processes_.erase(it);
      terminated_.emplace_back(pid, exitCode);
      return true;
    }
  }
  return false;
}

FakeProcessSystem::Process* FakeProcessSystem::FindLocked(std::uint32_t pid) {
  for (auto& p : processes_)
    if (p.pid == pid) return &p;
  return nullptr;
}

const FakeProcessSystem::Process* FakeProcessSystem::FindLocked(std::uint32_t pid) const {
  for (const auto& p : processes_)
    if (p.pid == pid) return &p;
  return nullptr;
}

}  // namespace tarnwell::fakes
