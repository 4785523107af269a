#include "tasks/AnalysePool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "metrics/uCpuUsage.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_window_port.h"
#include "tests/logs/log_test_support.h"
#include "tests/tasks/analyse_server.h"

namespace tarnwell {
namespace {

using fakes::FakeMetabase;
using fakes::FakeProcessSystem;
using fakes::FakeWindowPort;
using testing::At;
using testing::FakeClock;
using testing::TempDir;

using testing::kApps;
using testing::kShop;
using testing::StartsWith;

// A server with the pool Shop holding three applications in two sites, its worker running,
// and a stand-in web service that starts a worker for every temporary pool that gets an
// application (run from the process system's sleep, as time passes).
class AnalyseTest : public ::testing::Test {
 protected:
  AnalyseTest() {
    testing::AddShopServer(metabase, processes);
    processes.SetOnSleep([this](std::uint32_t ms) { OnSleep(ms); });
  }

  void OnSleep(std::uint32_t ms) {
    if (startWorkers) service.StartWorkers();
    if (ms == kMeasurePauseMs && ++pauses >= stopAfterPauses && analyser != nullptr) analyser->StopRequested = true;
  }

  // Runs one analysis to its end and returns the pane's lines.
  std::vector<std::string> Analyse(const std::string& pool, std::int32_t threshold) {
    TAnalysePool thread(window, clock);
    thread.PoolName = pool;
    thread.CpuThreshold = threshold;
    std::atomic<bool> endedOnUi{false};
    thread.OnTerminate = [&] { endedOnUi = window.OnUiThread(); };
    analyser = &thread;
    thread.Start();
    thread.Join();
    analyser = nullptr;
    EXPECT_TRUE(endedOnUi.load());
    EXPECT_FALSE(window.UiRuleBroken());
    return window.AnalyseLines();
  }

  std::vector<std::string> LogLines() const {
    return testing::SplitCrLf(testing::ReadAll(dir.Dir() + "trnw-ans-061226.log"));
  }

  void ExpectConfigurationRestored() {
    for (const auto& app : kApps) {
      EXPECT_EQ(metabase.EffectiveAppPool(app), kShop) << app;
      // c inherits its pool again rather than holding a copy of its site's.
      EXPECT_EQ(metabase.HasOwnProperty(app, "AppPoolId"), app != kApps[2]) << app;
    }
    for (const auto& pool : metabase.PoolNames()) EXPECT_FALSE(StartsWith(pool, kTempPoolPrefix)) << pool;
  }

  std::vector<std::string> TempPools(const std::vector<std::string>& lines) const {
    std::vector<std::string> names;
    for (const auto& line : lines) {
      if (!StartsWith(line, "Created temp. application pool: [")) continue;
      const auto start = line.find('[') + 1;
      names.push_back(line.substr(start, line.find(']') - start));
    }
    return names;
  }

  TempDir dir;
  FakeMetabase metabase;
  FakeProcessSystem processes;
  TIISObject registry{metabase, processes};
  FakeWindowPort window{registry, dir.Dir()};
  FakeClock clock{At(2026, 12, 6, 22, 45, 0)};  // frozen: every name is taken in the same millisecond
  std::map<std::string, double> appLoad{{kApps[1], 85}};
  testing::TempPoolService service{metabase, processes, [this](const std::string& app) {
                                     return appLoad.count(app) != 0 ? appLoad[app] : 0.0;
                                   }};
  int pauses = 0;
  int stopAfterPauses = 2;  // two cycles
  bool startWorkers = true;
  TAnalysePool* analyser = nullptr;
};

TEST_F(AnalyseTest, PoolWithOneApplicationIsNotAnalysed) {
  metabase.AddPool("Solo");
  metabase.AddApp("/LM/W3SVC/1/ROOT/solo", "Solo");
  const auto lines = Analyse("Solo", 70);
  EXPECT_EQ(lines, (std::vector<std::string>{"Begin analyse of pool: Solo", "End analyse of pool: Solo"}));
  const auto log = LogLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "");
  EXPECT_NE(log[1].find("\tBegin analyse of pool: Solo"), std::string::npos);
  EXPECT_EQ(metabase.CountCalls("Create"), 0);
  EXPECT_TRUE(processes.Terminated().empty());
}

TEST_F(AnalyseTest, MovesEveryApplicationOutMeasuresAndBringsThemBack) {
  const auto lines = Analyse(kShop, 70);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Begin analyse of pool: Shop");
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 3u);
  // Names stay unique even when the clock does not move between them.
  EXPECT_EQ(std::set<std::string>(temps.begin(), temps.end()).size(), 3u);
  EXPECT_EQ(temps[0], "QuillmarshAnalyse46362.9479166667");
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[1 + 2 * i], "Created temp. application pool: [" + temps[i] + "] for app. [" + kApps[i] + "]");
    EXPECT_EQ(lines[2 + 2 * i], "Transfer application: [" + kApps[i] + "] in pool [" + temps[i] + "]");
  }
  // The listing line goes to the log only.
  const auto log = LogLines();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
    return l.find("\tGet list applications from : Shop, count: 3") != std::string::npos;
  }));
  for (const auto& l : lines) EXPECT_EQ(l.find("Get list applications"), std::string::npos);
  // The pool's own worker was ended with 101, and only it.
  EXPECT_EQ(processes.Terminated(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{500, 101}}));
  // Only the busy application is reported, once in each of the two cycles, with its site.
  const std::string overload = "OVERLOAD CPU: [85] in pool [" + temps[1] +
                               "]. Site: Shop site.AppPath: [/LM/W3SVC/1/ROOT/b/]. Analyse CPU: 70";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), overload), 2);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return StartsWith(l, "OVERLOAD"); }), 2);
  // Return phase, then the end.
  const std::vector<std::string> tail(lines.end() - 7, lines.end());
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(tail[2 * i], "Transfer application: [" + kApps[i] + "] in pool [Shop]");
    EXPECT_EQ(tail[2 * i + 1], "Temp. pool: [" + temps[i] + "] has been removed.");
  }
  EXPECT_EQ(tail[6], "End analyse of pool: Shop");
  ExpectConfigurationRestored();
  EXPECT_EQ(metabase.EffectiveAppPool("/LM/W3SVC/2/ROOT/other/"), "Other");
}

