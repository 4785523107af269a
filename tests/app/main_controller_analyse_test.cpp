// The Analyse tab's rules on a fake window over the fake seams: the list's sorting, its
// buttons, one analysis at a time, the threshold, and Start without a selected row.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "tests/support/analyse_fixture.h"
#include "tests/support/fake_main_view.h"
#include "tests/support/window_servers.h"

namespace tarnwell {
namespace {

using testutil::FakeWindow;
using Strings = std::vector<std::string>;

// The Shop server (tests/support) and a fake window over it.
struct Server : testutil::ShopServer {
  FakeWindow w{metabase, processes};

  Server() {
    realPauses = true;
    w.view.enabled[ViewControl::AnalyseTab] = true;  // as Start on the Task tab leaves it
  }

  // Has the UI thread redraw from records set here, as a monitoring pass would.
  void Redraw(const std::vector<std::tuple<std::string, int, int, int>>& pools) {
    testutil::SetRedrawRecords(w->Registry(), pools);
    w->ThreadPoolMonitoring();
  }
  void Select(const std::string& pool) { w.Select(ViewList::Analyse, pool); }
  Strings Column(int column) const {
    Strings out;
    for (const auto& row : w.view.lists.at(ViewList::Analyse)) out.push_back(row.cells.at(column));
    return out;
  }
  bool Enabled(ViewControl control) const { return w.view.enabled.at(control); }
  void Start() { w.Click(ViewControl::AnalyseStart, &MainController::AnalyseStartClicked); }
  void Stop() { w.Click(ViewControl::AnalyseStop, &MainController::AnalyseStopClicked); }
  bool AnalyserGone() {
    return w.view.WaitFor([&] { return w->LiveWorkers().analysers == 0; });
  }

  // The analysis messages without their stamps.
  Strings Pane() const {
    Strings out;
    for (const std::string& line : w.view.analyseLines) out.push_back(line.substr(line.find('\t') + 1));
    return out;
  }
};

// The comparisons themselves are tested in listcompare_test.cpp.
TEST(MainControllerAnalyse, ColumnsSortByTheirKindAndEachColumnKeepsItsSign) {
  const std::vector<std::tuple<std::string, int, int, int>> pools{
      {"beta", 1, 9, 300}, {"Alpha", 2, 100, 20}, {"gamma", 3, 10, 1000}};
  Server server;
  FakeWindow& w = server.w;
  server.Redraw(pools);
  EXPECT_EQ(server.Column(0), (Strings{"beta", "Alpha", "gamma"}));  // registry order
  // Pool, CPU, Pool: the second click on Pool goes on from Pool's own sign.
  w->AnalyseColumnClicked(0);
  EXPECT_EQ(server.Column(0), (Strings{"gamma", "beta", "Alpha"}));
  server.Select("beta");
  w->AnalyseColumnClicked(2);
  EXPECT_EQ(server.Column(2), (Strings{"100", "10", "9"}));  // by number
  w->AnalyseColumnClicked(0);
  EXPECT_EQ(server.Column(0), (Strings{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(w->AnalyseColumnTags(), (std::vector<int>{1, 1, -1, 1}));
  EXPECT_EQ(w.view.SelectedRow(ViewList::Analyse), 1);  // the selection goes with its row
  w->AnalyseColumnClicked(4);  // no such column
  w->AnalyseColumnClicked(-1);
  EXPECT_EQ(w->AnalyseColumnTags(), (std::vector<int>{1, 1, -1, 1}));

  // The next redraw brings the registry's order back, with nothing selected.
  server.Redraw(pools);
  EXPECT_EQ(server.Column(0), (Strings{"beta", "Alpha", "gamma"}));
  EXPECT_EQ(w.view.SelectedRow(ViewList::Analyse), -1);
  EXPECT_FALSE(w.view.uiRuleBroken);
}

TEST(MainControllerAnalyse, ButtonsFollowTheSelectionAndTheAnalysis) {
  Server server;
  FakeWindow& w = server.w;
  server.Redraw({{"Shop", 3, 40, 100}, {"Blog", 1, 0, 50}});
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStop));
  server.Select("Blog");
  EXPECT_TRUE(server.Enabled(ViewControl::AnalyseStart));
  server.Select("");  // the selection cleared
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));

  server.Select("Shop");
  server.Start();
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));
  EXPECT_TRUE(server.Enabled(ViewControl::AnalyseStop));
  EXPECT_TRUE(w.view.WaitFor([&] { return !server.processes.Terminated().empty(); }));  // measuring
  server.Select("Blog");  // another row while the analysis runs
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));
  server.Stop();
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStop));
  server.Select("Shop");  // while the applications go back: still one analysis at a time
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));
  w->AnalyseStartClicked();  // as if the greyed button were pressed
  EXPECT_EQ(w->LiveWorkers().analysers, 1);

  ASSERT_TRUE(server.AnalyserGone());
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStop));
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStart));  // until a row is selected again
  server.Select("Blog");
  EXPECT_TRUE(server.Enabled(ViewControl::AnalyseStart));
  EXPECT_TRUE(server.Restored());
  const Strings pane = server.Pane();
  EXPECT_EQ(pane.back(), "End analyse of pool: Shop");
  EXPECT_EQ(std::count(pane.begin(), pane.end(), "Begin analyse of pool: Shop"), 1);
}

TEST(MainControllerAnalyse, ThresholdThatIsNoNumberMeans70AndTheBoxKeepsIt) {
  Server server;
  FakeWindow& w = server.w;
  w.view.texts[ViewText::AnalyseCpu] = "abc";
  server.Redraw({{"Shop", 3, 40, 100}});
  server.Select("Shop");
  server.Start();
  EXPECT_TRUE(w.view.WaitFor([&] { return testutil::CountStarting(server.Pane(), "OVERLOAD CPU: [85]") > 0; }));
  server.Stop();
  ASSERT_TRUE(server.AnalyserGone());
  for (const std::string& line : server.Pane()) {
    if (line.starts_with("OVERLOAD")) {
      EXPECT_TRUE(line.ends_with(". Analyse CPU: 70")) << line;
    }
  }
  EXPECT_EQ(w.view.texts[ViewText::AnalyseCpu], "abc");
  EXPECT_TRUE(server.Restored());
  EXPECT_EQ(w.view.CountMessage("Begin analyse of pool: Shop"), 0);  // the message pane stays out of it
}

TEST(MainControllerAnalyse, StartWithoutASelectedRowSaysSo) {
  Server server;
  FakeWindow& w = server.w;
  server.Redraw({{"Shop", 3, 40, 100}});
  server.Select("Shop");
  server.Redraw({{"Shop", 3, 40, 100}});  // takes the selection, leaves Start on
  EXPECT_TRUE(server.Enabled(ViewControl::AnalyseStart));
  server.Start();
  EXPECT_EQ(w->LiveWorkers().analysers, 0);
  EXPECT_FALSE(server.Enabled(ViewControl::AnalyseStop));
  EXPECT_EQ(server.Pane(), Strings{"Select a pool in the list to analyse."});
  EXPECT_TRUE(server.metabase.Calls().empty());
}

}  // namespace
}  // namespace tarnwell
