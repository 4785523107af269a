// The real window, offscreen, on the real seams (IIS_METABASE names the store's file), for
// the end-to-end tests. Every line of the message pane goes to standard output as
// "LOG <line>", every line of the Analyse pane as "ANALYSE <line>"; the driver's own steps
// as "READY", "STARTED", "ENDED", "FAILED <why>".
//
//   tarnwell-e2e-driver --dir DIR
//       opens the window (start-up recovery runs), reports the pane, closes it.
//   tarnwell-e2e-driver --dir DIR --analyse POOL [--threshold PERCENT] [--interval MINUTES]
//       presses Refresh, ticks POOL, starts monitoring, selects POOL on the Analyse tab,
//       sets the threshold and starts the analysis; then reads commands from standard
//       input: "stop" presses the analysis's Stop, "close" (or the input's end) closes.
//
// DIR stands for the executable's directory: the logs go to DIR/log/.
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/main.h"
#include "platform/platform.h"

namespace {

using namespace tarnwell;
using Clock = std::chrono::steady_clock;

constexpr int kTickMs = 50;
constexpr auto kStepTimeout = std::chrono::seconds(30);  // within the tests' own waits

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

struct Options {
  QString dir;
  QString pool;  // empty: only open and close
  QString threshold = QStringLiteral("70");
  QString interval = QStringLiteral("1");
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const QString value = QString::fromLocal8Bit(argv[i + 1]);
    if (name == "--dir") {
      options.dir = value;
    } else if (name == "--analyse") {
      options.pool = value;
    } else if (name == "--threshold") {
      options.threshold = value;
    } else if (name == "--interval") {
      options.interval = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options.dir.isEmpty();
}

// Runs the steps of the real program path one after another on the UI thread, each when
// the window is ready for it, and echoes both panes.
class Driver : public QObject {
 public:
  Driver(TFrmMain& window, Options options) : window_(window), options_(std::move(options)) {
    memLog_ = Find<QPlainTextEdit>("memLog");
    memAnalyse_ = Find<QPlainTextEdit>("memAnalyse");
    connect(&tick_, &QTimer::timeout, this, [this] { OnTick(); });
    tick_.start(kTickMs);
  }

  void Begin() {
    Echo();
    Say("READY");
    if (options_.pool.isEmpty()) {
      Close();
      return;
    }
    input_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(input_.get(), &QSocketNotifier::activated, this, [this] { ReadInput(); });
    Find<QPushButton>("btnTaskOPRefresh")->click();
    Await("the pool list", [this] { return window_.LiveWorkers().loaders == 0 && Row("lvTaskOPools"); },
          [this] { StartMonitoring(); });
  }

  int exitCode = 0;

 private:
  template <typename T>
  T* Find(const char* name) {
    T* child = window_.findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) {
      Say(std::string("FAILED no control ") + name);
      std::exit(3);
    }
    return child;
  }

  QTreeWidgetItem* Row(const char* list) {
    auto* tree = Find<QTreeWidget>(list);
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
      if (tree->topLevelItem(i)->text(0) == options_.pool) return tree->topLevelItem(i);
    }
    return nullptr;
  }

  void StartMonitoring() {
    Row("lvTaskOPools")->setCheckState(0, Qt::Checked);
    Find<QLineEdit>("edtMonMinutes")->setText(options_.interval);
    Find<QPushButton>("btnTaskStart")->click();
    // The first pass's redraw fills the Analyse list.
    Await("the first monitoring pass", [this] { return Row("lvAnalyse") != nullptr; }, [this] { StartAnalysis(); });
  }

  void StartAnalysis() {
    auto* list = Find<QTreeWidget>("lvAnalyse");
    list->setCurrentItem(Row("lvAnalyse"));
    Find<QLineEdit>("edtAnalyseCPU")->setText(options_.threshold);
    auto* start = Find<QPushButton>("btnAnalyseStart");
    if (!start->isEnabled()) {
      Fail("the analysis's Start is disabled");
      return;
    }
    start->click();
    Say("STARTED");
    Await("the analysis's end", [this] { return window_.LiveWorkers().analysers == 0; }, [] { Say("ENDED"); },
          false);
  }

  void ReadInput() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      input_->setEnabled(false);
      Close();
      return;
    }
    pendingInput_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = pendingInput_.find('\n')) != std::string::npos;) {
      const std::string command = pendingInput_.substr(0, eol);
      pendingInput_.erase(0, eol + 1);
      if (command == "stop") {
        Find<QPushButton>("btnAnalyseStop")->click();
      } else if (command == "close") {
        Close();
      }
    }
  }

  void Close() {
    // The close's wait runs the event loop: input or a tick may ask again meanwhile.
    if (closing_) return;
    closing_ = true;
    if (input_) input_->setEnabled(false);
    Echo();
    window_.close();  // waits for the workers; the ticks echo what they report meanwhile
    Echo();
    QCoreApplication::exit(exitCode);
  }

  void Fail(const std::string& why) {
    Say("FAILED " + why);
    exitCode = 3;
    Close();
  }

  // Runs next once ready holds; fails after the step's time-out when bounded.
  void Await(std::string what, std::function<bool()> ready, std::function<void()> next, bool bounded = true) {
    what_ = std::move(what);
    ready_ = std::move(ready);
    next_ = std::move(next);
    bounded_ = bounded;
    since_ = Clock::now();
  }

  void OnTick() {
    Echo();
    if (!ready_) return;
    if (ready_()) {
      ready_ = nullptr;
      auto next = std::move(next_);
      next();
    } else if (bounded_ && Clock::now() - since_ > kStepTimeout) {
      ready_ = nullptr;
      Fail("waiting for " + what_);
    }
  }

  // Writes the lines the panes have gained since the last look.
  void Echo() {
    EchoPane(memLog_, "LOG ", logLines_);
    EchoPane(memAnalyse_, "ANALYSE ", analyseLines_);
  }

  static void EchoPane(QPlainTextEdit* pane, const char* tag, qsizetype& shown) {
    const QString text = pane->toPlainText();
    if (text.isEmpty()) return;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (; shown < lines.size(); ++shown) Say(tag + lines[shown].toStdString());
  }

  TFrmMain& window_;
  Options options_;
  QTimer tick_;
  std::unique_ptr<QSocketNotifier> input_;
  std::string pendingInput_;
  QPlainTextEdit* memLog_ = nullptr;
  QPlainTextEdit* memAnalyse_ = nullptr;
  qsizetype logLines_ = 0;
  qsizetype analyseLines_ = 0;
  std::string what_;
  std::function<bool()> ready_;
  std::function<void()> next_;
  bool bounded_ = true;
  Clock::time_point since_;
  bool closing_ = false;
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

  auto metabase = platform::OpenLocalMetabase();
  auto processes = platform::OpenProcessSystem();
  TFrmMain window(options.dir, *metabase, *processes, SystemClock(),
                  [](const QString& text) { Say("BOX " + text.toStdString()); });
  window.show();
  Driver driver(window, options);
  QTimer::singleShot(0, &driver, [&driver] { driver.Begin(); });
  return QApplication::exec();
}
