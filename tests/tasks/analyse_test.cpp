#include "tasks/AnalysePool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/uCpuUsage.h"
#include "tests/logs/log_test_support.h"
#include "tests/support/analyse_bench.h"
#include "tests/support/analyse_fixture.h"
#include "tests/support/files.h"
#include "textfile/textfile_export.h"

namespace tarnwell {
namespace {

using fakes::FakeMetabase;
using testutil::CountStarting;
using testutil::kShop;
using testutil::kShopApps;
using Strings = std::vector<std::string>;
using Terminations = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

class AnalyseTest : public ::testing::Test, public testutil::ShopServer {
 protected:
  AnalyseTest() { onSleep = [this](std::uint32_t ms) { bench.Slept(ms); }; }

  testutil::AnalyseBench bench{metabase, processes};
};

Strings TempPools(const Strings& lines) {
  Strings names;
  for (const auto& line : lines) {
    if (!line.starts_with("Created temp. application pool: [")) continue;
    const auto start = line.find('[') + 1;
    names.push_back(line.substr(start, line.find(']') - start));
  }
  return names;
}

// The pane of a whole analysis of Shop: every application out, what the cycles report, all back.
Strings Whole(const Strings& temps, const Strings& reports) {
  Strings lines{"Begin analyse of pool: Shop"};
  for (std::size_t i = 0; i < temps.size(); ++i) {
    lines.push_back("Created temp. application pool: [" + temps[i] + "] for app. [" + kShopApps[i] + "]");
    lines.push_back("Transfer application: [" + kShopApps[i] + "] in pool [" + temps[i] + "]");
  }
  lines.insert(lines.end(), reports.begin(), reports.end());
  for (std::size_t i = 0; i < temps.size(); ++i) {
    lines.push_back("Transfer application: [" + kShopApps[i] + "] in pool [Shop]");
    lines.push_back("Temp. pool: [" + temps[i] + "] has been removed.");
  }
  lines.push_back("End analyse of pool: Shop");
  return lines;
}

TEST_F(AnalyseTest, MovesEveryApplicationOutMeasuresAndBringsThemBack) {
  loads[kShopApps[0]] = 70;  // equal to the threshold: reported too
  TextfileExport textfile(bench.dir.File("textfile"));
  std::filesystem::create_directory(bench.dir.File("textfile"));
  bench.window.textfile = &textfile;
  const auto lines = bench.Run(kShop, 70);
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 3u);
  // Names stay unique even when the clock does not move between them.
  EXPECT_EQ(std::set<std::string>(temps.begin(), temps.end()).size(), 3u);
  EXPECT_EQ(temps[0], "QuillmarshAnalyse46362.9479166667");
  // a and b are reported, not c, in each of the two cycles, with their site.
  const std::string a = "OVERLOAD CPU: [70] in pool [" + temps[0] +
                        "]. Site: Shop site.AppPath: [/LM/W3SVC/1/ROOT/a/]. Analyse CPU: 70";
  const std::string b = "OVERLOAD CPU: [85] in pool [" + temps[1] +
                        "]. Site: Shop site.AppPath: [/LM/W3SVC/1/ROOT/b/]. Analyse CPU: 70";
  EXPECT_EQ(lines, Whole(temps, {a, b, a, b}));
  // The pool's own worker was ended with 101, and only it.
  EXPECT_EQ(processes.Terminated(), (Terminations{{500, 101}}));
  EXPECT_EQ(Configuration(), original);  // c inherits its pool again rather than holding a copy
  // Every report counted for the next pass's textfile, under the analysed pool, not the temporary one.
  textfile.WritePass(bench.registry, 0.5, 1.0, nullptr);
  Strings counted;
  std::istringstream text(testutil::ReadAll(textfile.FilePath()));
  for (std::string line; std::getline(text, line);)
    if (line.starts_with("tarnwell_overload_reports_total")) counted.push_back(line);
  EXPECT_EQ(counted, (Strings{R"(tarnwell_overload_reports_total{pool="Shop",app_path="/LM/W3SVC/1/ROOT/a/"} 2)",
                              R"(tarnwell_overload_reports_total{pool="Shop",app_path="/LM/W3SVC/1/ROOT/b/"} 2)"}));
}

TEST_F(AnalyseTest, StopDuringTheTransfersLetsThemFinishEndsThePoolsWorkerAndRunsNoCycle) {
  bench.window.onMessage = [this](const std::string& msg) {
    if (msg.starts_with("Created temp.")) bench.Stop();
  };
  const auto lines = bench.Run(kShop, -1);  // a cycle would report every application
  EXPECT_EQ(lines, Whole(TempPools(lines), {}));
  EXPECT_EQ(processes.Terminated(), (Terminations{{500, 101}}));
  EXPECT_EQ(processes.TotalSleptMs(), CpuSampleDelay);  // the pool's worker found, no pause
  EXPECT_EQ(Configuration(), original);
}

TEST_F(AnalyseTest, TwoAnalysesOnOneDayAppendToOneLogAndAPoolWithOneApplicationIsNotAnalysed) {
  const auto shop = bench.Run(kShop, 70);
  bench.clock.Advance(60'000);
  const auto all = bench.Run("Blog", 70);
  EXPECT_EQ(Strings(all.begin() + static_cast<std::ptrdiff_t>(shop.size()), all.end()),
            (Strings{"Begin analyse of pool: Blog", "End analyse of pool: Blog"}));
  EXPECT_EQ(metabase.CountCalls("Create"), 3);  // none for Blog
  // Each run opens with an empty line; the listing line goes to the log only.
  Strings expected{"", shop[0], "Get list applications from : Shop, count: 3"};
  expected.insert(expected.end(), shop.begin() + 1, shop.end());
  expected.insert(expected.end(), {"", "Begin analyse of pool: Blog", "End analyse of pool: Blog"});
  const auto file = testing::SplitCrLf(testutil::ReadAll(bench.LogFile()));
  Strings logged;
  for (const auto& line : file) logged.push_back(line.substr(line.find('\t') + 1));
  EXPECT_EQ(logged, expected);
  EXPECT_TRUE(file.back().starts_with(FormatLogStamp(testutil::At(2026, 12, 6, 22, 46)) + "\t"));
}

TEST_F(AnalyseTest, AnAnalysisLogThatCannotBeOpenedIsReportedOnceAndTheAnalysisGoesOn) {
  std::filesystem::create_directory(bench.LogFile());  // in the way of the day's file
  testing::CapturedReports reports;
  const auto lines = bench.Run(kShop, 70);
  EXPECT_EQ(CountStarting(lines, "OVERLOAD CPU: [85]"), 2);
  EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
  EXPECT_EQ(Configuration(), original);
  const auto messages = reports.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].starts_with("Error to create/open file of log: " + bench.dir.Dir() + ". Exception: "))
      << messages[0];
}

