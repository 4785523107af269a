#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "tasks/MonitoringPool.h"
#include "tasks/getpooldata.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_window_port.h"
#include "tests/logs/log_test_support.h"
#include "tests/support/test_clock.h"

namespace tarnwell {
namespace {

using testutil::At;

const std::string kLineDefault = "DefaultAppPool\t2\t12288\t3\t25\t40\t3\t400\t2044";
const std::string kLineIntranet = "Intranet\t1\t0\t-1\t6\t5\t1\t50\t2200";  // processor use not measurable

class MonitoringTest : public ::testing::Test {
 protected:
  static constexpr int kSleepCap = 200'000;  // a runaway monitor fails the test instead of hanging it
  static constexpr std::size_t kPassCap = 20;

  testutil::TempDir dir_;
  testutil::TestClock clock_{At(2026, 12, 6, 10, 0)};
  fakes::FakeMetabase metabase_;
  fakes::FakeProcessSystem processes_;
  TLog daily_{dir_.Dir(), "", clock_};
  std::unique_ptr<TIISObject> reg_ = std::make_unique<TIISObject>(metabase_, processes_);
  fakes::FakeWindowPort window_{*reg_, dir_.Dir()};

  std::atomic<int> sleeps_{0};
  std::function<void(int sleep)> duringSleep_;  // monitor thread, before the clock moves
  std::function<void(std::size_t pass)> afterRedraw_;  // UI thread
  std::vector<std::int64_t> redrawMs_;  // UI thread until the monitor has ended
  std::vector<int> sleepsAtRedraw_;     // likewise
  std::int64_t endMs_ = -1;             // UI thread, in the end notification

  void SetUp() override {
    for (const char* pool : {"DefaultAppPool", "Other", "Intranet", "Idle"}) metabase_.AddPool(pool);
    for (const auto& [app, pool] : {std::pair{"/LM/W3SVC/1/ROOT", "DefaultAppPool"}, {"/LM/W3SVC/1/ROOT/shop", "DefaultAppPool"},
                                    {"/LM/W3SVC/1/ROOT/other", "Other"}, {"/LM/W3SVC/2/ROOT", "Intranet"},
                                    {"/LM/W3SVC/3/ROOT", "Idle"}})
      metabase_.AddApp(app, pool);

    processes_.Add({.pid = 4, .threads = 90, .exeName = "System"});
    const auto worker = fakes::FakeProcessSystem::WorkerCommandLine;
    processes_.Add({.pid = 2044, .threads = 25, .commandLine = worker("DefaultAppPool"), .workingSet = 12'582'912,
                    .cpuPercent = 3.4, .handles = {40, 3, 400}});
    processes_.Add({.pid = 2200, .threads = 6, .commandLine = worker("Intranet"), .workingSet = -1,
                    .handles = {5, 1, 50}, .timesOpenable = false});
    processes_.AddWorker(2300, "Other", 50, 4096, 3);

    reg_->Log = &daily_;
    reg_->SelectedPools = "DefaultAppPool\tIntranet\tIdle\t";
    reg_->SetMonitoring(true);
    window_.intervalText = "1";
    window_.onRedraw = [this](TIISObject&) {
      redrawMs_.push_back(clock_.Ms());
      sleepsAtRedraw_.push_back(sleeps_.load());
      if (afterRedraw_) afterRedraw_(redrawMs_.size());
      if (redrawMs_.size() >= kPassCap) {
        ADD_FAILURE() << "the monitor did not stop";
        reg_->SetMonitoring(false);
      }
    };
  }

  void TearDown() override { EXPECT_FALSE(window_.UiRuleBroken()); }

  // Stop in the redraw of that pass, before its lines are written.
  void StopAtPass(std::size_t last) {
    afterRedraw_ = [this, last](std::size_t pass) {
      if (pass == last) reg_->SetMonitoring(false);
    };
  }

  void RunMonitor() {
    TMonitoringPool monitor(window_, clock_, [this](std::uint32_t ms) {
      const int n = ++sleeps_;
      if (duringSleep_) duringSleep_(n);
      clock_.Advance(ms);
      if (n > kSleepCap) {
        ADD_FAILURE() << "the monitor kept waiting";
        reg_->SetMonitoring(false);
      }
    });
    monitor.OnTerminate = [this] { endMs_ = clock_.Ms(); };
    monitor.Start();
    monitor.Join();
    EXPECT_TRUE(monitor.Finished());
  }

