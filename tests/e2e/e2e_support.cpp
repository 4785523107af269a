#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/linux/proc_parsers.h"

extern char** environ;

namespace tarnwell::e2e {

namespace fs = std::filesystem;
using platform::linux_proc::UniqueFd;
using Clock = std::chrono::steady_clock;

namespace {

// A child that died leaves a closed pipe; writing to it must fail, not end the tests.
const bool kSigpipeIgnored = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      pending_(std::move(other.pending_)) {}

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

ChildProcess::~ChildProcess() { Kill(); }

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

void ChildProcess::CloseInput() { input_.reset(); }

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

int ChildProcess::Kill(int sig) {
  int status = 0;
  if (pid_ > 0) {
    std::optional<int> done;
    if (sig != SIGKILL) done = SignalAndWait(sig, std::chrono::seconds(5));
    if (done) {
      status = *done;
    } else {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  input_.reset();
  output_.reset();
  return status;
}

std::optional<int> ChildProcess::SignalAndWait(int sig, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  if (sig != 0) ::kill(pid_, sig);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WriteTwoPoolMetabase(const std::string& path, const std::string& poolA, const std::string& poolB) {
  if (std::system((std::string(TARNWELL_GENMETA_EXE) + " '" + path + "' 1 2 1 >/dev/null").c_str()) != 0) return false;
  std::string text = ReadText(path);
  for (const auto& [from, to] : {std::pair{std::string("DefaultAppPool"), poolA}, std::pair{std::string("AppPool0001"), poolB}})
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

ChildProcess StartWorker(const std::string& pool) {
  return ChildProcess::Start(
      {TARNWELL_W3WP_EXE, "-a", R"(\\.\pipe\iisipm0e2e0000-0000-4000-8000-000000000001)", "-ap", "\"" + pool + "\""});
}

bool SetWorkerLoad(ChildProcess& worker, const std::string& load) {
  if (!worker.Send("load " + load)) return false;
  const auto reply = worker.ReadLine(std::chrono::seconds(20));
  return reply && *reply == "ok " + load;
}

bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool IsRunning(pid_t pid) {
  const auto fields = platform::linux_proc::ParseStat(ReadText("/proc/" + std::to_string(pid) + "/stat"));
  return fields && fields->state != 'Z' && fields->state != 'X';
}

pid_t ParentOf(pid_t pid) {
  const std::string text = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  char state = 0;
  int ppid = -1;
  if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return -1;
  return ppid;
}

std::vector<pid_t> WorkersOf(pid_t parent) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const auto pid = platform::linux_proc::ParsePid(entry.path().filename().string());
    if (!pid) continue;
    const pid_t p = static_cast<pid_t>(*pid);
    if (ParentOf(p) != parent || !IsRunning(p)) continue;
    const auto fields = platform::linux_proc::ParseStat(ReadText(entry.path().string() + "/stat"));
    if (fields && fields->comm == "w3wp.exe") found.push_back(p);
  }
  return found;
}

int CountFdEntries(pid_t pid) {
  std::error_code ec;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++count;
  return count;
}

void BoostPriority(pid_t pid) {
  // With session scheduling groups, a thread's nice value only counts inside its group;
  // the group's own nice value decides against other sessions.
  if (std::ofstream group("/proc/" + std::to_string(pid) + "/autogroup"); group) group << -20 << std::flush;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const auto tid = platform::linux_proc::ParsePid(task.path().filename().string());
    if (!tid) continue;
    // Without the right to raise it, the thread keeps its priority: nothing else to do.
    for (int nice = -20; nice < 0; nice += 5)
      if (::setpriority(PRIO_PROCESS, static_cast<id_t>(*tid), nice) == 0) break;
  }
}

std::optional<LsofCounts> LsofCount(pid_t pid) {
  // Field output: one "f<fd>" line per open file, then its t<type>, D<device>, P<protocol>.
  const std::string command = "lsof -n -P -w -p " + std::to_string(pid) + " -F ftDP 2>/dev/null";
  struct Closer {
    void operator()(FILE* f) const { ::pclose(f); }
  };
  std::unique_ptr<FILE, Closer> pipe(::popen(command.c_str(), "r"));
  if (!pipe) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) text.append(buffer, n);
  if (text.empty()) return std::nullopt;

  LsofCounts counts;
  struct Entry {
    bool numeric = false;
    std::string type, protocol;
    unsigned long long device = 0;
    bool hasDevice = false;
  } entry;
  auto finish = [&] {
    if (!entry.numeric) return;
    ++counts.descriptors;
    if ((entry.type == "REG" || entry.type == "DIR") && entry.hasDevice && major(entry.device) != 0)
      ++counts.diskFiles;
    if ((entry.type == "IPv4" || entry.type == "IPv6") && entry.protocol == "TCP") ++counts.tcp;
  };
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const std::string value = line.substr(1);
    switch (line[0]) {
      case 'f':
        finish();
        entry = Entry{};
        entry.numeric = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0]));
        break;
      case 't':
        entry.type = value;
        break;
      case 'D':
        entry.device = std::strtoull(value.c_str(), nullptr, 0);
        entry.hasDevice = true;
        break;
      case 'P':
        entry.protocol = value;
        break;
      default:
        break;
    }
  }
  finish();
  return counts;
}

void ReplaceFile(const std::string& path, const std::string& text) {
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  fs::rename(temp, path);
}

}  // namespace tarnwell::e2e