TEST_F(AnalyseTest, ThresholdBelowZeroReportsEveryApplicationEveryCycleEvenWithoutWorker) {
  startWorkers = false;
  // Two cycles over three applications, each measured at 0 for want of a worker.
  EXPECT_EQ(CountStarting(bench.Run(kShop, -1), "OVERLOAD CPU: [0]"), 6);
  EXPECT_EQ(Configuration(), original);
}

TEST_F(AnalyseTest, OneCycleMeasuresEveryApplicationInOneWindowAndAStopIsSeenAfterIt) {
  metabase.AddPool("Big");
  for (int i = 0; i < 8; ++i) metabase.AddApp("/LM/W3SVC/1/ROOT/big" + std::to_string(i), "Big");
  processes.AddWorker(600, "Big", 10);
  std::uint32_t measuringFrom = 0;
  onSleep = [&](std::uint32_t ms) {
    // The pool's own worker is found (and measured) before it is ended: the cycles start after.
    if (measuringFrom == 0 && !processes.Terminated().empty()) measuringFrom = processes.TotalSleptMs() - ms;
    bench.Slept(ms);
  };
  bench.stopAt = 1;
  // All eight reported in the one cycle, which cost one window and one pause.
  EXPECT_EQ(CountStarting(bench.Run("Big", -1), "OVERLOAD CPU:"), 8);
  EXPECT_EQ(processes.TotalSleptMs() - measuringFrom, CpuSampleDelay + kMeasurePauseMs);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(metabase.EffectiveAppPool("/LM/W3SVC/1/ROOT/big" + std::to_string(i) + "/"), "Big");
}

TEST_F(AnalyseTest, StopBeforeStartDoesNothing) {
  TAnalysePool thread(bench.window, bench.clock);
  thread.PoolName = kShop;
  thread.StopRequested = true;
  thread.Start();
  thread.Join();
  EXPECT_TRUE(bench.window.AnalyseLines().empty());
  EXPECT_TRUE(metabase.Calls().empty());
}

TEST_F(AnalyseTest, FailedSecondTransferReturnsTheFirstTwoAndNeverTouchesTheThird) {
  metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 2);
  const auto lines = bench.Run(kShop, 70);
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 2u);
  auto expected = Whole(temps, {});
  expected[4] = "Error of transfer application: [" + kShopApps[1] + "] in pool [" + temps[1] + "]";
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(processes.Terminated().empty());
}