TEST_F(AnalyseTest, AFigureEqualToTheThresholdIsReported) {
  appLoad = {{kApps[0], 50}};
  stopAfterPauses = 1;  // one cycle
  const auto lines = Analyse(kShop, 50);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return StartsWith(l, "OVERLOAD"); }), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return StartsWith(l, "OVERLOAD CPU: [50]"); }),
            1);
  ExpectConfigurationRestored();
}

TEST_F(AnalyseTest, ThresholdBelowZeroReportsEveryApplicationEveryCycleEvenWithoutWorker) {
  startWorkers = false;
  const auto lines = Analyse(kShop, -1);
  // Two cycles over three applications, each measured at 0 for want of a worker.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return StartsWith(l, "OVERLOAD CPU: [0]"); }),
            6);
  ExpectConfigurationRestored();
}

TEST_F(AnalyseTest, OneCycleMeasuresEveryApplicationInOneWindowAndAStopIsSeenAfterIt) {
  metabase.AddPool("Big");
  for (int i = 0; i < 8; ++i) metabase.AddApp("/LM/W3SVC/1/ROOT/big" + std::to_string(i), "Big");
  processes.AddWorker(600, "Big", 10);
  std::uint32_t measuringFrom = 0;
  processes.SetOnSleep([&](std::uint32_t ms) {
    service.StartWorkers();
    // The pool's own worker is found (and measured) before it is ended: the cycles start after.
    if (measuringFrom == 0 && !processes.Terminated().empty()) measuringFrom = processes.TotalSleptMs() - ms;
    if (ms == kMeasurePauseMs && analyser != nullptr) analyser->StopRequested = true;
  });
  const auto lines = Analyse("Big", -1);
  // All eight reported in the one cycle, which cost one window and one pause.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return StartsWith(l, "OVERLOAD CPU:"); }),
            8);
  EXPECT_EQ(processes.TotalSleptMs() - measuringFrom, CpuSampleDelay + kMeasurePauseMs);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(metabase.EffectiveAppPool("/LM/W3SVC/1/ROOT/big" + std::to_string(i) + "/"), "Big");
}

TEST_F(AnalyseTest, StopBeforeStartDoesNothing) {
  TAnalysePool thread(window, clock);
  thread.PoolName = kShop;
  thread.StopRequested = true;
  thread.Start();
  thread.Join();
  EXPECT_TRUE(window.AnalyseLines().empty());
  EXPECT_TRUE(metabase.Calls().empty());
}

TEST_F(AnalyseTest, FailedSecondTransferReturnsTheFirstTwoAndNeverTouchesTheThird) {
  metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 2);
  const auto lines = Analyse(kShop, 70);
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 2u);
  const std::vector<std::string> expected{
      "Begin analyse of pool: Shop",
      "Created temp. application pool: [" + temps[0] + "] for app. [" + kApps[0] + "]",
      "Transfer application: [" + kApps[0] + "] in pool [" + temps[0] + "]",
      "Created temp. application pool: [" + temps[1] + "] for app. [" + kApps[1] + "]",
      "Error of transfer application: [" + kApps[1] + "] in pool [" + temps[1] + "]",
      "Transfer application: [" + kApps[0] + "] in pool [Shop]",
      "Temp. pool: [" + temps[0] + "] has been removed.",
      "Transfer application: [" + kApps[1] + "] in pool [Shop]",
      "Temp. pool: [" + temps[1] + "] has been removed.",
      "End analyse of pool: Shop"};
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(processes.Terminated().empty());
  ExpectConfigurationRestored();
}

