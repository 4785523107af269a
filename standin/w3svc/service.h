#pragma once
// The web-service stand-in: keeps one w3wp.exe running for every application pool that
// has at least one application in the MetaBase.xml store, and gives each the sum of its
// applications' loads from the load profile. Single-threaded: everything runs in Run.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "standin/w3svc/load_profile.h"

namespace tarnwell::platform {
class IMetabase;
}

namespace tarnwell::standin {

struct ServiceOptions {
  std::string metabasePath;  // the MetaBase.xml store's file
  std::string profilePath;   // empty: every worker idles
  std::string workerPath;    // the w3wp.exe to start
  std::string pidFile;       // empty: none written
  unsigned pollMs = 200;     // how often the files and the workers are looked at
};

// Pools with their applications, keyed by the lower-cased pool name.
struct PoolApps {
  std::string name;
  std::vector<std::string> apps;
};
using PoolMap = std::map<std::string, PoolApps>;

// Reads every pool and its applications; raises MetabaseError when the store cannot.
PoolMap ReadPools(platform::IMetabase& metabase);

// The argument vector IIS 6 gives a worker: path -a \\.\pipe\iisipm<id> -ap "Pool".
std::vector<std::string> WorkerArguments(const std::string& workerPath, const std::string& pipeId,
                                         const std::string& pool);

class W3Service {
 public:
  W3Service(ServiceOptions options, std::FILE* log);
  ~W3Service();  // ends every worker still running
  W3Service(const W3Service&) = delete;
  W3Service& operator=(const W3Service&) = delete;

  // Runs until stop becomes non-zero (set from a signal handler), then ends every worker
  // it started. Returns the process exit code.
  int Run(const volatile std::sig_atomic_t& stop);

 private:
  struct Worker {
    pid_t pid = -1;
    std::string pool;
    platform::linux_proc::UniqueFd control;  // the worker's standard input
    std::optional<WorkerLoad> sent;          // last load written to it
    std::int64_t startedMs = 0;
  };
  struct FileKey {
    bool exists = false;
    std::uint64_t inode = 0, size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileKey&) const = default;
  };

  static FileKey KeyOf(const std::string& path);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void RefreshMetabase(std::int64_t now);
  void RefreshProfile(std::int64_t now);
  void ReapExited();
  void Reconcile(std::int64_t now);
  void Start(const PoolApps& pool, std::int64_t now);
  void SendLoad(Worker& worker, const WorkerLoad& load);
  void StopWorker(Worker& worker, std::int64_t now);
  void StopAll();
  void WritePidFile();

  ServiceOptions options_;
  std::FILE* log_;
  PoolMap pools_;
  bool poolsKnown_ = false;
  FileKey metabaseKey_;
  std::int64_t metabaseReadMs_ = -1;
  std::string lastMetabaseError_;
  LoadProfile profile_;
  FileKey profileKey_;
  std::int64_t profileReadMs_ = -1;
  std::map<std::string, Worker> workers_;           // by lower-cased pool name
  std::map<pid_t, std::int64_t> stopping_;          // pid -> when to SIGKILL (ms)
  std::map<std::string, std::int64_t> lastStartMs_;  // by lower-cased pool name
  bool pidFileWritten_ = false;
};

}  // namespace tarnwell::standin
