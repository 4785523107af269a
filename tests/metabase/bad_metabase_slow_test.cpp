// LoadPools and the store over a metabase of about 100 MB.
#include <gtest/gtest.h>

#include <string>

#include "metabase/metabase_generator.h"
#include "tests/metabase/metabase_test_util.h"

namespace tarnwell {
namespace {

using BadMetabase = testutil::OverStore;

// 1100 pools of 165 applications: read whole, the first 1024 pools listed with their full
// application counts; cut short, a clear error.
TEST_F(BadMetabase, AHundredMegabyteMetabaseIsReadOrRefusedWhole) {
  std::string text = standin::GenerateMetabase(20, 1100, 165);
  ASSERT_GT(text.size(), 90u * 1024 * 1024);

  testutil::WriteFile(file_, text.substr(0, text.size() - 1000));
  registry_->LoadPools();
  EXPECT_EQ(registry_->PoolCount, 0);
  EXPECT_NE(BindError().find("not well-formed"), std::string::npos);

  Write(text);
  text.clear();
  text.shrink_to_fit();
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 1024);
  EXPECT_EQ(registry_->PoolsDropped, 1100 - 1024);
  for (std::size_t i = 0; i < 1024; ++i) {
    ASSERT_EQ(registry_->Pools[i].Name, standin::GeneratedPoolName(static_cast<int>(i)));
    ASSERT_EQ(registry_->Pools[i].AppCount, 165);
    ASSERT_TRUE(registry_->Pools[i].Apps);
    ASSERT_EQ(registry_->Pools[i].Apps->size(), 165u);
  }
}

}  // namespace
}  // namespace tarnwell
