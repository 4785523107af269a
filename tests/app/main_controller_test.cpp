// The window's rules on a fake window over the fake seams: Start and Stop, one monitor at
// a time, a Start that waits for the old monitor or a reload, the interval's checks, a
// monitor that ends on an error or cannot start, and the redraw's figures. Closing while monitoring is
// tested on the Qt window (tests/gui/tst_monitoring.cpp).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <optional>

#include "tasks/MonitoringPoolLock.h"
#include "tests/support/fake_main_view.h"
#include "tests/support/window_servers.h"

namespace tarnwell {
namespace {

using Strings = std::vector<std::string>;

// testutil::MonitoringServer under the rules.
class MainControllerTest : public ::testing::Test, protected testutil::MonitoringServer {
 protected:
  testutil::GatedMetabase gate{metabase};
  testutil::FakeWindow w{gate, processes};

  void SetUp() override {
    gate.onWaiting = [this] { w.view.PostToUi([] {}); };
  }
  void TearDown() override { gate.Open(); }  // a test that failed with it shut still closes

  // Redraws so far.
  int Passes() const {
    return static_cast<int>(std::ranges::count_if(w.view.Messages(), [](const std::string& m) { return m.starts_with("Monitoring pools : "); }));
  }
  void Start() { w.Click(ViewControl::MonitorStart, &MainController::StartClicked); }
  void Stop() { w->StopClicked(); }  // Stop is never greyed out
  bool Enabled(ViewControl control) const { return w.view.enabled.at(control); }
  // Refresh and Apply filter, which go off together while monitoring.
  bool PoolButtons(bool on) const { return Enabled(ViewControl::PoolRefresh) == on && Enabled(ViewControl::PoolFilter) == on; }
  // Refresh, tick, Start with a 1-minute interval, and wait for the first redraw.
  bool StartOn(const Strings& pools) {
    if (!w.Refresh()) return false;
    for (const std::string& pool : pools) w.Tick(pool);
    w.view.texts[ViewText::MonitorMinutes] = "1";
    return Starts();
  }
  // Start, and wait for a redraw.
  bool Starts() {
    const int before = Passes();
    Start();
    return w.view.WaitFor([&] { return Passes() > before; });
  }
  bool MonitorGone() { return w.view.WaitFor([&] { return w->LiveWorkers().monitors == 0; }); }
};

// While it lives, no new thread of this process can start: the default stack is larger
// than any address space (glibc's default thread attributes, which std::thread uses).
class NoNewThreads {
 public:
  NoNewThreads() {
    pthread_getattr_default_np(&saved_);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, std::size_t{1} << 60);
    ok_ = pthread_setattr_default_np(&huge) == 0;
    pthread_attr_destroy(&huge);
  }
  ~NoNewThreads() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  NoNewThreads(const NoNewThreads&) = delete;
  NoNewThreads& operator=(const NoNewThreads&) = delete;
  bool Ok() const { return ok_; }

 private:
  pthread_attr_t saved_;
  bool ok_ = false;
};

TEST_F(MainControllerTest, StartTakesTheTickedPoolsAndTheRedrawFillsTreeListAndBars) {
  w.view.checks[ViewCheck::GetSiteName] = true;
  ASSERT_TRUE(StartOn({"Idle", "DefaultAppPool"}));
  const TIISObject& registry = w->Registry();
  EXPECT_EQ(registry.SelectedPools, "DefaultAppPool\tIdle\t");  // list order
  EXPECT_TRUE(registry.GetSiteName);
  EXPECT_FALSE(registry.GetAspNetVersion);
  const Strings messages = w.view.Messages();
  const auto start = std::find(messages.begin(), messages.end(), "Start monitoring");
  ASSERT_GE(std::distance(start, messages.end()), 3);
  EXPECT_EQ(Strings(start, start + 3),
            (Strings{"Start monitoring", "Monitoring interval (min) : 1", "Monitoring pools : 2"}));

  // The tree and the bars: the active pool only; the Analyse list: every selected pool.
  ASSERT_EQ(w.view.tree.size(), 1u);
  EXPECT_EQ(w.view.tree[0].text,
            "DefaultAppPool (RAM 12345 kb, CPU 7, PID 2044, Threads 25, TCP 3, Files 40, Handles 400)");
  EXPECT_EQ(w.view.tree[0].children,
            (Strings{"Shop [/LM/W3SVC/1/ROOT/]", "Shop [/LM/W3SVC/1/ROOT/shop/]"}));
  EXPECT_EQ(w.view.Rows(ViewList::Analyse), (Strings{"DefaultAppPool|2|7|12345", "Idle|1|0|0"}));
  ASSERT_EQ(w.view.bars.size(), 1u);
  EXPECT_EQ(w.view.bars[0].pool, "DefaultAppPool");
  EXPECT_EQ(w.view.bars[0].ramKB, 12345.0);
  EXPECT_EQ(w.view.bars[0].cpu, 7.0);
  EXPECT_EQ(w.view.chartLow, 0.0);
  EXPECT_EQ(w.view.chartHigh, 12345.0);

  EXPECT_TRUE(Enabled(ViewControl::AnalyseTab));
  EXPECT_TRUE(PoolButtons(false));
  Stop();
  EXPECT_TRUE(MonitorGone());
  EXPECT_FALSE(w.view.uiRuleBroken);
}

TEST_F(MainControllerTest, WhileMonitoringStartStartsNothingReloadListsTheSelectedPoolsAndStopLogsOnce) {
  ASSERT_TRUE(StartOn({"DefaultAppPool"}));
  w.Tick("Idle");
  Start();
  EXPECT_EQ(w.view.CountMessage("Monitoring already runs"), 1);
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 1);
  EXPECT_EQ(w->Registry().SelectedPools, "DefaultAppPool\t");

