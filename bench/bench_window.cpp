// The window's two bulk redraws, window not shown: the pool list refill of 1024 pools and
// the Monitoring tab's redraw of 1024 active pools with 10 applications each.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDateEdit>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "app/HistoryTab.h"
#include "app/main.h"
#include "bench/month_of_logs.h"
#include "iis/iis.h"
#include "tests/fakes/null_seams.h"

namespace {

using tarnwell::TFrmMain;
using tarnwell::TIISObject;
using tarnwell::TPoolRec;

constexpr int kPools = 1024;
constexpr int kAppsPerPool = 10;

// One application for every benchmark here, made on first use; offscreen, no display. Ended
// by main (ReleaseApplication): ended among the exit handlers, after Qt's own statics, it
// crashed the program on its way out.
std::unique_ptr<QApplication>& Application() {
  static std::unique_ptr<QApplication> app;
  return app;
}

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "tarnwell-bench";
  static char* argv[] = {name, nullptr};
  if (Application()) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  Application() = std::make_unique<QApplication>(argc, argv);
}

struct Bench {
  QTemporaryDir exeDir;  // the window's log directory goes here
  tarnwell::fakes::NullMetabase metabase;
  tarnwell::fakes::NullProcessSystem processes;
  std::unique_ptr<TFrmMain> window;

  explicit Bench(bool active) {
    EnsureApplication();
    window = std::make_unique<TFrmMain>(exeDir.path(), metabase, processes);
    TIISObject& registry = window->Registry();
    for (int i = 0; i < kPools; ++i) {
      TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
      rec.Name = "AppPool" + std::to_string(10000 + i);
      rec.AppCount = kAppsPerPool;
      if (!active) continue;
      rec.RamKB = 20000 + 37 * i;
      rec.Cpu = i % 100;
      rec.Pid = 1000 + i;
      rec.Threads = 25;
      rec.OpenTcp = 3;
      rec.OpenFiles = 40;
      rec.Handles = 400;
      rec.Apps = std::make_unique<std::vector<std::string>>();
      for (int a = 0; a < kAppsPerPool; ++a) {
        rec.Apps->push_back("Site " + std::to_string(a) + " [/LM/W3SVC/" + std::to_string(a + 1) + "/ROOT/app" +
                            std::to_string(i) + "/]");
      }
    }
    registry.PoolCount = kPools;
  }
};

void BM_FillPoolList(benchmark::State& state) {
  Bench bench(false);
  for (auto _ : state) {
    bench.window->RefillPoolList();
    QCoreApplication::processEvents();
  }
}
BENCHMARK(BM_FillPoolList)->Unit(benchmark::kMillisecond);

// One monitoring redraw per iteration, after change(record, index, pass) has given every
// record its state for that pass.
template <typename Change>
void RedrawEachPass(benchmark::State& state, Change change) {
  Bench bench(true);
  TIISObject& registry = bench.window->Registry();
  int pass = 0;
  for (auto _ : state) {
    ++pass;
    for (int i = 0; i < kPools; ++i) change(registry.Pools[static_cast<std::size_t>(i)], i, pass);
    bench.window->ThreadPoolMonitoring();
    QCoreApplication::processEvents();
  }
}

void BM_Redraw(benchmark::State& state) {
  // Every pass brings new figures, and with them a new value range.
  RedrawEachPass(state, [](TPoolRec& rec, int i, int pass) {
    rec.RamKB = 20000 + 37 * i + 1000 * (pass % 7);
    rec.Cpu = (i + pass) % 100;
  });
}
BENCHMARK(BM_Redraw)->Unit(benchmark::kMillisecond);

// The first redraw after the ticked pools changed: the chart's labels are made anew.
void BM_RedrawNewPools(benchmark::State& state) {
  RedrawEachPass(state, [](TPoolRec& rec, int i, int pass) {
    rec.Name = "AppPool" + std::to_string(10000 * (1 + pass % 2) + i);
  });
}
BENCHMARK(BM_RedrawNewPools)->Unit(benchmark::kMillisecond);

// The History tab's redraw of a 30-day chart of 10 pools (43,200 samples each), logs
// already loaded: build, reduce and hand the lines to the three charts, then paint them.
void BM_HistoryDraw(benchmark::State& state) {
  EnsureApplication();
  static const tarnwell::bench::MonthOfLogs logs(10);
  tarnwell::HistoryTab tab;
  tab.resize(1000, 700);
  tab.show();
  tab.SetLogDir(logs.Dir());
  tab.findChild<QDateEdit*>(QStringLiteral("edtHistoryFrom"))->setDate(QDate(2026, 11, 1));
  tab.findChild<QDateEdit*>(QStringLiteral("edtHistoryTo"))->setDate(QDate(2026, 11, 30));
  tab.Reload();
  while (tab.Loading()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  if (tab.Loaded().lines != 10LL * 30 * 24 * 60) {
    state.SkipWithError("the logs were not loaded");
    return;
  }
  for (auto _ : state) {
    tab.Redraw();
    benchmark::DoNotOptimize(tab.grab());
  }
}
BENCHMARK(BM_HistoryDraw)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

namespace tarnwell::bench {

void ReleaseApplication() { Application().reset(); }

}  // namespace tarnwell::bench
