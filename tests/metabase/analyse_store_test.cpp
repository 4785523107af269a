// The analyser over the MetaBase.xml store, on a file in IIS 6's own layout whose
// applications get their pool three ways: whatever way the analysis ends, the file the
// administrator keeps is the one he had, byte for byte.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>

#include "iis/iis.h"
#include "metabase/metabase_store.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_window_port.h"
#include "tests/logs/log_test_support.h"
#include "tests/metabase/metabase_test_util.h"
#include "tests/support/iis6_metabase.h"

namespace tarnwell {
namespace {

using testutil::kIis6ShopApps;
using testutil::ReadFile;
using testutil::WriteFile;

class AnalyseOverStore : public ::testing::Test {
 protected:
  AnalyseOverStore() {
    WriteFile(file, original);
    processes.SetOnSleep([this](std::uint32_t ms) { OnSleep(ms); });
  }

  // Runs ShopPool's analysis until its second measuring cycle has ended.
  void Analyse() {
    TAnalysePool thread(window, clock);
    thread.PoolName = "ShopPool";
    thread.CpuThreshold = 101;  // nothing to report: no reads during the cycles
    {
      std::lock_guard lock(mutex);
      analyser = &thread;
    }
    thread.Start();
    thread.Join();
    std::lock_guard lock(mutex);
    analyser = nullptr;
  }

  // What a program killed at the first measuring pause leaves: the file and the journal.
  struct Left {
    std::string metabase;
    std::optional<std::string> journal;
  };

  testutil::TempDir dir;
  const std::string original = testutil::Iis6ShopMetabase();
  const std::string file = dir.File("MetaBase.xml");
  std::unique_ptr<platform::IMetabase> store = standin::OpenMetabaseStore(file);
  fakes::FakeProcessSystem processes;
  TIISObject registry{*store, processes};
  fakes::FakeWindowPort window{registry, dir.Dir()};
  testing::FakeClock clock{testing::At(2026, 12, 6, 22, 45, 0)};
  std::optional<Left> atFirstPause;

 private:
  void OnSleep(std::uint32_t ms) {
    if (ms != kMeasurePauseMs) return;
    if (!atFirstPause) {
      const std::string journal = JournalPath(dir.Dir());
      atFirstPause = Left{ReadFile(file), JournalExists(journal) ? std::optional(ReadFile(journal)) : std::nullopt};
    }
    std::lock_guard lock(mutex);
    if (++pauses >= 2 * kIis6ShopApps.size() && analyser != nullptr) analyser->StopRequested = true;
  }

  std::mutex mutex;
  TAnalysePool* analyser = nullptr;
  std::size_t pauses = 0;
};

TEST_F(AnalyseOverStore, StopLeavesTheFileByteForByte) {
  Analyse();
  // Every application was moved, inheriting ones too, and is back as it was.
  ASSERT_TRUE(atFirstPause);
  WriteFile(file + ".during", atFirstPause->metabase);
  auto during = standin::OpenMetabaseStore(file + ".during");
  for (const auto& app : kIis6ShopApps) {
    const auto pool = std::get<std::string>(during->Bind(AppMetabasePath(app))->Get("AppPoolId"));
    EXPECT_TRUE(pool.starts_with(kTempPoolPrefix)) << app << " in " << pool;
  }
  EXPECT_EQ(window.AnalyseLines().back(), "End analyse of pool: ShopPool");
  EXPECT_EQ(ReadFile(file), original);
  EXPECT_FALSE(JournalExists(JournalPath(dir.Dir())));
}

TEST_F(AnalyseOverStore, AProgramKilledDuringTheCyclesIsPutBackByteForByteAtTheNextStart) {
  Analyse();
  ASSERT_TRUE(atFirstPause && atFirstPause->journal);
  // The next start finds the file and the journal as the killed program left them.
  WriteFile(file, atFirstPause->metabase);
  WriteFile(JournalPath(dir.Dir()), *atFirstPause->journal);
  const auto journal = ParseJournal(*atFirstPause->journal);
  ASSERT_EQ(journal.Apps.size(), kIis6ShopApps.size());
  for (std::size_t i = 0; i < journal.Apps.size(); ++i) {
    EXPECT_EQ(journal.Apps[i].Own, testutil::kIis6ShopAppsOwnPool[i]) << journal.Apps[i].Path;
  }
  auto next = standin::OpenMetabaseStore(file);
  std::vector<std::string> messages;
  EXPECT_EQ(RecoverAnalysis(dir.Dir(), *next, [&](const std::string& m) { messages.push_back(m); }),
            RecoveryOutcome::Complete);
  EXPECT_EQ(messages[1], "Recovery: application [" + kIis6ShopApps[0] + "] inherits its pool again");
  EXPECT_EQ(messages[2], "Recovery: application [" + kIis6ShopApps[1] + "] back in pool [ShopPool]");
  EXPECT_EQ(ReadFile(file), original);
}

}  // namespace
}  // namespace tarnwell
