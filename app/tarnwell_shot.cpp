// Saves a PNG of each tab of the main window and of the About dialog, with a few sample
// rows so that the columns, the tree and the chart can be judged. Run under xvfb-run:
//   tarnwell-shot <outdir>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "app/About.h"
#include "app/main.h"
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

void FillSamples(TFrmMain& window) {
  auto* pools = Find<QTreeWidget>(window, "lvTaskOPools");
  auto* tree = Find<QTreeWidget>(window, "tvMonList");
  auto* analyse = Find<QTreeWidget>(window, "lvAnalyse");
  auto* chart = Find<QChartView>(window, "s")->chart();
  auto* ram = chart->findChild<QBarSet*>(QStringLiteral("Series1"));
  auto* cpu = chart->findChild<QBarSet*>(QStringLiteral("Series2"));
  QStringList names;
  int max = 0;
  bool tick = true;
  for (const SamplePool& p : kPools) {
    auto* row = new QTreeWidgetItem(pools, {QString::fromLatin1(p.name), QString::number(p.apps)});
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(0, tick ? Qt::Checked : Qt::Unchecked);
    tick = !tick;
    new QTreeWidgetItem(analyse, {QString::fromLatin1(p.name), QString::number(p.apps),
                                  QString::number(p.cpu), QString::number(p.ram)});
    if (p.pid == 0) continue;
    auto* node = new QTreeWidgetItem(
        tree, {QStringLiteral("%1 (RAM %2 kb, CPU %3, PID %4, Threads %5, TCP %6, Files %7, Handles %8)")
                   .arg(QString::fromLatin1(p.name))
                   .arg(p.ram)
                   .arg(p.cpu)
                   .arg(p.pid)
                   .arg(25)
                   .arg(3)
                   .arg(40)
                   .arg(400)});
    for (int a = 0; a < p.apps; ++a) {
      new QTreeWidgetItem(node, {QStringLiteral("/LM/W3SVC/1/ROOT/app%1/").arg(a + 1)});
    }
    node->setExpanded(true);
    names << QString::fromLatin1(p.name);
    *ram << p.ram;
    *cpu << p.cpu;
    max = std::max(max, p.ram);
  }
  for (QAbstractAxis* axis : chart->axes(Qt::Horizontal)) {
    if (auto* categories = qobject_cast<QBarCategoryAxis*>(axis)) categories->append(names);
  }
  for (QAbstractAxis* axis : chart->axes(Qt::Vertical)) {
    if (auto* values = qobject_cast<QValueAxis*>(axis)) values->setRange(0, max);
  }
  window.LogWinMsg("Begin get pools. Please wait...");
  window.LogWinMsg("Start monitoring");
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarnwell-shot <outdir>\n");
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
    FillSamples(window);
    window.show();
    auto* pcMain = Find<QTabWidget>(window, "pcMain");
    auto* pcMon = Find<QTabWidget>(window, "pcMon");
    bool ok = true;
    pcMain->setCurrentIndex(0);
    ok = Save(window, out, QStringLiteral("window-task.png")) && ok;
    pcMain->setCurrentIndex(1);
    ok = Save(window, out, QStringLiteral("window-monitoring.png")) && ok;
    pcMon->setCurrentIndex(1);
    ok = Save(window, out, QStringLiteral("window-graph.png")) && ok;
    pcMon->setCurrentIndex(0);
    // As the window opens: the Analyse tab shown and greyed out.
    pcMain->setCurrentIndex(2);
    ok = Save(window, out, QStringLiteral("window-start.png")) && ok;
    // As it looks once monitoring runs.
    Find<QWidget>(window, "tabAnalyse")->setEnabled(true);
    ok = Save(window, out, QStringLiteral("window-analyse.png")) && ok;

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
