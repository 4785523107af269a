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

TEST(HistoryE2e, TheChartDrawsEveryLoggedLineOfEachPool) {
  TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  WriteTwoPoolMetabase(metabase, "HistoryPoolA", "HistoryPoolB");
  ChildProcess service = StartW3svc(metabase, dir.File("w3svc.log"));
  ASSERT_TRUE(WaitUntil(30s, [&] { return Workers(service.pid()).size() == 2; }));
  {
    ChildProcess monitor = StartDriver(dir.File("app"), metabase, {"--monitor", "0"});
    ASSERT_TRUE(AwaitPasses(monitor, 6)) << "the window stopped monitoring";
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

  ChildProcess history = StartDriver(dir.File("app"), metabase, {"--history", "2"});
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
