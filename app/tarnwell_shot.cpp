// Saves a PNG of each tab of the main window and of the About dialog, with sample pools shown
// through the window's own redraws so that the columns, the tree and the chart can be
// judged; given a folder of monitoring logs, the History tab on them too. Run under xvfb-run:
//   tarnwell-shot <outdir> [<folder of monitoring logs>]
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "app/About.h"
#include "app/HistoryTab.h"
#include "app/main.h"
#include "iis/iis.h"
#include "platform/metabase.h"
#include "platform/process_system.h"

namespace {

using namespace tarnwell;

// Seams that answer nothing: the pictures need no server.
class NoMetabase final : public platform::IMetabase {
 public:
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view) override {
    throw platform::MetabaseError(platform::kErrPathNotFound, "no metabase");
  }
};

class NoProcesses final : public platform::IProcessSystem {
 public:
  bool Snapshot(std::vector<platform::ProcessEntry>&) override { return false; }
  std::string CommandLine(std::uint32_t) override { return {}; }
  std::int64_t WorkingSet(std::uint32_t) override { return -1; }
  std::unique_ptr<platform::IProcessTimesReader> OpenTimes(std::uint32_t) override { return nullptr; }
  std::uint32_t TickMs() override { return 0; }
  void SleepMs(std::uint32_t) override {}
  platform::HandleCounts CountHandles(std::uint32_t) override { return {}; }
  bool Terminate(std::uint32_t, std::uint32_t) override { return false; }
};

struct SamplePool {
  const char* name;
  int apps, ram, cpu, pid;
};

constexpr SamplePool kPools[] = {
    {"DefaultAppPool", 3, 48212, 4, 2044},
    {"ShopPool", 2, 61880, 38, 3120},
    {"IntranetPool", 1, 23004, 1, 2876},
    {"ReportsPool", 10, 0, 0, 0},
};

template <typename T>
T* Find(QWidget& window, const char* name) {
  T* child = window.findChild<T*>(QString::fromLatin1(name));
  if (child == nullptr) throw std::runtime_error(std::string("no control ") + name);
  return child;
}

// Puts sample records in the registry and has the window show them through the same
// calls the workers make: the list refill, the monitoring redraw, the analyser's lines.
void FillSamples(TFrmMain& window) {
  TIISObject& registry = window.Registry();
  registry.ClearPools();
  for (const SamplePool& p : kPools) {
    TPoolRec& rec = registry.Pools[static_cast<std::size_t>(registry.PoolCount++)];
    rec.Name = p.name;
    rec.AppCount = p.apps;
    rec.RamKB = p.ram;
    rec.Cpu = p.cpu;
    rec.Pid = p.pid;
    rec.Threads = p.pid == 0 ? 0 : 25;
    rec.OpenTcp = p.pid == 0 ? 0 : 3;
    rec.OpenFiles = p.pid == 0 ? 0 : 40;
    rec.Handles = p.pid == 0 ? 0 : 400;
    rec.Apps = std::make_unique<std::vector<std::string>>();
    for (int a = 0; a < p.apps; ++a) {
      rec.Apps->push_back("Default Web Site [/LM/W3SVC/1/ROOT/" + std::string(p.name) + "/app" +
                          std::to_string(a + 1) + "/]");
    }
  }
  window.LogWinMsg("Begin get pools. Please wait...");
  window.LogWinMsg("End get pools");
  window.LogWinMsg("Pools: " + std::to_string(registry.PoolCount));
  window.LogWinMsg("Begin fill list");
  window.RefillPoolList();
  window.LogWinMsg("End fill list");
  auto* pools = Find<QTreeWidget>(window, "lvTaskOPools");
  for (int i = 0; i < pools->topLevelItemCount(); i += 2) pools->topLevelItem(i)->setCheckState(0, Qt::Checked);

  window.LogWinMsg("Start monitoring");
  window.ThreadPoolMonitoring();
  auto* tree = Find<QTreeWidget>(window, "tvMonList");
  for (int i = 0; i < tree->topLevelItemCount(); ++i) tree->topLevelItem(i)->setExpanded(true);
  Find<QTreeWidget>(window, "lvAnalyse")->topLevelItem(1)->setSelected(true);

  for (const char* line : {"Begin analyse of pool: ShopPool",
                           "Created temp. application pool: [QuillmarshAnalyse46362.9479166667] for app. "
                           "[/LM/W3SVC/1/ROOT/ShopPool/app1/]",
                           "Transfer application: [/LM/W3SVC/1/ROOT/ShopPool/app1/] in pool "
                           "[QuillmarshAnalyse46362.9479166667]",
                           "OVERLOAD CPU: [85] in pool [QuillmarshAnalyse46362.9479166667]. Site: Default Web "
                           "Site.AppPath: [/LM/W3SVC/1/ROOT/ShopPool/app1/]. Analyse CPU: 70"}) {
    window.SetAnalyseMsg(line);
    window.UpdateLogAnalyse();
  }
}

