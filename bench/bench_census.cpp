// The handle census of a process holding 10,000 descriptors: files on disk, listening
// TCP endpoints, pipes and a character device, as a busy worker process would.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "metrics/uGetOpenFiles.h"
#include "platform/linux/process_system_linux.h"
#include "platform/linux/unique_fd.h"

namespace {

using tarnwell::platform::linux_proc::UniqueFd;

// Descriptors held by this process for the length of one benchmark run.
struct HeldDescriptors {
  std::vector<UniqueFd> fds;
  bool ok = true;

  explicit HeldDescriptors(int total) {
    UniqueFd file(::open("/var/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!file || !null) {
      ok = false;
      return;
    }
    const int tcp = total / 10;
    const int pipes = total / 10;
    const int devices = total / 10;
    for (int i = 0; i < tcp; ++i) {
      UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s.get(), 1) != 0) {
        ok = false;
        return;
      }
      fds.push_back(std::move(s));
    }
    for (int i = 0; i < pipes / 2; ++i) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) {
        ok = false;
        return;
      }
      fds.emplace_back(ends[0]);
      fds.emplace_back(ends[1]);
    }
    for (int i = 0; i < devices; ++i) fds.emplace_back(::fcntl(null.get(), F_DUPFD_CLOEXEC, 0));
    while (static_cast<int>(fds.size()) < total) fds.emplace_back(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    for (const auto& fd : fds) ok = ok && fd.valid();
  }
};

void BM_Census(benchmark::State& state) {
  HeldDescriptors held(static_cast<int>(state.range(0)));
  if (!held.ok) {
    state.SkipWithError("cannot open the descriptors (descriptor limit?)");
    return;
  }
  auto system = tarnwell::platform::linux_proc::OpenProcSystem();
  const auto self = static_cast<std::uint32_t>(::getpid());
  tarnwell::THandleCensus census;
  for (auto _ : state) {
    tarnwell::CountProcessHandles(*system, self, census);
    benchmark::DoNotOptimize(census);
  }
  state.counters["handles"] = census.Handles;
  state.counters["files"] = census.OpenFiles;
  state.counters["tcp"] = census.OpenTcp;
}
BENCHMARK(BM_Census)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
