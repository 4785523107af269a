#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/null_seams.h"
#include "tests/logs/log_test_support.h"

namespace tarnwell {
namespace {

using fakes::FakeProcessSystem;
using testing::At;
using testing::FakeClock;
using testing::TempDir;

// A worker process that ends right after its command line has been read.
class VanishingProcessSystem : public FakeProcessSystem {
 public:
  std::uint32_t vanishPid = 0;
  std::string CommandLine(std::uint32_t pid) override {
    std::string line = FakeProcessSystem::CommandLine(pid);
    if (pid == vanishPid) Remove(pid);
    return line;
  }
};

class SamplePoolsTest : public ::testing::Test {
 protected:
  TempDir dir_;
  FakeClock clock_{At(2026, 12, 6, 10, 15, 30, 250)};
  fakes::NullMetabase metabase_;
  VanishingProcessSystem processes_;
  std::unique_ptr<TLog> log_ = std::make_unique<TLog>(dir_.Dir(), "", clock_);
  // The records make the registry large; keep it off the stack.
  std::unique_ptr<TIISObject> reg_ = std::make_unique<TIISObject>(metabase_, processes_);

  void SetUp() override { reg_->Log = log_.get(); }

  // Records in use with stale figures, which every pass must reset.
  void SetPools(const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      TPoolRec& rec = reg_->Pools[i];
      rec.Name = names[i];
      rec.AppCount = 2;
      rec.Pid = 999;
      rec.Threads = rec.OpenFiles = rec.OpenTcp = rec.Handles = rec.RamKB = rec.Cpu = 7;
    }
    reg_->PoolCount = static_cast<std::int32_t>(names.size());
  }

  void Select(const std::string& ticked) {
    reg_->SelectedPools = ticked;
    reg_->SetMonitoring(true);
  }

  void AddWorker(std::uint32_t pid, const std::string& pool, double cpu, std::int64_t workingSet,
                 std::uint32_t threads, platform::HandleCounts handles) {
    processes_.AddWorker(pid, pool, cpu, workingSet, threads);
    processes_.Update(pid, [&](FakeProcessSystem::Process& p) { p.handles = handles; });
  }

  // The daily log's lines after the opening's empty line, each without its time stamp.
  std::vector<std::string> Messages() {
    const auto lines = testing::SplitCrLf(testing::ReadAll(log_->FileNameFor(clock_.Now())));
    std::vector<std::string> out;
    const std::string stamp = "06-12-26 10:15:30.250\t";
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, stamp.size()), stamp) << lines[i];
      out.push_back(lines[i].substr(stamp.size()));
    }
    return out;
  }

  void ExpectFigures(int index, std::int32_t pid, std::int32_t threads, std::int32_t files, std::int32_t tcp,
                     std::int32_t handles, std::int32_t ramKB, std::int32_t cpu) {
    const TPoolRec& rec = reg_->Pools[static_cast<std::size_t>(index)];
    SCOPED_TRACE(rec.Name);
    EXPECT_EQ(rec.Pid, pid);
    EXPECT_EQ(rec.Threads, threads);
    EXPECT_EQ(rec.OpenFiles, files);
    EXPECT_EQ(rec.OpenTcp, tcp);
    EXPECT_EQ(rec.Handles, handles);
    EXPECT_EQ(rec.RamKB, ramKB);
    EXPECT_EQ(rec.Cpu, cpu);
  }
  void ExpectZeros(int index) { ExpectFigures(index, 0, 0, 0, 0, 0, 0, 0); }
};

TEST_F(SamplePoolsTest, WorkedExampleNarratesFiveStepsAndFillsTheRecord) {
  SetPools({"DefaultAppPool", "Intranet"});
  Select("DefaultAppPool\tIntranet\t");
  processes_.Add({.pid = 4, .threads = 90, .exeName = "System"});
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  processes_.Add({.pid = 2100, .threads = 2, .exeName = "svchost.exe", .commandLine = "svchost -k"});

  EXPECT_TRUE(reg_->SamplePools());

  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Find pool [DefaultAppPool] by PID 2044",
                            "Pool [DefaultAppPool] in queue (handle 0)",
                            "Get open files of pool [DefaultAppPool]",
                            "Get RAM of pool [DefaultAppPool] : 12288",
                            "Get CPU of pool [DefaultAppPool] : 3",
                        }));
  ExpectFigures(0, 2044, 25, 40, 3, 400, 12288, 3);
  ExpectZeros(1);  // selected, but no worker runs for it: no message either
  EXPECT_EQ(reg_->Pools[0].Name, "DefaultAppPool");
  EXPECT_EQ(reg_->Pools[0].AppCount, 2);
  // Other processes cost only the name comparison.
  EXPECT_EQ(processes_.CommandLineReads(2100), 0);
}

