#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "metrics/uCpuUsageSnapshot.h"
#include "metrics/uGetOpenFiles.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

TEST(HandleCensus, CopiesTheCountsAndZeroesAVanishedProcess) {
  fakes::FakeProcessSystem fake;
  fake.AddWorker(100, "P");
  fake.Update(100, [](auto& p) { p.handles = {7, 3, 120}; });
  const auto counted = [&](std::uint32_t pid) {
    THandleCensus census{5, 5, 5};
    CountProcessHandles(fake, pid, census);
    return std::tuple(census.OpenFiles, census.OpenTcp, census.Handles);
  };
  EXPECT_EQ(counted(100), std::tuple(7, 3, 120));
  EXPECT_EQ(counted(4242), std::tuple(0, 0, 0));
}

TEST(WorkerExe, CaseRuleDependsOnTheCaller) {
  EXPECT_TRUE(IsWorkerExe("w3wp.exe", ExeNameMatch::Exact));
  EXPECT_FALSE(IsWorkerExe("W3WP.EXE", ExeNameMatch::Exact));
  for (const auto& [name, worker] :
       {std::pair{"W3WP.EXE", true}, {"W3wp.Exe", true}, {"w3wp.exe.bak", false}, {"w3wp", false}, {"", false}})
    EXPECT_EQ(IsWorkerExe(name, ExeNameMatch::IgnoreCase), worker) << name;
}

TEST(SnapshotWalk, VisitsWorkersInOrderWithoutReadingOthersAndFailsOnlyWhenNoEntryCouldBeRead) {
  fakes::FakeProcessSystem fake;
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