  // The menu's Refresh stays on while the buttons are off: it lists the selected pools
  // (not the ticked ones), unticked.
  const int fills = w.view.CountMessage("End fill list");
  w->RefreshClicked();
  EXPECT_TRUE(w.view.WaitFor(
      [&] { return w.view.CountMessage("End fill list") > fills && w->LiveWorkers().loaders == 0; }));
  EXPECT_EQ(w.view.Rows(ViewList::Pools), Strings{"DefaultAppPool|2"});
  EXPECT_TRUE(w.Ticked().empty());
  EXPECT_FALSE(Enabled(ViewControl::MonitorStart));
  EXPECT_EQ(w->LiveWorkers().monitors, 1);

  Stop();
  Stop();
  EXPECT_EQ(w.view.CountMessage("Stop monitoring pool"), 1);
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_TRUE(PoolButtons(true));
  EXPECT_TRUE(MonitorGone());
  // The views keep the last pass.
  EXPECT_EQ(w.view.tree.size(), 1u);
  EXPECT_EQ(w.view.Rows(ViewList::Analyse), Strings{"DefaultAppPool|2|7|12345"});
  EXPECT_TRUE(Enabled(ViewControl::AnalyseTab));
}

TEST_F(MainControllerTest, StartAfterStopWaitsForTheOldMonitorAndStopCancelsIt) {
  ASSERT_TRUE(StartOn({"DefaultAppPool"}));
  Stop();
  Start();  // the old monitor is reaped on this thread's queue, which has not run yet
  EXPECT_TRUE(w->MonitoringStartPending());
  EXPECT_FALSE(w->Registry().IsMonitoring());  // set back now, it would keep the old one going
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 2);
  EXPECT_TRUE(PoolButtons(false));
  Start();
  EXPECT_EQ(w.view.Messages().back(), "Monitoring will start when the previous monitoring has ended");
  Stop();
  EXPECT_FALSE(w->MonitoringStartPending());
  EXPECT_EQ(w.view.CountMessage("Stop monitoring pool"), 2);
  EXPECT_TRUE(PoolButtons(true));
  // The reap that takes the old monitor away is the one that would start a pending one.
  EXPECT_TRUE(MonitorGone());
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_EQ(Passes(), 1);

  // Left to wait, the new monitor begins once the old one is gone, never beside it.
  ASSERT_TRUE(Starts());
  Stop();
  Start();
  ASSERT_TRUE(w->MonitoringStartPending());
  bool neverTwo = true;
  EXPECT_TRUE(w.view.WaitFor([&] {
    neverTwo = neverTwo && w->LiveWorkers().monitors <= 1;
    return !w->MonitoringStartPending() && Passes() >= 3;
  }));
  EXPECT_TRUE(neverTwo);
  EXPECT_TRUE(w->Registry().IsMonitoring());
  EXPECT_EQ(w->LiveWorkers().monitors, 1);
  Stop();
  EXPECT_TRUE(MonitorGone());
}

