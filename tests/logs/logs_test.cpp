#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "logs/Logs.h"
#include "tests/logs/log_test_support.h"

namespace tarnwell {
namespace {

using platform::PathFromUtf8;
using testutil::At;
using testutil::ReadAll;

class LogTest : public ::testing::Test {
 protected:
  testutil::TempDir tmp_{testutil::kNonAsciiName};  // every log test in a folder named outside ASCII
  testutil::TestClock clock_{At(2026, 12, 6, 10, 0)};
  std::string Day1File() const { return tmp_.Dir() + "trnw061226.log"; }
};

TEST_F(LogTest, FileIsNamedByInfixAndDateBeginsWithAnEmptyLineAndTakesStampedAndRawLines) {
  TLog daily(tmp_.Dir(), "", clock_);
  TLog monitor(tmp_.Dir(), "-mon-", clock_);
  EXPECT_EQ(daily.FileNameFor(At(2026, 12, 6, 0, 0)), Day1File());
  EXPECT_EQ(monitor.FileNameFor(At(2027, 1, 2, 0, 0)), tmp_.Dir() + "trnw-mon-020127.log");
  EXPECT_EQ(ReadAll(Day1File()), "\r\n");
  clock_.Set(At(2026, 12, 6, 10, 2, 3, 45));
  daily.Write("first");
  daily.Write("second");
  monitor.Write("Pool\tRAM (KB)\tCPU (%)", true);
  // Read while the logs are still open: each line is in the file once Write returns.
  EXPECT_EQ(ReadAll(Day1File()), "\r\n06-12-26 10:02:03.045\tfirst\r\n06-12-26 10:02:03.045\tsecond\r\n");
  EXPECT_EQ(ReadAll(tmp_.Dir() + "trnw-mon-061226.log"), "\r\nPool\tRAM (KB)\tCPU (%)\r\n");
}

TEST_F(LogTest, EachRunAppendsToTheDaysFileAfterAnEmptyLine) {
  testutil::WriteFile(Day1File(), "earlier run\r\n");
  TLog(tmp_.Dir(), "", clock_).Write("second run");
  TLog(tmp_.Dir(), "", clock_).Write("third run", true);
  EXPECT_EQ(ReadAll(Day1File()), "earlier run\r\n\r\n06-12-26 10:00:00.000\tsecond run\r\n\r\nthird run\r\n");
}

TEST_F(LogTest, OnlyALineAtAnEarlierTimeOfDayThanTheOpeningStartsTheNewDaysFile) {
  TLog log(tmp_.Dir(), "", clock_);  // opened at 10:00
  for (const LocalTime t : {At(2026, 12, 6, 23, 55), At(2026, 12, 7, 11, 0), At(2026, 12, 8, 0, 5),
                            At(2026, 12, 8, 0, 10)}) {
    clock_.Set(t);
    log.Write("line");
  }
  EXPECT_EQ(ReadAll(Day1File()), "\r\n06-12-26 23:55:00.000\tline\r\n07-12-26 11:00:00.000\tline\r\n");
  EXPECT_FALSE(std::filesystem::exists(PathFromUtf8(tmp_.Dir() + "trnw071226.log")));
  EXPECT_EQ(ReadAll(tmp_.Dir() + "trnw081226.log"),
            "\r\n08-12-26 00:05:00.000\tline\r\n08-12-26 00:10:00.000\tline\r\n");
}

TEST_F(LogTest, AFileThatCannotBeOpenedIsReportedOnceARunAndItsLinesArriveOnceItCan) {
  testing::CapturedReports reports;
  const std::string dir = tmp_.Dir() + "log/";
  TLog log(dir, "", clock_);  // a missing directory: must not raise
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(reports.Messages(), std::vector<std::string>{"Error to create/open file of log: " + dir + ". Exception: " +
                                                         dir + "trnw061226.log: " +
                                                         std::generic_category().message(ENOENT)});
  // Each line tries again; the failure goes to the caller, not to the reporter again.
  EXPECT_THROW(log.Write("lost one"), std::system_error);
  EXPECT_THROW(log.Write("lost two", true), std::system_error);
  std::filesystem::create_directory(PathFromUtf8(dir));
  clock_.Set(At(2026, 12, 6, 10, 30));
  log.Write("back");
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(ReadAll(dir + "trnw061226.log"), "\r\n06-12-26 10:30:00.000\tback\r\n");
  EXPECT_EQ(reports.Messages().size(), 1u);

#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses to remove a directory that holds an open file";
#endif
  // A failed switch at the day change is a new run of failures: reported again, once.
  std::filesystem::remove_all(PathFromUtf8(dir));  // the open descriptor keeps working; the switch cannot
  clock_.Set(At(2026, 12, 7, 0, 5));
  EXPECT_THROW(log.Write("cannot switch"), std::system_error);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_THROW(log.Write("still cannot"), std::system_error);
  ASSERT_EQ(reports.Messages().size(), 2u);
  EXPECT_TRUE(reports.Messages()[1].starts_with("Error to create/open file of log: " + dir + ". Exception: "));
  std::filesystem::create_directory(PathFromUtf8(dir));
  clock_.Set(At(2026, 12, 7, 0, 20));
  log.Write("new day");
  clock_.Set(At(2026, 12, 7, 0, 25));
  log.Write("same day");
  EXPECT_EQ(ReadAll(dir + "trnw071226.log"),
            "\r\n07-12-26 00:20:00.000\tnew day\r\n07-12-26 00:25:00.000\tsame day\r\n");
}

TEST_F(LogTest, ReporterRunsWithoutTheLogsLock) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses to remove a directory that holds an open file";
#endif
  // A reporter that waits for a thread which touches the same log, as one that hands the
  // message to the UI thread does, must not find the log locked. The wait is bounded only
  // so that the fault fails the test instead of hanging it.
  std::unique_ptr<TLog> log;
  std::future<void> probe;
  bool probeFinished = false;
  SetLogFailureReporter([&](const std::string&) {
    if (!log) return;
    probe = std::async(std::launch::async, [&] { (void)log->IsOpen(); });
    probeFinished = probe.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
  });
  const std::string dir = tmp_.Dir() + "log/";
  std::filesystem::create_directory(PathFromUtf8(dir));
  log = std::make_unique<TLog>(dir, "", clock_);
  std::filesystem::remove_all(PathFromUtf8(dir));
  clock_.Set(At(2026, 12, 7, 0, 5));
  EXPECT_THROW(log->Write("switch fails"), std::system_error);
  if (probe.valid()) probe.wait();
  SetLogFailureReporter(nullptr);
  EXPECT_TRUE(probeFinished);
}

TEST_F(LogTest, ConcurrentWritersNeitherInterleaveNorLoseLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  // A long text makes a torn line likely should a write ever be split. Appended, not
  // "literal" + string: GCC 12 at -O3 warns there (-Wrestrict, a false positive).
  const auto text = [padding = std::string(300, 'x')](int t, int i) {
    return std::string("T").append(std::to_string(t)).append("-").append(std::to_string(i)) + padding;
  };
  {
    TLog log(tmp_.Dir(), "", clock_);
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) log.Write(text(t, i), i % 2 == 1);
      });
    }
  }
  const std::vector<std::string> lines = testing::SplitCrLf(ReadAll(Day1File()));
  ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
  EXPECT_EQ(lines[0], "");
  std::map<std::string, int> seen;
  for (std::size_t n = 1; n < lines.size(); ++n) ++seen[lines[n]];
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      const std::string line = i % 2 == 1 ? text(t, i) : std::string("06-12-26 10:00:00.000\t").append(text(t, i));
      EXPECT_EQ(seen[line], 1) << line.substr(0, 32);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace tarnwell
