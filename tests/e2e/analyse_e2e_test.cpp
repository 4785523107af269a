// The analyser through the real program path: the real window (offscreen, in the driver
// program), the MetaBase.xml store on a copy of the demo's file, w3svc with the demo's load
// profile, real w3wp.exe workers measured through /proc.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "iis/iis_workers.h"
#include "platform/linux/process_system_linux.h"
#include "metabase/metabase_store.h"
#include "standin/w3svc/service.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kShopPool = "ShopPool";
const std::string kCart = "/LM/W3SVC/2/ROOT/cart/";
const std::set<std::string> kShopApps{"/LM/W3SVC/2/ROOT/catalog/", kCart, "/LM/W3SVC/2/ROOT/checkout/"};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsTempPool(const std::string& pool) { return pool.rfind(kTempPoolPrefix, 0) == 0; }

class AnalyseE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.Path().string().empty());
    metabase = dir.Path().string() + "/MetaBase.xml";
    appDir = dir.Path().string() + "/app";
    logDir = appDir + "/log/";
    serviceLog = dir.Path().string() + "/w3svc.log";
    fs::copy_file(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml", metabase);
    original = ReadText(metabase);
    // The driver must take the test's copy, whatever this process was given.
    ::unsetenv("IIS_METABASE");
  }

  void TearDown() override {
    if (!HasFailure()) return;
    std::cerr << "driver said:\n";
    for (const auto& line : lines) std::cerr << "  " << line << "\n";
    std::cerr << "w3svc said:\n" << ReadText(serviceLog) << std::endl;
  }

  ChildProcess StartService() {
    return ChildProcess::Start({TARNWELL_W3SVC_EXE, "--metabase", metabase, "--profile",
                                std::string(TARNWELL_DEMO_DIR) + "/load-profile.txt", "--worker", TARNWELL_W3WP_EXE},
                               {}, serviceLog);
  }

  ChildProcess StartDriver(std::vector<std::string> args) {
    args.insert(args.begin(), {TARNWELL_E2E_DRIVER, "--dir", appDir});
    return ChildProcess::Start(args, {"IIS_METABASE=" + metabase});
  }

  // Pool name -> worker pid, for the service's running workers.
  std::map<std::string, pid_t> Workers(pid_t service) {
    std::map<std::string, pid_t> byPool;
    for (pid_t pid : WorkersOf(service))
      byPool[ExtractPoolName(system->CommandLine(static_cast<std::uint32_t>(pid)))] = pid;
    return byPool;
  }

  // ShopPool's worker, once w3svc runs one again, with its command line as IIS gives it.
  pid_t ShopWorker(pid_t service, std::chrono::milliseconds timeout) {
    pid_t found = 0;
    WaitUntil(timeout, [&] {
      const auto workers = Workers(service);
      const auto it = workers.find(kShopPool);
      if (it == workers.end()) return false;
      if (system->CommandLine(static_cast<std::uint32_t>(it->second)).find("-ap \"ShopPool\"") == std::string::npos)
        return false;
      found = it->second;
      return true;
    });
    return found;
  }

  // Pools with their applications, as a fresh store reads the file.
  std::map<std::string, std::set<std::string>> ServerState() {
    std::map<std::string, std::set<std::string>> state;
    auto store = standin::OpenMetabaseStore(metabase);
    for (const auto& [key, pool] : standin::ReadPools(*store))
      state[pool.name] = std::set<std::string>(pool.apps.begin(), pool.apps.end());
    return state;
  }

  // Reads the driver's lines until condition holds; false on time-out, on the driver's end
  // or on a failed step of it.
  bool Follow(ChildProcess& driver, std::chrono::milliseconds timeout, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (condition()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      const auto line = driver.ReadLine(std::min<std::chrono::milliseconds>(left, 100ms));
      if (!line) {
        if (!IsRunning(driver.pid())) return condition();
        continue;
      }
      lines.push_back(*line);
      if (line->rfind("FAILED", 0) == 0) return false;
    }
  }

  bool Said(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) != 0; }

  // The Analyse pane's messages, without their stamps.
  std::vector<std::string> AnalyseMessages() const {
    std::vector<std::string> out;
    for (const auto& line : lines) {
      if (line.rfind("ANALYSE ", 0) != 0) continue;
      const auto tab = line.find('\t');
      out.push_back(tab == std::string::npos ? line.substr(8) : line.substr(tab + 1));
    }
    return out;
  }
  int CountAnalyse(const std::string& prefix) const {
    const auto messages = AnalyseMessages();
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
  }
  int TransfersToTempPools() const {
    const auto messages = AnalyseMessages();
    return static_cast<int>(std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
      return m.rfind("Transfer application: [", 0) == 0 && m.find("] in pool [" + std::string(kTempPoolPrefix)) != std::string::npos;
    }));
  }

  // Other work on this small machine must not take the busy worker's processor away.
  void BoostTempWorkers(pid_t service) {
    for (const auto& [pool, pid] : Workers(service)) {
      if (IsTempPool(pool) && boosted.insert(pid).second) BoostPriority(pid);
    }
  }

  // The service running the sample server, and the driver analysing the shop pool once its
  // three applications are each in a temporary pool of their own.
  void StartAnalysingShop(ChildProcess& service, pid_t& shopWorker, ChildProcess& driver) {
    service = StartService();
    ASSERT_GT(service.pid(), 0);
    shopWorker = ShopWorker(service.pid(), 15s);
    ASSERT_NE(shopWorker, 0);
    driver = StartDriver({"--analyse", kShopPool, "--threshold", "50", "--interval", "1"});
    ASSERT_GT(driver.pid(), 0);
    ASSERT_TRUE(Follow(driver, 40s, [&] { return Said("STARTED"); }));
    ASSERT_TRUE(Follow(driver, 20s, [&] { return TransfersToTempPools() == 3; }));
  }

  // Every pool with the applications it had, the file as it was (the catalog inherits its
  // pool from the shop's site again), no journal.
  void ExpectServerAsBefore(const std::map<std::string, std::set<std::string>>& before) {
    EXPECT_EQ(ServerState(), before);
    EXPECT_EQ(ReadText(metabase), original);
    EXPECT_FALSE(fs::exists(JournalPath(logDir)));
    EXPECT_FALSE(fs::exists(JournalPath(logDir) + ".bad"));
  }

  void ExpectShopWorkerBack(pid_t service, pid_t before) {
    const pid_t now = ShopWorker(service, 10s);
    EXPECT_NE(now, 0) << "no worker of ShopPool again";
    EXPECT_NE(now, before);  // the one that ran before the analysis was ended
    EXPECT_TRUE(WaitUntil(10s, [&] {
      for (const auto& [pool, pid] : Workers(service))
        if (IsTempPool(pool)) return false;
      return true;
    })) << "a temporary pool's worker is left";
  }

  TempDir dir;
  std::string metabase, appDir, logDir, serviceLog;
  std::string original;  // the metabase file's text before the test
  std::vector<std::string> lines;  // everything the drivers said, in order
  std::set<pid_t> boosted;
  std::unique_ptr<platform::IProcessSystem> system = platform::linux_proc::OpenProcSystem();
};