TEST_F(MainControllerTest, StartDuringAReloadWaitsForItThenMonitorsTheTickedPools) {
  ASSERT_TRUE(w.Refresh());
  w.Tick("DefaultAppPool");
  w.Tick("Idle");
  w.view.texts[ViewText::MonitorMinutes] = "1";
  // A reload that is still reading the metabase when Start is pressed.
  const auto startDuringReload = [&] {
    gate.Shut();
    w.Click(ViewControl::PoolRefresh, &MainController::RefreshClicked);
    ASSERT_TRUE(w.view.WaitFor([&] { return gate.Waiting() > 0; }));
    Start();
    EXPECT_TRUE(w->MonitoringStartPending());
    EXPECT_EQ(w->LiveWorkers().monitors, 0);
    EXPECT_TRUE(PoolButtons(false));
    Start();
    EXPECT_EQ(w.view.Messages().back(), "Monitoring will start when the pool list reload has ended");
  };

  // The waiting monitor cannot start when the reload ends: the window is as before Start.
  startDuringReload();
  {
    NoNewThreads refused;
    ASSERT_TRUE(refused.Ok());
    gate.Open();
    ASSERT_TRUE(w.view.WaitFor([&] { return !w->MonitoringStartPending() && w->LiveWorkers().loaders == 0; }));
  }
  EXPECT_TRUE(w.view.Messages().back().starts_with("Cannot start a worker thread: "));
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_TRUE(PoolButtons(true));
  EXPECT_FALSE(Enabled(ViewControl::AnalyseTab));

  // It starts once the reload has ended, on the pools ticked when Start was pressed, though
  // the reload has listed them again unticked.
  w.Tick("DefaultAppPool");
  w.Tick("Idle");
  startDuringReload();
  gate.Open();
  ASSERT_TRUE(w.view.WaitFor([&] { return Passes() > 0; }));
  EXPECT_EQ(w->Registry().SelectedPools, "DefaultAppPool\tIdle\t");
  EXPECT_EQ(w->LiveWorkers().monitors, 1);
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 2);
  EXPECT_EQ(w.view.Rows(ViewList::Analyse), (Strings{"DefaultAppPool|2|7|12345", "Idle|1|0|0"}));
  Stop();
  EXPECT_TRUE(MonitorGone());
}

TEST_F(MainControllerTest, StartWithNothingTickedOrABadIntervalStartsNothing) {
  ASSERT_TRUE(w.Refresh());
  EXPECT_FALSE(Enabled(ViewControl::MonitorStart));
  const std::size_t lines = w.view.pane.size();
  w->StartClicked();  // as if the greyed button were pressed
  EXPECT_EQ(w.view.pane.size(), lines);

  w.Tick("DefaultAppPool");
  w.view.texts[ViewText::MonitorMinutes] = "";
  Start();
  EXPECT_EQ(w.view.Messages().back(),
            "Monitoring interval is empty. Enter the minutes between samples (0 to 999).");
  w.view.texts[ViewText::MonitorMinutes] = "1000";
  Start();
  EXPECT_EQ(w.view.Messages().back(), "Monitoring interval [1000] is not a number of minutes (0 to 999).");
  EXPECT_EQ(w->LiveWorkers().monitors, 0);
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_FALSE(Enabled(ViewControl::AnalyseTab));
  EXPECT_TRUE(PoolButtons(true));
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 0);
  Stop();  // not monitoring: nothing to say
  EXPECT_EQ(w.view.CountMessage("Stop monitoring pool"), 0);
}

TEST_F(MainControllerTest, MonitorEndingOnAnErrorPutsTheWindowBack) {
  ASSERT_TRUE(w.Refresh());
  w.Tick("DefaultAppPool");
  metabase.FailCall(fakes::FakeMetabase::Op::Enumerate, 1);  // the monitor's first reload
  Start();
  ASSERT_TRUE(MonitorGone());
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_EQ(w.view.Messages().back(), "Monitoring stopped on an error. Press Start to monitor again.");
  EXPECT_TRUE(PoolButtons(true));
  Stop();
  EXPECT_EQ(w.view.CountMessage("Stop monitoring pool"), 0);

  // Start works again.
  EXPECT_TRUE(Starts());
  EXPECT_TRUE(w->Registry().IsMonitoring());
  Stop();
  EXPECT_TRUE(MonitorGone());
}

TEST_F(MainControllerTest, AMonitorThatCannotStartLeavesTheWindowAsItWas) {
  ASSERT_TRUE(w.Refresh());
  w.Tick("DefaultAppPool");
  w.view.checks[ViewCheck::GetSiteName] = true;
  {
    NoNewThreads refused;
    ASSERT_TRUE(refused.Ok());
    Start();
  }
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_EQ(w->LiveWorkers().monitors, 0);
  EXPECT_TRUE(w.view.Messages().back().starts_with("Cannot start a worker thread: "));
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 0);
  EXPECT_TRUE(PoolButtons(true));
  EXPECT_FALSE(Enabled(ViewControl::AnalyseTab));
  // The next reload reads the registry's settings: they are as before Start.
  EXPECT_EQ(w->Registry().SelectedPools, "");
  EXPECT_FALSE(w->Registry().GetSiteName);

  // Start works once threads can start again.
  EXPECT_TRUE(Starts());
  Stop();
  EXPECT_TRUE(MonitorGone());
}

