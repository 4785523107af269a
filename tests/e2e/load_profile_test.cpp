// The stand-ins' small text formats: the worker's control line and w3svc's load profile,
// and the demo's profile against the demo's metabase.
#include <gtest/gtest.h>

#include <set>

#include "metabase/metabase_store.h"
#include "standin/w3svc/load_profile.h"
#include "standin/w3svc/service.h"
#include "tests/support/files.h"

namespace tarnwell::standin {
namespace {

TEST(ControlLine, ParsesLoadsAndRejectsNonsense) {
  auto ok = ParseControlLine("load 70 64 7 3\r\n");
  ASSERT_TRUE(ok.load);
  EXPECT_EQ(*ok.load, (WorkerLoad{70, 64, 7, 3}));
  EXPECT_EQ(FormatLoad(*ok.load), "70 64 7 3");
  EXPECT_EQ(ParseControlLine("load 2.5 0 0 0").load->cpuPercent, 2.5);

  EXPECT_FALSE(ParseControlLine("").load);
  EXPECT_TRUE(ParseControlLine("").error.empty());
  EXPECT_TRUE(ParseControlLine("  # comment").error.empty());
  for (const char* bad : {"load 70 64 7", "load 70 64 7 3 1", "lod 1 1 1 1", "load -1 0 0 0", "load 1 -5 0 0",
                          "load 1 1 x 0", "load nan 0 0 0", "load 1e9 0 0 0", "load 1 99999999 0 0"}) {
    const auto parsed = ParseControlLine(bad);
    EXPECT_FALSE(parsed.load) << bad;
    EXPECT_FALSE(parsed.error.empty()) << bad;
  }
}

TEST(LoadProfile, PathsWithBlanksCaseAndSlashes) {
  const auto profile = ParseLoadProfile(
      "# app  cpu mb files tcp\n"
      "\n"
      "/LM/W3SVC/1/ROOT/shop   70  96  7  3\n"
      "\t/LM/W3SVC/1/ROOT/My App/\t5 8 1 0\r\n"
      "/LM/W3SVC/1/ROOT/shop 60 90 6 2\n"  // a later line wins
      "not-a-path 1 1 1 1\n"
      "/LM/W3SVC/1/ROOT/x 1 2 3\n"
      "/LM/W3SVC/1/ROOT/y 1 2 3 z\n");
  ASSERT_EQ(profile.apps.size(), 2u);
  EXPECT_EQ(profile.apps.at("/lm/w3svc/1/root/shop/"), (WorkerLoad{60, 90, 6, 2}));
  EXPECT_EQ(profile.apps.at("/lm/w3svc/1/root/my app/"), (WorkerLoad{5, 8, 1, 0}));
  ASSERT_EQ(profile.errors.size(), 3u);
  EXPECT_EQ(profile.errors[0].rfind("line 6:", 0), 0u) << profile.errors[0];
}

TEST(LoadProfile, PoolLoadIsTheSumOfItsApplications) {
  const auto profile = ParseLoadProfile("/LM/W3SVC/1/ROOT/a 10 20 1 1\n/LM/W3SVC/1/ROOT/b 5 4 2 0\n");
  EXPECT_EQ(PoolLoad(profile, {"/LM/W3SVC/1/ROOT/A/", "/LM/W3SVC/1/ROOT/b/", "/LM/W3SVC/1/ROOT/unknown/"}),
            (WorkerLoad{15, 24, 3, 1}));
  EXPECT_EQ(PoolLoad(profile, {}), WorkerLoad{});
}

TEST(WorkerArguments, ReadAsIisStartsAWorker) {
  EXPECT_EQ(WorkerArguments("/opt/w3wp.exe", "abc", "My Pool"),
            (std::vector<std::string>{"/opt/w3wp.exe", "-a", R"(\\.\pipe\iisipmabc)", "-ap", "\"My Pool\""}));
}

TEST(DemoProfile, ShopPoolHasOneRunawayApplication) {
  const auto profile = ParseLoadProfile(testutil::ReadAll(std::string(TARNWELL_DEMO_DIR) + "/load-profile.txt"));
  EXPECT_TRUE(profile.errors.empty());

  auto metabase = OpenMetabaseStore(std::string(TARNWELL_DEMO_DIR) + "/MetaBase.xml");
  std::multiset<double> shopCpu;
  for (const auto& [key, pool] : ReadPools(*metabase)) {
    for (const auto& app : pool.apps) {
      const auto load = profile.apps.find(NormalisedAppPath(app));
      ASSERT_NE(load, profile.apps.end()) << app;  // every application the demo serves has a line
      if (key == "shoppool") shopCpu.insert(load->second.cpuPercent);
    }
  }
  EXPECT_EQ(shopCpu, (std::multiset<double>{5, 5, 70}));
}

}  // namespace
}  // namespace tarnwell::standin