TEST_F(SamplePoolsTest, NoWorkerAtAllResetsEverythingAndSaysNothing) {
  SetPools({"DefaultAppPool", "Intranet"});
  Select("DefaultAppPool\tIntranet\t");
  processes_.Add({.pid = 4, .threads = 90, .exeName = "System"});

  EXPECT_TRUE(reg_->SamplePools());
  ExpectZeros(0);
  ExpectZeros(1);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SamplePoolsTest, NoProcessListIsAFailureWithEverythingReset) {
  SetPools({"DefaultAppPool"});
  Select("DefaultAppPool\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  processes_.SetSnapshotFails(true);

  EXPECT_FALSE(reg_->SamplePools());
  ExpectZeros(0);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(processes_.CommandLineReads(2044), 0);

  // A snapshot without a first entry fails in the same way.
  processes_.SetSnapshotFails(false);
  processes_.Remove(2044);
  EXPECT_FALSE(reg_->SamplePools());
}

TEST_F(SamplePoolsTest, TwoWorkersOfOnePoolAreBothNarratedAndTheLaterOneKept) {
  SetPools({"DefaultAppPool"});
  Select("DefaultAppPool\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(3100, "DefaultAppPool", 10.5, 2048, 8, {1, 2, 3});

  EXPECT_TRUE(reg_->SamplePools());
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 10u);
  EXPECT_EQ(messages[0], "Find pool [DefaultAppPool] by PID 2044");
  EXPECT_EQ(messages[4], "Get CPU of pool [DefaultAppPool] : 3");
  EXPECT_EQ(messages[5], "Find pool [DefaultAppPool] by PID 3100");
  EXPECT_EQ(messages[8], "Get RAM of pool [DefaultAppPool] : 2");
  EXPECT_EQ(messages[9], "Get CPU of pool [DefaultAppPool] : 10");  // 10.5 rounds to even
  ExpectFigures(0, 3100, 8, 1, 2, 3, 2, 10);
}

TEST_F(SamplePoolsTest, OtherLetterCaseIsFoundAndNarratedAsTheCommandLineHasIt) {
  SetPools({"Intranet", "DefaultAppPool"});
  Select("DefaultAppPool\t");
  processes_.AddWorker(2044, "DEFAULTapppool", 0, 4096, 3);
  processes_.Update(2044, [](FakeProcessSystem::Process& p) { p.exeName = "W3WP.EXE"; });

  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Find pool [DEFAULTapppool] by PID 2044",
                            "Pool [DEFAULTapppool] in queue (handle 1)",
                            "Get open files of pool [DEFAULTapppool]",
                            "Get RAM of pool [DEFAULTapppool] : 4",
                            "Get CPU of pool [DEFAULTapppool] : 0",
                        }));
  ExpectZeros(0);
  ExpectFigures(1, 2044, 3, 0, 0, 0, 4, 0);
}

TEST_F(SamplePoolsTest, EmptyPoolNameIsNarratedUnfoundAndNeverMeasured) {
  SetPools({"DefaultAppPool"});
  // One worker without a pool argument, one whose command line cannot be read.
  processes_.Add({.pid = 500, .threads = 4, .commandLine = R"(w3wp.exe -a \\.\pipe\x)"});
  processes_.Add({.pid = 600, .threads = 4, .commandLine = ""});

  // Nothing ticked: the empty name is not selected.
  reg_->SelectedPools.clear();
  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_TRUE(Messages().empty());

  Select("DefaultAppPool\t");
  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "Find pool [] by PID 500",
                            "Pool [] in queue (handle -1)",
                            "Find pool [] by PID 600",
                            "Pool [] in queue (handle -1)",
                        }));
  ExpectZeros(0);
  EXPECT_EQ(processes_.CensusCount(500), 0);
  EXPECT_EQ(processes_.CensusCount(600), 0);
}

