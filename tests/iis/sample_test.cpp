// One sampling pass over the ticked pools' workers: the figures each record gets and the
// five lines the daily log tells of each worker.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

#include "iis/iis.h"
#include "iis/iis_workers.h"
#include "logs/Logs.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/null_seams.h"
#include "tests/logs/log_test_support.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell {
namespace {

using fakes::FakeProcessSystem;
using Lines = std::vector<std::string>;
// Pid, threads, open files, open TCP, handles, RAM KB, CPU.
using Figures = std::array<std::int32_t, 7>;

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

// The five lines of each measured worker: pool, pid, record (handle), RAM KB, CPU.
Lines Narration(std::initializer_list<std::tuple<std::string, int, int, int, int>> workers) {
  Lines lines;
  for (const auto& [pool, pid, handle, ramKB, cpu] : workers) {
    lines.insert(lines.end(), {"Find pool [" + pool + "] by PID " + std::to_string(pid),
                               "Pool [" + pool + "] in queue (handle " + std::to_string(handle) + ")",
                               "Get open files of pool [" + pool + "]",
                               "Get RAM of pool [" + pool + "] : " + std::to_string(ramKB),
                               "Get CPU of pool [" + pool + "] : " + std::to_string(cpu)});
  }
  return lines;
}

class SamplePoolsTest : public ::testing::Test {
 protected:
  testutil::TempDir dir_;
  testutil::TestClock clock_{testutil::At(2026, 12, 6, 10, 15, 30, 250)};
  fakes::NullMetabase metabase_;
  VanishingProcessSystem processes_;
  std::unique_ptr<TLog> log_ = std::make_unique<TLog>(dir_.Dir(), "", clock_);
  // The records make the registry large; keep it off the stack.
  std::unique_ptr<TIISObject> reg_ = std::make_unique<TIISObject>(metabase_, processes_);

  void SetUp() override { reg_->Log = log_.get(); }

  // Records in use with stale figures, which every pass must reset; `ticked` selected.
  void SetPools(const Lines& names, const std::string& ticked = "") {
    for (std::size_t i = 0; i < names.size(); ++i) {
      TPoolRec& rec = reg_->Pools[i];
      rec.Name = names[i];
      rec.AppCount = 2;
      rec.Pid = 999;
      rec.Threads = rec.OpenFiles = rec.OpenTcp = rec.Handles = rec.RamKB = rec.Cpu = 7;
    }
    reg_->PoolCount = static_cast<std::int32_t>(names.size());
    reg_->SelectedPools = ticked;
    reg_->SetMonitoring(!ticked.empty());
  }

  void AddWorker(std::uint32_t pid, const std::string& pool, double cpu, std::int64_t workingSet,
                 std::uint32_t threads, platform::HandleCounts handles) {
    processes_.AddWorker(pid, pool, cpu, workingSet, threads);
    processes_.Update(pid, [&](FakeProcessSystem::Process& p) { p.handles = handles; });
  }

  // The daily log's lines after the opening's empty line, each without its time stamp.
  Lines Messages() {
    const auto lines = testing::SplitCrLf(testutil::ReadAll(log_->FileNameFor(clock_.Now())));
    Lines out;
    const std::string stamp = "06-12-26 10:15:30.250\t";
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, stamp.size()), stamp) << lines[i];
      out.push_back(lines[i].substr(stamp.size()));
    }
    return out;
  }

  Figures Of(int index) const {
    const TPoolRec& r = reg_->Pools[static_cast<std::size_t>(index)];
    return {r.Pid, r.Threads, r.OpenFiles, r.OpenTcp, r.Handles, r.RamKB, r.Cpu};
  }
};

TEST_F(SamplePoolsTest, WorkedExampleNarratesFiveStepsAndFillsTheRecord) {
  SetPools({"DefaultAppPool", "Intranet"}, "DefaultAppPool\tIntranet\t");
  processes_.Add({.pid = 4, .threads = 90, .exeName = "System"});
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  processes_.Add({.pid = 2100, .threads = 2, .exeName = "svchost.exe", .commandLine = "svchost -k"});

  EXPECT_TRUE(reg_->SamplePools());

  EXPECT_EQ(Messages(), Narration({{"DefaultAppPool", 2044, 0, 12288, 3}}));
  EXPECT_EQ(Of(0), (Figures{2044, 25, 40, 3, 400, 12288, 3}));
  EXPECT_EQ(Of(1), Figures{});  // selected, but no worker runs for it: no message either
  EXPECT_EQ(reg_->Pools[0].Name, "DefaultAppPool");
  EXPECT_EQ(reg_->Pools[0].AppCount, 2);
  // Other processes cost only the name comparison.
  EXPECT_EQ(processes_.CommandLineReads(2100), 0);
}

