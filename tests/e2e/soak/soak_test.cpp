// Weeks of monitoring in a quarter of an hour: 2,000 back-to-back passes over the demo's
// eight workers through the real window, whose resident memory must stay flat.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

constexpr int kSettledPass = 200;
constexpr int kLastPass = 2000;
constexpr long kAllowedGrowthKB = 2048;

// VmRSS of a process in kB; 0 when unreadable.
long ResidentKB(pid_t pid) {
  const std::string status = ReadAll("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stol(status.substr(at + 6));
}

TEST(Soak, TwoThousandPassesKeepTheWindowsMemoryFlat) {
  TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  std::filesystem::copy_file(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml", metabase);
  ChildProcess service = StartW3svc(metabase, dir.File("w3svc.log"));
  ASSERT_TRUE(WaitUntil(30s, [&] { return Workers(service.pid()).size() == 8; }));

  // A pass takes about half a second.
  ChildProcess driver = StartDriver(dir.File("app"), metabase, {"--monitor", "0"});
  ASSERT_TRUE(AwaitPasses(driver, kSettledPass)) << "the window stopped monitoring";
  const long settled = ResidentKB(driver.pid());
  ASSERT_TRUE(AwaitPasses(driver, kLastPass - kSettledPass)) << "the window stopped monitoring";
  const long last = ResidentKB(driver.pid());
  ASSERT_GT(settled, 0);
  EXPECT_LE(last - settled, kAllowedGrowthKB) << "resident after pass " << kSettledPass << ": " << settled
                                               << " kB, after pass " << kLastPass << ": " << last << " kB";
  driver.Send("close");
  EXPECT_TRUE(driver.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