TEST_F(AnalyseTest, FailedDeleteAndFailedMoveBackAreReportedAndTheRestGoesOn) {
  // Transfers are the first three AppPoolId saves; the fourth is the first move back.
  metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 4);
  metabase.FailCall(FakeMetabase::Op::Delete, 1);
  const auto lines = bench.Run(kShop, 101);
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 3u);
  auto expected = Whole(temps, {});
  expected[7] = "Error of transfer application: [" + kShopApps[0] + "] in pool [Shop] !";
  expected[8] = "Pool : [" + temps[0] + "] not removed!";
  expected[10] = "Temp. pool: [" + temps[1] + "] not removed!";
  // The journal keeps what is left: a's move back and the two pools.
  expected.insert(expected.end() - 1, "Analysis journal kept: [" + bench.Journal() +
                                          "], changes left: [3]; they are put back at the next start of the "
                                          "program or of an analysis.");
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(metabase.EffectiveAppPool(kShopApps[0]), temps[0]);  // still where it was
  EXPECT_EQ(metabase.EffectiveAppPool(kShopApps[1]), kShop);
}

TEST_F(AnalyseTest, TemporaryPoolThatCannotBeMadeReturnsTheApplicationsMoved) {
  metabase.FailCall(FakeMetabase::Op::Create, 2);
  const auto lines = bench.Run(kShop, 70);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_TRUE(lines[3].starts_with("Error of create temp. application pool: ["));
  EXPECT_EQ(lines[4], "Transfer application: [" + kShopApps[0] + "] in pool [Shop]");
  EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
  EXPECT_TRUE(processes.Terminated().empty());
}

TEST_F(AnalyseTest, SiteDescriptionThatCannotBeReadReturnsEverything) {
  metabase.FailCall(FakeMetabase::Op::GetServerComment, 1);
  const auto lines = bench.Run(kShop, 70);
  EXPECT_EQ(CountStarting(lines,
                          "Error of read site description: [IIS://localhost/w3svc/1] for app. [/LM/W3SVC/1/ROOT/b/]."),
            1);
  EXPECT_EQ(Configuration(), original);
}

TEST_F(AnalyseTest, PoolThatCannotBeListedEndsWithAMessageAndNoChange) {
  // The listing, and whether each application holds its own pool, are read before any change.
  for (const auto op : {FakeMetabase::Op::EnumAppsInPool, FakeMetabase::Op::HasOwnValue}) {
    metabase.FailCall(op, 1);
    const std::size_t before = bench.window.AnalyseLines().size();
    const auto all = bench.Run(kShop, 70);
    const Strings lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[1].starts_with("Error of get list applications from : Shop."));
    EXPECT_EQ(lines[2], "End analyse of pool: Shop");
    EXPECT_EQ(metabase.CountCalls("Create"), 0);
    EXPECT_EQ(metabase.CountCalls("SetInfo"), 0);
  }
}

TEST(AnalysePaths, ObjectPathsAndTheDateTimeNumber) {
  using testutil::At;
  EXPECT_EQ(AppMetabasePath("/LM/W3SVC/1/ROOT/Shop/"), "IIS://localhost/w3svc/1/root/shop");
  EXPECT_EQ(SiteMetabasePath("/LM/W3SVC/1/ROOT/Shop/"), "IIS://localhost/w3svc/1");
  EXPECT_EQ(SiteMetabasePath("/LM/W3SVC/1/Shop/"), "");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 22, 45, 0).ToDateTime(), '.'), "46362.9479166667");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 22, 45, 0).ToDateTime(), ','), "46362,9479166667");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 0, 0, 0).ToDateTime(), '.'), "46362");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 12, 0, 0).ToDateTime(), '.'), "46362.5");
}

TEST(FindPoolProcess, MatchesTheWholeNameNotAPart) {
  fakes::FakeProcessSystem processes;
  processes.AddWorker(10, "shop2", 30);
  processes.AddWorker(11, "QuillmarshAnalyse46362.5", 20);
  processes.AddWorker(12, "SHOP", 60);
  const TPoolProcess shop = FindPoolProcess(processes, "shop");
  EXPECT_EQ(shop.Pid, 12u);
  EXPECT_EQ(shop.Cpu, 60);
  EXPECT_EQ(FindPoolProcess(processes, "QuillmarshAnalyse46362").Pid, 0u);
  EXPECT_EQ(FindPoolProcess(processes, "").Pid, 0u);
  // The analyser's exact executable name: another case is not a worker.
  processes.Add({.pid = 13, .exeName = "W3WP.EXE", .commandLine = fakes::FakeProcessSystem::WorkerCommandLine("solo")});
  EXPECT_EQ(FindPoolProcess(processes, "solo").Pid, 0u);
}

}  // namespace
}  // namespace tarnwell
