#pragma once
// The sample server of the analyser tests: pool Shop with three applications in two sites
// (c inheriting Shop from its site, a and b holding it themselves) and its worker running,
// and a stand-in web service that starts a worker for every temporary pool that gets an
// application (run from the process system's sleep, as time passes).
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell::testing {

inline const std::string kShop = "Shop";
inline const std::vector<std::string> kApps{"/LM/W3SVC/1/ROOT/a/", "/LM/W3SVC/1/ROOT/b/", "/LM/W3SVC/2/ROOT/c/"};
inline constexpr std::uint32_t kShopWorkerPid = 500;

inline bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

inline void AddShopServer(fakes::FakeMetabase& metabase, fakes::FakeProcessSystem& processes) {
  metabase.AddSite("1", "Shop site");
  metabase.AddSite("2", "Blog site");
  metabase.AddPool(kShop);
  metabase.AddPool("Other");
  metabase.SetProperty("/LM/W3SVC/2", "AppPoolId", kShop);
  for (const auto& app : kApps) {
    if (app == kApps[2]) {
      metabase.AddApp(app.substr(0, app.size() - 1));
    } else {
      metabase.AddApp(app.substr(0, app.size() - 1), kShop);
    }
  }
  metabase.AddApp("/LM/W3SVC/2/ROOT/other", "Other");
  processes.AddWorker(kShopWorkerPid, kShop, 40);
}

// Starts a worker, at the processor load `load` gives its application, for every temporary
// pool that has an application and no worker yet.
class TempPoolService {
 public:
  TempPoolService(fakes::FakeMetabase& metabase, fakes::FakeProcessSystem& processes,
                  std::function<double(const std::string& app)> load)
      : metabase_(metabase), processes_(processes), load_(std::move(load)) {}

  void StartWorkers() {
    for (const auto& pool : metabase_.PoolNames()) {
      if (!StartsWith(pool, kTempPoolPrefix) || started_.count(pool) != 0) continue;
      const auto apps = metabase_.AppsInPool(pool);
      if (apps.empty()) continue;
      started_.insert(pool);
      processes_.AddWorker(nextPid_++, pool, load_(apps[0]));
    }
  }

 private:
  fakes::FakeMetabase& metabase_;
  fakes::FakeProcessSystem& processes_;
  std::function<double(const std::string&)> load_;
  std::set<std::string> started_;
  std::uint32_t nextPid_ = 900;
};

}  // namespace tarnwell::testing