TEST_F(AnalyseE2e, FindsTheOverloadingApplicationAndPutsThePoolBack) {
  const auto before = ServerState();
  ASSERT_EQ(before.at(kShopPool), kShopApps);
  ChildProcess service;
  pid_t shopWorker = 0;
  ChildProcess driver;
  ASSERT_NO_FATAL_FAILURE(StartAnalysingShop(service, shopWorker, driver));
  // A measuring round takes about four seconds; the cart is reported at the end of each
  // round's second measurement. Two reports, or as many as come in the time.
  Follow(driver, 30s, [&] {
    BoostTempWorkers(service.pid());
    return CountAnalyse("OVERLOAD CPU: [") >= 2;
  });
  ASSERT_TRUE(driver.Send("stop"));
  ASSERT_TRUE(Follow(driver, 20s, [&] { return Said("ENDED"); }));
  ASSERT_TRUE(driver.Send("close"));
  const auto status = driver.SignalAndWait(0, 20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  while (auto line = driver.ReadLine(100ms)) lines.push_back(*line);

  // Only the cart, with its site's description, at or above the threshold.
  const std::regex overload(R"(OVERLOAD CPU: \[(\d+)\] in pool \[QuillmarshAnalyse[0-9.,]+\]\. )"
                            R"(Site: Shop site\.AppPath: \[/LM/W3SVC/2/ROOT/cart/\]\. Analyse CPU: 50)");
  int reports = 0;
  for (const auto& message : AnalyseMessages()) {
    if (message.rfind("OVERLOAD", 0) != 0) continue;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, overload)) << message;
    EXPECT_GE(std::stoi(match[1]), 50) << message;
    ++reports;
  }
  EXPECT_GE(reports, 1) << "the cart was never reported";
  const auto messages = AnalyseMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "Begin analyse of pool: ShopPool");
  EXPECT_EQ(messages.back(), "End analyse of pool: ShopPool");
  for (const auto& app : kShopApps)
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "Transfer application: [" + app + "] in pool [ShopPool]"), 1)
        << app;

  ExpectServerAsBefore(before);
  ExpectShopWorkerBack(service.pid(), shopWorker);
}

