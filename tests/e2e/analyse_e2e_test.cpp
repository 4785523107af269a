// The analyser through the real program path: the real window (offscreen, in the driver
// program), the MetaBase.xml store on a copy of the demo's file, w3svc with the demo's load
// profile, real w3wp.exe workers measured through /proc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "metabase/metabase_store.h"
#include "standin/w3svc/service.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kShopPool = "ShopPool";
const std::set<std::string> kShopApps{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/2/ROOT/cart/",
                                      "/LM/W3SVC/2/ROOT/checkout/"};
// The cart burns about 70 percent of a processor, the others 5: a busy machine still gives
// it this much.
const std::string kThreshold = "25";

class AnalyseE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml", metabase);
    original = ReadAll(metabase);
    // The driver must take the test's copy, whatever this process was given.
    ::unsetenv("IIS_METABASE");
  }

  void TearDown() override {
    if (!HasFailure()) return;
    std::cerr << "driver said:\n";
    for (const auto& line : lines) std::cerr << "  " << line << "\n";
    std::cerr << "w3svc said:\n" << ReadAll(serviceLog) << std::endl;
  }

  // ShopPool's worker, once w3svc runs one again.
  pid_t ShopWorker(pid_t service, std::chrono::milliseconds timeout) {
    pid_t found = 0;
    WaitUntil(timeout, [&] { return (found = Workers(service)[kShopPool]) != 0; });
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
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      const auto line = driver.ReadLine(100ms);
      if (!line && !IsRunning(driver.pid())) return condition();
      if (line) lines.push_back(*line);
      if (line && line->rfind("FAILED", 0) == 0) return false;
    }
    return true;
  }

  bool Said(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) != 0; }

  // Waits for the driver's exit, keeping what it still said.
  void ExpectCleanExit(ChildProcess& driver) {
    EXPECT_EQ(driver.SignalAndWait(0, 30s), 0);  // exited, with code 0
    while (auto line = driver.ReadLine(100ms)) lines.push_back(*line);
  }

  // The Analyse pane's messages, without their stamps.
  std::vector<std::string> AnalyseMessages() const {
    std::vector<std::string> out;
    for (const auto& line : lines) {
      const auto tab = line.find('\t');
      if (line.rfind("ANALYSE ", 0) == 0) out.push_back(line.substr(tab == std::string::npos ? 8 : tab + 1));
    }
    return out;
  }
  int CountAnalyse(const std::string& pattern) const {
    const auto messages = AnalyseMessages();
    const std::regex wanted(pattern);
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const std::string& m) { return std::regex_search(m, wanted); }));
  }

  // The service running the sample server, and the driver analysing the shop pool once its
  // three applications are each in a temporary pool of their own.
  void StartAnalysingShop() {
    service = StartW3svc(metabase, serviceLog, {"--profile", std::string(TARNWELL_DEMO_DIR) + "/load-profile.txt"});
    ASSERT_GT(service.pid(), 0);
    // Other work on this small machine must not take the burning workers' processor away:
    // the service's session and the workers it starts get the highest priority allowed.
    BoostPriority(service.pid());
    shopWorker = ShopWorker(service.pid(), 30s);
    ASSERT_NE(shopWorker, 0);
    driver = StartDriver(appDir, metabase, {"--analyse", kShopPool, "--threshold", kThreshold, "--interval", "1"});
    ASSERT_TRUE(Follow(driver, 60s, [&] { return Said("STARTED"); }));
    ASSERT_TRUE(Follow(driver, 60s, [&] {
      return CountAnalyse(std::string(R"(^Transfer application: \[.*\] in pool \[)") + kTempPoolPrefix) == 3;
    }));
  }

  // Every pool with the applications it had, the file as it was (the catalog inherits its
  // pool from the shop's site again), no journal; the shop's worker a new one, no
  // temporary pool's worker left.
  void ExpectServerAsBefore(const std::map<std::string, std::set<std::string>>& before) {
    EXPECT_EQ(ServerState(), before);
    EXPECT_EQ(ReadAll(metabase), original);
    EXPECT_FALSE(fs::exists(JournalPath(logDir)));
    EXPECT_FALSE(fs::exists(JournalPath(logDir) + ".bad"));
    const pid_t now = ShopWorker(service.pid(), 30s);
    EXPECT_NE(now, 0) << "no worker of ShopPool again";
    EXPECT_NE(now, shopWorker);  // the one that ran before the analysis was ended
    EXPECT_TRUE(WaitUntil(30s, [&] {
      const auto workers = Workers(service.pid());
      return std::none_of(workers.begin(), workers.end(), [](const auto& w) { return w.first.starts_with(kTempPoolPrefix); });
    })) << "a temporary pool's worker is left";
  }

  TempDir dir;
  std::string metabase = dir.File("MetaBase.xml"), appDir = dir.File("app"), logDir = appDir + "/log/",
              serviceLog = dir.File("w3svc.log");
  std::string original;  // the metabase file's text before the test
  std::vector<std::string> lines;  // everything the drivers said, in order
  ChildProcess service, driver;
  pid_t shopWorker = 0;
};

