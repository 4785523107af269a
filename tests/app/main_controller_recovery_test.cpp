// The server's configuration after an analysis, on the real MetaBase.xml store over a
// temporary file in IIS 6's own layout, with the window's rules on a fake window:
// start-up recovery puts back what the analysis of a run that ended abnormally left,
// before anything else, and an analysis stopped from the window or cut short by its close
// leaves the file as it found it, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "iis/adshlp.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/support/fake_main_view.h"
#include "tests/support/iis6_metabase.h"
#include "tests/support/window_servers.h"

namespace tarnwell {
namespace {

using testutil::FakeWindow;
using testutil::kIis6ShopApps;
using Strings = std::vector<std::string>;
const Strings kTemps{"QuillmarshAnalyse46362.9479166667", "QuillmarshAnalyse46362.9479282407",
                     "QuillmarshAnalyse46362.9479398148"};

// An executable directory with its log directory, over a MetaBase.xml in IIS 6's layout.
struct LeftOver {
  testutil::TempDir tmp;
  std::string file = tmp.File("MetaBase.xml");
  std::string logDir = tmp.File("log") + "/";
  const std::string original = testutil::Iis6ShopMetabase();
  std::unique_ptr<platform::IMetabase> store;
  fakes::FakeProcessSystem processes;  // no workers: every figure is 0
  std::unique_ptr<FakeWindow> w;

  LeftOver() {
    std::filesystem::create_directories(logDir);
    testutil::WriteFile(file, original);
    store = standin::OpenMetabaseStore(file);
    // The measuring pauses take a moment, not 800 ms.
    processes.SetOnSleep([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  }

  // The window opens with its executable directory here.
  void Start() {
    w.reset();
    w = std::make_unique<FakeWindow>(*store, processes, tmp.Path().string());
  }
  Strings Pane() const { return w->view.Messages(); }
  bool JournalLeft() const { return JournalExists(JournalPath(logDir)); }

  // Starts an analysis of ShopPool from the Analyse tab and waits until every application
  // is in a temporary pool of its own.
  bool AnalyseShopPool() {
    testutil::SetRedrawRecords((*w)->Registry(), {{"ShopPool", 3, 0, 0}});
    (*w)->ThreadPoolMonitoring();
    w->view.enabled[ViewControl::AnalyseTab] = true;
    w->Select(ViewList::Analyse, "ShopPool");
    w->Click(ViewControl::AnalyseStart, &MainController::AnalyseStartClicked);
    const auto moved = [](const std::string& line) {
      return line.find(std::string("] in pool [") + kTempPoolPrefix) != std::string::npos;
    };
    return w->view.WaitFor([&] { return std::ranges::count_if(w->view.analyseLines, moved) == 3; });
  }
};

TEST(MainControllerRecovery, JournalLeftByAKilledRunIsPutBackAtStartUp) {
  LeftOver run;

  // Killed while transferring: catalog and cart sit in temporary pools, checkout's pool
  // was made but the application had not moved yet.
  AnalyseJournal journal;
  journal.Pool = "ShopPool";
  for (std::size_t i = 0; i < kIis6ShopApps.size(); ++i) {
    journal.Apps.push_back({kIis6ShopApps[i], "ShopPool", testutil::kIis6ShopAppsOwnPool[i]});
    journal.Temps.push_back({kTemps[i], kIis6ShopApps[i]});
    GetMetabaseObject(*run.store, kAppPoolsPath)->Create("IIsApplicationPool", kTemps[i])->SetInfo();
    if (i < 2) {
      ASSERT_TRUE(MoveAppToPool(*run.store, kIis6ShopApps[i], kTemps[i]));
    }
  }
  SaveJournal(JournalPath(run.logDir), journal);
  ASSERT_NE(testutil::ReadAll(run.file), run.original);  // the moves are in the file

  run.Start();
  const Strings expected{
      "Start application.",
      "Recovery: analysis of pool [ShopPool] did not end; putting its applications back",
      "Recovery: application [/LM/W3SVC/2/ROOT/catalog/] inherits its pool again",
      "Recovery: application [/LM/W3SVC/2/ROOT/cart/] back in pool [ShopPool]",
      "Recovery: application [/LM/W3SVC/3/ROOT/checkout/] already inherits its pool",
      "Recovery: temp. pool [" + kTemps[0] + "] removed",
      "Recovery: temp. pool [" + kTemps[1] + "] removed",
      "Recovery: temp. pool [" + kTemps[2] + "] removed",
      "Recovery: complete",
  };
  EXPECT_EQ(run.Pane(), expected);
  const std::string daily = testutil::ReadAll(run.logDir + "trnw061226.log");
  for (const std::string& line : expected) {
    EXPECT_NE(daily.find(" " + line + "\r\n"), std::string::npos) << line;
  }
  EXPECT_TRUE(testutil::ReadAll(run.file) == run.original);
  EXPECT_FALSE(run.JournalLeft());
  EXPECT_FALSE(std::filesystem::exists(JournalPath(run.logDir) + ".bad"));

  // The next start finds nothing to put back and says nothing of it.
  run.Start();
  EXPECT_EQ(run.Pane(), Strings{"Start application."});
}

TEST(MainControllerRecovery, DamagedJournalIsSetAsideAndTheWindowStillStarts) {
  LeftOver run;
  const std::string cutShort = std::string(kJournalHeader) + "\r\npool\tShopPool\r\napp\t/LM/W3SVC/2/ROOT/ca";
  testutil::WriteFile(JournalPath(run.logDir), cutShort);
  run.Start();
  const Strings pane = run.Pane();
  ASSERT_EQ(pane.size(), 2u);
  EXPECT_TRUE(pane[1].starts_with("Recovery: the analysis journal [") &&
              pane[1].find("is damaged") != std::string::npos &&
              pane[1].ends_with("Check the pools of the applications by hand."))
      << pane[1];
  EXPECT_FALSE(run.JournalLeft());
  EXPECT_TRUE(std::filesystem::exists(JournalPath(run.logDir) + ".bad"));
  EXPECT_TRUE(testutil::ReadAll(run.file) == run.original);
  EXPECT_TRUE(run.w->view.enabled[ViewControl::PoolRefresh]);
}

TEST(MainControllerRecovery, AnalysisStoppedOrCutShortByTheCloseLeavesTheFileAsItWas) {
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "closed");
    LeftOver run;
    run.Start();
    ASSERT_TRUE(run.AnalyseShopPool());
    EXPECT_TRUE(testutil::ReadAll(run.file) != run.original);
    if (stop) {
      run.w->Click(ViewControl::AnalyseStop, &MainController::AnalyseStopClicked);
      EXPECT_TRUE(run.w->view.WaitFor([&] { return (*run.w)->LiveWorkers().analysers == 0; }));
    } else {
      run.w->Close();
      EXPECT_TRUE(run.w->NoWorkers());
    }
    EXPECT_TRUE(testutil::ReadAll(run.file) == run.original);
    EXPECT_FALSE(run.JournalLeft());
  }
}

}  // namespace
}  // namespace tarnwell
