#pragma once
// Seams that refuse every call, for tests that build a registry but never reach the
// metabase or the processes.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metabase.h"
#include "platform/process_system.h"

namespace tarnwell::fakes {

class NullMetabase final : public platform::IMetabase {
 public:
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view adsPath) override {
    throw platform::MetabaseError(platform::kErrFail,
                                  "No metabase in this test: " + std::string(adsPath));
  }
};

class NullProcessSystem final : public platform::IProcessSystem {
 public:
  bool Snapshot(std::vector<platform::ProcessEntry>& entries) override {
    entries.clear();
    return false;
  }
  std::string CommandLine(std::uint32_t) override { return {}; }
  std::int64_t WorkingSet(std::uint32_t) override { return -1; }
  std::unique_ptr<platform::IProcessTimesReader> OpenTimes(std::uint32_t) override {
    return nullptr;
  }
  std::uint32_t TickMs() override { return 0; }
  void SleepMs(std::uint32_t) override {}
  platform::HandleCounts CountHandles(std::uint32_t) override { return {}; }
  bool Terminate(std::uint32_t, std::uint32_t) override { return false; }
};

}  // namespace tarnwell::fakes
