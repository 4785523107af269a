// The History tab on the logs of a real monitoring run: two stand-in workers monitored back
// to back through the real window, then the window opened again on the same log folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kPasses = 6;

TEST(HistoryE2e, TheChartDrawsEveryLoggedLineOfEachPool) {
  testutil::TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  ASSERT_TRUE(WriteTwoPoolMetabase(metabase, "HistoryPoolA", "HistoryPoolB"));
  ChildProcess service = ChildProcess::Start({TARNWELL_W3SVC_EXE, "--metabase", metabase, "--worker", TARNWELL_W3WP_EXE},
                                             {}, dir.File("w3svc.log"));
  ASSERT_GT(service.pid(), 0);
  ASSERT_TRUE(WaitUntil(30s, [&] { return WorkersOf(service.pid()).size() == 2; }));

  {
    ChildProcess monitor = ChildProcess::Start({TARNWELL_E2E_DRIVER, "--dir", dir.File("app"), "--monitor", "0"},
                                               {"IIS_METABASE=" + metabase});
    ASSERT_GT(monitor.pid(), 0);
    for (int passes = 0; passes < kPasses;) {
      const auto line = monitor.ReadLine(60s);
      ASSERT_TRUE(line) << "no line from the window after pass " << passes;
      if (line->find("Monitoring interval (min) : 0") != std::string::npos) ++passes;
    }
    monitor.Send("close");
    ASSERT_TRUE(monitor.SignalAndWait(0, 60s).has_value());
  }

  // What the monitoring logs hold, pool by pool.
  std::map<std::string, int> logged;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("app") + "/log")) {
    if (entry.path().filename().string().rfind("trnw-mon-", 0) != 0) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      const auto tab = line.find('\t');
      if (tab == std::string::npos || line.find("#Format") != std::string::npos) continue;
      ++logged[line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1)];
    }
  }
  ASSERT_EQ(logged.size(), 2u);

  ChildProcess history =
      ChildProcess::Start({TARNWELL_E2E_DRIVER, "--dir", dir.File("app"), "--history", "2"}, {"IIS_METABASE=" + metabase});
  ASSERT_GT(history.pid(), 0);
  std::map<std::string, int> drawn;
  for (;;) {
    const auto line = history.ReadLine(60s);
    ASSERT_TRUE(line) << "the History tab did not answer";
    ASSERT_NE(line->rfind("FAILED", 0), 0u) << *line;
    if (line->rfind("HISTORY ", 0) != 0) continue;
    const auto fields = line->substr(8);
    const auto tab = fields.find('\t');
    drawn[fields.substr(0, tab)] = std::stoi(fields.substr(tab + 1));
    if (drawn.size() == logged.size()) break;
  }
  EXPECT_EQ(drawn, logged);
  EXPECT_TRUE(history.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
