#include "standin/w3svc/service.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <variant>

#include "platform/metabase.h"
#include "metabase/metabase_store.h"

extern char** environ;

namespace tarnwell::standin {

using platform::linux_proc::UniqueFd;

namespace {

constexpr std::int64_t kRestartGapMs = 1000;  // a worker that keeps dying is restarted once a second
constexpr std::int64_t kStopGraceMs = 2000;   // SIGTERM, then SIGKILL after this
constexpr std::int64_t kRereadMs = 2000;      // files are read again at least this often

std::int64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A pipe name like IIS's: iisipm followed by a GUID.
std::string NewPipeId() {
  std::random_device random;
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%04x%08x", random(), random() & 0xffff, random() & 0xffff,
                random() & 0xffff, random() & 0xffff, random());
  return text;
}

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

}  // namespace

PoolMap ReadPools(platform::IMetabase& metabase) {
  PoolMap pools;
  auto container = metabase.Bind("IIS://localhost/W3SVC/AppPools");
  auto children = container->Enumerate();
  std::unique_ptr<platform::IMetabaseObject> child;
  while (children->Next(child)) {
    if (!child) continue;
    PoolApps pool;
    pool.name = child->Name();
    const platform::MetabaseValue apps = child->EnumAppsInPool();
    if (platform::IsArray(apps)) {
      pool.apps = std::get<platform::MetabaseList>(apps).Strings();
    } else if (!std::get<std::string>(apps).empty()) {
      pool.apps.push_back(std::get<std::string>(apps));
    }
    pools[Lower(pool.name)] = std::move(pool);
  }
  return pools;
}

std::vector<std::string> WorkerArguments(const std::string& workerPath, const std::string& pipeId,
                                         const std::string& pool) {
  return {workerPath, "-a", "\\\\.\\pipe\\iisipm" + pipeId, "-ap", "\"" + pool + "\""};
}

W3Service::W3Service(ServiceOptions options, std::FILE* log) : options_(std::move(options)), log_(log) {}

W3Service::~W3Service() {
  StopAll();
  if (pidFileWritten_) ::unlink(options_.pidFile.c_str());
}

void W3Service::Log(const char* format, ...) {
  if (!log_) return;
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::fprintf(log_, "%s w3svc: ", stamp);
  va_list args;
  va_start(args, format);
  std::vfprintf(log_, format, args);
  va_end(args);
  std::fputc('\n', log_);
  std::fflush(log_);
}

W3Service::FileKey W3Service::KeyOf(const std::string& path) {
  FileKey key;
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return key;
  key.exists = true;
  key.inode = st.st_ino;
  key.size = static_cast<std::uint64_t>(st.st_size);
  key.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return key;
}

void W3Service::RefreshMetabase(std::int64_t now) {
  const FileKey key = KeyOf(options_.metabasePath);
  if (poolsKnown_ && key == metabaseKey_ && now - metabaseReadMs_ < kRereadMs) return;
  metabaseKey_ = key;
  metabaseReadMs_ = now;
  try {
    // A fresh store each time: the file may have been replaced by another writer.
    auto metabase = OpenMetabaseStore(options_.metabasePath);
    PoolMap pools = ReadPools(*metabase);
    if (!lastMetabaseError_.empty()) Log("metabase readable again: %s", options_.metabasePath.c_str());
    lastMetabaseError_.clear();
    pools_ = std::move(pools);
    poolsKnown_ = true;
  } catch (const std::exception& e) {
    // Keep the workers as they are until the file can be read again.
    if (lastMetabaseError_ != e.what()) Log("cannot read the metabase %s: %s", options_.metabasePath.c_str(), e.what());
    lastMetabaseError_ = e.what();
  }
}

void W3Service::RefreshProfile(std::int64_t now) {
  if (options_.profilePath.empty()) return;
  const FileKey key = KeyOf(options_.profilePath);
  if (profileReadMs_ >= 0 && key == profileKey_ && now - profileReadMs_ < kRereadMs) return;
  const bool changed = profileReadMs_ < 0 || !(key == profileKey_);
  profileKey_ = key;
  profileReadMs_ = now;
  std::ifstream in(options_.profilePath, std::ios::binary);
  if (!in) {
    if (changed) Log("cannot read the load profile %s; workers idle", options_.profilePath.c_str());
    profile_ = LoadProfile{};
    return;
  }
  std::ostringstream text;
  text << in.rdbuf();
  profile_ = ParseLoadProfile(text.str());
  if (changed) {
    for (const auto& error : profile_.errors) Log("load profile %s, %s", options_.profilePath.c_str(), error.c_str());
    Log("load profile %s: %zu applications", options_.profilePath.c_str(), profile_.apps.size());
  }
}

void W3Service::ReapExited() {
  int status = 0;
  pid_t pid;
  while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
    if (stopping_.erase(pid) > 0) continue;
    for (auto it = workers_.begin(); it != workers_.end(); ++it) {
      if (it->second.pid == pid) {
        Log("worker %d of pool [%s] ended (%s)", pid, it->second.pool.c_str(), ExitText(status).c_str());
        workers_.erase(it);
        break;
      }
    }
  }
}

