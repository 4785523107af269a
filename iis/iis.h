#pragma once
// The pool registry: what the window and the worker threads know of the server's
// application pools. Owned by the window (UI thread); see the threading notes per member.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "iis/iis_fairlock.h"

namespace tarnwell {

class TLog;
class PoolFilter;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

inline constexpr int MaxPools = 1025;          // records; at most MaxPools - 1 pools are held
inline constexpr std::size_t MaxPoolName = 255;  // characters kept of a pool name

// The filter expression does not compile, or hit the engine's match limit.
class RegexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The container LoadPools binds; when it cannot, the records are kept as they were.
inline constexpr const char* kAppPoolsAdsPath = "IIS://localhost/w3svc/AppPools";

// Why the pools' container could not be bound: the seam's code and message.
struct TMetabaseFailure {
  std::uint32_t Code = 0;
  std::string Reason;
};

// One line for the pane and the logs: the path and the reason, and where the code says the
// ADSI provider of IIS is missing, that IIS 6 Metabase Compatibility is needed.
std::string MetabaseUnreadableText(const TMetabaseFailure& failure);

struct TPoolRec {
  std::string Name;  // empty: the record holds no pool
  std::int32_t AppCount = 0;
  std::int32_t RamKB = 0;
  std::int32_t Cpu = 0;
  std::int32_t Threads = 0;
  std::int32_t OpenFiles = 0;
  std::int32_t OpenTcp = 0;
  std::int32_t Handles = 0;
  std::int32_t Pid = 0;  // 0: no worker process found in the last pass
  std::unique_ptr<std::vector<std::string>> Apps;  // null until the pool first has applications
};

class TIISObject {
 public:
  // The seams stay owned by the caller and must outlive the registry.
  TIISObject(platform::IMetabase& metabase, platform::IProcessSystem& processes);
  ~TIISObject();
  TIISObject(const TIISObject&) = delete;
  TIISObject& operator=(const TIISObject&) = delete;

  // Settings: written by the UI thread before it starts a worker, read by the worker.
  std::string Filter;
  TLog* Log = nullptr;  // the window's daily log, not owned
  std::string SelectedPools;  // ticked names, each followed by a TAB
  bool GetSiteName = false;
  bool GetAspNetVersion = false;
  // Monitoring takes every pool the filter accepts, read again in each pass, instead of the
  // ticked names (the service, which has no list to tick): LoadPools then sets
  // SelectedPools to the pools it read.
  bool SelectByFilter = false;

  // Records: rebuilt by LoadPools and SamplePools on one worker at a time; read by the UI
  // thread only while that worker waits in a hand-over.
  std::int32_t PoolCount = 0;
  std::array<TPoolRec, MaxPools> Pools;
  // Pools accepted by the last LoadPools that did not fit in the records.
  std::int32_t PoolsDropped = 0;
  // Set by a LoadPools that could not bind the pools' container (and so kept the records),
  // cleared by one that could. Read by the thread that ran it.
  std::optional<TMetabaseFailure> LoadFailure;

  void ClearPools();
  // Raises RegexError for a filter that does not compile or runs away.
  bool AcceptPool(std::string_view name);
  bool IsMonitoring() const { return Monitoring.load(std::memory_order_relaxed); }
  void SetMonitoring(bool value) { Monitoring.store(value, std::memory_order_relaxed); }
  std::int32_t IndexOfPool(std::string_view name) const;
  bool IsSelectedPool(std::string_view name) const;

  // Rebuilds the records from the metabase. Errors pass out to the caller.
  void LoadPools();
  // One sampling pass over the selected pools' worker processes.
  bool SamplePools();

  // Serialises the rebuilds of the records (LoadPools, SamplePools) between workers.
  // Never taken on the UI thread.
  FairMutex& RebuildMutex() { return rebuild_; }

  platform::IMetabase& Metabase() { return metabase_; }
  platform::IProcessSystem& Processes() { return processes_; }

 private:
  std::atomic<bool> Monitoring{false};  // written by the UI thread, polled by the monitor
  platform::IMetabase& metabase_;
  platform::IProcessSystem& processes_;
  std::unique_ptr<PoolFilter> FilterExpr;
  FairMutex rebuild_;
};

// ASCII-only lower-casing (A to Z), as every name comparison of the registry uses.
std::string LowerAscii(std::string_view text);
constexpr char LowerAsciiChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace tarnwell
