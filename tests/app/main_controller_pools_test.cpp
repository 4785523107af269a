// The Task tab's pool list rules on a fake window over a MetaBase.xml store: filters,
// reloads and their ticks, Select all and the Start button, an invalid filter, an
// unreadable metabase, a pool whose name is cut to nothing, and reloads that overlap.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/fakes/null_seams.h"
#include "tests/support/fake_main_view.h"
#include "tests/support/window_servers.h"

namespace tarnwell {
namespace {

using testutil::FakeWindow;
using Strings = std::vector<std::string>;

const Strings kAllRows{"DefaultAppPool|1", "MyPool2|10", "AppPool1|9", "MyAppPool|1", "Intranet|0"};

// A server in a temporary MetaBase.xml and the rules over it.
struct Server {
  testutil::PoolListMetabase metabase;
  fakes::NullProcessSystem processes;
  FakeWindow w{metabase, processes};

  explicit Server(const std::string& xml = testutil::PoolListServerXml()) : metabase(xml) {}

  Strings Rows() const { return w.view.Rows(ViewList::Pools); }
  Strings Messages() const { return w.view.Messages(); }
  bool StartEnabled() const { return w.view.enabled.at(ViewControl::MonitorStart); }
  bool LoadersGone() {
    return w.view.WaitFor([&] { return w->LiveWorkers().loaders == 0; });
  }
  // Applies the filter and waits until its loader has ended, whatever the outcome.
  bool ApplyFilter(const std::string& text) {
    w.view.texts[ViewText::PoolFilter] = text;
    w.Click(ViewControl::PoolFilter, &MainController::FilterClicked);
    return LoadersGone();
  }
  std::string DailyLog() { return testutil::ReadAll(w->LogDir() + "trnw061226.log"); }
};

TEST(MainControllerPools, FiltersReloadWithTheBoxAsTypedAndRefreshListsAll) {
  struct Case {
    std::string filter;
    Strings rows;
  };
  const std::vector<Case> cases{
      {"POOL", {"DefaultAppPool|1", "MyPool2|10", "AppPool1|9", "MyAppPool|1"}},  // any case
      {"^app", {"AppPool1|9"}},
      {"   ", kAllRows},  // only spaces
      {"^zz", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    Server server;
    ASSERT_TRUE(server.ApplyFilter(c.filter));
    EXPECT_EQ(server.Rows(), c.rows);
    const Strings messages = server.Messages();
    ASSERT_GE(messages.size(), 5u);
    EXPECT_EQ(Strings(messages.begin() + 1, messages.begin() + 5),
              (Strings{"Apply filter : [" + c.filter + "]", "Begin get pools. Please wait...", "End get pools",
                       "Pools: " + std::to_string(c.rows.size())}));
    EXPECT_EQ(server.w->Registry().Filter, c.filter);  // as typed, spaces kept
  }

  Server server;
  FakeWindow& w = server.w;
  ASSERT_TRUE(server.ApplyFilter("^app"));
  ASSERT_TRUE(w.Refresh());
  EXPECT_EQ(server.Rows(), kAllRows);
  EXPECT_EQ(w.view.texts[ViewText::PoolFilter], "^app");
  EXPECT_TRUE(w->Registry().Filter.empty());
  ASSERT_TRUE(server.ApplyFilter("^app"));
  EXPECT_EQ(server.Rows(), Strings{"AppPool1|9"});
}

TEST(MainControllerPools, SelectAllDeselectAllTicksAndTheStartButton) {
  Server server;
  FakeWindow& w = server.w;
  const auto ticked = [&](std::size_t count, bool startEnabled) {
    EXPECT_EQ(w.Ticked().size(), count);
    EXPECT_EQ(server.StartEnabled(), startEnabled);
  };
  ASSERT_TRUE(w.Refresh());
  ticked(0, false);
  w->TickAll(true);
  ticked(5, true);
  w.Tick("MyPool2", false);  // another row stays ticked
  ticked(4, true);
  w->TickAll(false);
  ticked(0, false);
  w.Tick("Intranet");
  ticked(1, true);
  w.Tick("Intranet", false);
  ticked(0, false);

  // A reload loses the ticks.
  w.Tick("MyPool2");
  w.Tick("Intranet");
  ASSERT_TRUE(w.Refresh());
  EXPECT_EQ(server.Rows(), kAllRows);
  ticked(0, false);
}

TEST(MainControllerPools, InvalidFilterKeepsTheRowsAndTheTicks) {
  Server server;
  FakeWindow& w = server.w;
  ASSERT_TRUE(w.Refresh());
  w.Tick("AppPool1");
  const std::size_t before = server.Messages().size();
  ASSERT_TRUE(server.ApplyFilter("(["));
  const Strings messages = server.Messages();
  EXPECT_EQ(Strings(messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end()),
            (Strings{"Apply filter : [([]", "Begin get pools. Please wait..."}));
  EXPECT_EQ(server.Rows(), kAllRows);
  EXPECT_EQ(w.Ticked(), Strings{"AppPool1"});
  EXPECT_TRUE(server.StartEnabled());
  EXPECT_NE(server.DailyLog().find("Error get pools"), std::string::npos);  // the reason, in the log only
  ASSERT_TRUE(w.Refresh());
  EXPECT_EQ(server.Rows(), kAllRows);
}

TEST(MainControllerPools, AnUnreadableMetabaseIsSaidOnceAndTheListKeepsItsPools) {
  Server server;
  FakeWindow& w = server.w;
  ASSERT_TRUE(w.Refresh());
  const std::string& file = server.metabase.file;
  const std::vector<std::pair<std::function<void()>, std::string>> damages{
      {[&] { std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2); },  // cut short
       "The metabase file " + file + " is not well-formed: "},
      {[&] { std::filesystem::remove(file); }, "Cannot read the metabase file " + file + ": "}};
  for (const auto& [damage, reason] : damages) {
    SCOPED_TRACE(reason);
    damage();
    const std::size_t before = server.Messages().size();
    ASSERT_TRUE(w.Refresh());
    const Strings messages = server.Messages();
    const Strings lines(messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Begin get pools. Please wait...");
    EXPECT_TRUE(lines[1].starts_with("The metabase cannot be read [IIS://localhost/w3svc/AppPools]: " + reason) &&
                lines[1].ends_with(". The list shows the pools read before."))
        << lines[1];
    EXPECT_EQ(Strings(lines.begin() + 2, lines.end()),
              (Strings{"End get pools", "Pools: 5", "Begin fill list", "End fill list"}));
    EXPECT_EQ(server.Rows(), kAllRows);
    EXPECT_NE(server.DailyLog().find(" " + lines[1] + "\r\n"), std::string::npos);
  }
}

TEST(MainControllerPools, RecordWithAnEmptyNameIsCountedButNotListed) {
  // A broken entry: a name of nothing but UTF-8 continuation bytes, longer than a record
  // keeps, is cut to nothing.
  const std::string broken(MaxPoolName + 1, '\x80');
  std::string xml = testutil::PoolListServerXml();
  xml.replace(xml.find("<IIsWebServer"), 0, "<IIsApplicationPool Location=\"/LM/W3SVC/AppPools/" + broken + "\"/>\n");
  Server server(xml);
  ASSERT_TRUE(server.w.Refresh());
  EXPECT_EQ(server.w.view.CountMessage("Pools: 6"), 1);
  EXPECT_EQ(server.Rows(), kAllRows);
}

TEST(MainControllerPools, OverlappingReloadsLeaveTheListAndTheRegistryInStep) {
  Server server;
  FakeWindow& w = server.w;
  server.metabase.delayMs = 60;
  w.view.texts[ViewText::PoolFilter] = "^app";
  w->FilterClicked();
  w->RefreshClicked();
  w->FilterClicked();
  w->RefreshClicked();
  EXPECT_EQ(w->LiveWorkers().loaders, 4);
  ASSERT_TRUE(server.LoadersGone());
  EXPECT_EQ(w.view.CountMessage("End fill list"), 4);
  // One reload and refill at a time: no "Begin fill list" before the previous end.
  std::string last;
  Strings counts;
  for (const std::string& m : server.Messages()) {
    if (m == "Begin fill list") {
      EXPECT_NE(last, m);
    }
    if (m == "Begin fill list" || m == "End fill list") last = m;
    if (m.starts_with("Pools: ")) counts.push_back(m);
  }
  // Each reload loaded with its own filter.
  std::sort(counts.begin(), counts.end());
  EXPECT_EQ(counts, (Strings{"Pools: 1", "Pools: 1", "Pools: 5", "Pools: 5"}));
  // The list shows what the registry holds, and that is what its filter gives.
  const TIISObject& registry = w->Registry();
  Strings held;
  for (int i = 0; i < registry.PoolCount; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    held.push_back(rec.Name + "|" + std::to_string(rec.AppCount));
  }
  EXPECT_EQ(server.Rows(), held);
  EXPECT_EQ(held, registry.Filter.empty() ? kAllRows : Strings{"AppPool1|9"});
  EXPECT_FALSE(w.view.uiRuleBroken);
}

}  // namespace
}  // namespace tarnwell
