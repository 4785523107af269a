#ifndef _WIN32
#include "standin/w3svc/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/linux/unique_fd.h"

extern char** environ;

namespace tarnwell::standin {

using platform::linux_proc::UniqueFd;

namespace {

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

std::string ExitText(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + ::strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

class PosixWorker final : public WorkerProcess {
 public:
  PosixWorker(pid_t pid, UniqueFd control) : pid_(pid), control_(std::move(control)) {}

  std::uint32_t Pid() const override { return static_cast<std::uint32_t>(pid_); }

  bool Send(std::string_view line) override {
    // Shorter than PIPE_BUF, so the write is all or nothing; the pipe does not block.
    const ssize_t n = ::write(control_.get(), line.data(), line.size());
    return n == static_cast<ssize_t>(line.size());
  }

  void RequestStop() override {
    if (!reaped_) ::kill(pid_, SIGTERM);
  }
  void Kill() override {
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  std::optional<std::string> Ended() override {
    if (reaped_) return how_;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      Reaped(ExitText(status));
    } else if (r < 0 && errno == ECHILD) {
      Reaped("gone");
    }
    return reaped_ ? std::optional<std::string>(how_) : std::nullopt;
  }

  void WaitEnded() override {
    if (reaped_) return;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    Reaped(r == pid_ ? ExitText(status) : "gone");
  }

 private:
  void Reaped(std::string how) {
    reaped_ = true;
    how_ = std::move(how);
  }

  pid_t pid_;
  UniqueFd control_;
  bool reaped_ = false;
  std::string how_;
};

std::atomic<bool>* g_stop = nullptr;

void OnStopSignal(int) {
  if (g_stop != nullptr) g_stop->store(true);  // lock-free, so safe in a handler
}

}  // namespace

struct WorkerLauncher::Impl {
  std::string unguarded;  // the workers ask to die with the service themselves
};

WorkerLauncher::WorkerLauncher() : impl_(std::make_unique<Impl>()) {}
WorkerLauncher::~WorkerLauncher() = default;
const std::string& WorkerLauncher::Unguarded() const { return impl_->unguarded; }

std::unique_ptr<WorkerProcess> WorkerLauncher::Start(const std::vector<std::string>& args, std::string& why) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnActions actions;
  ::posix_spawn_file_actions_adddup2(&actions.actions, readEnd.get(), STDIN_FILENO);
  ::posix_spawn_file_actions_addopen(&actions.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);  // ignored here; a worker gets the usual behaviour back
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attributes.attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes.attributes, &none);
  ::posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The worker checks that its parent is still this service after asking to die with it.
  const std::string parentVar = "TARNWELL_W3SVC_PID=" + std::to_string(::getpid());
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "TARNWELL_W3SVC_PID=", 19) != 0) envp.push_back(*e);
  envp.push_back(const_cast<char*>(parentVar.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args.at(0).c_str(), &actions.actions, &attributes.attributes, argv.data(),
                               envp.data());
  if (rc != 0) {
    why = std::strerror(rc);
    return nullptr;
  }
  ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK);
  return std::make_unique<PosixWorker>(pid, std::move(writeEnd));
}

std::string WorkerExecutableProblem(const std::string& path) {
  if (::access(path.c_str(), X_OK) != 0) return std::strerror(errno);
  return {};
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

void PauseMs(unsigned ms) {
  const timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  ::nanosleep(&pause, nullptr);  // a signal cuts it short
}

std::filesystem::path ExecutableDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path(".") : exe.parent_path();
}

std::string DefaultMetabasePath() { return (ExecutableDirectory() / "MetaBase.xml").string(); }  // bytes as they are

std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void WatchStopRequests(std::atomic<bool>& stop) {
  static_assert(std::atomic<bool>::is_always_lock_free);
  g_stop = &stop;
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the sleep ends at once
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a worker that died leaves a closed pipe

  // Stops (and stops its workers) when whatever started it dies — a demo script, a test
  // killed by its timeout — so no service is left running on its own.
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) stop = true;
}

void StopDone() {}

}  // namespace tarnwell::standin
#endif
