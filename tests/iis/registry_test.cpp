#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iis/iis.h"
#include "iis/iis_fairlock.h"
#include "tests/fakes/null_seams.h"

namespace tarnwell {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  fakes::NullMetabase metabase_;
  fakes::NullProcessSystem processes_;
  // The records make the registry large; keep it off the stack.
  std::unique_ptr<TIISObject> reg_ = std::make_unique<TIISObject>(metabase_, processes_);

  void SetPools(const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) reg_->Pools[i].Name = names[i];
    reg_->PoolCount = static_cast<std::int32_t>(names.size());
  }
};

// A blank filter accepts every pool and a blank name passes any filter; otherwise the
// filter matches without case, anywhere, untrimmed. Each change of the filter takes effect
// at the next name.
TEST_F(RegistryTest, AcceptPoolAppliesTheFilter) {
  const struct {
    const char* filter;
    std::string name;
    bool accepted;
  } rows[] = {
      {"", "DefaultAppPool", true},    {"", "", true},          {"   ", "DefaultAppPool", true},
      {"\t \r\n", "DefaultAppPool", true}, {"\t \r\n", "", true},   {"^zzz$", "", true},
      {"^zzz$", "  \t", true},          {"^zzz$", std::string("\x01\x1f ", 3), true},
      {"^zzz$", "\xC3\xA9", false},  // the bytes of a UTF-8 letter are no blanks
      {"pool", "DefaultAppPool", true}, {"pool", "MyPool2", true}, {"pool", "Intranet", false},
      {"POOL", "mypool2", true},        {"^app", "AppPool1", true}, {"^app", "MyAppPool", false},
      {" shop", "Web shop", true},      {" shop", "Webshop", false}, {"^shop", " Shop", false},
  };
  for (const auto& r : rows) {
    reg_->Filter = r.filter;
    EXPECT_EQ(reg_->AcceptPool(r.name), r.accepted) << '[' << r.filter << "] [" << r.name << ']';
  }
}

TEST_F(RegistryTest, InvalidFilterRaisesForEveryNonBlankName) {
  reg_->Filter = "(ab";
  EXPECT_TRUE(reg_->AcceptPool(""));  // a blank name never reaches the engine
  EXPECT_THROW(reg_->AcceptPool("abc"), RegexError);
  // The faulty expression is not kept as if it had compiled.
  EXPECT_THROW(reg_->AcceptPool("abc"), RegexError);
  reg_->Filter = "(ab)";
  EXPECT_TRUE(reg_->AcceptPool("xABy"));
}

TEST_F(RegistryTest, WhileMonitoringOnlyTickedNamesAndTheirPartsAreAccepted) {
  reg_->Filter = "^nothing$";  // ignored while monitoring
  reg_->SelectedPools = "ShopPool\tIntranet\t";
  reg_->SetMonitoring(true);
  EXPECT_TRUE(reg_->AcceptPool("ShopPool"));
  EXPECT_TRUE(reg_->AcceptPool("intranet"));
  EXPECT_TRUE(reg_->AcceptPool("SHOP"));       // part of a ticked name
  EXPECT_TRUE(reg_->AcceptPool("Pool\tIntra"));  // spans two names: a plain substring test
  EXPECT_FALSE(reg_->AcceptPool("DefaultAppPool"));
  EXPECT_FALSE(reg_->AcceptPool(""));

  reg_->SetMonitoring(false);  // the filter is back in force; SelectedPools is kept
  EXPECT_FALSE(reg_->AcceptPool("ShopPool"));
  EXPECT_EQ(reg_->SelectedPools, "ShopPool\tIntranet\t");

  // Selecting by the filter (the service, which ticks nothing): it holds while monitoring.
  reg_->SelectByFilter = true;
  reg_->Filter = "^shop";
  reg_->SetMonitoring(true);
  EXPECT_TRUE(reg_->AcceptPool("ShopPool"));
  EXPECT_FALSE(reg_->AcceptPool("Intranet"));
}

