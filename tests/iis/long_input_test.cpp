// Oversized input to the registry: filters of 10,000 characters and pool names longer than a
// record keeps. Each either works or fails with a short, clear RegexError, in bounded time
// and memory.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "iis/iis.h"
#include "iis/iis_filter.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/null_seams.h"

namespace tarnwell {
namespace {

std::string Repeat(const std::string& piece, std::size_t length) {
  std::string out;
  while (out.size() + piece.size() <= length) out += piece;
  return out;
}

class LongInput : public ::testing::Test {
 protected:
  // The message AcceptPool raises for the name, or "" when it decides.
  std::string ErrorFor(const std::string& filter, const std::string& name) {
    reg_->Filter = filter;
    try {
      reg_->AcceptPool(name);
    } catch (const RegexError& e) {
      return e.what();
    }
    return {};
  }

  fakes::NullMetabase metabase_;
  fakes::FakeProcessSystem processes_;
  std::unique_ptr<TIISObject> reg_ = std::make_unique<TIISObject>(metabase_, processes_);
};

TEST_F(LongInput, TenThousandCharacterFiltersMatchOrFailClearly) {
  const std::string name = std::string(254, 'a') + "b";

  // Long but plain: they simply decide.
  reg_->Filter = Repeat("x", 10'000);
  EXPECT_FALSE(reg_->AcceptPool(name));
  reg_->Filter = Repeat("zz|", 9'999) + "b$";
  EXPECT_TRUE(reg_->AcceptPool(name));

  // Too deeply nested to compile.
  EXPECT_NE(ErrorFor(Repeat("(", 10'000), name).find("Invalid regular expression"), std::string::npos);

  // Thousands of captures in a repeated group: every backtracking frame holds all of them,
  // which without a heap limit takes gigabytes (and with a match limit alone, seconds).
  for (const std::string& filter :
       {"^(?:" + Repeat("()", 4'990) + "a)*$", "^(?:" + Repeat("()", 2'490) + "a?)*(?:" + Repeat("()", 2'490) + "a?)*$",
        "^(?:" + Repeat("()", 400) + "a?)*(?:" + Repeat("()", 400) + "a?)*$"}) {
    const std::string message = ErrorFor(filter, name);
    // One of the engine's limits, not a failed allocation after gigabytes.
    EXPECT_NE(message.find("limit exceeded"), std::string::npos) << message.substr(0, 200);
    // The message quotes the start of the expression, not all of it.
    EXPECT_NE(message.find(filter.substr(0, 20)), std::string::npos);
    EXPECT_LT(message.size(), 300u);
  }

  // A sane expression still runs its full course on a long name afterwards.
  reg_->Filter = "^(a|b)+$";
  EXPECT_TRUE(reg_->AcceptPool(name));
}

// A worker's command line names the pool in full; the record and the ticked name hold only
// its first 255 characters. The pass must still find and measure it.
TEST_F(LongInput, ALongNamedPoolsWorkerIsMeasured) {
  const std::string pool = "Pool" + std::string(296, 'p');
  const std::string kept = pool.substr(0, MaxPoolName);
  reg_->Pools[0].Name = kept;
  reg_->PoolCount = 1;
  reg_->SelectedPools = kept + "\t";
  reg_->SetMonitoring(true);
  processes_.AddWorker(4242, pool, 0, 8 * 1024 * 1024, 12);

  ASSERT_TRUE(reg_->SamplePools());
  EXPECT_EQ(reg_->Pools[0].Pid, 4242);
  EXPECT_EQ(reg_->Pools[0].Threads, 12);
  EXPECT_EQ(reg_->Pools[0].RamKB, 8 * 1024);
}

}  // namespace
}  // namespace tarnwell
