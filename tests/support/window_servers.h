#pragma once
// The small servers that the window's tests run on, shared by the rule tests on the
// controller (tests/app) and the Qt smoke tests (tests/gui).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "iis/iis.h"
#include "metabase/metabase_store.h"
#include "tests/support/gated_metabase.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::testutil {

// A MetaBase.xml with pools in this order: DefaultAppPool (1 application, the site's
// root), MyPool2 (10), AppPool1 (9), MyAppPool (1), Intranet (none).
inline std::string PoolListServerXml() {
  std::string pools, apps;
  for (const auto& [pool, prefix, count] : {std::tuple{"DefaultAppPool", "", 0}, {"MyPool2", "m", 10},
                                            {"AppPool1", "a", 9}, {"MyAppPool", "x", 1}, {"Intranet", "", 0}}) {
    pools += std::string("<IIsApplicationPool Location=\"/LM/W3SVC/AppPools/") + pool + "\"/>\n";
    for (int i = 0; i < count; ++i) {
      const std::string path = std::string("/LM/W3SVC/1/ROOT/") + prefix + std::to_string(i);
      apps += "<IIsWebVirtualDir Location=\"" + path + "\" AppRoot=\"" + path + "\" AppPoolId=\"" + pool + "\"/>\n";
    }
  }
  return "<?xml version =\"1.0\"?>\n<configuration>\n<MBProperty>\n"
         "<IIsWebService Location=\"/LM/W3SVC\" AppPoolId=\"DefaultAppPool\"/>\n"
         "<IIsApplicationPools Location=\"/LM/W3SVC/AppPools\"/>\n" + pools +
         "<IIsWebServer Location=\"/LM/W3SVC/1\" ServerComment=\"Shop\"/>\n"
         "<IIsWebVirtualDir Location=\"/LM/W3SVC/1/ROOT\" AppRoot=\"/LM/W3SVC/1/ROOT\"/>\n" + apps +
         "</MBProperty>\n</configuration>\n";
}

// The store over the given MetaBase.xml text in a temporary file. Every bind can be slowed
// down, so that reloads started together are sure to overlap.
class PoolListMetabase final : public platform::IMetabase {
 public:
  explicit PoolListMetabase(const std::string& xml = PoolListServerXml()) {
    WriteFile(file, xml);
    store_ = standin::OpenMetabaseStore(file);
  }
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view path) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    return store_->Bind(path);
  }
  TempDir dir;
  const std::string file = dir.File("MetaBase.xml");
  std::atomic<int> delayMs{0};

 private:
  std::unique_ptr<platform::IMetabase> store_;
};

// DefaultAppPool with two applications and a busy worker; Idle with one application and no
// worker; Other, never ticked by the tests.
struct MonitoringServer {
  fakes::FakeMetabase metabase;
  fakes::FakeProcessSystem processes;

  MonitoringServer() {
    metabase.AddSite("1", "Shop");
    for (const char* pool : {"DefaultAppPool", "Idle", "Other"}) metabase.AddPool(pool);
    for (const auto& [app, pool] : {std::pair{"", "DefaultAppPool"}, {"/shop", "DefaultAppPool"},
                                    {"/idle", "Idle"}, {"/other", "Other"}}) {
      metabase.AddApp(std::string("/LM/W3SVC/1/ROOT") + app, pool);
    }
    processes.AddWorker(2044, "DefaultAppPool", 7, 12345 * 1024, 25);
    processes.Update(2044, [](fakes::FakeProcessSystem::Process& p) { p.handles = {40, 3, 400}; });
    processes.AddWorker(2300, "Other", 50, 4096 * 1024, 3);
  }
};

// Puts records (name, applications, CPU, RAM) in the registry, as a monitoring pass would
// leave them for the redraw.
inline void SetRedrawRecords(TIISObject& registry, const std::vector<std::tuple<std::string, int, int, int>>& pools) {
  registry.ClearPools();
  for (const auto& [name, apps, cpu, ram] : pools) {
    TPoolRec& rec = registry.Pools[static_cast<std::size_t>(registry.PoolCount++)];
    rec.Name = name;
    rec.AppCount = apps;
    rec.Cpu = cpu;
    rec.RamKB = ram;
    rec.Pid = 0;
  }
}

}  // namespace tarnwell::testutil
