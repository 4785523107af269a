#include "standin/w3svc/service.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <variant>

#include "logs/LogsClock.h"
#include "metabase/metabase_store.h"
#include "platform/files/utf8_path.h"
#include "platform/metabase.h"

namespace tarnwell::standin {

namespace {

constexpr std::int64_t kRestartGapMs = 1000;  // a worker that keeps dying is restarted once a second
constexpr std::int64_t kStopGraceMs = 2000;   // asked to end, then killed after this
constexpr std::int64_t kRereadMs = 2000;      // files are read again at least this often

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
  RemovePidFile();
}

void W3Service::Log(const char* format, ...) {
  if (!log_) return;
  const LocalTime now = SystemClock().Now();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", now.hour, now.minute, now.second);
  std::fprintf(log_, "%s w3svc: ", stamp);
  va_list args;
  va_start(args, format);
  std::vfprintf(log_, format, args);
  va_end(args);
  std::fputc('\n', log_);
  std::fflush(log_);
}

W3Service::FileKey W3Service::KeyOf(const std::string& path) {
  mbfs::FileIdentity id;
  std::string why;
  if (path.empty() || !mbfs::IdentityOf(path, id, why)) return std::nullopt;
  return id;
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
  std::ifstream in(platform::PathFromUtf8(options_.profilePath), std::ios::binary);
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
  std::erase_if(stopping_, [](Stopping& s) { return s.process->Ended().has_value(); });
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (const auto how = it->second.process->Ended()) {
      Log("worker %u of pool [%s] ended (%s)", it->second.process->Pid(), it->second.pool.c_str(), how->c_str());
      it = workers_.erase(it);
    } else {
      ++it;
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
      Log("pool [%s] %s: stopping worker %u", it->second.pool.c_str(),
          pool == pools_.end() ? "deleted" : "has no application", it->second.process->Pid());
      StopWorker(it->second, now);
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& stopping : stopping_) {
    if (now >= stopping.killAtMs) {
      stopping.process->Kill();
      stopping.killAtMs = INT64_MAX;
    }
  }
}

void W3Service::Start(const PoolApps& pool, std::int64_t now) {
  const std::string key = Lower(pool.name);
  lastStartMs_[key] = now;
  std::string why;
  auto process = launcher_.Start(WorkerArguments(options_.workerPath, NewPipeId(), pool.name), why);
  if (!process) {
    Log("cannot start %s for pool [%s]: %s", options_.workerPath.c_str(), pool.name.c_str(), why.c_str());
    return;
  }
  if (!launcher_.Unguarded().empty() && !unguardedLogged_) {
    Log("workers may outlive a service that is killed: %s", launcher_.Unguarded().c_str());
    unguardedLogged_ = true;
  }
  Worker worker;
  worker.process = std::move(process);
  worker.pool = pool.name;
  worker.startedMs = now;
  const WorkerLoad load = PoolLoad(profile_, pool.apps);
  Log("started worker %u for pool [%s] (%zu applications)", worker.process->Pid(), pool.name.c_str(),
      pool.apps.size());
  auto& placed = workers_[key] = std::move(worker);
  SendLoad(placed, load);
}

void W3Service::SendLoad(Worker& worker, const WorkerLoad& load) {
  // A line that cannot be written now is tried again on the next round.
  if (worker.process->Send("load " + FormatLoad(load) + "\n")) {
    worker.sent = load;
    Log("pool [%s] worker %u load: %.4g%% CPU, %lld MB, %d files, %d TCP", worker.pool.c_str(),
        worker.process->Pid(), load.cpuPercent, static_cast<long long>(load.memoryMB), load.files, load.tcp);
  }
}

void W3Service::StopWorker(Worker& worker, std::int64_t now) {
  worker.process->RequestStop();
  stopping_.push_back({std::move(worker.process), now + kStopGraceMs});
}

void W3Service::StopAll() {
  const std::int64_t now = NowMs();
  for (auto& [key, worker] : workers_) StopWorker(worker, now);
  workers_.clear();
  const std::int64_t deadline = now + kStopGraceMs;
  while (!stopping_.empty()) {
    std::erase_if(stopping_, [](Stopping& s) { return s.process->Ended().has_value(); });
    if (stopping_.empty()) break;
    if (NowMs() >= deadline) {
      for (auto& stopping : stopping_) {
        stopping.process->Kill();
        stopping.process->WaitEnded();
      }
      stopping_.clear();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void W3Service::WritePidFile() {
  if (options_.pidFile.empty()) return;
  const std::filesystem::path path = platform::PathFromUtf8(options_.pidFile);
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);  // "\n" on Windows too
    out << CurrentProcessId() << '\n';
    if (!out) {
      Log("cannot write the pid file %s", options_.pidFile.c_str());
      return;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (!ec) pidFileWritten_ = true;
}

void W3Service::RemovePidFile() {
  if (!pidFileWritten_) return;
  std::error_code ec;
  std::filesystem::remove(platform::PathFromUtf8(options_.pidFile), ec);
  pidFileWritten_ = false;
}

int W3Service::Run(const std::atomic<bool>& stop) {
  if (const std::string problem = WorkerExecutableProblem(options_.workerPath); !problem.empty()) {
    Log("worker executable %s: %s", options_.workerPath.c_str(), problem.c_str());
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
    PauseMs(options_.pollMs);
  }
  Log("stopping %zu workers", workers_.size());
  StopAll();
  RemovePidFile();
  return 0;
}

}  // namespace tarnwell::standin