bool Save(QWidget& widget, const QDir& dir, const QString& file) {
  QApplication::processEvents();
  const QString path = dir.filePath(file);
  if (!widget.grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell"));
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: tarnwell-shot <outdir> [<folder of monitoring logs>]\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(out.absolutePath())) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  QTemporaryDir exeDir;  // the window's log directory goes here, not beside this program
  if (!exeDir.isValid()) return 1;

  NoMetabase metabase;
  NoProcesses processes;
  try {
    TFrmMain window(exeDir.path(), metabase, processes);
    window.show();
    auto* pcMain = Find<QTabWidget>(window, "pcMain");
    auto* pcMon = Find<QTabWidget>(window, "pcMon");
    bool ok = true;
    // As the window opens: the Analyse tab shown and greyed out, nothing loaded yet.
    ok = Save(window, out, QStringLiteral("window-start.png")) && ok;
    FillSamples(window);
    pcMain->setCurrentIndex(0);
    ok = Save(window, out, QStringLiteral("window-task.png")) && ok;
    pcMain->setCurrentIndex(1);
    ok = Save(window, out, QStringLiteral("window-monitoring.png")) && ok;
    pcMon->setCurrentIndex(1);
    ok = Save(window, out, QStringLiteral("window-graph.png")) && ok;
    pcMon->setCurrentIndex(0);
    // As it looks once monitoring runs.
    pcMain->setCurrentIndex(2);
    Find<QWidget>(window, "tabAnalyse")->setEnabled(true);
    Find<QWidget>(window, "btnAnalyseStart")->setEnabled(true);
    ok = Save(window, out, QStringLiteral("window-analyse.png")) && ok;

    if (argc == 3) {
      // The History tab on a copy of the logs, as the window finds them in its log folder.
      const QDir logs(QString::fromLocal8Bit(argv[2]));
      const QString logDir = QDir(exeDir.path()).filePath(QStringLiteral("log"));
      for (const QString& name : logs.entryList({QStringLiteral("trnw-mon-*.log")}, QDir::Files))
        QFile::copy(logs.filePath(name), QDir(logDir).filePath(name));
      auto* history = Find<HistoryTab>(window, "tabHistory");
      pcMain->setCurrentWidget(history);
      window.resize(1100, 860);  // room for three charts and the counts line
      QEventLoop wait;
      bool loaded = false;
      QObject::connect(history, &HistoryTab::loaded, &wait, [&] {
        loaded = true;
        wait.quit();
      });
      QTimer::singleShot(60000, &wait, &QEventLoop::quit);
      history->Reload();
      if (!loaded) wait.exec();
      ok = loaded && Save(window, out, QStringLiteral("window-history.png")) && ok;
      pcMain->setCurrentIndex(0);
    }

    TFrmAbout& about = window.About();
    about.show();
    ok = Save(about, out, QStringLiteral("about.png")) && ok;
    about.hide();
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
