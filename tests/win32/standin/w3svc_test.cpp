// w3svc.exe and its w3wp.exe workers under wine, seen through the program's own Windows
// process system: the command lines IIS gives, the file followed, the workers ending with
// the service, and the load a worker holds.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "metabase/metabase_store.h"
#include "platform/files/utf8_path.h"
#include "platform/win32/process_system_win32.h"
#include "standin/w3svc/service.h"
#include "tests/support/files.h"
#include "tests/support/metabase_xml.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/standin/standin_programs.h"

namespace tarnwell::tests {
namespace {

// The pipe name IIS gives: iisipm and a GUID in its usual text form.
bool IsIisPipeId(std::string_view id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (id[i] == '-')) return false;
    if (!dash && !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
  }
  return true;
}

class W3svcWin32 : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << "w3svc said:\n" << testutil::ReadAll(log) << std::endl;
  }

  // Every process as the program sees it, for a failure's message.
  std::string ProcessList() {
    std::string text;
    std::vector<platform::ProcessEntry> entries;
    system->Snapshot(entries);
    for (const auto& e : entries) text += "  " + std::to_string(e.pid) + ": " + system->CommandLine(e.pid) + "\n";
    return text;
  }

  std::unique_ptr<Program> StartService(std::wstring more = {}, DWORD creation = DETACHED_PROCESS) {
    return std::make_unique<Program>(StandinDirectory() / L"w3svc.exe",
                                     L"--metabase \"" + metabase.wstring() + L"\" --profile \"" + profile.wstring() +
                                         L"\"" + more,
                                     log, creation);
  }

  std::map<std::string, WorkerSeen> Workers() { return WorkersOf(*system, worker); }

  ::testing::AssertionResult WaitForPools(const std::set<std::string>& pools) {
    const bool seen = WaitUntil(60s, [&] {
      std::set<std::string> running;
      for (const auto& [pool, seen] : Workers()) running.insert(pool);
      return running == pools;
    });
    if (seen) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "workers of " << platform::win32::ToUtf8(worker.wstring())
                                         << " expected; processes:\n" << ProcessList();
  }

  // The folder's name is outside ASCII, with a space: the paths reach the service whole.
  testutil::TempDir dir{testutil::kNonAsciiName};
  std::filesystem::path metabase = dir.Path() / L"MetaBase.xml", profile = dir.Path() / L"load-profile.txt",
                        log = dir.Path() / L"w3svc.log";
  std::filesystem::path worker = StandinDirectory() / L"w3wp.exe";
  std::unique_ptr<platform::IProcessSystem> system = platform::win32::OpenWin32ProcessSystem();
};