TEST_F(SamplePoolsTest, NoProcessListIsAFailureWithEverythingReset) {
  SetPools({"DefaultAppPool"}, "DefaultAppPool\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  processes_.SetSnapshotFails(true);

  EXPECT_FALSE(reg_->SamplePools());
  EXPECT_EQ(Of(0), Figures{});
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(processes_.CommandLineReads(2044), 0);

  // A snapshot without a first entry fails in the same way.
  processes_.SetSnapshotFails(false);
  processes_.Remove(2044);
  EXPECT_FALSE(reg_->SamplePools());
}

TEST_F(SamplePoolsTest, TwoWorkersOfOnePoolAreBothNarratedAndTheLaterOneKept) {
  SetPools({"DefaultAppPool"}, "DefaultAppPool\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(3100, "DefaultAppPool", 10.5, 2048, 8, {1, 2, 3});

  EXPECT_TRUE(reg_->SamplePools());
  // 10.5 rounds to even.
  EXPECT_EQ(Messages(), Narration({{"DefaultAppPool", 2044, 0, 12288, 3}, {"DefaultAppPool", 3100, 0, 2, 10}}));
  EXPECT_EQ(Of(0), (Figures{3100, 8, 1, 2, 3, 2, 10}));
}

TEST_F(SamplePoolsTest, OtherLetterCaseIsFoundAndNarratedAsTheCommandLineHasIt) {
  SetPools({"Intranet", "DefaultAppPool"}, "DefaultAppPool\t");
  processes_.AddWorker(2044, "DEFAULTapppool", 0, 4096, 3);
  processes_.Update(2044, [](FakeProcessSystem::Process& p) { p.exeName = "W3WP.EXE"; });

  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Messages(), Narration({{"DEFAULTapppool", 2044, 1, 4, 0}}));
  EXPECT_EQ(Of(0), Figures{});
  EXPECT_EQ(Of(1), (Figures{2044, 3, 0, 0, 0, 4, 0}));
}

// A worker's command line names the pool in full; the record and the ticked name hold only
// its first 255 characters. The pass must still find and measure it.
TEST_F(SamplePoolsTest, ALongNamedPoolsWorkerIsMeasured) {
  const std::string pool = "Pool" + std::string(296, 'p');
  SetPools({pool.substr(0, MaxPoolName)}, pool.substr(0, MaxPoolName) + "\t");
  processes_.AddWorker(4242, pool, 0, 8 * 1024 * 1024, 12);
  ASSERT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Of(0), (Figures{4242, 12, 0, 0, 0, 8 * 1024, 0}));
}

TEST_F(SamplePoolsTest, EmptyPoolNameIsNarratedUnfoundAndNeverMeasured) {
  SetPools({"DefaultAppPool"});
  // One worker without a pool argument, one whose command line cannot be read.
  processes_.Add({.pid = 500, .threads = 4, .commandLine = R"(w3wp.exe -a \\.\pipe\x)"});
  processes_.Add({.pid = 600, .threads = 4, .commandLine = ""});

  // Nothing ticked: the empty name is not selected.
  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_TRUE(Messages().empty());

  SetPools({"DefaultAppPool"}, "DefaultAppPool\t");
  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Messages(), (Lines{"Find pool [] by PID 500", "Pool [] in queue (handle -1)", "Find pool [] by PID 600",
                               "Pool [] in queue (handle -1)"}));
  EXPECT_EQ(Of(0), Figures{});
  EXPECT_EQ(processes_.CensusCount(500), 0);
  EXPECT_EQ(processes_.CensusCount(600), 0);
}

TEST_F(SamplePoolsTest, NameEndingATickedOneIsSelectedAndMeasuredOnlyWithARecord) {
  SetPools({"MyPool1", "Pool1"}, "MyPool1\t");
  processes_.AddWorker(700, "Pool1", 0, 1024, 2);
  processes_.AddWorker(800, "ool1", 0, 1024, 2);  // also ends the ticked name, but no record

  EXPECT_TRUE(reg_->SamplePools());
  Lines expected = Narration({{"Pool1", 700, 1, 1, 0}});
  expected.insert(expected.end(), {"Find pool [ool1] by PID 800", "Pool [ool1] in queue (handle -1)"});
  EXPECT_EQ(Messages(), expected);
  EXPECT_EQ(Of(0), Figures{});
  EXPECT_EQ(Of(1), (Figures{700, 2, 0, 0, 0, 1, 0}));
  EXPECT_EQ(processes_.CensusCount(800), 0);
}

TEST_F(SamplePoolsTest, WorkerEndingAfterItsCommandLineKeepsSnapshotFiguresOnly) {
  SetPools({"DefaultAppPool", "Intranet"}, "DefaultAppPool\tIntranet\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(2200, "Intranet", 1.0, 8192, 6, {5, 1, 50});
  processes_.vanishPid = 2044;

  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Of(0), (Figures{2044, 25, 0, 0, 0, 0, -1}));
  EXPECT_EQ(Of(1), (Figures{2200, 6, 5, 1, 50, 8, 1}));  // the pass went on
  EXPECT_EQ(Messages(), Narration({{"DefaultAppPool", 2044, 0, 0, -1}, {"Intranet", 2200, 1, 8, 1}}));
}