TEST_F(RegistryTest, IsSelectedPoolWantsTheNameToEndATickedOne) {
  EXPECT_FALSE(reg_->IsSelectedPool(""));  // nothing ticked yet
  reg_->SelectedPools = "ShopPool\tIntranet\t";
  EXPECT_TRUE(reg_->IsSelectedPool("shoppool"));
  EXPECT_TRUE(reg_->IsSelectedPool("INTRANET"));
  EXPECT_TRUE(reg_->IsSelectedPool("Pool"));   // ends "ShopPool"
  EXPECT_FALSE(reg_->IsSelectedPool("Shop"));  // only begins it
  EXPECT_FALSE(reg_->IsSelectedPool("Other"));
  EXPECT_TRUE(reg_->IsSelectedPool(""));  // any ticked pool makes the empty name selected
}

TEST_F(RegistryTest, IndexOfPoolIgnoresCaseAndTheLowerIndexWins) {
  SetPools({"DefaultAppPool", "shop", "SHOP", "Intranet"});
  EXPECT_EQ(reg_->IndexOfPool("defaultapppool"), 0);
  EXPECT_EQ(reg_->IndexOfPool("Shop"), 1);
  EXPECT_EQ(reg_->IndexOfPool("INTRANET"), 3);
  EXPECT_EQ(reg_->IndexOfPool("Intra"), -1);
  EXPECT_EQ(reg_->IndexOfPool(""), -1);

  // Only the records in use count.
  reg_->Pools[4].Name = "Beyond";
  EXPECT_EQ(reg_->IndexOfPool("Beyond"), -1);
}

TEST_F(RegistryTest, LowerAsciiFoldsOnlyAToZ) {
  EXPECT_EQ(LowerAscii("AZaz09@[`{"), "azaz09@[`{");
  EXPECT_EQ(LowerAscii("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");
  EXPECT_EQ(LowerAscii(""), "");
}

TEST_F(RegistryTest, ClearPoolsFreesListsUpToTheRecordAfterTheLast) {
  SetPools({"A", "B"});
  reg_->Pools[0].Apps = std::make_unique<std::vector<std::string>>(1, "app");
  reg_->Pools[1].Apps = std::make_unique<std::vector<std::string>>();
  // A list left at PoolCount by an enumeration that failed on its pool.
  reg_->Pools[2].Name = "half-read";
  reg_->Pools[2].Apps = std::make_unique<std::vector<std::string>>(1, "app");
  reg_->Pools[1].Cpu = 42;

  reg_->ClearPools();
  EXPECT_EQ(reg_->PoolCount, 0);
  for (int i = 0; i <= 2; ++i) {
    EXPECT_TRUE(reg_->Pools[i].Name.empty()) << i;
    EXPECT_EQ(reg_->Pools[i].Apps, nullptr) << i;
  }
  EXPECT_EQ(reg_->Pools[1].Cpu, 42);  // figures are the sampling pass's to reset
}

// A holder that lets go and grabs again at once must queue behind a thread that was
// already waiting: the monitor with an interval of 0 against a pool-list reload.
TEST(FairMutex, AWaiterGetsTheLockBeforeTheHolderTakesItAgain) {
  FairMutex lock;
  std::vector<char> order;
  lock.lock();
  std::thread waiter([&] {
    std::lock_guard guard(lock);
    order.push_back('w');
  });
  while (lock.Queued() < 2) std::this_thread::yield();
  lock.unlock();
  {
    std::lock_guard guard(lock);
    order.push_back('h');
  }
  waiter.join();
  EXPECT_EQ(order, (std::vector<char>{'w', 'h'}));
  EXPECT_EQ(lock.Queued(), 0u);
}

TEST(FairMutex, KeepsMutualExclusionUnderContention) {
  FairMutex lock;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard guard(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
}

}  // namespace
}  // namespace tarnwell
