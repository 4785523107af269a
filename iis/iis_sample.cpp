// TIISObject::SamplePools: one measurement of the selected pools' worker processes. Runs on
// the monitoring thread, which holds RebuildMutex around it.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "iis/iis_load.h"
#include "iis/iis_workers.h"
#include "logs/Logs.h"
#include "metrics/uCpuUsage.h"
#include "metrics/uCpuUsageSnapshot.h"
#include "metrics/uGetOpenFiles.h"

namespace tarnwell {

namespace {

// The pass's lines in the daily log. A line that cannot be written must not cost the figures
// of the pools still to come: the pass goes on and the first error is raised at its end.
class PassNarration {
 public:
  explicit PassNarration(TLog* log) : log_(log) {}

  void Say(const std::string& text) {
    if (log_ == nullptr) return;
    try {
      log_->Write(text);
    } catch (...) {
      if (!error_) error_ = std::current_exception();
    }
  }

  void RaiseIfFailed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  TLog* log_;
  std::exception_ptr error_;
};

std::int32_t ClampToInt32(std::uint32_t value) {
  return static_cast<std::int32_t>(
      std::min<std::uint32_t>(value, static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())));
}

}  // namespace

bool TIISObject::SamplePools() {
  const std::int32_t inUse = std::clamp<std::int32_t>(PoolCount, 0, MaxPools - 1);
  for (std::int32_t i = 0; i < inUse; ++i) {
    TPoolRec& rec = Pools[static_cast<std::size_t>(i)];
    rec.Pid = 0;
    rec.Threads = 0;
    rec.OpenFiles = 0;
    rec.OpenTcp = 0;
    rec.Handles = 0;
    rec.RamKB = 0;
    rec.Cpu = 0;
  }

  // A worker's narration is held until the pass's one processor window has ended, so that
  // each pool's five lines stay together and in the order of the snapshot.
  struct Measured {
    std::vector<std::string> lines;
    std::int32_t index = -1;  // -1: narrated only, not measured
    std::string pool;
  };
  std::vector<Measured> measured;
  std::vector<std::uint32_t> pids;  // of the measured workers, in the same order

  platform::IProcessSystem& system = Processes();
  const bool walked =
      ForEachWorkerProcess(system, ExeNameMatch::IgnoreCase, [&](const platform::ProcessEntry& entry) {
        // An unreadable command line gives an empty name; it still passes the selection test
        // while any pool is ticked, and is then narrated but never found.
        // Cut as the records and the ticked names are, so that a long-named pool is found.
        const std::string pool = CutPoolName(ExtractPoolName(GetProcessCommandLine(system, entry.pid)));
        if (!IsSelectedPool(pool)) return true;
        Measured& m = measured.emplace_back();
        m.pool = pool;
        m.lines.push_back("Find pool [" + pool + "] by PID " + std::to_string(entry.pid));
        m.index = IndexOfPool(pool);
        m.lines.push_back("Pool [" + pool + "] in queue (handle " + std::to_string(m.index) + ")");
        if (m.index < 0) return true;

        THandleCensus census;
        CountProcessHandles(system, entry.pid, census);
        m.lines.push_back("Get open files of pool [" + pool + "]");
        // A later worker of the same pool overwrites an earlier one's figures.
        TPoolRec& rec = Pools[static_cast<std::size_t>(m.index)];
        rec.Pid = static_cast<std::int32_t>(entry.pid);
        rec.Threads = ClampToInt32(entry.threads);
        rec.OpenFiles = census.OpenFiles;
        rec.OpenTcp = census.OpenTcp;
        rec.Handles = census.Handles;

        rec.RamKB = RamKBFromWorkingSet(GetProcessWorkingSet(system, entry.pid));
        m.lines.push_back("Get RAM of pool [" + pool + "] : " + std::to_string(rec.RamKB));
        pids.push_back(entry.pid);
        return true;
      });

  // One window of CpuSampleDelay ms for every measured worker together.
  const std::vector<float> usages = GetProcessesCpuUsage(system, pids);
  PassNarration say(Log);
  std::size_t next = 0;
  for (Measured& m : measured) {
    if (m.index >= 0) {
      // In snapshot order, so that of two workers of one pool the later one's figure stays.
      TPoolRec& rec = Pools[static_cast<std::size_t>(m.index)];
      rec.Cpu = CpuFromUsage(usages[next++]);
      m.lines.push_back("Get CPU of pool [" + m.pool + "] : " + std::to_string(rec.Cpu));
    }
    for (const std::string& line : m.lines) say.Say(line);
  }
  say.RaiseIfFailed();
  return walked;
}

}  // namespace tarnwell