TEST_F(SamplePoolsTest, NameEndingATickedOneIsSelectedAndMeasuredOnlyWithARecord) {
  SetPools({"MyPool1", "Pool1"});
  Select("MyPool1\t");
  processes_.AddWorker(700, "Pool1", 0, 1024, 2);
  processes_.AddWorker(800, "ool1", 0, 1024, 2);  // also ends the ticked name, but no record

  EXPECT_TRUE(reg_->SamplePools());
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[1], "Pool [Pool1] in queue (handle 1)");
  EXPECT_EQ(messages[5], "Find pool [ool1] by PID 800");
  EXPECT_EQ(messages[6], "Pool [ool1] in queue (handle -1)");
  ExpectZeros(0);
  ExpectFigures(1, 700, 2, 0, 0, 0, 1, 0);
  EXPECT_EQ(processes_.CensusCount(800), 0);
}

TEST_F(SamplePoolsTest, WorkerEndingAfterItsCommandLineKeepsSnapshotFiguresOnly) {
  SetPools({"DefaultAppPool", "Intranet"});
  Select("DefaultAppPool\tIntranet\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(2200, "Intranet", 1.0, 8192, 6, {5, 1, 50});
  processes_.vanishPid = 2044;

  EXPECT_TRUE(reg_->SamplePools());
  ExpectFigures(0, 2044, 25, 0, 0, 0, 0, -1);
  ExpectFigures(1, 2200, 6, 5, 1, 50, 8, 1);  // the pass went on
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 10u);
  EXPECT_EQ(messages[3], "Get RAM of pool [DefaultAppPool] : 0");
  EXPECT_EQ(messages[4], "Get CPU of pool [DefaultAppPool] : -1");
}

TEST_F(SamplePoolsTest, EveryWorkerSharesOneWindowAndEachPoolKeepsItsFiveLines) {
  SetPools({"Idle", "Busy", "Ending"});
  Select("Idle\tBusy\tEnding\t");
  AddWorker(3001, "Idle", 0, 4096, 3, {1, 0, 10});
  AddWorker(3002, "Busy", 40, 4096, 3, {1, 0, 10});
  AddWorker(3003, "Ending", 80, 4096, 3, {1, 0, 10});
  // The third worker ends inside the window: what a process that cannot be read gives.
  processes_.SetOnSleep([this](std::uint32_t) { processes_.Remove(3003); });

  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(processes_.TotalSleptMs(), 500u);  // one window for the three
  ExpectFigures(0, 3001, 3, 1, 0, 10, 4, 0);
  ExpectFigures(1, 3002, 3, 1, 0, 10, 4, 40);
  ExpectFigures(2, 3003, 3, 1, 0, 10, 4, -1);
  std::vector<std::string> expected;
  for (const auto& [pool, pid, handle, cpu] :
       {std::tuple{"Idle", 3001, 0, 0}, std::tuple{"Busy", 3002, 1, 40}, std::tuple{"Ending", 3003, 2, -1}}) {
    const std::string name(pool);
    expected.push_back("Find pool [" + name + "] by PID " + std::to_string(pid));
    expected.push_back("Pool [" + name + "] in queue (handle " + std::to_string(handle) + ")");
    expected.push_back("Get open files of pool [" + name + "]");
    expected.push_back("Get RAM of pool [" + name + "] : 4");
    expected.push_back("Get CPU of pool [" + name + "] : " + std::to_string(cpu));
  }
  EXPECT_EQ(Messages(), expected);
}

TEST_F(SamplePoolsTest, NarrationNeverCostsTheFigures) {
  SetPools({"DefaultAppPool", "Intranet"});
  Select("DefaultAppPool\tIntranet\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(2200, "Intranet", 1.0, 8192, 6, {5, 1, 50});

  // No log at all.
  reg_->Log = nullptr;
  EXPECT_TRUE(reg_->SamplePools());
  ExpectFigures(0, 2044, 25, 40, 3, 400, 12288, 3);
  ExpectFigures(1, 2200, 6, 5, 1, 50, 8, 1);

  // A log whose every line fails: the pass finishes, then the error comes out.
  testing::CapturedReports reports;
  TempDir broken;
  std::filesystem::create_directory(broken.Path() / ("trnw" + FormatFileDate(clock_.Now()) + ".log"));
  TLog failing(broken.Dir(), "", clock_);
  reg_->Log = &failing;
  SetPools({"DefaultAppPool", "Intranet"});
  EXPECT_THROW(reg_->SamplePools(), std::system_error);
  ExpectFigures(0, 2044, 25, 40, 3, 400, 12288, 3);
  ExpectFigures(1, 2200, 6, 5, 1, 50, 8, 1);
  EXPECT_EQ(processes_.CensusCount(2200), 2);
}

}  // namespace
}  // namespace tarnwell
