#include "app/Walkthrough.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <string>

#include "app/WindowDriver.h"
#include "app/main.h"
#include "iis/iis.h"

namespace tarnwell {

namespace {

using namespace std::chrono_literals;

const QString kPool = QStringLiteral("ShopPool");
const QString kThreshold = QStringLiteral("40");  // the cart burns 70; a busy machine reads less
const QString kOverloadedApp = QStringLiteral("AppPath: [/LM/W3SVC/2/ROOT/cart/]");
constexpr int kMonitoringLinesShown = 12;

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

class Walkthrough : public WindowDriver {
 public:
  Walkthrough(TFrmMain& window, QDir pictures) : WindowDriver(window, Say), pictures_(std::move(pictures)) {}

  void Begin() {
    Say("Pictures of every tab at every step go to " + pictures_.absolutePath().toStdString());
    Picture("start");
    Say("1. Refresh (F5)");
    Find<QPushButton>("btnTaskOPRefresh")->click();
    Await("the pool list", [this] { return window_.LiveWorkers().loaders == 0; }, [this] { TickEveryPool(); });
  }

 protected:
  void OnPaneLine(const char* pane, const QString& line) override {
    if (QLatin1String(pane) != QLatin1String("ANALYSE")) return;
    Say("   " + line.toStdString());
    if (line.contains(QLatin1String("OVERLOAD CPU:")) && line.contains(kOverloadedApp)) overloadSeen_ = true;
  }

 private:
  void TickEveryPool() {
    const int pools = Find<QTreeWidget>("lvTaskOPools")->topLevelItemCount();
    if (Row("lvTaskOPools", kPool) == nullptr) {
      Fail("the pool list has no " + kPool.toStdString() + " (" + std::to_string(pools) + " pools listed)");
      return;
    }
    Say("   " + std::to_string(pools) + " pools listed");
    Picture("refreshed");
    Say("2. Select all, then Start monitoring");
    Find<QAction>("Selectall1")->trigger();
    // The day's log may hold earlier runs: this run's lines start at its present end.
    logBefore_ = MonitoringLog();
    monitoringStart_ = logBefore_.isEmpty() ? 0 : QFileInfo(logBefore_).size();
    Find<QPushButton>("btnTaskStart")->click();
    // The first pass's redraw fills the Analyse list; its lines are in the monitoring log.
    Await("the first monitoring pass",
          [this] {
            const QString log = MonitoringLog();
            return Row("lvAnalyse", kPool) != nullptr && !log.isEmpty() &&
                   (log != logBefore_ || QFileInfo(log).size() > monitoringStart_);
          },
          [this] { Analyse(); }, 90s);
  }

  void Analyse() {
    Say("   the first pass, from " + MonitoringLog().toStdString() + ":");
    QFile log(MonitoringLog());
    if (log.open(QIODevice::ReadOnly | QIODevice::Text) &&
        (log.fileName() != logBefore_ || log.seek(monitoringStart_))) {
      for (int i = 0; i < kMonitoringLinesShown && !log.atEnd();) {
        const QString line = QString::fromUtf8(log.readLine()).trimmed();
        if (line.isEmpty()) continue;
        Say("   | " + line.toStdString());
        ++i;
      }
    }
    Picture("monitoring");
    Say("3. Analyse " + kPool.toStdString() + " at threshold " + kThreshold.toStdString());
    Find<QTabWidget>("pcMain")->setCurrentWidget(Find<QWidget>("tabAnalyse"));
    Find<QTreeWidget>("lvAnalyse")->setCurrentItem(Row("lvAnalyse", kPool));
    Find<QLineEdit>("edtAnalyseCPU")->setText(kThreshold);
    auto* start = Find<QPushButton>("btnAnalyseStart");
    if (!start->isEnabled()) {
      Fail("the analysis's Start is disabled");
      return;
    }
    start->click();
    Await("an OVERLOAD report of " + kOverloadedApp.toStdString(), [this] { return overloadSeen_; },
          [this] { Stop(); }, 120s);
  }

  void Stop() {
    Picture("overload");
    Say("4. Stop: every application goes back to " + kPool.toStdString());
    Find<QPushButton>("btnAnalyseStop")->click();
    Await("the analysis's end", [this] { return window_.LiveWorkers().analysers == 0; }, [this] { Finish(); },
          60s);
  }

  void Finish() {
    Picture("restored");
    Say("5. The configuration is back; closing the window");
    Close();
  }

  // The newest monitoring log in the window's log folder; empty before the first line.
  QString MonitoringLog() const {
    const QDir logs(QString::fromStdString(window_.LogDir()));
    const QFileInfoList found =
        logs.entryInfoList({QStringLiteral("trnw-mon-*.log")}, QDir::Files, QDir::Time);
    if (found.isEmpty() || found.first().size() == 0) return {};
    return found.first().absoluteFilePath();
  }

  // Saves each tab (and the chart) as it looks now, then shows the tab that was shown.
  void Picture(const char* step) {
    auto* pcMain = Find<QTabWidget>("pcMain");
    auto* pcMon = Find<QTabWidget>("pcMon");
    const int shownMain = pcMain->currentIndex();
    const int shownMon = pcMon->currentIndex();
    const struct {
      int main, mon;
      const char* name;
    } views[] = {{0, shownMon, "task"}, {1, 0, "monitoring"}, {1, 1, "graph"}, {2, shownMon, "analyse"}};
    for (const auto& view : views) {
      pcMain->setCurrentIndex(view.main);
      pcMon->setCurrentIndex(view.mon);
      QApplication::processEvents();
      const QString file = pictures_.filePath(
          QStringLiteral("%1-%2-%3.png").arg(++pictureCount_, 2, 10, QLatin1Char('0')).arg(QLatin1String(step),
                                                                                             QLatin1String(view.name)));
      if (!window_.grab().save(file)) Say("   cannot save " + file.toStdString());
    }
    pcMain->setCurrentIndex(shownMain);
    pcMon->setCurrentIndex(shownMon);
  }

  QDir pictures_;
  QString logBefore_;         // the monitoring log before Start, if any
  qint64 monitoringStart_ = 0;  // its size then
  int pictureCount_ = 0;
  bool overloadSeen_ = false;
};

}  // namespace

int PlayWalkthrough(const QString& exeDir, platform::IMetabase& metabase, platform::IProcessSystem& processes,
                    const QString& pictureDir) {
  QDir pictures(pictureDir);
  if (!pictures.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "tarnwell: cannot make the folder %s\n", qPrintable(pictureDir));
    return 1;
  }
  // A message box would wait for a click that never comes: its text is told instead.
  TFrmMain window(exeDir, metabase, processes, SystemClock(),
                  [](const QString& text) { Say("   message box: " + text.toStdString()); });
  window.show();
  Walkthrough walkthrough(window, pictures);
  QTimer::singleShot(0, &walkthrough, [&walkthrough] { walkthrough.Begin(); });
  QApplication::exec();
  return walkthrough.exitCode();
}

}  // namespace tarnwell