TEST_F(AnalyseTest, FailedDeleteAndFailedMoveBackAreReportedAndTheRestGoesOn) {
  // Transfers are the first three AppPoolId saves; the fourth is the first move back.
  metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 4);
  metabase.FailCall(FakeMetabase::Op::Delete, 1);
  const auto lines = Analyse(kShop, 70);
  const auto temps = TempPools(lines);
  ASSERT_EQ(temps.size(), 3u);
  // Before the end, the journal keeps what is left: a's move back and the two pools.
  EXPECT_TRUE(StartsWith(lines[lines.size() - 2], "Analysis journal kept: ["));
  EXPECT_NE(lines[lines.size() - 2].find("changes left: [3]"), std::string::npos);
  const std::vector<std::string> tail(lines.end() - 8, lines.end() - 2);
  EXPECT_EQ(tail[0], "Error of transfer application: [" + kApps[0] + "] in pool [Shop] !");
  EXPECT_EQ(tail[1], "Pool : [" + temps[0] + "] not removed!");
  EXPECT_EQ(tail[2], "Transfer application: [" + kApps[1] + "] in pool [Shop]");
  EXPECT_EQ(tail[3], "Temp. pool: [" + temps[1] + "] not removed!");
  EXPECT_EQ(tail[4], "Transfer application: [" + kApps[2] + "] in pool [Shop]");
  EXPECT_EQ(tail[5], "Temp. pool: [" + temps[2] + "] has been removed.");
  EXPECT_EQ(metabase.EffectiveAppPool(kApps[0]), temps[0]);  // still where it was
  EXPECT_EQ(metabase.EffectiveAppPool(kApps[1]), kShop);
}

TEST_F(AnalyseTest, TemporaryPoolThatCannotBeMadeReturnsTheApplicationsMoved) {
  metabase.FailCall(FakeMetabase::Op::Create, 2);
  const auto lines = Analyse(kShop, 70);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_TRUE(StartsWith(lines[3], "Error of create temp. application pool: ["));
  EXPECT_EQ(lines[4], "Transfer application: [" + kApps[0] + "] in pool [Shop]");
  EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
  EXPECT_TRUE(processes.Terminated().empty());
  ExpectConfigurationRestored();
}

TEST_F(AnalyseTest, SiteDescriptionThatCannotBeReadReturnsEverything) {
  metabase.FailCall(FakeMetabase::Op::GetServerComment, 1);
  const auto lines = Analyse(kShop, 70);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
    return StartsWith(l, "Error of read site description: [IIS://localhost/w3svc/1] for app. [/LM/W3SVC/1/ROOT/b/].");
  }));
  EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
  ExpectConfigurationRestored();
}

TEST_F(AnalyseTest, PoolThatCannotBeListedEndsWithAMessageAndNoChange) {
  // The listing, and whether each application holds its own pool, are read before any change.
  for (const auto op : {FakeMetabase::Op::EnumAppsInPool, FakeMetabase::Op::HasOwnValue}) {
    metabase.FailCall(op, 1);
    const std::size_t before = window.AnalyseLines().size();
    const auto all = Analyse(kShop, 70);
    const std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(StartsWith(lines[1], "Error of get list applications from : Shop."));
    EXPECT_EQ(lines[2], "End analyse of pool: Shop");
    EXPECT_EQ(metabase.CountCalls("Create"), 0);
    EXPECT_EQ(metabase.CountCalls("SetInfo"), 0);
  }
}

TEST(AnalysePaths, ObjectPathsAndTheDateTimeNumber) {
  EXPECT_EQ(AppMetabasePath("/LM/W3SVC/1/ROOT/Shop/"), "IIS://localhost/w3svc/1/root/shop");
  EXPECT_EQ(SiteMetabasePath("/LM/W3SVC/1/ROOT/Shop/"), "IIS://localhost/w3svc/1");
  EXPECT_EQ(SiteMetabasePath("/LM/W3SVC/1/Shop/"), "");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 22, 45, 0).ToDateTime(), '.'), "46362.9479166667");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 22, 45, 0).ToDateTime(), ','), "46362,9479166667");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 0, 0, 0).ToDateTime(), '.'), "46362");
  EXPECT_EQ(FormatDateTimeNumber(At(2026, 12, 6, 12, 0, 0).ToDateTime(), '.'), "46362.5");
}

TEST(FindPoolProcess, MatchesTheWholeNameNotAPart) {
  FakeProcessSystem processes;
  processes.AddWorker(10, "shop2", 30);
  processes.AddWorker(11, "QuillmarshAnalyse46362.5", 20);
  processes.AddWorker(12, "SHOP", 60);
  const TPoolProcess shop = FindPoolProcess(processes, "shop");
  EXPECT_EQ(shop.Pid, 12u);
  EXPECT_EQ(shop.Cpu, 60);
  EXPECT_EQ(FindPoolProcess(processes, "QuillmarshAnalyse46362").Pid, 0u);
  EXPECT_EQ(FindPoolProcess(processes, "").Pid, 0u);
  // The analyser's exact executable name: another case is not a worker.
  processes.Add({.pid = 13, .exeName = "W3WP.EXE", .commandLine = FakeProcessSystem::WorkerCommandLine("solo")});
  EXPECT_EQ(FindPoolProcess(processes, "solo").Pid, 0u);
}

}  // namespace
}  // namespace tarnwell
