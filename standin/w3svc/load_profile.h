#pragma once
// The load profile: how much each application makes its pool's worker process do.
// A text file, one application a line:
//   # application path              CPU%  MB  files  tcp
//   /LM/W3SVC/1/ROOT/shop            70    96    7      3
// The path may hold blanks (the last four words are the figures); paths compare without
// regard to letter case or a closing "/". Blank lines and lines starting with # are skipped.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "standin/w3wp/worker_load.h"

namespace tarnwell::standin {

struct LoadProfile {
  std::map<std::string, WorkerLoad> apps;  // by NormalisedAppPath
  std::vector<std::string> errors;         // "line N: ...", lines left out
};

LoadProfile ParseLoadProfile(std::string_view text);

// "/LM/W3SVC/1/ROOT/Shop" and "/lm/w3svc/1/root/shop/" give the same key.
std::string NormalisedAppPath(std::string_view path);

// The sum of the loads of the given applications; those not in the profile add nothing.
WorkerLoad PoolLoad(const LoadProfile& profile, const std::vector<std::string>& appPaths);

}  // namespace tarnwell::standin
