// LoadPools over a large generated metabase (1024 pools, 10 applications each), against the
// cost of merely parsing the same file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "iis/iis.h"
#include "platform/process_system.h"
#include "metabase/metabase_generator.h"
#include "metabase/metabase_store.h"

namespace {

constexpr int kSites = 20;
constexpr int kPools = 1024;
constexpr int kAppsPerPool = 10;

// LoadPools reaches no process; the registry only needs one to be constructed.
class NoProcesses final : public tarnwell::platform::IProcessSystem {
 public:
  bool Snapshot(std::vector<tarnwell::platform::ProcessEntry>& entries) override {
    entries.clear();
    return false;
  }
  std::string CommandLine(std::uint32_t) override { return {}; }
  std::int64_t WorkingSet(std::uint32_t) override { return -1; }
  std::unique_ptr<tarnwell::platform::IProcessTimesReader> OpenTimes(std::uint32_t) override { return nullptr; }
  std::uint32_t TickMs() override { return 0; }
  void SleepMs(std::uint32_t) override {}
  tarnwell::platform::HandleCounts CountHandles(std::uint32_t) override { return {}; }
  bool Terminate(std::uint32_t, std::uint32_t) override { return false; }
};

// The generated file, in a directory removed when the program ends.
class BenchMetabase {
 public:
  BenchMetabase()
      : dir_(std::filesystem::temp_directory_path() / ("tarnwell-bench-meta-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    file_ = (dir_ / "MetaBase.xml").string();
    tarnwell::standin::WriteGeneratedMetabase(file_, kSites, kPools, kAppsPerPool);
  }
  ~BenchMetabase() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& File() const { return file_; }
  std::int64_t Size() const { return static_cast<std::int64_t>(std::filesystem::file_size(file_)); }

 private:
  std::filesystem::path dir_;
  std::string file_;
};

const BenchMetabase& Metabase() {
  static const BenchMetabase metabase;
  return metabase;
}

bool LoadAll(tarnwell::platform::IMetabase& store, NoProcesses& processes, benchmark::State& state) {
  tarnwell::TIISObject registry(store, processes);
  registry.GetSiteName = true;
  registry.GetAspNetVersion = true;
  registry.LoadPools();
  if (registry.PoolCount != kPools || registry.Pools[1].AppCount != kAppsPerPool) {
    state.SkipWithError("LoadPools did not read the whole metabase");
    return false;
  }
  benchmark::DoNotOptimize(registry.Pools[kPools - 1].Apps->front());
  return true;
}

// A store opened afresh each time: reading and parsing the file are part of the cost.
void BM_LoadPools(benchmark::State& state) {
  const auto& file = Metabase().File();
  NoProcesses processes;
  for (auto _ : state) {
    auto store = tarnwell::standin::OpenMetabaseStore(file);
    if (!LoadAll(*store, processes, state)) break;
  }
  state.SetBytesProcessed(state.iterations() * Metabase().Size());
}
BENCHMARK(BM_LoadPools)->Unit(benchmark::kMillisecond);

// The store has the file already: what a monitoring pass pays on an unchanged metabase.
void BM_LoadPoolsCached(benchmark::State& state) {
  auto store = tarnwell::standin::OpenMetabaseStore(Metabase().File());
  NoProcesses processes;
  for (auto _ : state) {
    if (!LoadAll(*store, processes, state)) break;
  }
}
BENCHMARK(BM_LoadPoolsCached)->Unit(benchmark::kMillisecond);

// Reading, parsing and indexing the file, and letting it go: the part of BM_LoadPools that
// is not the enumeration.
void BM_StoreOpen(benchmark::State& state) {
  const auto& file = Metabase().File();
  for (auto _ : state) {
    auto store = tarnwell::standin::OpenMetabaseStore(file);
    benchmark::DoNotOptimize(store->Bind("IIS://localhost/w3svc/AppPools"));
  }
  state.SetBytesProcessed(state.iterations() * Metabase().Size());
}
BENCHMARK(BM_StoreOpen)->Unit(benchmark::kMillisecond);

void BM_ParseOnly(benchmark::State& state) {
  const auto& file = Metabase().File();
  for (auto _ : state) {
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str())) {
      state.SkipWithError("the generated metabase does not parse");
      break;
    }
    benchmark::DoNotOptimize(doc.document_element());
  }
  state.SetBytesProcessed(state.iterations() * Metabase().Size());
}
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond);

}  // namespace
