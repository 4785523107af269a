#pragma once
// The web-service stand-in: keeps one w3wp.exe running for every application pool that
// has at least one application in the MetaBase.xml store, and gives each the sum of its
// applications' loads from the load profile. Single-threaded: everything runs in Run.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metabase/metabase_fs.h"
#include "standin/w3svc/load_profile.h"
#include "standin/w3svc/service_process.h"

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

  // Runs until stop becomes true (set by a signal or console handler), then ends every
  // worker it started. Returns the process exit code.
  int Run(const std::atomic<bool>& stop);

 private:
  struct Worker {
    std::unique_ptr<WorkerProcess> process;  // its standard input is the control pipe
    std::string pool;
    std::optional<WorkerLoad> sent;  // last load written to it
    std::int64_t startedMs = 0;
  };
  struct Stopping {
    std::unique_ptr<WorkerProcess> process;
    std::int64_t killAtMs;
  };
  // What the service compares to see a file change: none when it cannot be asked.
  using FileKey = std::optional<mbfs::FileIdentity>;

  static FileKey KeyOf(const std::string& path);
  void Log(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
  void RefreshMetabase(std::int64_t now);
  void RefreshProfile(std::int64_t now);
  void ReapExited();
  void Reconcile(std::int64_t now);
  void Start(const PoolApps& pool, std::int64_t now);
  void SendLoad(Worker& worker, const WorkerLoad& load);
  void StopWorker(Worker& worker, std::int64_t now);
  void StopAll();
  void WritePidFile();
  void RemovePidFile();

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
  WorkerLauncher launcher_;  // goes after the workers: its end ends any still running
  std::map<std::string, Worker> workers_;           // by lower-cased pool name
  std::vector<Stopping> stopping_;                  // asked to end, not yet gone
  std::map<std::string, std::int64_t> lastStartMs_;  // by lower-cased pool name
  bool pidFileWritten_ = false;
  bool unguardedLogged_ = false;
};

}  // namespace tarnwell::standin
