#include "platform/linux/process_system_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/linux/proc_census.h"
#include "platform/linux/proc_files.h"
#include "platform/linux/proc_parsers.h"
#include "platform/linux/unique_fd.h"

namespace tarnwell::platform::linux_proc {

namespace {

std::optional<std::uint64_t> ReadStartTime(int procFd, std::uint32_t pid) {
  char path[32];
  std::snprintf(path, sizeof path, "%u/stat", pid);
  std::string text;
  if (!ReadWholeFile(procFd, path, text)) return std::nullopt;
  const auto fields = ParseStat(text);
  if (!fields) return std::nullopt;
  return fields->startTime;
}

// Processor time of one process through its CPU-time clock (nanoseconds, not the
// 10 ms ticks of stat). The clock gives user and system time together, so the whole
// figure is reported as user time and kernel time stays 0; callers only use the sum.
class ProcTimesReader final : public IProcessTimesReader {
 public:
  ProcTimesReader(std::shared_ptr<const UniqueFd> procFd, std::uint32_t pid, clockid_t clock,
                  std::uint64_t startTime)
      : procFd_(std::move(procFd)), pid_(pid), clock_(clock), startTime_(startTime) {}

  std::optional<ProcessTimes> Read() override {
    timespec ts{};
    if (::clock_gettime(clock_, &ts) != 0) return std::nullopt;  // ended and reaped
    // The clock follows the pid: if it now names a newer process, the figure is not ours.
    const auto start = ReadStartTime(procFd_->get(), pid_);
    if (!start || *start != startTime_) return std::nullopt;
    const std::int64_t ns = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    return ProcessTimes{ns / 100, 0};
  }

 private:
  std::shared_ptr<const UniqueFd> procFd_;
  std::uint32_t pid_;
  clockid_t clock_;
  std::uint64_t startTime_;  // (22) starttime when opened
};

class ProcSystem final : public IProcessSystem {
 public:
  explicit ProcSystem(std::shared_ptr<const UniqueFd> procFd) : procFd_(std::move(procFd)) {}

  bool Snapshot(std::vector<ProcessEntry>& entries) override {
    entries.clear();
    if (!procFd_->valid()) return false;
    // A fresh descriptor: a directory stream's position belongs to its descriptor.
    UniqueFd listFd(::openat(procFd_->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listFd) return false;
    UniqueDir dir(::fdopendir(listFd.get()));
    if (!dir) return false;
    listFd.release();

    std::string text;
    std::string exeLink;
    std::string argv;
    char path[40];
    while (const dirent* entry = ::readdir(dir.get())) {
      const auto pid = ParsePid(entry->d_name);
      if (!pid) continue;
      std::snprintf(path, sizeof path, "%u/stat", *pid);
      if (!ReadWholeFile(procFd_->get(), path, text)) continue;  // ended meanwhile
      const auto fields = ParseStat(text);
      if (!fields) continue;
      ProcessEntry e;
      e.pid = *pid;
      e.threads = fields->numThreads;
      if (fields->comm.size() >= kCommMax) {
        std::snprintf(path, sizeof path, "%u/exe", *pid);
        if (!ReadLink(procFd_->get(), path, exeLink)) exeLink.clear();
        std::snprintf(path, sizeof path, "%u/cmdline", *pid);
        if (!ReadWholeFile(procFd_->get(), path, argv)) argv.clear();
        const std::string_view argv0(argv.c_str());  // up to the first NUL
        e.exeName = ExeNameFrom(fields->comm, exeLink, argv0);
      } else {
        e.exeName.assign(fields->comm);
      }
      entries.push_back(std::move(e));
    }
    return !entries.empty();
  }

  std::string CommandLine(std::uint32_t pid) override {
    char path[40];
    std::snprintf(path, sizeof path, "%u/cmdline", pid);
    std::string raw;
    if (!ReadWholeFile(procFd_->get(), path, raw)) return {};
    return JoinCommandLine(raw);
  }

  std::int64_t WorkingSet(std::uint32_t pid) override {
    char path[40];
    std::snprintf(path, sizeof path, "%u/statm", pid);
    std::string text;
    if (!ReadWholeFile(procFd_->get(), path, text)) return -1;
    const auto pages = ParseStatmResident(text);
    if (!pages) return -1;
    static const std::int64_t pageSize = ::sysconf(_SC_PAGESIZE);
    return *pages * pageSize;
  }

  std::unique_ptr<IProcessTimesReader> OpenTimes(std::uint32_t pid) override {
    const auto start = ReadStartTime(procFd_->get(), pid);
    if (!start) return nullptr;
    clockid_t clock{};
    if (::clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0) return nullptr;
    return std::make_unique<ProcTimesReader>(procFd_, pid, clock, *start);
  }

  std::uint32_t TickMs() override {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
    return static_cast<std::uint32_t>(ms);  // wraps like GetTickCount
  }

  void SleepMs(std::uint32_t ms) override {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  HandleCounts CountHandles(std::uint32_t pid) override {
    if (!procFd_->valid()) return {};
    return CensusFromProc(procFd_->get(), pid);
  }

  // Linux cannot impose an exit code on another process: SIGKILL ends it and the
  // code is ignored.
  bool Terminate(std::uint32_t pid, std::uint32_t /*exitCode*/) override {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX)) return false;
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
  }

 private:
  std::shared_ptr<const UniqueFd> procFd_;  // the /proc root, shared with open readers
};

}  // namespace

std::unique_ptr<IProcessSystem> OpenProcSystem(const std::string& procRoot) {
  auto procFd = std::make_shared<const UniqueFd>(::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return std::make_unique<ProcSystem>(std::move(procFd));
}

}  // namespace tarnwell::platform::linux_proc