TEST_F(MainControllerTest, StartWhileTheServiceMonitorsSaysWhereItsFiguresAreAndLeavesTheAnalyserUsable) {
  std::optional<MonitoringLock> service(std::in_place, w->LogDir(), MonitorHolder::Service);
  ASSERT_TRUE(service->Held());
  ASSERT_TRUE(w.Refresh());
  w.Tick("DefaultAppPool");
  Start();
  w.view.Drain();
  EXPECT_EQ(w->LiveWorkers().monitors, 0);
  EXPECT_FALSE(w->Registry().IsMonitoring());
  EXPECT_EQ(w.view.CountMessage(MonitoredElsewhereText(MonitorHolder::Service, w->LogDir())), 1);
  EXPECT_EQ(w.view.CountMessage("Start monitoring"), 0);
  EXPECT_TRUE(PoolButtons(true));
  // No redraw fills the Analyse list: the ticked pools do, so that an analysis can start.
  EXPECT_TRUE(Enabled(ViewControl::AnalyseTab));
  EXPECT_EQ(w.view.Rows(ViewList::Analyse), Strings{"DefaultAppPool|2||"});
  w.Select(ViewList::Analyse, "DefaultAppPool");
  EXPECT_TRUE(Enabled(ViewControl::AnalyseStart));

  // A Start that waited for a reload is refused alike when the reload ends, though the
  // reload has listed the pools again unticked.
  w.view.FillList(ViewList::Analyse, {});
  w.view.enabled[ViewControl::AnalyseTab] = false;
  gate.Shut();
  w.Click(ViewControl::PoolRefresh, &MainController::RefreshClicked);
  ASSERT_TRUE(w.view.WaitFor([&] { return gate.Waiting() > 0; }));
  Start();
  ASSERT_TRUE(w->MonitoringStartPending());
  gate.Open();
  ASSERT_TRUE(w.view.WaitFor([&] { return !w->MonitoringStartPending() && w->LiveWorkers().loaders == 0; }));
  EXPECT_EQ(w->LiveWorkers().monitors, 0);
  EXPECT_EQ(w.view.CountMessage(MonitoredElsewhereText(MonitorHolder::Service, w->LogDir())), 2);
  EXPECT_TRUE(PoolButtons(true));
  EXPECT_TRUE(Enabled(ViewControl::AnalyseTab));
  EXPECT_EQ(w.view.Rows(ViewList::Analyse), Strings{"DefaultAppPool|2||"});

  // The service gone, Start monitors, and the window holds the folder until it stops.
  service.reset();
  w.Tick("DefaultAppPool");
  ASSERT_TRUE(Starts());
  EXPECT_FALSE(MonitoringLock(w->LogDir(), MonitorHolder::Service).Held());
  Stop();
  ASSERT_TRUE(MonitorGone());
  EXPECT_TRUE(MonitoringLock(w->LogDir(), MonitorHolder::Service).Held());
}

TEST_F(MainControllerTest, RedrawBarsEveryActivePoolOnAnAxisFromItsLowestFigure) {
  TIISObject& registry = w->Registry();
  registry.ClearPools();
  for (int i = 0; i < 6; ++i) {
    TPoolRec& rec = registry.Pools[static_cast<std::size_t>(registry.PoolCount++)];
    rec.Name = i < 2 ? std::string() : "Pool" + std::to_string(i);  // two without a name
    rec.RamKB = i == 3 ? 0 : 10 + i;
    rec.Cpu = i == 5 ? -1 : i;
    rec.Pid = i == 4 ? 0 : 100 + i;  // Pool4 has no worker
  }
  w->ThreadPoolMonitoring();
  ASSERT_EQ(w.view.bars.size(), 5u);  // the nameless ones too, the inactive one not
  EXPECT_EQ(w.view.bars[4].pool, "Pool5");
  EXPECT_EQ(w.view.bars[4].cpu, -1.0);
  EXPECT_EQ(w.view.chartLow, -1.0);
  EXPECT_EQ(w.view.chartHigh, 100.0);  // the CPU's whole range at least
  EXPECT_EQ(w.view.tree.size(), 5u);
  EXPECT_EQ(w.view.Rows(ViewList::Analyse).size(), 6u);
  EXPECT_EQ(w.view.Messages().back(), "Monitoring pools : 6");

  w.view.checks[ViewCheck::HideInactive] = false;  // the box is hidden; its rule stays
  w->ThreadPoolMonitoring();
  EXPECT_EQ(w.view.bars.size(), 6u);
}

}  // namespace
}  // namespace tarnwell
