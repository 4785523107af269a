// The real window, offscreen, on the real seams (IIS_METABASE names the store's file), for
// the end-to-end tests. Every line of the message pane goes to standard output as
// "LOG <line>", every line of the Analyse pane as "ANALYSE <line>"; the driver's own steps
// as "READY", "STARTED", "ENDED", "FAILED <why>".
//
//   tarnwell-e2e-driver --dir DIR
//       opens the window (start-up recovery runs), reports the pane, closes it.
//   tarnwell-e2e-driver --dir DIR --monitor MINUTES [--textfile-dir DIR]
//       presses Refresh, ticks every pool, sets the interval and starts monitoring; then
//       reads commands from standard input as below.
//   tarnwell-e2e-driver --dir DIR --history DAYS
//       loads the last DAYS days' monitoring logs on the History tab and says, for each pool
//       the CPU chart draws, "HISTORY <pool>\t<points>\t<segments>\t<restarts>"; then closes.
//   tarnwell-e2e-driver --dir DIR --analyse POOL [--threshold PERCENT] [--interval MINUTES]
//       presses Refresh, ticks POOL, starts monitoring, selects POOL on the Analyse tab,
//       sets the threshold and starts the analysis; then reads commands from standard
//       input: "stop" presses the analysis's Stop, "close" (or the input's end) closes.
//
// DIR stands for the executable's directory: the logs go to DIR/log/.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDateEdit>
#include <QTabWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "app/HistoryTab.h"
#include "app/WindowDriver.h"
#include "app/main.h"
#include "app/ProgramSeams.h"

namespace {

using namespace tarnwell;

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

struct Options {
  QString dir;
  QString pool;  // empty: only open and close
  QString threshold = QStringLiteral("70");
  QString interval = QStringLiteral("1");
  QString monitor;  // the interval with which to monitor every pool
  QString textfileDir;
  QString historyDays;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  const std::map<std::string_view, QString*> fields{
      {"--dir", &options.dir},           {"--analyse", &options.pool},           {"--threshold", &options.threshold},
      {"--interval", &options.interval}, {"--textfile-dir", &options.textfileDir}, {"--history", &options.historyDays},
      {"--monitor", &options.monitor}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const auto field = fields.find(argv[i]);
    if (field == fields.end()) return false;
    *field->second = QString::fromLocal8Bit(argv[i + 1]);
  }
  return argc % 2 == 1 && !options.dir.isEmpty();
}

// Runs the steps of the real program path one after another, each when the window is
// ready for it, and echoes both panes; then takes commands from standard input.
class Driver : public WindowDriver {
 public:
  Driver(TFrmMain& window, Options options) : WindowDriver(window, Say), options_(std::move(options)) {}

  void Begin() {
    Say("READY");
    if (options_.historyDays.toInt() > 0) return ShowHistory();
    if (options_.pool.isEmpty() && options_.monitor.isEmpty()) return Close();
    input_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(input_.get(), &QSocketNotifier::activated, this, [this] { ReadInput(); });
    Find<QPushButton>("btnTaskOPRefresh")->click();
    if (!options_.monitor.isEmpty()) {
      return Await("the pool list", [this] { return window_.LiveWorkers().loaders == 0; }, [this] {
        Find<QAction>("Selectall1")->trigger();
        Find<QLineEdit>("edtMonMinutes")->setText(options_.monitor);
        Find<QPushButton>("btnTaskStart")->click();
        Say("STARTED");
      });
    }
    Await("the pool list",
          [this] { return window_.LiveWorkers().loaders == 0 && Row("lvTaskOPools", options_.pool); },
          [this] { StartMonitoring(); });
  }

 private:
  void ShowHistory() {
    auto* tab = Find<HistoryTab>("tabHistory");
    Find<QTabWidget>("pcMain")->setCurrentWidget(tab);
    Find<QDateEdit>("edtHistoryFrom")->setDate(QDate::currentDate().addDays(1 - options_.historyDays.toInt()));
    Find<QPushButton>("btnHistoryLoad")->click();
    Await("the History tab's load", [tab] { return !tab->Loading(); }, [this, tab] {
      for (const auto& line : tab->ShownLines(0)) {
        std::size_t points = 0;
        for (const auto& segment : line.segments) points += segment.size();
        Say("HISTORY " + line.pool + "\t" + std::to_string(points) + "\t" + std::to_string(line.segments.size()) +
            "\t" + std::to_string(line.restarts.size()));
      }
      Close();
    });
  }

  void StartMonitoring() {
    Row("lvTaskOPools", options_.pool)->setCheckState(0, Qt::Checked);
    Find<QLineEdit>("edtMonMinutes")->setText(options_.interval);
    Find<QPushButton>("btnTaskStart")->click();
    // The first pass's redraw fills the Analyse list.
    Await("the first monitoring pass", [this] { return Row("lvAnalyse", options_.pool) != nullptr; },
          [this] { StartAnalysis(); });
  }

  void StartAnalysis() {
    Find<QTreeWidget>("lvAnalyse")->setCurrentItem(Row("lvAnalyse", options_.pool));
    Find<QLineEdit>("edtAnalyseCPU")->setText(options_.threshold);
    auto* start = Find<QPushButton>("btnAnalyseStart");
    if (!start->isEnabled()) return Fail("the analysis's Start is disabled");
    start->click();
    Say("STARTED");
    AwaitForever("the analysis's end", [this] { return window_.LiveWorkers().analysers == 0; },
                 [] { Say("ENDED"); });
  }

  void ReadInput() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) pendingInput_.append(buffer, static_cast<std::size_t>(n));
    if (n <= 0) pendingInput_ += "\nclose\n";  // the input's end closes too
    for (std::size_t eol; (eol = pendingInput_.find('\n')) != std::string::npos;) {
      const std::string command = pendingInput_.substr(0, eol);
      pendingInput_.erase(0, eol + 1);
      if (command == "stop") Find<QPushButton>("btnAnalyseStop")->click();
      if (command == "close") {
        input_->setEnabled(false);
        return Close();
      }
    }
  }

  Options options_;
  std::unique_ptr<QSocketNotifier> input_;
  std::string pendingInput_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs("usage: tarnwell-e2e-driver --dir DIR [--analyse POOL] [--threshold PERCENT] [--interval MINUTES]\n",
               stderr);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell"));

  auto metabase = tarnwell::OpenLocalMetabase();
  auto processes = tarnwell::OpenProcessSystem();
  TFrmMain window(options.dir, *metabase, *processes, SystemClock(),
                  [](const QString& text) { Say("BOX " + text.toStdString()); });
  window.SetTextfileDir(options.textfileDir.toStdString());
  window.show();
  Driver driver(window, options);
  QTimer::singleShot(0, &driver, [&driver] { driver.Begin(); });
  return QApplication::exec();
}
