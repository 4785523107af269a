#pragma once
// The analyser's sample server, shared by its tests in tasks/, app/ and gui/:
// pool Shop with three applications in two sites (c inheriting Shop from its site, a and
// b holding it themselves), b the busy one, Shop's worker running; pool Blog with one
// application in Shop's second site. A stand-in web service starts a worker for every
// temporary pool that gets an application, run from the process system's sleep.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell::testutil {

inline const std::string kShop = "Shop";
inline const std::vector<std::string> kShopApps{"/LM/W3SVC/1/ROOT/a/", "/LM/W3SVC/1/ROOT/b/", "/LM/W3SVC/2/ROOT/c/"};

inline std::ptrdiff_t CountStarting(const std::vector<std::string>& lines, std::string_view prefix) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
}

struct ShopServer {
  fakes::FakeMetabase metabase;
  fakes::FakeProcessSystem processes;
  // Set before a run. The load of each temporary pool's worker, by its application (else 5).
  std::map<std::string, double> loads{{kShopApps[1], 85}};
  bool startWorkers = true;
  bool realPauses = false;  // a measuring pause also takes a real moment, for windows that wait
  std::function<void(std::uint32_t ms)> onSleep;  // after the web service's turn
  std::string original;                           // Configuration() as built

  ShopServer() {
    metabase.AddSite("1", "Shop site");
    metabase.AddSite("2", "Blog site");
    metabase.AddPool(kShop);
    metabase.AddPool("Blog");
    metabase.SetProperty("/LM/W3SVC/2", "AppPoolId", kShop);
    metabase.AddApp("/LM/W3SVC/1/ROOT/a", kShop);
    metabase.AddApp("/LM/W3SVC/1/ROOT/b", kShop);
    metabase.AddApp("/LM/W3SVC/2/ROOT/c");  // inherits Shop from its site
    metabase.AddApp("/LM/W3SVC/2/ROOT/blog", "Blog");
    processes.AddWorker(500, kShop, 40);
    processes.SetOnSleep([this](std::uint32_t ms) { Sleep(ms); });
    original = Configuration();
  }

  // Every pool, and the pool of every application: what the administrator would compare.
  std::string Configuration() const {
    std::string out;
    for (const auto& pool : metabase.PoolNames()) out += "pool " + pool + "\n";
    for (const auto& app : {kShopApps[0], kShopApps[1], kShopApps[2], std::string("/LM/W3SVC/2/ROOT/blog/")}) {
      out += app + " in " + metabase.EffectiveAppPool(app) +
             (metabase.HasOwnProperty(app, "AppPoolId") ? "\n" : ", inherited\n");
    }
    return out;
  }
  bool Restored() const { return Configuration() == original; }

 private:
  void Sleep(std::uint32_t ms) {
    for (const auto& pool : metabase.PoolNames()) {
      if (!startWorkers || !pool.starts_with(kTempPoolPrefix) || started_.count(pool) != 0) continue;
      const auto apps = metabase.AppsInPool(pool);
      if (apps.empty()) continue;
      started_.insert(pool);
      processes.AddWorker(nextPid_++, pool, loads.count(apps[0]) != 0 ? loads.at(apps[0]) : 5.0);
    }
    if (realPauses && ms == kMeasurePauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (onSleep) onSleep(ms);
  }

  std::set<std::string> started_;  // analyser thread
  std::uint32_t nextPid_ = 900;
};

}  // namespace tarnwell::testutil