TEST_F(SamplePoolsTest, EveryWorkerSharesOneWindowAndEachPoolKeepsItsFiveLines) {
  SetPools({"Idle", "Busy", "Ending"}, "Idle\tBusy\tEnding\t");
  AddWorker(3001, "Idle", 0, 4096, 3, {1, 0, 10});
  AddWorker(3002, "Busy", 40, 4096, 3, {1, 0, 10});
  AddWorker(3003, "Ending", 80, 4096, 3, {1, 0, 10});
  // The third worker ends inside the window: what a process that cannot be read gives.
  processes_.SetOnSleep([this](std::uint32_t) { processes_.Remove(3003); });

  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(processes_.TotalSleptMs(), 500u);  // one window for the three
  EXPECT_EQ(Of(0), (Figures{3001, 3, 1, 0, 10, 4, 0}));
  EXPECT_EQ(Of(1), (Figures{3002, 3, 1, 0, 10, 4, 40}));
  EXPECT_EQ(Of(2), (Figures{3003, 3, 1, 0, 10, 4, -1}));
  EXPECT_EQ(Messages(), Narration({{"Idle", 3001, 0, 4, 0}, {"Busy", 3002, 1, 4, 40}, {"Ending", 3003, 2, 4, -1}}));
}

TEST_F(SamplePoolsTest, NarrationNeverCostsTheFigures) {
  SetPools({"DefaultAppPool", "Intranet"}, "DefaultAppPool\tIntranet\t");
  AddWorker(2044, "DefaultAppPool", 3.4, 12'582'912, 25, {40, 3, 400});
  AddWorker(2200, "Intranet", 1.0, 8192, 6, {5, 1, 50});

  // No log at all.
  reg_->Log = nullptr;
  EXPECT_TRUE(reg_->SamplePools());
  EXPECT_EQ(Of(0), (Figures{2044, 25, 40, 3, 400, 12288, 3}));
  EXPECT_EQ(Of(1), (Figures{2200, 6, 5, 1, 50, 8, 1}));

  // A log whose every line fails: the pass finishes, then the error comes out.
  testing::CapturedReports reports;
  testutil::TempDir broken;
  std::filesystem::create_directory(broken.Path() / ("trnw" + FormatFileDate(clock_.Now()) + ".log"));
  TLog failing(broken.Dir(), "", clock_);
  reg_->Log = &failing;
  SetPools({"DefaultAppPool", "Intranet"}, "DefaultAppPool\tIntranet\t");
  EXPECT_THROW(reg_->SamplePools(), std::system_error);
  EXPECT_EQ(Of(0), (Figures{2044, 25, 40, 3, 400, 12288, 3}));
  EXPECT_EQ(Of(1), (Figures{2200, 6, 5, 1, 50, 8, 1}));
  EXPECT_EQ(processes_.CensusCount(2200), 2);
}

// The quoted name after "-ap " wherever it stands, the first if there are two; empty
// without a well-formed argument, and empty quotes never give the next arguments.
TEST(ExtractPoolName, TakesTheQuotedNameOrNothing) {
  const std::pair<const char*, const char*> rows[] = {
      {R"(c:\windows\system32\inetsrv\w3wp.exe -a \\.\pipe\iisipm1a2b -ap "DefaultAppPool")", "DefaultAppPool"},
      {R"(w3wp.exe -a \\.\pipe\x -ap "MyPool2" -v "v1.1" -l "webengine4.dll")", "MyPool2"},
      {R"(w3wp.exe -ap "Shop Pool  2" -a \\.\pipe\x)", "Shop Pool  2"},
      {R"(w3wp.exe -ap "First" -ap "Second")", "First"},
      {"", ""},
      {R"(w3wp.exe -a \\.\pipe\x)", ""},
      {R"(w3wp.exe -AP "Pool")", ""},     // capitals are not the argument
      {R"(w3wp.exe -ap Pool)", ""},       // no quote
      {R"(w3wp.exe -ap  "Pool")", ""},    // two blanks
      {R"(w3wp.exe -ap ")", ""},          // ends after the quote
      {R"(w3wp.exe -ap "Unclosed)", ""},  // no closing quote
      {R"(w3wp.exe -ap "" -v "v2.0")", ""},
  };
  for (const auto& [line, name] : rows) EXPECT_EQ(ExtractPoolName(line), name) << line;
}

TEST(GetProcessCommandLine, ReadsThroughTheSeamAndIsEmptyForAnEndedProcess) {
  fakes::FakeProcessSystem fake;
  fake.AddWorker(2044, "DefaultAppPool");
  const std::string line = GetProcessCommandLine(fake, 2044);
  EXPECT_EQ(ExtractPoolName(line), "DefaultAppPool");
  fake.Remove(2044);
  EXPECT_EQ(GetProcessCommandLine(fake, 2044), "");
}

}  // namespace
}  // namespace tarnwell