TEST_F(AnalyseE2e, FindsTheOverloadingApplicationAndPutsThePoolBack) {
  const auto before = ServerState();
  ASSERT_EQ(before.at(kShopPool), kShopApps);
  ASSERT_NO_FATAL_FAILURE(StartAnalysingShop());
  // The cart is reported at the end of a round's second measurement.
  ASSERT_TRUE(Follow(driver, 120s, [&] { return CountAnalyse("^OVERLOAD.*/ROOT/cart/\\]") >= 1; }))
      << "the cart was never reported";
  ASSERT_TRUE(driver.Send("stop"));
  ASSERT_TRUE(Follow(driver, 60s, [&] { return Said("ENDED"); }));
  ASSERT_TRUE(driver.Send("close"));
  ASSERT_NO_FATAL_FAILURE(ExpectCleanExit(driver));

  // Each report names an application of the shop with its site's description, at or above
  // the threshold. The reports of one measurement come together: the cart is in each such
  // group and reads more than any other application measured in the same window. (A quiet
  // application may cross the low threshold once, while its new worker fills its memory on
  // a busy machine; it never outdoes the cart.)
  const std::regex overload(R"(OVERLOAD CPU: \[(\d+)\] in pool \[QuillmarshAnalyse[0-9.,]+\]\. )"
                            R"(Site: Shop site\.AppPath: \[(/LM/W3SVC/2/ROOT/[a-z]+/)\]\. Analyse CPU: )" +
                            kThreshold);
  const std::string cart = "/LM/W3SVC/2/ROOT/cart/";
  const auto messages = AnalyseMessages();
  std::vector<std::vector<std::pair<std::string, int>>> groups;  // (application, CPU) per measurement
  bool inGroup = false;
  for (const auto& message : messages) {
    std::smatch match;
    if (message.rfind("OVERLOAD", 0) != 0) {
      inGroup = false;
      continue;
    }
    ASSERT_TRUE(std::regex_match(message, match, overload)) << message;
    EXPECT_GE(std::stoi(match[1]), std::stoi(kThreshold)) << message;
    if (!inGroup) groups.emplace_back();
    inGroup = true;
    groups.back().emplace_back(match[2], std::stoi(match[1]));
  }
  ASSERT_FALSE(groups.empty());
  for (const auto& group : groups) {
    const auto top = std::max_element(group.begin(), group.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(top->first, cart) << "reported above the cart in the same measurement: " << top->second;
  }
  EXPECT_EQ(messages.front(), "Begin analyse of pool: ShopPool");
  EXPECT_EQ(messages.back(), "End analyse of pool: ShopPool");
  for (const auto& app : kShopApps)
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "Transfer application: [" + app + "] in pool [ShopPool]"), 1)
        << app;
  ExpectServerAsBefore(before);
}

TEST_F(AnalyseE2e, KilledDuringAnAnalysisIsPutBackAtTheNextStart) {
  const auto before = ServerState();
  ASSERT_NO_FATAL_FAILURE(StartAnalysingShop());
  // The pool's own worker is gone (the analyser or w3svc ended it) and the measuring
  // cycles run: killed at the first report of the cart, or a little later without one.
  ASSERT_TRUE(WaitUntil(30s, [&] { return !IsRunning(shopWorker); }));
  Follow(driver, 3s, [&] { return CountAnalyse("^OVERLOAD") >= 1; });

  // What the kill leaves: every application in a temporary pool of its own, and the
  // journal naming them.
  const auto journal = ParseJournal(ReadAll(JournalPath(logDir)));
  EXPECT_EQ(journal.Pool, kShopPool);
  ASSERT_EQ(std::make_pair(journal.Apps.size(), journal.Temps.size()), std::make_pair(std::size_t{3}, std::size_t{3}));
  auto during = ServerState();
  EXPECT_EQ(during[kShopPool], std::set<std::string>{});
  for (const auto& temp : journal.Temps) EXPECT_EQ(during[temp.Name], std::set<std::string>{temp.App}) << temp.Name;
  driver.Kill();
  EXPECT_TRUE(fs::exists(JournalPath(logDir)));

  lines.push_back("-- next start --");
  ChildProcess next = StartDriver(appDir, metabase);
  ASSERT_TRUE(Follow(next, 60s, [&] { return Said("READY"); }));
  ASSERT_NO_FATAL_FAILURE(ExpectCleanExit(next));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("LOG ", 0) == 0 && l.ends_with(" Recovery: complete");
  })) << "the pane shows no recovery";

  // The recovery's lines, in the daily log (its stamp, a TAB, the pane's line).
  std::string daily;
  for (const auto& entry : fs::directory_iterator(logDir)) {
    static const std::regex dailyName(R"(trnw\d{6}\.log)");
    if (std::regex_match(entry.path().filename().string(), dailyName)) daily += ReadAll(entry.path().string());
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
}

}  // namespace
}  // namespace tarnwell::e2e
