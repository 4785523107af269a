#include "tests/fakes/fake_process_system.h"

#include <algorithm>
#include <cmath>

namespace tarnwell::fakes {

class FakeProcessSystem::Reader final : public platform::IProcessTimesReader {
 public:
  Reader(FakeProcessSystem& system, std::uint32_t pid) : system_(system), pid_(pid) {}
  std::optional<platform::ProcessTimes> Read() override {
    return system_.Locked([&]() -> std::optional<platform::ProcessTimes> {
      Process* p = system_.Find(pid_);
      if (!p || p->timesReadsLeft == 0) return std::nullopt;
      if (p->timesReadsLeft > 0) --p->timesReadsLeft;
      return p->times;
    });
  }

 private:
  FakeProcessSystem& system_;
  std::uint32_t pid_;
};

std::string FakeProcessSystem::WorkerCommandLine(const std::string& pool) {
  return R"(c:\windows\system32\inetsrv\w3wp.exe -a \\.\pipe\iisipm5a8d2c1e-4b7f-4e0a-9c3d-2f6b1a7e8d90 -ap ")" + pool +
         "\"";
}

void FakeProcessSystem::AdvanceMs(std::uint32_t ms) {
  std::lock_guard lock(mutex_);
  tick_ += ms;  // wraps as GetTickCount does
  for (auto& p : processes_) {
    // percent of one processor over ms milliseconds, in 100-ns units
    p.times.user += std::llround(p.cpuPercent / 100.0 * ms * 10000.0);
  }
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
  const Process* p = Find(pid);
  return p ? p->commandLine : std::string();
}

std::int64_t FakeProcessSystem::WorkingSet(std::uint32_t pid) {
  return Locked([&] { return Find(pid) ? Find(pid)->workingSet : -1; });
}

std::unique_ptr<platform::IProcessTimesReader> FakeProcessSystem::OpenTimes(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  const Process* p = Find(pid);
  return p && p->timesOpenable ? std::make_unique<Reader>(*this, pid) : nullptr;
}

void FakeProcessSystem::SleepMs(std::uint32_t ms) {
  const auto hook = Locked([&] {
    sleptMs_ += ms;
    return onSleep_;
  });
  AdvanceMs(ms);
  if (hook) hook(ms);
}

platform::HandleCounts FakeProcessSystem::CountHandles(std::uint32_t pid) {
  std::lock_guard lock(mutex_);
  ++censusCount_[pid];
  const Process* p = Find(pid);
  return p ? p->handles : platform::HandleCounts{};
}

bool FakeProcessSystem::Terminate(std::uint32_t pid, std::uint32_t exitCode) {
  std::lock_guard lock(mutex_);
  if (!Erase(pid)) return false;
  terminated_.emplace_back(pid, exitCode);
  return true;
}

FakeProcessSystem::Process* FakeProcessSystem::Find(std::uint32_t pid) const {
  const auto it = std::find_if(processes_.begin(), processes_.end(), [&](const Process& p) { return p.pid == pid; });
  return it == processes_.end() ? nullptr : &*it;
}

bool FakeProcessSystem::Erase(std::uint32_t pid) {
  return std::erase_if(processes_, [&](const Process& p) { return p.pid == pid; }) != 0;
}

}  // namespace tarnwell::fakes