void W3Service::Reconcile(std::int64_t now) {
  if (!poolsKnown_) return;
  for (const auto& [key, pool] : pools_) {
    if (pool.apps.empty()) continue;
    const WorkerLoad load = PoolLoad(profile_, pool.apps);
    auto it = workers_.find(key);
    if (it == workers_.end()) {
      auto last = lastStartMs_.find(key);
      if (last == lastStartMs_.end() || now - last->second >= kRestartGapMs) Start(pool, now);
    } else if (!it->second.sent || !(*it->second.sent == load)) {
      SendLoad(it->second, load);
    }
  }
  for (auto it = workers_.begin(); it != workers_.end();) {
    auto pool = pools_.find(it->first);
    if (pool == pools_.end() || pool->second.apps.empty()) {
      Log("pool [%s] %s: stopping worker %d", it->second.pool.c_str(),
          pool == pools_.end() ? "deleted" : "has no application", it->second.pid);
      StopWorker(it->second, now);
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [pid, killAt] : stopping_) {
    if (now >= killAt) {
      ::kill(pid, SIGKILL);
      killAt = INT64_MAX;
    }
  }
}

void W3Service::Start(const PoolApps& pool, std::int64_t now) {
  const std::string key = Lower(pool.name);
  lastStartMs_[key] = now;

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    Log("cannot start a worker for pool [%s]: pipe: %s", pool.name.c_str(), std::strerror(errno));
    return;
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

  const auto args = WorkerArguments(options_.workerPath, NewPipeId(), pool.name);
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
  const int rc = ::posix_spawn(&pid, options_.workerPath.c_str(), &actions.actions, &attributes.attributes,
                               argv.data(), envp.data());
  if (rc != 0) {
    Log("cannot start %s for pool [%s]: %s", options_.workerPath.c_str(), pool.name.c_str(), std::strerror(rc));
    return;
  }
  ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK);
  Worker worker;
  worker.pid = pid;
  worker.pool = pool.name;
  worker.control = std::move(writeEnd);
  worker.startedMs = now;
  const WorkerLoad load = PoolLoad(profile_, pool.apps);
  Log("started worker %d for pool [%s] (%zu applications)", pid, pool.name.c_str(), pool.apps.size());
  auto& placed = workers_[key] = std::move(worker);
  SendLoad(placed, load);
}

void W3Service::SendLoad(Worker& worker, const WorkerLoad& load) {
  const std::string line = "load " + FormatLoad(load) + "\n";
  // Shorter than PIPE_BUF, so the write is all or nothing; a full pipe is tried again
  // on the next round.
  const ssize_t n = ::write(worker.control.get(), line.data(), line.size());
  if (n == static_cast<ssize_t>(line.size())) {
    worker.sent = load;
    Log("pool [%s] worker %d load: %.4g%% CPU, %lld MB, %d files, %d TCP", worker.pool.c_str(), worker.pid,
        load.cpuPercent, static_cast<long long>(load.memoryMB), load.files, load.tcp);
  }
}

void W3Service::StopWorker(Worker& worker, std::int64_t now) {
  ::kill(worker.pid, SIGTERM);
  stopping_[worker.pid] = now + kStopGraceMs;
}

void W3Service::StopAll() {
  const std::int64_t now = NowMs();
  for (auto& [key, worker] : workers_) StopWorker(worker, now);
  workers_.clear();
  const std::int64_t deadline = now + kStopGraceMs;
  while (!stopping_.empty()) {
    for (auto it = stopping_.begin(); it != stopping_.end();) {
      int status = 0;
      const pid_t r = ::waitpid(it->first, &status, WNOHANG);
      if (r == it->first || (r < 0 && errno == ECHILD)) {
        it = stopping_.erase(it);
      } else {
        ++it;
      }
    }
    if (stopping_.empty()) break;
    if (NowMs() >= deadline) {
      for (const auto& [pid, killAt] : stopping_) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
      stopping_.clear();
      break;
    }
    const timespec pause{0, 20'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

void W3Service::WritePidFile() {
  if (options_.pidFile.empty()) return;
  const std::string temp = options_.pidFile + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << ::getpid() << '\n';
    if (!out) {
      Log("cannot write the pid file %s", options_.pidFile.c_str());
      return;
    }
  }
  if (::rename(temp.c_str(), options_.pidFile.c_str()) == 0) pidFileWritten_ = true;
}

int W3Service::Run(const volatile std::sig_atomic_t& stop) {
  if (::access(options_.workerPath.c_str(), X_OK) != 0) {
    Log("worker executable %s: %s", options_.workerPath.c_str(), std::strerror(errno));
    return 1;
  }
  WritePidFile();
  Log("serving %s with %s%s%s", options_.metabasePath.c_str(), options_.workerPath.c_str(),
      options_.profilePath.empty() ? "" : ", load profile ", options_.profilePath.c_str());
  while (!stop) {
    const std::int64_t now = NowMs();
    ReapExited();
    RefreshMetabase(now);
    RefreshProfile(now);
    Reconcile(now);
    const timespec pause{static_cast<time_t>(options_.pollMs / 1000),
                         static_cast<long>(options_.pollMs % 1000) * 1'000'000L};
    ::nanosleep(&pause, nullptr);  // a signal cuts it short
  }
  Log("stopping %zu workers", workers_.size());
  StopAll();
  if (pidFileWritten_) {
    ::unlink(options_.pidFile.c_str());
    pidFileWritten_ = false;
  }
  return 0;
}

}  // namespace tarnwell::standin
