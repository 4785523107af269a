#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "iis/iis.h"
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
  void StartMonitoring(const std::string& selected) {
    reg_->SelectedPools = selected;
    reg_->SetMonitoring(true);
  }
};

TEST_F(RegistryTest, NewRegistryIsEmptyWithEverythingOff) {
  EXPECT_EQ(reg_->PoolCount, 0);
  EXPECT_FALSE(reg_->IsMonitoring());
  EXPECT_TRUE(reg_->Filter.empty());
  EXPECT_TRUE(reg_->SelectedPools.empty());
  EXPECT_FALSE(reg_->GetSiteName);
  EXPECT_FALSE(reg_->GetAspNetVersion);
  EXPECT_EQ(reg_->Log, nullptr);
  for (const TPoolRec& rec : reg_->Pools) {
    EXPECT_TRUE(rec.Name.empty());
    EXPECT_EQ(rec.AppCount, 0);
    EXPECT_EQ(rec.Pid, 0);
    EXPECT_EQ(rec.Apps, nullptr);
  }
}

TEST_F(RegistryTest, NoFilterOrBlankFilterAcceptsEveryPool) {
  for (const char* filter : {"", "   ", "\t \r\n"}) {
    reg_->Filter = filter;
    EXPECT_TRUE(reg_->AcceptPool("DefaultAppPool")) << '[' << filter << ']';
    EXPECT_TRUE(reg_->AcceptPool("")) << '[' << filter << ']';
  }
}

TEST_F(RegistryTest, BlankNameIsAcceptedWhateverTheFilter) {
  reg_->Filter = "^zzz$";
  EXPECT_TRUE(reg_->AcceptPool(""));
  EXPECT_TRUE(reg_->AcceptPool("  \t"));
  EXPECT_TRUE(reg_->AcceptPool(std::string_view("\x01\x1f ", 3)));
  // Bytes of a UTF-8 letter are not blanks.
  EXPECT_FALSE(reg_->AcceptPool("\xC3\xA9"));
}

TEST_F(RegistryTest, FilterIsCaseInsensitiveAndMatchesAnywhere) {
  reg_->Filter = "pool";
  EXPECT_TRUE(reg_->AcceptPool("DefaultAppPool"));
  EXPECT_TRUE(reg_->AcceptPool("MyPool2"));
  EXPECT_FALSE(reg_->AcceptPool("Intranet"));
  reg_->Filter = "POOL";
  EXPECT_TRUE(reg_->AcceptPool("mypool2"));

  reg_->Filter = "^app";
  EXPECT_TRUE(reg_->AcceptPool("AppPool1"));
  EXPECT_FALSE(reg_->AcceptPool("MyAppPool"));
}

TEST_F(RegistryTest, FilterIsAppliedUntrimmed) {
  // Only the emptiness test trims; the expression and the name are used as they stand.
  reg_->Filter = " shop";
  EXPECT_TRUE(reg_->AcceptPool("Web shop"));
  EXPECT_FALSE(reg_->AcceptPool("Webshop"));
  reg_->Filter = "^shop";
  EXPECT_FALSE(reg_->AcceptPool(" Shop"));
}

TEST_F(RegistryTest, ChangingTheFilterTakesEffectAtOnce) {
  reg_->Filter = "one";
  EXPECT_TRUE(reg_->AcceptPool("PoolOne"));
  reg_->Filter = "two";
  EXPECT_FALSE(reg_->AcceptPool("PoolOne"));
  EXPECT_TRUE(reg_->AcceptPool("PoolTwo"));
}

TEST_F(RegistryTest, InvalidFilterRaisesForEveryNonBlankName) {
  reg_->Filter = "(ab";
  EXPECT_TRUE(reg_->AcceptPool(""));  // a blank name never reaches the engine
  try {
    reg_->AcceptPool("abc");
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_STREQ(e.what(), "Invalid regular expression at offset 3: missing closing parenthesis");
  }
  // The faulty expression is not kept as if it had compiled.
  EXPECT_THROW(reg_->AcceptPool("abc"), RegexError);
  reg_->Filter = "(ab)";
  EXPECT_TRUE(reg_->AcceptPool("xABy"));
}

TEST_F(RegistryTest, RunawayFilterRaisesInsteadOfHanging) {
  reg_->Filter = "(a+)+$";
  const std::string name = std::string(40, 'a') + "b";
  try {
    reg_->AcceptPool(name);
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_NE(std::string(e.what()).find("match limit exceeded"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(reg_->AcceptPool("aaa"));  // the engine stays usable
}

TEST_F(RegistryTest, WhileMonitoringOnlyTickedNamesAndTheirPartsAreAccepted) {
  reg_->Filter = "^nothing$";  // ignored while monitoring
  StartMonitoring("ShopPool\tIntranet\t");
  EXPECT_TRUE(reg_->AcceptPool("ShopPool"));
  EXPECT_TRUE(reg_->AcceptPool("intranet"));
  EXPECT_TRUE(reg_->AcceptPool("SHOP"));       // part of a ticked name
  EXPECT_TRUE(reg_->AcceptPool("Pool\tIntra"));  // spans two names: a plain substring test
  EXPECT_FALSE(reg_->AcceptPool("DefaultAppPool"));
  EXPECT_FALSE(reg_->AcceptPool(""));

  reg_->SetMonitoring(false);  // the filter is back in force; SelectedPools is kept
  EXPECT_FALSE(reg_->AcceptPool("ShopPool"));
  EXPECT_EQ(reg_->SelectedPools, "ShopPool\tIntranet\t");
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

}  // namespace
}  // namespace tarnwell
