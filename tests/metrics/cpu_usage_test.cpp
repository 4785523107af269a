#include <gtest/gtest.h>

#include <cstdint>

#include "metrics/uCpuUsage.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

using fakes::FakeProcessSystem;

TEST(CpuRounding, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(CpuFromUsage(2.5f), 2);
  EXPECT_EQ(CpuFromUsage(3.5f), 4);
  EXPECT_EQ(CpuFromUsage(98.6f), 99);
  EXPECT_EQ(CpuFromUsage(3.4f), 3);
  EXPECT_EQ(CpuFromUsage(0.5f), 0);
  EXPECT_EQ(CpuFromUsage(-1.0f), -1);
}

TEST(RamRounding, KilobytesHalfToEvenAndUnreadableIsZero) {
  EXPECT_EQ(RamKBFromWorkingSet(12'582'912), 12288);
  EXPECT_EQ(RamKBFromWorkingSet(512), 0);         // 0.5 KB
  EXPECT_EQ(RamKBFromWorkingSet(1024 + 512), 2);  // 1.5 KB
  EXPECT_EQ(RamKBFromWorkingSet(2048 + 512), 2);  // 2.5 KB
  EXPECT_EQ(RamKBFromWorkingSet(-1), 0);
}

TEST(RamRounding, LargeWorkingSetsDoNotOverflow) {
  const std::int64_t fourGB = std::int64_t{4} << 30;
  EXPECT_EQ(RamKBFromWorkingSet(fourGB), 4 * 1024 * 1024);
  EXPECT_EQ(RamKBFromWorkingSet(INT64_MAX), INT32_MAX);
}

class CpuUsageTest : public ::testing::Test {
 protected:
  FakeProcessSystem fake;
};

TEST_F(CpuUsageTest, MeasuresAHalfSecondWindow) {
  fake.AddWorker(100, "ShopPool", 3.4);
  EXPECT_FLOAT_EQ(GetProcessCpuUsage(fake, 100), 3.4f);
  EXPECT_EQ(fake.TotalSleptMs(), CpuSampleDelay);
  fake.AddWorker(101, "Idle", 0);
  EXPECT_FLOAT_EQ(GetProcessCpuUsage(fake, 101), 0.0f);
}

TEST_F(CpuUsageTest, CeilingHoldsBusyProcessesAt99) {
  fake.AddWorker(100, "One", 100);
  fake.AddWorker(101, "Two", 200);
  fake.AddWorker(102, "Almost", 98.9);
  EXPECT_FLOAT_EQ(GetProcessCpuUsage(fake, 100), 99.0f);
  EXPECT_FLOAT_EQ(GetProcessCpuUsage(fake, 101), 99.0f);
  EXPECT_NEAR(GetProcessCpuUsage(fake, 102), 98.9f, 1e-4);
}

TEST_F(CpuUsageTest, NoDivisionByProcessorCount) {
  fake.AddWorker(100, "Two", 200);
  auto counter = CreateCpuUsageCounter(fake, 100);
  ASSERT_TRUE(counter);
  fake.AdvanceMs(1000);
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 200.0f);
}

TEST_F(CpuUsageTest, ReadingWithinMinIntervalRepeatsLastFigure) {
  fake.AddWorker(100, "P", 50);
  auto counter = CreateCpuUsageCounter(fake, 100);
  ASSERT_TRUE(counter);
  fake.AdvanceMs(CpuMinInterval - 1);
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 0.0f);  // a new counter's figure
  fake.AdvanceMs(1);                              // now exactly 250 ms
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 50.0f);
  fake.Update(100, [](auto& p) { p.cpuPercent = 10; });
  fake.AdvanceMs(100);
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 50.0f);  // unchanged, nothing taken
  fake.AdvanceMs(200);                             // 300 ms since the last reading
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 10.0f);
}

TEST_F(CpuUsageTest, TickWrapGivesTheTrueInterval) {
  fake.SetTick(0xFFFFFF00u);  // 256 ms before the wrap
  fake.AddWorker(100, "P", 40);
  auto counter = CreateCpuUsageCounter(fake, 100);
  ASSERT_TRUE(counter);
  fake.AdvanceMs(500);
  EXPECT_LT(fake.TickMs(), counter->LastTick);
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 40.0f);
}

TEST_F(CpuUsageTest, UnopenableOrVanishedProcessGivesMinusOne) {
  EXPECT_EQ(GetProcessCpuUsage(fake, 4242), -1.0f);
  fake.AddWorker(100, "Locked", 10);
  fake.Update(100, [](auto& p) { p.timesOpenable = false; });
  EXPECT_EQ(GetProcessCpuUsage(fake, 100), -1.0f);
  fake.AddWorker(101, "FirstReadFails", 10);
  fake.Update(101, [](auto& p) { p.timesReadsLeft = 0; });
  EXPECT_EQ(CreateCpuUsageCounter(fake, 101), nullptr);
  EXPECT_EQ(GetProcessCpuUsage(fake, 101), -1.0f);
  EXPECT_EQ(CpuFromUsage(GetProcessCpuUsage(fake, 101)), -1);
}

TEST_F(CpuUsageTest, FailedSecondReadingGivesMinusOne) {
  fake.AddWorker(100, "P", 30);
  fake.Update(100, [](auto& p) { p.timesReadsLeft = 1; });
  EXPECT_EQ(GetProcessCpuUsage(fake, 100), -1.0f);

  // The process ends during the sampling window.
  fake.AddWorker(101, "Gone", 30);
  fake.SetOnSleep([&](std::uint32_t) { fake.Remove(101); });
  EXPECT_EQ(GetProcessCpuUsage(fake, 101), -1.0f);
}

TEST_F(CpuUsageTest, FailedReadingKeepsThePreviousReading) {
  fake.AddWorker(100, "P", 20);
  auto counter = CreateCpuUsageCounter(fake, 100);
  ASSERT_TRUE(counter);
  fake.Update(100, [](auto& p) { p.timesReadsLeft = 0; });
  fake.AdvanceMs(500);
  EXPECT_EQ(ReadCpuUsage(*counter), -1.0f);
  fake.Update(100, [](auto& p) { p.timesReadsLeft = -1; });
  fake.AdvanceMs(500);
  // Measured over the whole second since the last good reading, not inflated.
  EXPECT_FLOAT_EQ(ReadCpuUsage(*counter), 20.0f);
}

TEST_F(CpuUsageTest, DestroyReleasesTheCounter) {
  fake.AddWorker(100, "P", 0);
  auto counter = CreateCpuUsageCounter(fake, 100);
  ASSERT_TRUE(counter);
  DestroyCpuUsageCounter(counter);
  EXPECT_EQ(counter, nullptr);
  DestroyCpuUsageCounter(counter);  // twice is harmless
}

TEST_F(CpuUsageTest, WorkingSetPassesTheSeamFigure) {
  fake.AddWorker(100, "P", 0, 12'582'912);
  EXPECT_EQ(GetProcessWorkingSet(fake, 100), 12'582'912);
  EXPECT_EQ(GetProcessWorkingSet(fake, 999), -1);
  EXPECT_EQ(RamKBFromWorkingSet(GetProcessWorkingSet(fake, 999)), 0);
}

}  // namespace
}  // namespace tarnwell