  std::vector<std::string> MonitorLog(const std::string& date = "061226") const {
    return testing::SplitCrLf(testutil::ReadAll(dir_.Dir() + "trnw-mon-" + date + ".log"));
  }
  // The daily log's lines that hold the text.
  std::vector<std::string> DailyLines(const std::string& text) const {
    std::vector<std::string> lines = testing::SplitCrLf(testutil::ReadAll(dir_.Dir() + "trnw061226.log"));
    std::erase_if(lines, [&](const std::string& line) { return line.find(text) == std::string::npos; });
    return lines;
  }

  // The data lines of the monitoring log without their time stamps; checks each stamp's form.
  std::vector<std::string> DataLines() const {
    std::vector<std::string> out;
    for (const auto& line : MonitorLog()) {
      if (line.empty() || line.starts_with('#')) continue;
      const auto tab = line.find('\t');
      EXPECT_EQ(tab, 21u) << line;  // dd-mm-yy hh:nn:ss.zzz
      out.push_back(line.substr(tab + 1));
    }
    return out;
  }
};

TEST(MonitoringLineText, SeparatorsInAPoolNameAreWrittenAsSpaces) {
  const TPoolRec rec{.Name = "Shop\tA\r\nB\n", .AppCount = 1, .Pid = 7, .Apps = {}};  // the metabase allows them
  EXPECT_EQ(MonitoringLine(rec), "Shop A  B \t1\t0\t0\t0\t0\t0\t0\t7");
  EXPECT_EQ(rec.Name, "Shop\tA\r\nB\n");  // the window shows it as it is
}

TEST_F(MonitoringTest, NoProcessListLogsTheErrorRedrawsAndWritesNoDataLine) {
  processes_.SetSnapshotFails(true);
  afterRedraw_ = [this](std::size_t pass) {
    // The failed pass zeroed every figure before the window saw the records.
    for (int i = 0; i < reg_->PoolCount; ++i) EXPECT_EQ(reg_->Pools[i].Pid, 0);
    if (pass == 2) reg_->SetMonitoring(false);
  };

  RunMonitor();

  EXPECT_EQ(window_.Redraws(), 2);  // the thread carried on to the next pass
  EXPECT_TRUE(DataLines().empty());
  EXPECT_EQ(DailyLines("Error for"), (std::vector<std::string>{"06-12-26 10:00:00.000\tError for get RAM/CPU data for pools",
                                                                "06-12-26 10:01:01.000\tError for get RAM/CPU data for pools"}));
  EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(MonitoringTest, AnUnreadableMetabaseIsLoggedWhenItFailsAndWhenItIsBack) {
  // Passes 2 and 3 (the rule that fails stops the counting of the rules after it).
  metabase_.FailCall(fakes::FakeMetabase::Op::Bind, 3, "w3svc/AppPools$");
  metabase_.FailCall(fakes::FakeMetabase::Op::Bind, 2, "w3svc/AppPools$");
  StopAtPass(4);
  RunMonitor();
  EXPECT_EQ(DailyLines("The metabase"),
            (std::vector<std::string>{
                "06-12-26 10:01:01.000\tThe metabase cannot be read [IIS://localhost/w3svc/AppPools]: Injected failure: "
                "Bind IIS://localhost/w3svc/AppPools. Monitoring goes on with the pools read before.",
                "06-12-26 10:03:03.000\tThe metabase can be read again [IIS://localhost/w3svc/AppPools]"}));
  // The passes that could not read it sampled the pools read before.
  EXPECT_EQ(DataLines().size(), 8u);
  EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(MonitoringTest, PassesStartOneIntervalApartOrAtOnceAfterALongerPass) {
  struct Case {
    const char* interval;
    std::uint32_t passMs;  // local time a pass takes: the processor-use window of the one measurable worker
    std::int64_t gapMs;    // between pass starts
    std::vector<int> sleepsAtRedraw;
    std::size_t linesOfTheDay;  // the other passes of 999 fall on the next day
    const char* selected = "DefaultAppPool\tIntranet\tIdle\t";
    bool snapshotFails = false;
  };
  const Case cases[] = {
      {"0", 500, 500, {0, 0, 0}, 6},  // back to back, without sleeping
      // A pass shorter than one processor-use window waits out the rest of it: no worker to
      // measure, or a pass that failed early, gives two passes a second, not thousands.
      {"000", 0, 500, {0, 1, 2}, 6},
      {"0", 200, 500, {0, 1, 2}, 6},
      {"0", 500, 500, {0, 1, 2}, 0, "Idle\t"},
      {"0", 500, 500, {0, 1, 2}, 0, "DefaultAppPool\tIntranet\t", true},
      // 999, the most the box takes: the first one-second poll after start + 59,940 s.
      {"999", 500, 59'940'500, {0, 59'940, 2 * 59'940}, 2},
      {"1", 90'000, 90'000, {0, 0, 0}, 6},  // a pass longer than the interval is followed at once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.interval << ", a pass of " << c.passMs << " ms, " << c.selected);
    reg_->SetMonitoring(true);
    redrawMs_.clear();
    sleepsAtRedraw_.clear();
    sleeps_ = 0;
    clock_.Set(At(2026, 12, 6, 10, 0));
    const std::size_t linesBefore = DataLines().size();
    window_.intervalText = c.interval;
    reg_->SelectedPools = c.selected;
    processes_.SetSnapshotFails(c.snapshotFails);
    processes_.SetOnSleep([this, &c](std::uint32_t) { clock_.Advance(c.passMs); });
    afterRedraw_ = [this](std::size_t pass) {
      window_.intervalText = "1";  // read only at the start: a later change has no effect
      if (pass == 3) reg_->SetMonitoring(false);
    };

    RunMonitor();

    ASSERT_EQ(redrawMs_.size(), 3u);
    EXPECT_EQ(redrawMs_[1] - redrawMs_[0], c.gapMs);
    EXPECT_EQ(redrawMs_[2] - redrawMs_[1], c.gapMs);
    EXPECT_EQ(sleepsAtRedraw_, c.sleepsAtRedraw);
    EXPECT_EQ(DataLines().size() - linesBefore, c.linesOfTheDay);
  }
}

TEST_F(MonitoringTest, StopEndsTheThreadAtTheNextPollAfterThePassItCameIn) {
  // Stop 25 s into the second wait writes nothing more; Stop while the second pass samples
  // lets that pass finish, with its redraw and its lines.
  for (const bool duringPass : {false, true}) {
    SCOPED_TRACE(duringPass ? "during the pass" : "during the wait");
    reg_->SetMonitoring(true);
    sleeps_ = 0;
    std::int64_t stopMs = -1;  // UI thread
    const int redrawsBefore = window_.Redraws();
    const std::size_t linesBefore = DataLines().size();
    std::size_t linesAtStop = 0;
    const auto stop = [&] {
      linesAtStop = DataLines().size() - linesBefore;
      window_.RunOnUi([&] {  // as the window's Stop button
        stopMs = clock_.Ms();
        reg_->SetMonitoring(false);
      });
    };
    duringSleep_ = [&](int n) {
      if (!duringPass && n == 60 + 25) stop();
    };
    processes_.SetOnSleep([&](std::uint32_t) {
      if (duringPass && window_.Redraws() == redrawsBefore + 1 && stopMs < 0) stop();
    });

    RunMonitor();

    EXPECT_EQ(linesAtStop, duringPass ? 2u : 4u);
    EXPECT_EQ(DataLines().size() - linesBefore, 4u);
    EXPECT_EQ(window_.Redraws() - redrawsBefore, 2);
    ASSERT_GE(stopMs, 0);
    EXPECT_GE(endMs_, stopMs);
    EXPECT_LE(endMs_ - stopMs, 1000);
    EXPECT_EQ(sleeps_.load(), duringPass ? 61 + 1 : 85);  // no poll after the one that saw the Stop
  }
}

TEST_F(MonitoringTest, APassWritesOneLinePerRunningSelectedPoolAndAfterMidnightToTheNewDaysFile) {
  clock_.Set(At(2026, 12, 6, 23, 59, 30));
  StopAtPass(2);

  RunMonitor();

  // The worked example: the stamp, then nine fields each after one TAB; nothing after the pid.
  // Idle has no worker and Other is not ticked: no line, no measuring.
  EXPECT_EQ(MonitorLog(), (std::vector<std::string>{"",
                                                    "#Format (tab delimiter): datetime name_of_pool count_app ram cpu "
                                                    "count_treads open_files open_tcp open_handles pid",
                                                    "06-12-26 23:59:30.000\t" + kLineDefault,
                                                    "06-12-26 23:59:30.000\t" + kLineIntranet}));
  // The first poll past the deadline, 00:00:30, starts the second pass, without a header.
  EXPECT_EQ(MonitorLog("071226"), (std::vector<std::string>{"", "07-12-26 00:00:31.000\t" + kLineDefault,
                                                            "07-12-26 00:00:31.000\t" + kLineIntranet}));
  EXPECT_EQ(processes_.CommandLineReads(2300), 2);
  EXPECT_EQ(processes_.CensusCount(2300), 0);
  // The narration went to the daily log, not to the message pane.
  EXPECT_EQ(DailyLines("Find pool [DefaultAppPool]"),
            std::vector<std::string>{"06-12-26 23:59:30.000\tFind pool [DefaultAppPool] by PID 2044"});
  EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(MonitoringTest, ClockSetBackDuringTheWaitLengthensThatWaitByTheSameAmount) {
  // Five minutes back, 25 s into the first one-minute wait, as a time service may set it.
  duringSleep_ = [this](int n) {
    if (n == 25) clock_.Advance(-300'000);
  };
  StopAtPass(3);

  RunMonitor();

  // The deadline stays where the clock put it: 300 more polls in the first wait, none lost
  // in the second, and no pass started before its interval by the clock.
  EXPECT_EQ(sleepsAtRedraw_, (std::vector<int>{0, 61 + 300, 61 + 300 + 61}));
  EXPECT_EQ(redrawMs_, (std::vector<std::int64_t>{redrawMs_[0], redrawMs_[0] + 61'000, redrawMs_[0] + 122'000}));
  EXPECT_EQ(DataLines().size(), 6u);
}

TEST_F(MonitoringTest, IntervalThatIsNoNumberEndsTheThreadBeforeAnyPass) {
  // Each run appends its empty line and header to the same day's file.
  std::vector<std::string> expected;
  for (const char* text : {"", "abc", "1a", "-5", "1000"}) {
    window_.intervalText = text;
    endMs_ = -1;
    RunMonitor();
    EXPECT_EQ(endMs_, clock_.Ms()) << "the end notification ran";
    expected.insert(expected.end(), {"", kMonitoringHeader});
  }

  EXPECT_EQ(MonitorLog(), expected);
  EXPECT_EQ(window_.Redraws(), 0);
  EXPECT_EQ(metabase_.CountCalls("Enumerate"), 0);
  EXPECT_EQ(processes_.CommandLineReads(2044), 0);
  EXPECT_TRUE(reg_->IsMonitoring());  // left for the window's Stop
}

TEST_F(MonitoringTest, ReloadStartedDuringAPassLeavesTheRegistryConsistent) {
  TGetPoolData loader(window_);
  std::promise<void> ended;
  std::future<void> loaderEnded = ended.get_future();
  loader.OnTerminate = [&] { ended.set_value(); };
  // The Refresh command, pressed on the UI thread while the first pass measures.
  std::atomic<bool> started{false};
  processes_.SetOnSleep([&](std::uint32_t) {
    if (!started.exchange(true)) window_.Post([&] { loader.Start(); });
  });
  // The reload gets its turn during the first wait, so that the later passes follow it.
  duringSleep_ = [&](int n) {
    // Bounded only so that a reload stuck behind the monitor fails instead of hanging.
    if (n == 1) {
      EXPECT_EQ(loaderEnded.wait_for(std::chrono::minutes(1)), std::future_status::ready);
    }
  };
  afterRedraw_ = [this](std::size_t pass) {
    // Every redraw sees one whole pass: the selected pools, with their figures in place.
    ASSERT_EQ(reg_->PoolCount, 3);
    const auto& p = reg_->Pools;
    EXPECT_EQ(std::tuple(p[0].Name, p[0].Pid, p[0].RamKB, p[1].Name, p[1].Pid),
              std::tuple("DefaultAppPool", 2044, 12288, "Intranet", 2200));
    if (pass == 3) reg_->SetMonitoring(false);
  };

  RunMonitor();
  loader.Join();

  EXPECT_EQ(DataLines(), (std::vector<std::string>{kLineDefault, kLineIntranet, kLineDefault, kLineIntranet,
                                                   kLineDefault, kLineIntranet}));
  // The reload listed only the ticked pools, in the metabase's order.
  EXPECT_EQ(window_.Rows(), (std::vector<fakes::ListRow>{{"DefaultAppPool", "2"}, {"Intranet", "1"}, {"Idle", "1"}}));
  EXPECT_EQ(window_.Messages(), (std::vector<std::string>{"Begin get pools. Please wait...", "End get pools",
                                                          "Pools: 3", "Begin fill list", "End fill list"}));
  EXPECT_EQ(reg_->Pools[2].Name, "Idle");
  EXPECT_TRUE(reg_->Pools[3].Name.empty());
}

}  // namespace
}  // namespace tarnwell
