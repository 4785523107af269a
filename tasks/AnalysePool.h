#pragma once
// The analyser: gives each application of one pool a temporary pool of its own, ends the
// pool's worker, measures the temporary pools' workers cycle after cycle until stopped,
// reports each application at or above the threshold, then moves every application back
// and deletes the temporary pools.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logs/LogsClock.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/TaskThread.h"

namespace tarnwell {

class TLog;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

inline constexpr const char* kTempPoolPrefix = "QuillmarshAnalyse";
inline constexpr const char* kAppPoolsPath = "IIS://localhost/W3SVC/AppPools";
inline constexpr std::uint32_t kTerminateExitCode = 101;
inline constexpr std::uint32_t kMeasurePauseMs = 800;

struct TTempPoolRec {
  std::string TempPool;  // empty while none was made
  std::string AppPath;   // "/LM/W3SVC/1/ROOT/shop/"
  std::int32_t Cpu = 0;  // at the last measurement
  bool OwnPool = true;   // its key held its own AppPoolId; else it inherits it again when put back
};

struct TPoolProcess {
  std::int32_t Cpu = 0;
  std::uint32_t Pid = 0;
};

// "/LM/W3SVC/1/ROOT/Shop/" -> "IIS://localhost/w3svc/1/root/shop".
std::string AppMetabasePath(std::string_view appPath);
// "/LM/W3SVC/1/ROOT/Shop/" -> "IIS://localhost/w3svc/1"; empty without "/root".
std::string SiteMetabasePath(std::string_view appPath);
// The date-time as a number: 15 significant digits, the given decimal separator.
std::string FormatDateTimeNumber(double dateTime, char decimalSeparator);
// Sets the application's AppPoolId and saves it; false on any failure.
bool MoveAppToPool(platform::IMetabase& metabase, std::string_view appPath, std::string_view poolName);
// Clears the application's own AppPoolId and saves it, so that its key inherits the pool
// again; false on any failure.
bool InheritAppPool(platform::IMetabase& metabase, std::string_view appPath);
// The worker serving exactly each pool (names compared without regard to ASCII case; the
// first in the snapshot), found in one walk; 0 for an empty name or a pool without one.
std::vector<std::uint32_t> FindPoolWorkers(platform::IProcessSystem& processes, const std::vector<std::string>& poolNames);
// One measuring cycle's figures: each record's Cpu from its temporary pool's worker, all
// measured in one shared window (0 without a worker, -1 when it cannot be read). Records
// without a temporary pool are left alone.
void MeasureTempPools(platform::IProcessSystem& processes, std::vector<TTempPoolRec>& recs);
// The worker serving exactly this pool, measured over half a second; zeros when there is none.
TPoolProcess FindPoolProcess(platform::IProcessSystem& processes, std::string_view poolName);

class TAnalysePool : public TTaskThread {
 public:
  TAnalysePool(IWindowPort& window, const ILocalClock& clock);

  // Set by the window before Start; StopRequested also while it runs (UI thread).
  std::string PoolName;
  std::atomic<bool> StopRequested{false};
  std::int32_t CpuThreshold = 70;

 protected:
  void Execute() override;

 private:
  bool Stopping() const { return StopRequested.load() || Terminated(); }
  void ReportAnalyse(const std::string& text);
  std::string NextTempPoolName();
  // Takes the log directory's journal and puts back what an earlier run left in it;
  // false when the analysis must not start.
  bool TakeJournal(std::optional<JournalLock>& lock);
  // Has the journal file say what journal_ says; false, reported, when it cannot.
  bool SyncJournal();
  void DropJournalApp(const std::string& appPath);
  void DropJournalTemp(const std::string& tempPool);
  // Removes the journal when everything is back, else keeps it and says so.
  void CloseJournal();
  // The pool's applications, each with whether its key holds its own AppPoolId; empty,
  // reported, when they cannot be read.
  std::vector<TTempPoolRec> ListApps();
  // Returns false when the run must go straight to the return phase. recs holds the
  // applications as ListApps gives them; each gets its TempPool when one is made.
  bool TransferAll(std::vector<TTempPoolRec>& recs);
  void MeasureUntilStopped(std::vector<TTempPoolRec>& recs);
  void ReturnAll(const std::vector<TTempPoolRec>& recs);

  const ILocalClock& clock_;
  TLog* log_ = nullptr;      // the run's analysis log, alive during Execute
  double lastName_ = 0;      // date-time of the last temporary pool name
  // What this run has changed or is about to change; analyser thread only.
  AnalyseJournal journal_;
  std::string journalPath_;
  bool journalWritten_ = false;  // the file exists as this run wrote it
  bool journalSynced_ = true;    // the file says what journal_ says
  bool journalFailing_ = false;  // the last save failed and was reported
};

}  // namespace tarnwell