TEST_F(W3svcWin32, StartsOneWorkerPerDemoPoolWithApplicationsWithIisCommandLine) {
  testutil::WriteFile(metabase, testutil::ReadAll(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml"));
  testutil::WriteFile(profile, "");
  std::set<std::string> expected;
  for (const auto& [key, pool] : standin::ReadPools(*standin::OpenMetabaseStore(platform::Utf8FromPath(metabase))))
    if (!pool.apps.empty()) expected.insert(pool.name);
  ASSERT_GE(expected.size(), 2u);

  const auto service = StartService();
  ASSERT_TRUE(WaitForPools(expected));
  // "<folder>\w3wp.exe" -a \\.\pipe\iisipm<GUID> -ap "Pool", and the pool read back from it.
  const std::string head = "\"" + platform::win32::ToUtf8(worker.wstring()) + R"(" -a \\.\pipe\iisipm)";
  for (const auto& [pool, seen] : Workers()) {
    const std::string tail = " -ap \"" + pool + "\"";
    const std::string& line = seen.commandLine;
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_TRUE(IsIisPipeId(line.substr(head.size(), line.size() - head.size() - tail.size()))) << line;
    EXPECT_EQ(GetProcessCommandLine(*system, seen.pid), line);
  }
}

TEST_F(W3svcWin32, FollowsTheFileRestartsKilledWorkersAndTheyEndWithTheService) {
  // Pool names outside ASCII, with spaces, as IIS allows.
  const std::string poolA = "P\xC3\xB6ol A", poolB = "Pool \xE2\x98\x83 B", poolEmpty = "Pool Empty";
  testutil::ReplaceFile(metabase, testutil::PoolsAndApps({poolA, poolB, poolEmpty},
                                               {{"/LM/W3SVC/1/ROOT", poolA}, {"/LM/W3SVC/1/ROOT/b", poolB}}));
  testutil::WriteFile(profile, "");
  const auto service = StartService();
  ASSERT_TRUE(WaitForPools({poolA, poolB}));

  // A killed worker is started again.
  const std::uint32_t firstA = Workers()[poolA].pid;
  ASSERT_TRUE(system->Terminate(firstA, 1));
  EXPECT_TRUE(WaitUntil(60s, [&] {
    const auto now = Workers();
    return now.count(poolA) && now.at(poolA).pid != firstA;
  }));

  // The application moves to the pool that had none: B's worker goes, the other's comes.
  const std::uint32_t firstB = Workers()[poolB].pid;
  testutil::ReplaceFile(metabase, testutil::PoolsAndApps({poolA, poolB, poolEmpty},
                                               {{"/LM/W3SVC/1/ROOT", poolA}, {"/LM/W3SVC/1/ROOT/b", poolEmpty}}));
  EXPECT_TRUE(WaitForPools({poolA, poolEmpty}));
  EXPECT_TRUE(WaitUntil(30s, [&] { return !IsRunning(firstB); }));

  // A deleted pool loses its worker.
  testutil::ReplaceFile(metabase, testutil::PoolsAndApps({poolB, poolEmpty}, {{"/LM/W3SVC/1/ROOT/b", poolEmpty}}));
  EXPECT_TRUE(WaitForPools({poolEmpty}));

  // Ended without a word, the service takes its workers with it: their job object goes.
  const auto left = Workers();
  ASSERT_FALSE(left.empty());
  service->Terminate();
  EXPECT_TRUE(WaitUntil(30s, [&] {
    return std::none_of(left.begin(), left.end(), [](const auto& w) { return IsRunning(w.second.pid); });
  }));
  for (const auto& [pool, seen] : left) system->Terminate(seen.pid, 1);  // nothing left behind on a failure
}

TEST_F(W3svcWin32, CtrlCEndsItsWorkersAndItselfCleanly) {
  testutil::ReplaceFile(metabase, testutil::PoolsAndApps({"Pool 1", "Pool 2"}, {{"/LM/W3SVC/1/ROOT", "Pool 1"},
                                                                      {"/LM/W3SVC/1/ROOT/x", "Pool 2"}}));
  testutil::WriteFile(profile, "");
  const auto pidFile = dir.Path() / L"w3svc.pid";
  // On a console of its own, which the test joins to press Ctrl+C there.
  const auto service = StartService(L" --pid-file \"" + pidFile.wstring() + L"\"", CREATE_NEW_CONSOLE);
  ASSERT_TRUE(WaitForPools({"Pool 1", "Pool 2"}));
  EXPECT_EQ(testutil::ReadAll(pidFile), std::to_string(service->pid()) + "\n");
  const auto workers = Workers();

  ::FreeConsole();
  if (!::AttachConsole(service->pid())) GTEST_SKIP() << "cannot join the service's console";
  ::SetConsoleCtrlHandler(nullptr, TRUE);  // the test itself ignores it
  const bool sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  ASSERT_TRUE(sent);
  EXPECT_EQ(service->WaitExit(30s), 0u);
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  for (const auto& [pool, seen] : workers) EXPECT_FALSE(IsRunning(seen.pid)) << pool;
  EXPECT_FALSE(std::filesystem::exists(pidFile));
  EXPECT_NE(testutil::ReadAll(log).find("stopping 2 workers"), std::string::npos);
}

// The w3wp.exe files of a worker in its temporary folder (the test's own).
int WorkerFiles(std::uint32_t pid) {
  const std::wstring prefix = L"w3wp-" + std::to_wstring(pid) + L"-";
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), ec))
    if (entry.path().filename().wstring().rfind(prefix, 0) == 0) ++count;
  return count;
}

