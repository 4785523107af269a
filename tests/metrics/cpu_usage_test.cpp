#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "metrics/uCpuUsage.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

TEST(FigureRounding, HalvesGoToTheEvenNeighbourAndAnUnreadableFigureStays) {
  for (const auto& [usage, cpu] : {std::pair{2.5f, 2}, {3.5f, 4}, {98.6f, 99}, {3.4f, 3}, {0.5f, 0}, {-1.0f, -1}})
    EXPECT_EQ(CpuFromUsage(usage), cpu) << usage;
  // 0.5, 1.5 and 2.5 KB go to the even neighbour; large working sets do not overflow.
  for (const auto& [bytes, kb] : {std::pair<std::int64_t, std::int32_t>{12'582'912, 12288}, {512, 0}, {1024 + 512, 2},
                                  {2048 + 512, 2}, {-1, 0}, {std::int64_t{4} << 30, 4 * 1024 * 1024},
                                  {INT64_MAX, INT32_MAX}})
    EXPECT_EQ(RamKBFromWorkingSet(bytes), kb) << bytes;
}

class CpuUsageTest : public ::testing::Test {
 protected:
  fakes::FakeProcessSystem fake;
};

TEST_F(CpuUsageTest, MeasuresAHalfSecondWindowWithoutDividingByProcessorsAndHoldsBusyOnesAt99) {
  std::uint32_t pid = 100;  // 103 runs on two processors
  for (const auto& [percent, usage] : {std::pair{3.4, 3.4f}, {0.0, 0.0f}, {100.0, 99.0f}, {200.0, 99.0f}, {98.9, 98.9f}}) {
    fake.AddWorker(pid, "P", percent);
    EXPECT_NEAR(GetProcessCpuUsage(fake, pid++), usage, 1e-4) << percent;
  }
  EXPECT_EQ(fake.TotalSleptMs(), 5 * CpuSampleDelay);
  // The counter itself gives two processors' worth as it is.
  auto counter = CreateCpuUsageCounter(fake, 103);
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

TEST_F(CpuUsageTest, UnopenableVanishedOrUnreadableProcessGivesMinusOne) {
  fake.Add({.pid = 100, .cpuPercent = 10, .timesOpenable = false});
  fake.Add({.pid = 101, .cpuPercent = 10, .timesReadsLeft = 0});  // the first read fails
  fake.Add({.pid = 102, .cpuPercent = 30, .timesReadsLeft = 1});  // the second read fails
  for (const std::uint32_t pid : {4242u, 100u, 101u, 102u}) EXPECT_EQ(GetProcessCpuUsage(fake, pid), -1.0f) << pid;
  EXPECT_EQ(CreateCpuUsageCounter(fake, 101), nullptr);
  // The process ends during the sampling window.
  fake.AddWorker(103, "Gone", 30);
  fake.SetOnSleep([&](std::uint32_t) { fake.Remove(103); });
  EXPECT_EQ(GetProcessCpuUsage(fake, 103), -1.0f);
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
  DestroyCpuUsageCounter(counter);
  EXPECT_EQ(counter, nullptr);
  DestroyCpuUsageCounter(counter);  // twice is harmless
}

}  // namespace
}  // namespace tarnwell