TEST_F(AnalyseE2e, KilledDuringAnAnalysisIsPutBackAtTheNextStart) {
  const auto before = ServerState();
  ChildProcess service;
  pid_t shopWorker = 0;
  ChildProcess driver;
  ASSERT_NO_FATAL_FAILURE(StartAnalysingShop(service, shopWorker, driver));
  // The pool's own worker is gone (the analyser or w3svc ended it) and the measuring
  // cycles run: killed at the first report of the cart, or a little later without one.
  ASSERT_TRUE(WaitUntil(10s, [&] { return !IsRunning(shopWorker); }));
  Follow(driver, 3s, [&] { return CountAnalyse("OVERLOAD CPU: [") >= 1; });

  // What the kill leaves: every application in a temporary pool of its own, and the
  // journal naming them.
  const auto journal = ParseJournal(ReadText(JournalPath(logDir)));
  EXPECT_EQ(journal.Pool, kShopPool);
  ASSERT_EQ(journal.Apps.size(), 3u);
  ASSERT_EQ(journal.Temps.size(), 3u);
  const auto during = ServerState();
  EXPECT_EQ(during.count(kShopPool) ? during.at(kShopPool) : std::set<std::string>{}, std::set<std::string>{});
  for (const auto& temp : journal.Temps) {
    ASSERT_TRUE(during.count(temp.Name)) << temp.Name;
    EXPECT_EQ(during.at(temp.Name), std::set<std::string>{temp.App});
  }
  driver.Kill(SIGKILL);
  EXPECT_TRUE(fs::exists(JournalPath(logDir)));

  lines.push_back("-- next start --");
  ChildProcess next = StartDriver({});
  ASSERT_GT(next.pid(), 0);
  ASSERT_TRUE(Follow(next, 20s, [&] { return Said("READY"); }));
  const auto status = next.SignalAndWait(0, 20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  while (auto line = next.ReadLine(100ms)) lines.push_back(*line);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("LOG ", 0) == 0 && l.ends_with(" Recovery: complete");
  })) << "the pane shows no recovery";

  // The recovery's lines, in the daily log (its stamp, a TAB, the pane's line).
  std::string daily;
  for (const auto& entry : fs::directory_iterator(logDir)) {
    static const std::regex dailyName(R"(trnw\d{6}\.log)");
    if (std::regex_match(entry.path().filename().string(), dailyName)) daily += ReadText(entry.path().string());
  }
  std::vector<std::string> expected{"Recovery: analysis of pool [ShopPool] did not end; putting its applications back"};
  for (const auto& app : journal.Apps) {
    expected.push_back("Recovery: application [" + app.Path +
                       (app.Own ? "] back in pool [ShopPool]" : "] inherits its pool again"));
  }
  EXPECT_FALSE(journal.Apps[0].Own) << "the catalog inherits its pool from the shop's site";
  for (const auto& temp : journal.Temps) expected.push_back("Recovery: temp. pool [" + temp.Name + "] removed");
  expected.push_back("Recovery: complete");
  std::size_t at = 0;
  for (const auto& line : expected) {
    at = daily.find(" " + line + "\r\n", at);
    EXPECT_NE(at, std::string::npos) << "not in the daily log, in this order: " << line;
    if (at == std::string::npos) break;
  }

  ExpectServerAsBefore(before);
  ExpectShopWorkerBack(service.pid(), shopWorker);
}

}  // namespace
}  // namespace tarnwell::e2e
