// Weeks of monitoring in a quarter of an hour: 2,000 back-to-back passes over the demo's
// eight workers through the real window, whose resident memory must stay flat.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

constexpr int kSettledPass = 200;
constexpr int kMiddlePass = 1100;
constexpr int kLastPass = 2000;
// What a flat program's resident size moves by over 900 passes (the allocator's pages come
// and go); a leak of half a kB a pass is about that much.
constexpr long kNoiseKB = 384;
// A rise that only begins in the second half.
constexpr long kLateGrowthKB = 1024;

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
  ASSERT_TRUE(AwaitPasses(driver, kMiddlePass - kSettledPass)) << "the window stopped monitoring";
  const long middle = ResidentKB(driver.pid());
  ASSERT_TRUE(AwaitPasses(driver, kLastPass - kMiddlePass)) << "the window stopped monitoring";
  const long last = ResidentKB(driver.pid());
  ASSERT_GT(settled, 0);
  // A leak grows the program by the same amount in both halves; a flat program may still
  // settle in the first, but then stays.
  const long early = middle - settled, late = last - middle;
  std::ostringstream figures;
  figures << "resident after passes " << kSettledPass << ", " << kMiddlePass << ", " << kLastPass << ": " << settled
          << ", " << middle << ", " << last << " kB";
  EXPECT_FALSE(early > kNoiseKB && late > kNoiseKB) << "it grows pass after pass; " << figures.str();
  EXPECT_LE(late, kLateGrowthKB) << figures.str();
  std::printf("%s\n", figures.str().c_str());
  driver.Send("close");
  EXPECT_TRUE(driver.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
