// The process system over the real /proc, on this test process and its children.
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <future>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/process_system_linux.h"
#include "tests/platform/proc_test_support.h"

namespace tarnwell::platform::linux_proc {
namespace {

// A forked child that only waits; killed and reaped on every path.
struct PausedChild {
  PausedChild() {
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) ::pause();
    }
  }
  ~PausedChild() { Reap(); }
  // Kills and reaps; the wait status.
  int Reap() {
    int status = 0;
    if (pid > 0) ::kill(pid, SIGKILL);
    if (pid > 0) ::waitpid(std::exchange(pid, -1), &status, 0);
    return status;
  }
  pid_t pid = ::fork();
};

int CountFdEntries() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(ProcLive, SnapshotFindsThisProcessWithItsWholeNameAndThreads) {
  auto system = OpenProcSystem();
  std::promise<void> release;
  const std::shared_future<void> held = release.get_future().share();
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([held] { held.wait(); });
  std::vector<ProcessEntry> entries;
  const bool ok = system->Snapshot(entries);
  // A runtime may start threads of its own (a sanitizer's, at the first thread created):
  // count what is there while the three still run.
  const auto running = static_cast<std::uint32_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
  release.set_value();
  for (auto& t : threads) t.join();
  ASSERT_TRUE(ok);
  const auto self = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.pid == Self(); });
  ASSERT_NE(self, entries.end());
  // The executable's name is longer than the kernel's 15-character command name.
  EXPECT_EQ(self->exeName, fs::read_symlink("/proc/self/exe").filename().string());
  EXPECT_GT(self->exeName.size(), 15u);
  EXPECT_GE(running, 4u);
  EXPECT_EQ(self->threads, running);
}

TEST(ProcLive, TerminateKillsAndAnEndedProcessHasNoFigures) {
  auto system = OpenProcSystem();
  PausedChild child;
  const auto pid = static_cast<std::uint32_t>(child.pid);
  auto reader = system->OpenTimes(pid);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->Read());
  EXPECT_TRUE(system->Terminate(pid, 1));
  const int status = child.Reap();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_FALSE(reader->Read());
  EXPECT_EQ(system->CommandLine(pid), "");
  EXPECT_EQ(system->WorkingSet(pid), -1);
  EXPECT_EQ(system->OpenTimes(pid), nullptr);
  const HandleCounts gone = system->CountHandles(pid);
  EXPECT_EQ(gone.handles + gone.openFiles + gone.openTcp, 0);
  EXPECT_FALSE(system->Terminate(0, 1));  // never the process group
}

TEST(ProcLive, ProcessorTimesInHundredNanosecondUnits) {
  auto system = OpenProcSystem();
  auto reader = system->OpenTimes(Self());
  ASSERT_TRUE(reader);
  const auto first = reader->Read();
  ASSERT_TRUE(first);
  // Burn about 200 ms of processor time on this thread.
  timespec start{}, now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  do {
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  } while ((now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec) < 200'000'000L);
  const auto second = reader->Read();
  ASSERT_TRUE(second);
  const std::int64_t busy = second->user + second->kernel - first->user - first->kernel;
  EXPECT_GE(busy, 2'000'000);  // 200 ms
  EXPECT_LT(busy, 4'000'000);
}

TEST(ProcLive, TickAndSleepInMilliseconds) {
  // Bounded by the monotonic clock read around it, not by how soon this thread runs again.
  const auto monotonicMs = [] {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1'000'000;
  };
  auto system = OpenProcSystem();
  const long long m0 = monotonicMs();
  const std::uint32_t t0 = system->TickMs();
  system->SleepMs(60);
  const std::uint32_t elapsed = system->TickMs() - t0;
  const long long m1 = monotonicMs();
  EXPECT_GE(elapsed, 59u);
  EXPECT_LE(elapsed, m1 - m0 + 1);
}

TEST_F(CensusLive, CountsEachKindOfDescriptorOfThisProcess) {
  auto system = OpenProcSystem();
  const HandleCounts before = system->CountHandles(Self());
  EXPECT_EQ(before.handles, CountFdEntries());

  std::vector<UniqueFd> held;
  for (int i = 0; i < 6; ++i) held.push_back(DiskFile());
  held.emplace_back(::open("/var/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));  // a directory is a file too
  for (int i = 0; i < 2; ++i) held.push_back(TcpListener(AF_INET));
  UniqueFd v6 = TcpListener(AF_INET6);
  if (!v6) v6 = TcpListener(AF_INET);  // no IPv6 here
  held.push_back(std::move(v6));
  held.emplace_back(::dup(held.back().get()));  // a dup is one more descriptor on the socket
  held.emplace_back(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));  // UDP: not TCP
  held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  held.emplace_back(pipeFds[0]);
  held.emplace_back(pipeFds[1]);
  held.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  held.emplace_back(::memfd_create("tmpfs-file", MFD_CLOEXEC));  // on tmpfs: not a disk file
  for (const auto& fd : held) ASSERT_TRUE(fd.valid());

  const HandleCounts after = system->CountHandles(Self());
  EXPECT_EQ(Counts(after),
            std::make_tuple(before.handles + static_cast<int>(held.size()), before.openFiles + 7, before.openTcp + 4));
  EXPECT_EQ(after.handles, CountFdEntries());
}

}  // namespace
}  // namespace tarnwell::platform::linux_proc
