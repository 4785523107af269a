#pragma once
// The process snapshot walk that the sampling pass and the analyser share: it finds the
// IIS worker processes among the running ones. Called from worker threads.
#include <functional>
#include <string_view>

#include "platform/process_system.h"

namespace tarnwell {

inline constexpr std::string_view WorkerExeName = "w3wp.exe";

// How an executable name is compared with WorkerExeName: the sampling pass ignores
// letter case (ASCII letters only), the analyser compares exactly.
enum class ExeNameMatch { Exact, IgnoreCase };

bool IsWorkerExe(std::string_view exeName, ExeNameMatch match);

// Takes one snapshot and calls visit for every worker process in the snapshot's order,
// until visit returns false. Other processes cost one name comparison. Returns false
// when not even the first entry of the snapshot could be read (visit never called),
// true otherwise, whether or not any worker was found.
bool ForEachWorkerProcess(platform::IProcessSystem& system, ExeNameMatch match,
                          const std::function<bool(const platform::ProcessEntry&)>& visit);

}  // namespace tarnwell
