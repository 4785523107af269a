// Reading the command lines of 300 processes, as a sampling pass over a server with
// many worker processes does.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/linux/process_system_linux.h"

namespace {

// Children that only wait; they die with this process and are reaped when it goes.
class WaitingChildren {
 public:
  explicit WaitingChildren(int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close_range(3, ~0U, 0);  // hold none of the benchmark's descriptors
        for (;;) ::pause();
      }
      if (pid < 0) break;
      pids_.push_back(pid);
    }
  }
  ~WaitingChildren() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }
  WaitingChildren(const WaitingChildren&) = delete;
  WaitingChildren& operator=(const WaitingChildren&) = delete;
  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::vector<pid_t> pids_;
};

void BM_CommandLines(benchmark::State& state) {
  WaitingChildren children(static_cast<int>(state.range(0)));
  if (static_cast<int>(children.pids().size()) != state.range(0)) {
    state.SkipWithError("cannot start the processes");
    return;
  }
  auto system = tarnwell::platform::linux_proc::OpenProcSystem();
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (pid_t pid : children.pids()) {
      const std::string line = system->CommandLine(static_cast<std::uint32_t>(pid));
      bytes += line.size();
      benchmark::DoNotOptimize(line.data());
    }
  }
  state.counters["processes"] = static_cast<double>(children.pids().size());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_CommandLines)->Arg(300)->Unit(benchmark::kMillisecond);

}  // namespace
