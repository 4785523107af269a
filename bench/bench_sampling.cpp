// A monitoring pass and an analysis cycle over many real w3wp.exe stand-ins, each serving a
// pool of its own: what the window pays on a server with hundreds of pools. The workers
// are started before timing; all idle but every eighth, which burns 20 % of a processor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "platform/linux/process_system_linux.h"
#include "platform/linux/unique_fd.h"
#include "platform/metabase.h"
#include "tasks/AnalysePool.h"

namespace {

using tarnwell::platform::linux_proc::UniqueFd;

constexpr int kBurnerEvery = 8;
constexpr const char* kBurn = "load 20 0 0 0";

// The sampling pass and the cycle never bind the metabase.
class NoMetabase final : public tarnwell::platform::IMetabase {
 public:
  std::unique_ptr<tarnwell::platform::IMetabaseObject> Bind(std::string_view) override {
    throw tarnwell::platform::MetabaseError(tarnwell::platform::kErrPathNotFound, "no metabase");
  }
};

// Worker stand-ins started as IIS starts them; killed and reaped when the fleet goes. They
// also die with this process.
class WorkerFleet {
 public:
  WorkerFleet(int count, const std::string& prefix) {
    for (int i = 0; i < count; ++i) {
      const std::string pool = prefix + std::to_string(i);
      if (!Start(pool, i % kBurnerEvery == kBurnerEvery - 1)) return;
      pools_.push_back(pool);
    }
  }
  ~WorkerFleet() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }
  WorkerFleet(const WorkerFleet&) = delete;
  WorkerFleet& operator=(const WorkerFleet&) = delete;

  const std::vector<std::string>& pools() const { return pools_; }

 private:
  bool Start(const std::string& pool, bool burn) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return false;
    }
    UniqueFd inRead(in[0]), inWrite(in[1]), outRead(out[0]), outWrite(out[1]);
    const std::string quoted = "\"" + pool + "\"";
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(inRead.get(), STDIN_FILENO);
      ::dup2(outWrite.get(), STDOUT_FILENO);
      ::execl(TARNWELL_W3WP_EXE, TARNWELL_W3WP_EXE, "-a", R"(\\.\pipe\iisipmbench)", "-ap", quoted.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pids_.push_back(pid);
    if (burn) {
      const std::string line = std::string(kBurn) + "\n";
      if (::write(inWrite.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
      char reply[64];
      if (::read(outRead.get(), reply, sizeof reply) <= 0) return false;  // its "ok": the load runs
    }
    inputs_.push_back(std::move(inWrite));  // held open: end of input is not an instruction
    return true;
  }

  std::vector<pid_t> pids_;
  std::vector<UniqueFd> inputs_;
  std::vector<std::string> pools_;
};

void BM_SamplingPass(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  WorkerFleet fleet(count, "BenchPool");
  if (static_cast<int>(fleet.pools().size()) != count) {
    state.SkipWithError("cannot start the workers");
    return;
  }
  NoMetabase metabase;
  auto processes = tarnwell::platform::linux_proc::OpenProcSystem();
  auto registry = std::make_unique<tarnwell::TIISObject>(metabase, *processes);
  for (const std::string& pool : fleet.pools()) {
    tarnwell::TPoolRec& rec = registry->Pools[static_cast<std::size_t>(registry->PoolCount++)];
    rec.Name = pool;
    rec.AppCount = 1;
    registry->SelectedPools += pool + "\t";
  }
  registry->SetMonitoring(true);
  int measured = 0;
  for (auto _ : state) {
    registry->SamplePools();
    measured = 0;
    for (int i = 0; i < registry->PoolCount; ++i) measured += registry->Pools[static_cast<std::size_t>(i)].Pid != 0;
  }
  state.counters["workers"] = measured;
}
BENCHMARK(BM_SamplingPass)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// One measuring cycle of the analyser, its 800 ms pause included.
void BM_AnalyseCycle(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  WorkerFleet fleet(count, "QuillmarshAnalyseBench");
  if (static_cast<int>(fleet.pools().size()) != count) {
    state.SkipWithError("cannot start the workers");
    return;
  }
  auto processes = tarnwell::platform::linux_proc::OpenProcSystem();
  std::vector<tarnwell::TTempPoolRec> recs;
  for (const std::string& pool : fleet.pools()) recs.push_back({pool, "/LM/W3SVC/1/ROOT/" + pool + "/", 0});
  int found = 0;
  for (auto _ : state) {
    tarnwell::MeasureTempPools(*processes, recs);
    processes->SleepMs(tarnwell::kMeasurePauseMs);
    found = 0;
    for (const auto& rec : recs) found += rec.Cpu > 0;
  }
  state.counters["busy"] = found;
}
BENCHMARK(BM_AnalyseCycle)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
