// The analyser over the MetaBase.xml store, on a file in IIS 6's own layout whose
// applications get their pool three ways: whatever way the analysis ends, the file the
// administrator keeps is the one he had, byte for byte.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "metabase/metabase_store.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/support/analyse_bench.h"
#include "tests/support/files.h"
#include "tests/support/iis6_metabase.h"

namespace tarnwell {
namespace {

using testutil::kIis6ShopApps;
using testutil::ReadAll;
using testutil::WriteFile;

// ShopPool's analysis, without workers, runs until its sixth measuring pause; what a
// program killed at the first pause leaves (the file and the journal) is kept.
class AnalyseOverStore : public ::testing::Test {
 protected:
  AnalyseOverStore() {
    WriteFile(file, original);
    processes.SetOnSleep([this](std::uint32_t ms) {
      if (ms == kMeasurePauseMs && !atFirstPause) {
        const std::string journal = bench.Journal();
        atFirstPause = Left{ReadAll(file), JournalExists(journal) ? std::optional(ReadAll(journal)) : std::nullopt};
      }
      bench.Slept(ms);
    });
    bench.stopAt = static_cast<int>(2 * kIis6ShopApps.size());
  }

  struct Left {
    std::string metabase;
    std::optional<std::string> journal;
  };

  testutil::TempDir dir;
  const std::string original = testutil::Iis6ShopMetabase();
  const std::string file = dir.File("MetaBase.xml");
  std::unique_ptr<platform::IMetabase> store = standin::OpenMetabaseStore(file);
  fakes::FakeProcessSystem processes;
  testutil::AnalyseBench bench{*store, processes};
  std::optional<Left> atFirstPause;
};

// Stopped, the analysis leaves the file byte for byte; killed during the cycles, the next
// start puts it back byte for byte.
TEST_F(AnalyseOverStore, StoppedOrKilledTheFileComesBackByteForByte) {
  bench.Run("ShopPool", 101);  // nothing to report: no reads during the cycles
  EXPECT_EQ(bench.window.AnalyseLines().back(), "End analyse of pool: ShopPool");
  EXPECT_EQ(ReadAll(file), original);
  EXPECT_FALSE(JournalExists(bench.Journal()));
  // Every application was moved, inheriting ones too, and the journal said how each goes back.
  ASSERT_TRUE(atFirstPause && atFirstPause->journal);
  WriteFile(file, atFirstPause->metabase);
  WriteFile(bench.Journal(), *atFirstPause->journal);
  auto next = standin::OpenMetabaseStore(file);
  for (const auto& app : kIis6ShopApps) {
    const auto pool = std::get<std::string>(next->Bind(AppMetabasePath(app))->Get("AppPoolId"));
    EXPECT_TRUE(pool.starts_with(kTempPoolPrefix)) << app << " in " << pool;
  }
  std::vector<bool> own;
  for (const auto& app : ParseJournal(*atFirstPause->journal).Apps) own.push_back(app.Own);
  EXPECT_EQ(own, testutil::kIis6ShopAppsOwnPool);
  std::vector<std::string> messages;
  EXPECT_EQ(RecoverAnalysis(bench.dir.Dir(), *next, [&](const std::string& m) { messages.push_back(m); }),
            RecoveryOutcome::Complete);
  EXPECT_EQ(messages[1], "Recovery: application [" + kIis6ShopApps[0] + "] inherits its pool again");
  EXPECT_EQ(messages[2], "Recovery: application [" + kIis6ShopApps[1] + "] back in pool [ShopPool]");
  EXPECT_EQ(ReadAll(file), original);
}

}  // namespace
}  // namespace tarnwell
