#include "metrics/uCpuUsageSnapshot.h"

#include <vector>

namespace tarnwell {

bool IsWorkerExe(std::string_view exeName, ExeNameMatch match) {
  if (exeName.size() != WorkerExeName.size()) return false;
  if (match == ExeNameMatch::Exact) return exeName == WorkerExeName;
  for (std::size_t i = 0; i < exeName.size(); ++i) {
    char c = exeName[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != WorkerExeName[i]) return false;
  }
  return true;
}

bool ForEachWorkerProcess(platform::IProcessSystem& system, ExeNameMatch match,
                          const std::function<bool(const platform::ProcessEntry&)>& visit) {
  std::vector<platform::ProcessEntry> entries;
  if (!system.Snapshot(entries) || entries.empty()) return false;
  for (const auto& entry : entries) {
    if (!IsWorkerExe(entry.exeName, match)) continue;
    if (!visit(entry)) break;
  }
  return true;
}

}  // namespace tarnwell