TEST_F(W3svcWin32, WorkerHoldsTheLoadOfItsApplications) {
  const std::string loaded = "Load Pool", idle = "Idle Pool";
  // Two applications add up: 150 % of a processor takes two burner threads.
  testutil::WriteFile(profile, "/LM/W3SVC/1/ROOT 100 24 2 1\n/LM/W3SVC/1/ROOT/shop 50 8 1 1\n");
  testutil::ReplaceFile(metabase,
                        testutil::PoolsAndApps({loaded, idle}, {{"/LM/W3SVC/1/ROOT", loaded},
                                                      {"/LM/W3SVC/1/ROOT/shop", loaded},
                                                      {"/LM/W3SVC/1/ROOT/quiet", idle}}));
  auto service = StartService();
  ASSERT_TRUE(WaitForPools({loaded, idle}));
  const std::uint32_t busy = Workers()[loaded].pid, quiet = Workers()[idle].pid;

  // Its files, in the temporary folder, while it runs.
  ASSERT_TRUE(WaitUntil(60s, [&] { return WorkerFiles(busy) == 3; })) << WorkerFiles(busy);
  EXPECT_EQ(WorkerFiles(quiet), 0);

  // What the program reads of it, against the idle worker: floors well below the load.
  ASSERT_TRUE(WaitUntil(60s, [&] {
    return system->WorkingSet(busy) - system->WorkingSet(quiet) >= 16 << 20;
  })) << system->WorkingSet(busy) << " " << system->WorkingSet(quiet);
  const platform::HandleCounts busyHandles = system->CountHandles(busy), quietHandles = system->CountHandles(quiet);
  EXPECT_GE(busyHandles.handles - quietHandles.handles, 5) << busyHandles.handles << " " << quietHandles.handles;
  // Wine keeps another process's processor time fixed, so the burners are seen as threads.
  std::vector<platform::ProcessEntry> entries;
  ASSERT_TRUE(system->Snapshot(entries));
  std::map<std::uint32_t, std::uint32_t> threads;
  for (const auto& e : entries) threads[e.pid] = e.threads;
  EXPECT_GE(threads[busy], threads[quiet] + 2) << "burner threads";

  // Its files go with it, ended as it is.
  service->Terminate();
  EXPECT_TRUE(WaitUntil(30s, [&] { return !IsRunning(busy) && WorkerFiles(busy) == 0; })) << WorkerFiles(busy);
}

TEST(W3wpWin32, TakesIisCommandLineAndAnswersItsLoadLines) {
  const auto exe = StandinDirectory() / L"w3wp.exe";
  const std::wstring arguments = L"-a \\\\.\\pipe\\iisipm0e2e0000-0000-4000-8000-000000000001 -ap \"P\u00f6ol \u2603\"";
  Program worker(exe, arguments);
  ASSERT_TRUE(worker.Send("load 0 0 1 1"));
  EXPECT_EQ(worker.ReadLine(60s).value_or("(none)"), "ok 0 0 1 1");

  auto system = platform::win32::OpenWin32ProcessSystem();
  const std::string line = system->CommandLine(worker.pid());
  EXPECT_EQ(line, platform::win32::ToUtf8(L"\"" + exe.wstring() + L"\" " + arguments));
  EXPECT_EQ(ExtractPoolName(line), "P\xC3\xB6ol \xE2\x98\x83");

  struct Case {
    const char* line;
    const char* reply;  // its start
  };
  for (const Case& c : std::initializer_list<Case>{{"load lots", "error "},
                                                   {"load 0 0 1 1 1", "error "},
                                                   {"load 0 8 2 0", "ok 0 8 2 0"},
                                                   {"load 0 0 0 0", "ok 0 0 0 0"}}) {
    ASSERT_TRUE(worker.Send(c.line));
    const std::string reply = worker.ReadLine(60s).value_or("(none)");
    EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << c.line << ": " << reply;
  }
  EXPECT_EQ(WorkerFiles(worker.pid()), 0);  // given back without a restart
}

}  // namespace
}  // namespace tarnwell::tests
