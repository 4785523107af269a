// The window's start-up and message log on a fake window over null seams: the log
// directory and its failures, the daily log's failures, lines from worker threads, and
// the rule that ties "Get ver. ASP.NET" to "Get name of site".
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <thread>

#include "logs/Logs.h"
#include "tests/fakes/null_seams.h"
#include "tests/support/fake_main_view.h"
#include "tests/support/files.h"

namespace tarnwell {
namespace {

namespace fs = std::filesystem;
using testutil::FakeWindow;

// The daily log's line of "Start application." at 06/12/26 22:45:03.120.
std::string StartFileLine() {
  const std::string ds(1, DateSeparator()), ts(1, TimeSeparator());
  return "06-12-26 22" + ts + "45" + ts + "03.120\t06" + ds + "12" + ds + "26 22" + ts + "45" + ts +
         "03.120 Start application.";
}

struct Start {
  fakes::NullMetabase metabase;
  fakes::NullProcessSystem processes;
  FakeWindow w;

  explicit Start(const std::string& relativeExeDir = "deep/er/bin", bool open = true)
      : w(metabase, processes, relativeExeDir, open) {}
  std::string LogFile() const { return w.exeDir + "/log/trnw061226.log"; }
  std::string LastPaneLine() const { return w.view.pane.empty() ? std::string() : w.view.pane.back(); }
  const std::vector<std::string>& Boxes() const { return w.view.messageBoxes; }
};

TEST(MainControllerStartUp, CreatesTheLogDirWithMissingParentsAndAppendsToTheDaysFile) {
  Start run("deep/er/bin", false);
  ASSERT_FALSE(fs::exists(run.w.tmp.Path() / "deep"));
  run.w.Open();
  EXPECT_TRUE(fs::is_directory(run.w.exeDir + "/log"));
  EXPECT_EQ(run.w->LogDir(), run.w.exeDir + "/log/");
  EXPECT_TRUE(run.Boxes().empty());
  EXPECT_EQ(run.w.view.Messages(), std::vector<std::string>{"Start application."});

  // A second start keeps what the directory holds and appends to the day's file; every
  // opening starts with an empty line.
  testutil::WriteFile(run.w.exeDir + "/log/keep.txt", "");
  run.w.Open();
  EXPECT_TRUE(fs::exists(run.w.exeDir + "/log/keep.txt"));
  const std::string once = "\r\n" + StartFileLine() + "\r\n";
  EXPECT_EQ(testutil::ReadAll(run.LogFile()), once + once);
  EXPECT_TRUE(run.Boxes().empty());

  // A trailing separator or a "." in the executable's directory changes nothing.
  Start dotted("deep/./bin/", false);
  fs::create_directories(dotted.w.tmp.Path() / "deep");
  dotted.w.Open();
  EXPECT_EQ(dotted.w->LogDir(), (dotted.w.tmp.Path() / "deep/bin/log/").string());

  // Nor does a name outside ASCII: the log folder and the day's file are beside it.
  Start odd(std::string(testutil::kNonAsciiName) + "/bin");
  EXPECT_EQ(odd.w->LogDir(), odd.w.exeDir + "/log/");
  EXPECT_EQ(testutil::ReadAll(odd.LogFile()), once);
}

TEST(MainControllerStartUp, LogDirThatCannotBeMadeIsReportedAndStartUpGoesOn) {
  Start run("blocker/bin", false);
  testutil::WriteFile(run.w.tmp.Path() / "blocker", "");  // a file where a directory should be
  run.w.Open();
  ASSERT_EQ(run.Boxes().size(), 2u);
  EXPECT_EQ(run.Boxes()[0], "Impossible create LOG dir. Please check NTFS permissions.\r\n" +
                                std::generic_category().message(ENOTDIR));
  // The daily log then reports that it cannot open its file, naming the directory.
  EXPECT_TRUE(run.Boxes()[1].starts_with("Error to create/open file of log: " + run.w.exeDir +
                                         "/log/. Exception: "))
      << run.Boxes()[1];
  EXPECT_EQ(run.w.view.Messages(), std::vector<std::string>{"Start application."});
  run.w->LogWinMsg("still logging");  // the failing file write does not escape
  EXPECT_TRUE(run.LastPaneLine().ends_with(" still logging"));
  EXPECT_FALSE(run.w.view.uiRuleBroken);
}

// A day's file that cannot be switched to is TLog's (tests/logs/logs_test.cpp); that the
// pane goes on when the file fails is checked above.
TEST(MainControllerStartUp, LogFileFailuresAreReportedOnceAndThePaneGoesOn) {
  Start run("bin", false);
  fs::create_directories(run.w.exeDir + "/log");
  // Every write to the day's file fails as on a full disk.
  fs::create_symlink("/dev/full", run.LogFile());
  run.w.Open();
  ASSERT_EQ(run.Boxes().size(), 1u);
  EXPECT_TRUE(run.Boxes()[0].starts_with("Error to create/open file of log: " + run.w.exeDir + "/log/. Exception: "));
  EXPECT_NE(run.Boxes()[0].find(std::generic_category().message(ENOSPC)), std::string::npos);
  for (int i = 0; i < 3; ++i) run.w->LogWinMsg("still logging");
  EXPECT_TRUE(run.LastPaneLine().ends_with(" still logging"));
  EXPECT_EQ(run.Boxes().size(), 1u);  // reported once, not per line
}

TEST(MainControllerStartUp, LinesAndLogFailuresFromAWorkerReachThePaneOnTheUiThread) {
  Start run;
  std::thread worker([&run] { run.w->LogWinMsg("from worker"); });
  worker.join();
  // The file line is written on the caller's thread; the pane waits for the UI thread.
  EXPECT_TRUE(testutil::ReadAll(run.LogFile()).ends_with(" from worker\r\n"));
  EXPECT_FALSE(run.LastPaneLine().ends_with(" from worker"));
  EXPECT_TRUE(run.w.view.WaitFor([&] { return run.LastPaneLine().ends_with(" from worker"); }));

  const std::string missing = (run.w.tmp.Path() / "nowhere/at/all/").string();
  std::thread logger([&] { TLog log(missing, "-mon-", run.w.clock); });
  logger.join();
  EXPECT_TRUE(run.Boxes().empty());
  ASSERT_TRUE(run.w.view.WaitFor([&] { return !run.Boxes().empty(); }));
  EXPECT_TRUE(run.Boxes()[0].starts_with("Error to create/open file of log: " + missing + ". Exception: "));
  EXPECT_FALSE(run.w.view.uiRuleBroken);  // shown on the UI thread

  // Once the rules are gone their reporter is too.
  run.w.rules.reset();
  { TLog log(missing, "", run.w.clock); }
  run.w.view.Drain();
  EXPECT_EQ(run.Boxes().size(), 1u);
}

TEST(MainControllerStartUp, AspNetFollowsSiteName) {
  Start run;
  auto& view = run.w.view;
  EXPECT_FALSE(view.enabled[ViewControl::AspNetBox]);  // set at start-up from the unticked box
  view.checks[ViewCheck::GetSiteName] = true;
  run.w->SiteNameToggled();
  EXPECT_TRUE(view.enabled[ViewControl::AspNetBox]);
  view.checks[ViewCheck::GetSiteName] = false;
  run.w->SiteNameToggled();
  EXPECT_FALSE(view.enabled[ViewControl::AspNetBox]);
}

}  // namespace
}  // namespace tarnwell
