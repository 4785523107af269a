// The web-service stand-in as a whole: real w3svc, real w3wp.exe workers, a real file.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/process_system_linux.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/metabase_xml.h"

namespace tarnwell::e2e {
namespace {

class W3svc : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << "w3svc said:\n" << ReadAll(serviceLog) << std::endl;
  }

  ChildProcess StartService() {
    return StartW3svc(metabase, serviceLog, {"--profile", profile, "--pid-file", pidFile});
  }

  bool WaitForPools(pid_t service, const std::set<std::string>& pools) {
    return WaitUntil(30s, [&] {
      std::set<std::string> running;
      for (const auto& [pool, pid] : Workers(service)) running.insert(pool);
      return running == pools;
    });
  }

  TempDir dir;
  std::string metabase = dir.File("MetaBase.xml"), profile = dir.File("load-profile.txt"),
              pidFile = dir.File("w3svc.pid"), serviceLog = dir.File("w3svc.log");
  std::unique_ptr<platform::IProcessSystem> system = platform::linux_proc::OpenProcSystem();
};

TEST_F(W3svc, KeepsOneWorkerPerPoolWithApplicationsAndFollowsTheFile) {
  ReplaceFile(metabase, testutil::PoolsAndApps({"PoolA", "PoolB", "PoolEmpty"},
                                     {{"/LM/W3SVC/1/ROOT", "PoolA"}, {"/LM/W3SVC/1/ROOT/b", "PoolB"}}));
  ReplaceFile(profile, "# test\n/LM/W3SVC/1/ROOT/B/   0 16 2 1\n");
  ChildProcess service = StartService();
  ASSERT_GT(service.pid(), 0);

  ASSERT_TRUE(WaitForPools(service.pid(), {"PoolA", "PoolB"}));
  EXPECT_EQ(ReadAll(pidFile), std::to_string(service.pid()) + "\n");

  // PoolB's worker was given its application's load.
  const auto poolB = static_cast<std::uint32_t>(Workers(service.pid())["PoolB"]);
  EXPECT_TRUE(WaitUntil(30s, [&] { return system->CountHandles(poolB).openTcp == 1; }));

  // A killed worker is started again.
  const pid_t firstA = Workers(service.pid())["PoolA"];
  ASSERT_EQ(::kill(firstA, SIGKILL), 0);
  EXPECT_TRUE(WaitUntil(30s, [&] {
    const auto now = Workers(service.pid());
    return now.count("PoolA") && now.at("PoolA") != firstA;
  }));

  // The application moves to the pool that had none: PoolB's worker goes, PoolEmpty's comes.
  ReplaceFile(metabase, testutil::PoolsAndApps({"PoolA", "PoolB", "PoolEmpty"},
                                     {{"/LM/W3SVC/1/ROOT", "PoolA"}, {"/LM/W3SVC/1/ROOT/b", "PoolEmpty"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"PoolA", "PoolEmpty"}));
  EXPECT_TRUE(WaitUntil(30s, [&] { return !IsRunning(static_cast<pid_t>(poolB)); }));

  // A deleted pool loses its worker.
  ReplaceFile(metabase, testutil::PoolsAndApps({"PoolB", "PoolEmpty"}, {{"/LM/W3SVC/1/ROOT/b", "PoolEmpty"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"PoolEmpty"}));

  // Ending the service ends its workers and removes its pid file.
  const auto left = Workers(service.pid());
  EXPECT_EQ(service.SignalAndWait(SIGTERM, 10s), 0);  // exited, with code 0
  for (const auto& [pool, pid] : left) EXPECT_FALSE(IsRunning(pid)) << pool;
  EXPECT_FALSE(std::filesystem::exists(pidFile));
}

TEST_F(W3svc, WaitsForAMissingMetabaseFile) {
  ReplaceFile(profile, "");
  ChildProcess service = StartService();
  ASSERT_GT(service.pid(), 0);
  // Told, it waits: no worker, still running.
  ASSERT_TRUE(
      WaitUntil(30s, [&] { return ReadAll(serviceLog).find("cannot read the metabase ") != std::string::npos; }));
  EXPECT_TRUE(Workers(service.pid()).empty());
  EXPECT_TRUE(IsRunning(service.pid()));

  ReplaceFile(metabase, testutil::PoolsAndApps({"Late"}, {{"/LM/W3SVC/1/ROOT", "Late"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"Late"}));
}

TEST_F(W3svc, KilledServiceLeavesNoWorkerBehind) {
  // Orphans come to this process, so that it can reap them.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct SubreaperOff {
    ~SubreaperOff() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } subreaperOff;

  ReplaceFile(metabase, testutil::PoolsAndApps({"P1", "P2"}, {{"/LM/W3SVC/1/ROOT", "P1"}, {"/LM/W3SVC/1/ROOT/x", "P2"}}));
  ReplaceFile(profile, "/LM/W3SVC/1/ROOT 5 8 1 1\n");
  ChildProcess service = StartService();
  ASSERT_TRUE(WaitForPools(service.pid(), {"P1", "P2"}));
  const auto workers = Workers(service.pid());

  service.Kill();
  EXPECT_TRUE(WaitUntil(30s, [&] {
    return std::none_of(workers.begin(), workers.end(), [](const auto& w) { return IsRunning(w.second); });
  }));
  for (const auto& [pool, pid] : workers) {
    if (IsRunning(pid)) ::kill(pid, SIGKILL);  // leave nothing behind even if the test failed
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace tarnwell::e2e
