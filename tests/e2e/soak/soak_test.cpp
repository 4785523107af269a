// Weeks of monitoring in a quarter of an hour: 2,000 back-to-back passes over the demo's
// eight workers through the real window, whose resident memory must stay flat.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kSettledPass = 200;
constexpr int kLastPass = 2000;
constexpr long kAllowedGrowthKB = 2048;

// VmRSS of a process in kB; none when unreadable.
std::optional<long> ResidentKB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

TEST(Soak, TwoThousandPassesKeepTheWindowsMemoryFlat) {
  testutil::TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  std::filesystem::copy_file(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml", metabase);
  ChildProcess service = ChildProcess::Start({TARNWELL_W3SVC_EXE, "--metabase", metabase, "--worker", TARNWELL_W3WP_EXE},
                                             {}, dir.File("w3svc.log"));
  ASSERT_GT(service.pid(), 0);
  ASSERT_TRUE(WaitUntil(30s, [&] { return WorkersOf(service.pid()).size() == 8; }));

  ChildProcess driver = ChildProcess::Start({TARNWELL_E2E_DRIVER, "--dir", dir.File("app"), "--monitor", "0"},
                                            {"IIS_METABASE=" + metabase});
  ASSERT_GT(driver.pid(), 0);
  int passes = 0;
  long settled = 0;
  // Each pass tells its interval in the pane once; a pass takes about half a second.
  while (passes < kLastPass) {
    const auto line = driver.ReadLine(60s);
    ASSERT_TRUE(line) << "no line from the window after pass " << passes;
    ASSERT_NE(line->rfind("FAILED", 0), 0u) << *line;
    if (line->find("Monitoring interval (min) : 0") == std::string::npos) continue;
    if (++passes == kSettledPass) settled = ResidentKB(driver.pid()).value_or(0);
  }
  const long last = ResidentKB(driver.pid()).value_or(0);
  ASSERT_GT(settled, 0);
  EXPECT_LE(last - settled, kAllowedGrowthKB) << "resident after pass " << kSettledPass << ": " << settled
                                               << " kB, after pass " << kLastPass << ": " << last << " kB";
  driver.Send("close");
  EXPECT_TRUE(driver.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
