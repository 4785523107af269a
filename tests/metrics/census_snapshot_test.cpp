#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/uCpuUsageSnapshot.h"
#include "metrics/uGetOpenFiles.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

using fakes::FakeProcessSystem;

TEST(HandleCensus, CopiesTheCountsAndZeroesAVanishedProcess) {
  FakeProcessSystem fake;
  fake.AddWorker(100, "P");
  fake.Update(100, [](auto& p) { p.handles = {7, 3, 120}; });
  THandleCensus census{1, 1, 1};
  CountProcessHandles(fake, 100, census);
  EXPECT_EQ(census.OpenFiles, 7);
  EXPECT_EQ(census.OpenTcp, 3);
  EXPECT_EQ(census.Handles, 120);

  census = {5, 5, 5};
  CountProcessHandles(fake, 4242, census);
  EXPECT_EQ(census.OpenFiles, 0);
  EXPECT_EQ(census.OpenTcp, 0);
  EXPECT_EQ(census.Handles, 0);
}

TEST(WorkerExe, CaseRuleDependsOnTheCaller) {
  EXPECT_TRUE(IsWorkerExe("w3wp.exe", ExeNameMatch::Exact));
  EXPECT_FALSE(IsWorkerExe("W3WP.EXE", ExeNameMatch::Exact));
  EXPECT_TRUE(IsWorkerExe("W3WP.EXE", ExeNameMatch::IgnoreCase));
  EXPECT_TRUE(IsWorkerExe("W3wp.Exe", ExeNameMatch::IgnoreCase));
  EXPECT_FALSE(IsWorkerExe("w3wp.exe.bak", ExeNameMatch::IgnoreCase));
  EXPECT_FALSE(IsWorkerExe("w3wp", ExeNameMatch::IgnoreCase));
  EXPECT_FALSE(IsWorkerExe("", ExeNameMatch::IgnoreCase));
}

TEST(SnapshotWalk, VisitsWorkersInOrderWithoutReadingOthersAndFailsOnlyWhenNoEntryCouldBeRead) {
  FakeProcessSystem fake;
  std::vector<platform::ProcessEntry> seen;
  const auto walk = [&](ExeNameMatch match, bool onward) {
    return ForEachWorkerProcess(fake, match, [&](const platform::ProcessEntry& e) { return seen.push_back(e), onward; });
  };
  EXPECT_FALSE(walk(ExeNameMatch::IgnoreCase, true));  // empty list
  fake.Add({.pid = 4, .threads = 90, .exeName = "System"});
  EXPECT_TRUE(walk(ExeNameMatch::IgnoreCase, true));  // no worker: still true
  EXPECT_TRUE(seen.empty());
  fake.AddWorker(2044, "DefaultAppPool", 0, 0, 23);
  fake.Add({.pid = 2100, .threads = 2, .exeName = "svchost.exe", .commandLine = "svchost -k"});
  fake.Add({.pid = 2200, .threads = 5, .exeName = "W3WP.EXE"});

  EXPECT_TRUE(walk(ExeNameMatch::IgnoreCase, true));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].pid, 2044u);
  EXPECT_EQ(seen[0].threads, 23u);
  EXPECT_EQ(seen[1].pid, 2200u);
  EXPECT_EQ(fake.CommandLineReads(2100), 0);

  seen.clear();
  EXPECT_TRUE(walk(ExeNameMatch::Exact, false));  // the first one is enough
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].pid, 2044u);
  fake.SetSnapshotFails(true);
  EXPECT_FALSE(walk(ExeNameMatch::IgnoreCase, true));
  EXPECT_EQ(seen.size(), 1u);
}

}  // namespace
}  // namespace tarnwell
