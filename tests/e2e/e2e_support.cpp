#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "iis/iis_workers.h"
#include "platform/linux/proc_parsers.h"
#include "tests/support/metabase_xml.h"

extern char** environ;

namespace tarnwell::e2e {

namespace fs = std::filesystem;
using platform::linux_proc::UniqueFd;
namespace linux_proc = platform::linux_proc;
using Clock = std::chrono::steady_clock;

namespace {

// A child that died leaves a closed pipe; writing to it must fail, not end the tests.
const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

std::string ProcText(pid_t pid, const std::string& name) {
  return ReadAll("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::move(other.input_);
    output_ = std::move(other.output_);
    pending_ = std::move(other.pending_);
  }
  return *this;
}

ChildProcess ChildProcess::Start(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& extraEnvironment,
                                 const std::string& outputFile) {
  ChildProcess child;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return child;
  UniqueFd inRead(in[0]), inWrite(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) return child;
  UniqueFd outRead(out[0]), outWrite(out[1]);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
  if (outputFile.empty()) {
    ::posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                       0644);
  }
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  // Its own session, and so its own scheduling group where the kernel groups by session.
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const auto& e : extraEnvironment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), env.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) return child;
  child.pid_ = pid;
  child.input_ = std::move(inWrite);
  child.output_ = std::move(outRead);
  return child;
}

bool ChildProcess::Send(const std::string& line) {
  if (!input_) return false;
  const std::string text = line + "\n";
  return ::write(input_.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto eol = pending_.find('\n'); eol != std::string::npos) {
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !output_) return std::nullopt;
    pollfd p{output_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[512];
    const ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void ChildProcess::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(std::exchange(pid_, -1), nullptr, 0);
  }
  input_.reset();
  output_.reset();
}

std::optional<int> ChildProcess::SignalAndWait(int sig, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  if (sig != 0) ::kill(pid_, sig);
  const auto deadline = Clock::now() + timeout;
  for (int status = 0;; std::this_thread::sleep_for(10ms)) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    if (Clock::now() >= deadline) return std::nullopt;
  }
}

ChildProcess StartW3svc(const std::string& metabase, const std::string& log, std::vector<std::string> options) {
  options.insert(options.begin(), {TARNWELL_W3SVC_EXE, "--metabase", metabase, "--worker", TARNWELL_W3WP_EXE});
  return ChildProcess::Start(options, {}, log);
}

ChildProcess StartDriver(const std::string& dir, const std::string& metabase, std::vector<std::string> options,
                         const std::string& outputFile) {
  options.insert(options.begin(), {TARNWELL_E2E_DRIVER, "--dir", dir});
  return ChildProcess::Start(options, {"IIS_METABASE=" + metabase}, outputFile);
}

bool AwaitPasses(ChildProcess& driver, int passes) {
  // Each pass tells its interval in the pane once.
  while (passes > 0) {
    const auto line = driver.ReadLine(60s);
    if (!line || line->rfind("FAILED", 0) == 0) return false;
    if (line->find("Monitoring interval (min) : 0") != std::string::npos) --passes;
  }
  return true;
}

void WriteTwoPoolMetabase(const std::string& path, const std::string& poolA, const std::string& poolB) {
  testutil::WriteFile(path, testutil::MetabaseXml()
                                .Pool(poolA)
                                .Pool(poolB)
                                .Site(1, "Default Web Site")
                                .App("/LM/W3SVC/1/ROOT", poolA)
                                .App("/LM/W3SVC/1/ROOT/app1", poolB)
                                .Text());
}

ChildProcess StartWorker(const std::string& pool) {
  return ChildProcess::Start(
      {TARNWELL_W3WP_EXE, "-a", R"(\\.\pipe\iisipm0e2e0000-0000-4000-8000-000000000001)", "-ap", "\"" + pool + "\""});
}

bool SetWorkerLoad(ChildProcess& worker, const std::string& load) {
  if (!worker.Send("load " + load)) return false;
  const auto reply = worker.ReadLine(20s);
  return reply && *reply == "ok " + load;
}

bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

bool IsRunning(pid_t pid) {
  const auto fields = linux_proc::ParseStat(ProcText(pid, "stat"));
  return fields && fields->state != 'Z' && fields->state != 'X';
}

std::map<std::string, pid_t> Workers(pid_t service) {
  std::map<std::string, pid_t> byPool;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const auto pid = linux_proc::ParsePid(entry.path().filename().string());
    if (!pid) continue;
    // (4) ppid follows the state, after the last ')' of the name.
    const std::string stat = ProcText(static_cast<pid_t>(*pid), "stat");
    const auto fields = linux_proc::ParseStat(stat);
    int ppid = -1;
    if (!fields || fields->comm != "w3wp.exe" || fields->state == 'Z' ||
        std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %d", &ppid) != 1 || ppid != service)
      continue;
    byPool[ExtractPoolName(linux_proc::JoinCommandLine(ProcText(static_cast<pid_t>(*pid), "cmdline")))] =
        static_cast<pid_t>(*pid);
  }
  return byPool;
}

int CountFdEntries(pid_t pid) {
  std::error_code ec;
  fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
  return ec ? 0 : static_cast<int>(std::distance(fds, fs::directory_iterator()));
}

bool BoostPriority(pid_t pid) {
  // With session scheduling groups, a thread's nice value only counts inside its group;
  // the group's own nice value decides against other sessions (where there are groups).
  if (std::ofstream group("/proc/" + std::to_string(pid) + "/autogroup"); group) group << -20 << std::flush;
  bool raised = true;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const auto tid = linux_proc::ParsePid(task.path().filename().string());
    if (tid && ::setpriority(PRIO_PROCESS, static_cast<id_t>(*tid), -20) != 0 && errno != ESRCH) raised = false;
  }
  if (ec || !raised) {
    // The floors below may then fail on a busy machine for want of a processor, not of a fault.
    std::printf("NOTE: the priority of process %d could not be raised (no right to it here): processor figures "
                "measured beside other work may read low\n",
                static_cast<int>(pid));
    std::fflush(stdout);
  }
  return !ec && raised;
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) result.output.append(buffer, n);
  const int status = ::pclose(pipe.release());
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::optional<LsofCounts> LsofCount(pid_t pid) {
  // Field output: one "f<fd>" line per open file, then its t<type>, D<device>, P<protocol>.
  const auto lsof = RunCommand("lsof -n -P -w -p " + std::to_string(pid) + " -F ftDP 2>/dev/null");
  if (lsof.output.empty()) return std::nullopt;
  LsofCounts counts;
  bool numeric = false;
  std::string type, protocol;
  std::optional<unsigned long long> device;
  auto finish = [&] {
    if (!numeric) return;
    ++counts.descriptors;
    if ((type == "REG" || type == "DIR") && device && major(*device) != 0) ++counts.diskFiles;
    if ((type == "IPv4" || type == "IPv6") && protocol == "TCP") ++counts.tcp;
  };
  std::istringstream lines(lsof.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const std::string value = line.substr(1);
    if (line[0] == 'f') {
      finish();
      numeric = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0]));
      type.clear(), protocol.clear(), device.reset();
    } else if (line[0] == 't') {
      type = value;
    } else if (line[0] == 'D') {
      device = std::strtoull(value.c_str(), nullptr, 0);
    } else if (line[0] == 'P') {
      protocol = value;
    }
  }
  finish();
  return counts;
}

}  // namespace tarnwell::e2e
