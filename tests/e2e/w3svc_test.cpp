// The web-service stand-in as a whole: real w3svc, real w3wp.exe workers, a real file.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "iis/iis_workers.h"
#include "platform/linux/process_system_linux.h"
#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

using namespace std::chrono_literals;

struct App {
  std::string location;  // "/LM/W3SVC/1/ROOT/b"
  std::string pool;
};

// A small MetaBase.xml in IIS 6's own layout.
std::string MetabaseText(const std::vector<std::string>& pools, const std::vector<App>& apps) {
  std::string xml =
      "<?xml version =\"1.0\"?>\n"
      "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\n"
      "<MBProperty>\n"
      "<IIsWebService\tLocation =\"/LM/W3SVC\"\n\t>\n</IIsWebService>\n"
      "<IIsApplicationPools\tLocation =\"/LM/W3SVC/AppPools\"\n\t>\n</IIsApplicationPools>\n";
  for (const auto& pool : pools)
    xml += "<IIsApplicationPool\tLocation =\"/LM/W3SVC/AppPools/" + pool +
           "\"\n\t\tAppPoolIdentityType=\"2\"\n\t>\n</IIsApplicationPool>\n";
  xml += "<IIsWebServer\tLocation =\"/LM/W3SVC/1\"\n\t\tServerComment=\"Test site\"\n\t>\n</IIsWebServer>\n";
  for (const auto& app : apps)
    xml += "<IIsWebVirtualDir\tLocation =\"" + app.location + "\"\n\t\tAppIsolated=\"2\"\n\t\tAppPoolId=\"" +
           app.pool + "\"\n\t\tAppRoot=\"" + app.location + "\"\n\t>\n</IIsWebVirtualDir>\n";
  xml += "</MBProperty>\n</configuration>\n";
  return xml;
}

class W3svc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().string().empty());
    metabase = dir.Path().string() + "/MetaBase.xml";
    profile = dir.Path().string() + "/load-profile.txt";
    pidFile = dir.Path().string() + "/w3svc.pid";
    serviceLog = dir.Path().string() + "/w3svc.log";
  }

  void TearDown() override {
    if (!HasFailure()) return;
    std::ifstream log(serviceLog);
    std::cerr << "w3svc said:\n" << log.rdbuf() << std::endl;
  }

  ChildProcess StartService() {
    return ChildProcess::Start({TARNWELL_W3SVC_EXE, "--metabase", metabase, "--profile", profile, "--worker",
                                TARNWELL_W3WP_EXE, "--pid-file", pidFile},
                               {}, serviceLog);
  }

  // Pool name -> worker pid, for the service's running workers.
  std::map<std::string, pid_t> Workers(pid_t service) {
    std::map<std::string, pid_t> byPool;
    for (pid_t pid : WorkersOf(service))
      byPool[ExtractPoolName(system->CommandLine(static_cast<std::uint32_t>(pid)))] = pid;
    return byPool;
  }

  bool WaitForPools(pid_t service, const std::set<std::string>& pools, std::chrono::milliseconds timeout) {
    return WaitUntil(timeout, [&] {
      std::set<std::string> running;
      for (const auto& [pool, pid] : Workers(service)) running.insert(pool);
      return running == pools;
    });
  }

  TempDir dir;
  std::string metabase, profile, pidFile, serviceLog;
  std::unique_ptr<platform::IProcessSystem> system = platform::linux_proc::OpenProcSystem();
};

TEST_F(W3svc, KeepsOneWorkerPerPoolWithApplicationsAndFollowsTheFile) {
  ReplaceFile(metabase, MetabaseText({"PoolA", "PoolB", "PoolEmpty"},
                                     {{"/LM/W3SVC/1/ROOT", "PoolA"}, {"/LM/W3SVC/1/ROOT/b", "PoolB"}}));
  ReplaceFile(profile, "# test\n/LM/W3SVC/1/ROOT/B/   0 16 2 1\n");
  ChildProcess service = StartService();
  ASSERT_GT(service.pid(), 0);

  ASSERT_TRUE(WaitForPools(service.pid(), {"PoolA", "PoolB"}, 10s));
  std::ifstream pidText(pidFile);
  pid_t written = 0;
  pidText >> written;
  EXPECT_EQ(written, service.pid());

  // PoolB's worker was given its application's load.
  const auto poolB = static_cast<std::uint32_t>(Workers(service.pid())["PoolB"]);
  EXPECT_TRUE(WaitUntil(5s, [&] { return system->CountHandles(poolB).openTcp == 1; }));

  // A killed worker is started again.
  const pid_t firstA = Workers(service.pid())["PoolA"];
  ASSERT_EQ(::kill(firstA, SIGKILL), 0);
  EXPECT_TRUE(WaitUntil(5s, [&] {
    const auto now = Workers(service.pid());
    return now.count("PoolA") && now.at("PoolA") != firstA;
  }));

  // The application moves to the pool that had none: PoolB's worker goes, PoolEmpty's comes.
  ReplaceFile(metabase, MetabaseText({"PoolA", "PoolB", "PoolEmpty"},
                                     {{"/LM/W3SVC/1/ROOT", "PoolA"}, {"/LM/W3SVC/1/ROOT/b", "PoolEmpty"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"PoolA", "PoolEmpty"}, 10s));
  EXPECT_TRUE(WaitUntil(5s, [&] { return !IsRunning(static_cast<pid_t>(poolB)); }));

  // A deleted pool loses its worker.
  ReplaceFile(metabase, MetabaseText({"PoolB", "PoolEmpty"}, {{"/LM/W3SVC/1/ROOT/b", "PoolEmpty"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"PoolEmpty"}, 10s));

  // Ending the service ends its workers and removes its pid file.
  const auto left = Workers(service.pid());
  const auto status = service.SignalAndWait(SIGTERM, 10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  for (const auto& [pool, pid] : left) EXPECT_FALSE(IsRunning(pid)) << pool;
  EXPECT_FALSE(std::filesystem::exists(pidFile));
}

TEST_F(W3svc, WaitsForAMissingMetabaseFile) {
  ReplaceFile(profile, "");
  ChildProcess service = StartService();
  ASSERT_GT(service.pid(), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(Workers(service.pid()).empty());
  EXPECT_TRUE(IsRunning(service.pid()));

  ReplaceFile(metabase, MetabaseText({"Late"}, {{"/LM/W3SVC/1/ROOT", "Late"}}));
  EXPECT_TRUE(WaitForPools(service.pid(), {"Late"}, 10s));
}

TEST_F(W3svc, KilledServiceLeavesNoWorkerBehind) {
  // Orphans come to this process, so that it can reap them.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct SubreaperOff {
    ~SubreaperOff() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } subreaperOff;

  ReplaceFile(metabase, MetabaseText({"P1", "P2"}, {{"/LM/W3SVC/1/ROOT", "P1"}, {"/LM/W3SVC/1/ROOT/x", "P2"}}));
  ReplaceFile(profile, "/LM/W3SVC/1/ROOT 5 8 1 1\n");
  ChildProcess service = StartService();
  ASSERT_TRUE(WaitForPools(service.pid(), {"P1", "P2"}, 10s));
  const auto workers = Workers(service.pid());

  service.Kill(SIGKILL);
  EXPECT_TRUE(WaitUntil(5s, [&] {
    for (const auto& [pool, pid] : workers)
      if (IsRunning(pid)) return false;
    return true;
  }));
  for (const auto& [pool, pid] : workers) {
    if (IsRunning(pid)) ::kill(pid, SIGKILL);  // leave nothing behind even if the test failed
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace tarnwell::e2e
