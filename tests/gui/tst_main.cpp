// The Qt main window over null seams and a set clock: its first pane and log line, the
// layout's states, the menus and the pane's scrolling. The start-up's rules and the log
// failures are tested on the controller (tests/app/main_controller_startup_test.cpp).
#include <QAction>
#include <QCheckBox>
#include <QEnterEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/About.h"
#include "app/main.h"
#include "logs/Logs.h"
#include "logs/LogsClock.h"
#include "tests/fakes/null_seams.h"

using namespace tarnwell;

namespace {

class TestClock final : public ILocalClock {
 public:
  LocalTime Now() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return now_;
  }
  void Set(int year, int month, int day, int hour, int minute, int second, int ms) {
    std::lock_guard<std::mutex> guard(lock_);
    now_ = LocalTime{year, month, day, hour, minute, second, ms};
  }

 private:
  mutable std::mutex lock_;
  LocalTime now_{2026, 12, 6, 22, 45, 3, 120};
};

QString Ds() { return QString(QLatin1Char(DateSeparator())); }
QString Ts() { return QString(QLatin1Char(TimeSeparator())); }

// The pane line that "Start application." gets at 06/12/26 22:45:03.120.
QString StartLine() {
  return "06" + Ds() + "12" + Ds() + "26 22" + Ts() + "45" + Ts() + "03.120 Start application.";
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

// One window started on a temporary executable directory whose parents do not exist yet.
struct Run {
  QTemporaryDir tmp;
  QString exeDir;
  TestClock clock;
  fakes::NullMetabase metabase;
  fakes::NullProcessSystem processes;
  QStringList boxes;               // texts shown through the message-box hook
  QList<QThread*> boxThreads;      // the thread each was shown on
  std::unique_ptr<TFrmMain> window;

  explicit Run(const QString& relativeExeDir = QStringLiteral("deep/er/bin"))
      : exeDir(tmp.filePath(relativeExeDir)) {}

  TFrmMain& Start() {
    window = std::make_unique<TFrmMain>(exeDir, metabase, processes, clock,
                                        [this](const QString& text) {
                                          boxes << text;
                                          boxThreads << QThread::currentThread();
                                        });
    return *window;
  }

  template <typename T>
  T* Get(const char* name) {
    T* child = window->findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) qFatal("no control %s", name);
    return child;
  }

  QString LogFile() const { return exeDir + "/log/trnw061226.log"; }
  QString Pane() { return Get<QPlainTextEdit>("memLog")->toPlainText(); }
};

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private slots:
  void firstPaneLineAndDailyLogLine() {
    Run run;
    run.Start();
    QCOMPARE(run.Pane(), StartLine());
    const QRegularExpression format(
        "^\\d\\d" + QRegularExpression::escape(Ds()) + "\\d\\d" + QRegularExpression::escape(Ds()) +
        "\\d\\d \\d\\d" + QRegularExpression::escape(Ts()) + "\\d\\d" +
        QRegularExpression::escape(Ts()) + "\\d\\d\\.\\d\\d\\d Start application\\.$");
    QVERIFY(format.match(run.Pane()).hasMatch());

    // The file's own stamp, a TAB, then the pane's line; every opening starts with an
    // empty line.
    const QString fileLine = "06-12-26 22" + Ts() + "45" + Ts() + "03.120\t" + StartLine();
    QCOMPARE(ReadFile(run.LogFile()), QByteArray("\r\n") + fileLine.toUtf8() + "\r\n");
  }

  void controlsExistWithTheirStatesAtStart() {
    Run run;
    TFrmMain& w = run.Start();
    QCOMPARE(w.objectName(), QStringLiteral("FrmMain"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Tarnwell"));
    for (const char* name :
         {"stbStatus", "pnlLog", "pnlChkLog", "memLog", "splLog", "pcMain", "tabTask",
          "pnlTaskOptions", "pnlTaskOPools", "stTaskOPools", "pnlRefreshPool", "pnlTaskControl",
          "tabMonitoring", "pcMon", "tabMonList", "tabMonGraph", "tvMonList", "s", "tabAnalyse",
          "Panel1", "Splitter1", "Panel3", "memAnalyse", "Panel2", "popMnuTaskPools", "mnuMain"}) {
      QVERIFY2(w.findChild<QObject*>(QString::fromLatin1(name)) != nullptr, name);
    }

    auto* pcMain = run.Get<QTabWidget>("pcMain");
    QCOMPARE(pcMain->currentWidget(), run.Get<QWidget>("tabAnalyse"));
    QCOMPARE(pcMain->tabPosition(), QTabWidget::South);  // the three tabs below
    QCOMPARE(run.Get<QTabWidget>("pcMon")->tabPosition(), QTabWidget::North);
    QVERIFY(!run.Get<QWidget>("tabAnalyse")->isEnabled());
    QVERIFY(!run.Get<QPushButton>("btnTaskStart")->isEnabled());
    QVERIFY(run.Get<QPushButton>("btnTaskStop")->isEnabled());
    QVERIFY(!run.Get<QPushButton>("btnAnalyseStart")->isEnabled());
    QVERIFY(!run.Get<QPushButton>("btnAnalyseStop")->isEnabled());
    QVERIFY(run.Get<QCheckBox>("chkDontScroll")->isChecked());
    auto* hide = run.Get<QCheckBox>("chkHideInactive");
    QVERIFY(hide->isChecked());
    w.show();
    QVERIFY(!hide->isVisible());
    QCOMPARE(run.Get<QLineEdit>("edtMonMinutes")->text(), QStringLiteral("3"));
    QCOMPARE(run.Get<QLineEdit>("edtMonMinutes")->maxLength(), 3);
    QCOMPARE(run.Get<QLineEdit>("edtAnalyseCPU")->text(), QStringLiteral("70"));
    QCOMPARE(run.Get<QLineEdit>("edtAnalyseCPU")->maxLength(), 3);
    QCOMPARE(run.Get<QTreeWidget>("tvMonList")->topLevelItemCount(), 0);
    QCOMPARE(run.Get<QTreeWidget>("lvTaskOPools")->topLevelItemCount(), 0);
    QCOMPARE(run.Get<QPlainTextEdit>("memAnalyse")->palette().color(QPalette::Base),
             QColor(215, 255, 255));
    QCOMPARE(run.Get<QLineEdit>("edtTaskOPFilter")->palette().color(QPalette::Base),
             QColor(192, 220, 192));

    // The client area below the menu bar, status bar included.
    QCOMPARE(w.centralWidget()->width(), 686);
    QCOMPARE(w.centralWidget()->height() + w.statusBar()->height(), 538);
  }

  void listColumnsAndTheirTags() {
    Run run;
    TFrmMain& w = run.Start();
    auto* pools = run.Get<QTreeWidget>("lvTaskOPools");
    QCOMPARE(pools->headerItem()->text(0), QStringLiteral("Pool"));
    QCOMPARE(pools->headerItem()->text(1), QStringLiteral("Apps"));
    QCOMPARE(pools->columnWidth(0), 220);
    QCOMPARE(pools->columnWidth(1), 40);
    QCOMPARE(w.PoolColumnTags(), QVector<int>({1, 1}));

    auto* analyse = run.Get<QTreeWidget>("lvAnalyse");
    const QStringList captions{"Pool", "App", "CPU", "RAM"};
    const QList<int> widths{200, 50, 50, 50};
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(analyse->headerItem()->text(i), captions[i]);
      QCOMPARE(analyse->columnWidth(i), widths[i]);
    }
    QCOMPARE(analyse->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(w.AnalyseColumnTags(), QVector<int>({1, 1, 1, 1}));
  }

  void chartHasTwoBarSetsUnderOneValueAxis() {
    Run run;
    run.Start();
    QChart* chart = run.Get<QChartView>("s")->chart();
    QVERIFY(chart->legend()->isVisible());
    QVERIFY(chart->title().isEmpty());
    QCOMPARE(chart->series().size(), 1);
    auto* bars = qobject_cast<QBarSeries*>(chart->series().first());
    QVERIFY(bars != nullptr);
    QVERIFY(!bars->isLabelsVisible());
    QCOMPARE(bars->count(), 2);
    QCOMPARE(bars->barSets()[0]->objectName(), QStringLiteral("Series1"));
    QCOMPARE(bars->barSets()[0]->label(), QStringLiteral("RAM"));
    QCOMPARE(bars->barSets()[0]->color(), QColor(Qt::red));
    QCOMPARE(bars->barSets()[1]->objectName(), QStringLiteral("Series2"));
    QCOMPARE(bars->barSets()[1]->label(), QStringLiteral("CPU"));
    QCOMPARE(bars->barSets()[1]->color().green() > 0, true);
    QCOMPARE(bars->barSets()[1]->color().red(), 0);
    const auto axes = chart->axes(Qt::Vertical);
    QCOMPARE(axes.size(), 1);
    QCOMPARE(axes.first()->titleText(), QStringLiteral("RAM/CPU"));
  }

  void captions_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::newRow("refresh") << "btnTaskOPRefresh" << "&Refresh";
    QTest::newRow("filter") << "btnTaskOFilter" << "&Apply filter";
    QTest::newRow("start") << "btnTaskStart" << "&Start";
    QTest::newRow("stop") << "btnTaskStop" << "S&top";
    QTest::newRow("analyse start") << "btnAnalyseStart" << "&Start";
    QTest::newRow("analyse stop") << "btnAnalyseStop" << "Sto&p";
    QTest::newRow("pools") << "stTaskOPools" << "Avaible pools";
    QTest::newRow("interval") << "Label1" << "Monitoring &every (in minutes)";
    QTest::newRow("alert") << "Label2" << "Alert if CPU usage greater than";
    QTest::newRow("percent") << "Label3" << "%";
    QTest::newRow("no scroll") << "chkDontScroll" << "No scroll";
    QTest::newRow("site") << "chkGetName" << "Get name of site";
    QTest::newRow("aspnet") << "chkGetASPNET" << "Get ver. ASP.NET";
    QTest::newRow("hide") << "chkHideInactive" << "&Hide inactive pools";
  }

  void captions() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    Run run;
    run.Start();
    QObject* control = run.window->findChild<QObject*>(name);
    QVERIFY(control != nullptr);
    QCOMPARE(control->property("text").toString(), caption);

    auto* pcMain = run.Get<QTabWidget>("pcMain");
    QCOMPARE(pcMain->tabText(0), QStringLiteral("&Task"));
    QCOMPARE(pcMain->tabText(1), QStringLiteral("&Monitoring"));
    QCOMPARE(pcMain->tabText(2), QStringLiteral("&Analyse"));
    auto* pcMon = run.Get<QTabWidget>("pcMon");
    QCOMPARE(pcMon->tabText(0), QStringLiteral("&List"));
    QCOMPARE(pcMon->tabText(1), QStringLiteral("&Graph"));
    QCOMPARE(pcMon->currentIndex(), 0);
    // The interval label's accelerator leads to the interval box.
    QCOMPARE(run.Get<QLabel>("Label1")->buddy(), run.Get<QWidget>("edtMonMinutes"));
  }

  void menuItems_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<int>("tag");
    QTest::newRow("Exit1") << "File1" << "Exit1" << "&Exit" << QKeySequence() << 0;
    QTest::newRow("Selectall1") << "Edit1" << "Selectall1" << "&Select all"
                                << QKeySequence(Qt::CTRL | Qt::Key_A) << 10;
    QTest::newRow("Deselectall1") << "Edit1" << "Deselectall1" << "&Deselect all"
                                  << QKeySequence(Qt::CTRL | Qt::Key_B) << 11;
    QTest::newRow("Refresh1") << "Edit1" << "Refresh1" << "&Refresh" << QKeySequence(Qt::Key_F5) << 0;
    QTest::newRow("About1") << "Help1" << "About1" << "&About..." << QKeySequence() << 0;
    QTest::newRow("Selectall2") << "popMnuTaskPools" << "Selectall2" << "&Select all"
                                << QKeySequence() << 10;
    QTest::newRow("Deselectall2") << "popMnuTaskPools" << "Deselectall2" << "&Deselect all"
                                  << QKeySequence() << 11;
    QTest::newRow("Refresh2") << "popMnuTaskPools" << "Refresh2" << "&Refresh" << QKeySequence() << 0;
  }

  void menuItems() {
    QFETCH(QString, menu);
    QFETCH(QString, item);
    QFETCH(QString, caption);
    QFETCH(QKeySequence, shortcut);
    QFETCH(int, tag);
    Run run;
    run.Start();
    auto* owner = run.window->findChild<QMenu*>(menu);
    QVERIFY(owner != nullptr);
    QAction* action = nullptr;
    for (QAction* a : owner->actions()) {
      if (a->objectName() == item) action = a;
    }
    QVERIFY(action != nullptr);
    QCOMPARE(action->text(), caption);
    QCOMPARE(action->shortcut(), shortcut);
    QCOMPARE(action->property("Tag").toInt(), tag);
  }

  void menuCaptionsAndSeparators() {
    Run run;
    run.Start();
    QStringList titles;
    for (QAction* a : run.window->menuBar()->actions()) titles << a->text();
    QCOMPARE(titles, QStringList({"&File", "&Edit", "&Help"}));
    const auto edit = run.Get<QMenu>("Edit1")->actions();
    QCOMPARE(edit.size(), 4);
    QVERIFY(edit[2]->isSeparator());
    QCOMPARE(edit[2]->objectName(), QStringLiteral("N2"));
    const auto pop = run.Get<QMenu>("popMnuTaskPools")->actions();
    QCOMPARE(pop.size(), 4);
    QVERIFY(pop[2]->isSeparator());
    QCOMPARE(pop[2]->objectName(), QStringLiteral("N3"));
  }

  void hintsGoToTheStatusBarOnly() {
    Run run;
    TFrmMain& w = run.Start();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* filter = run.Get<QLineEdit>("edtTaskOPFilter");
    QCOMPARE(filter->statusTip(), QStringLiteral("Support regular expression"));
    QCOMPARE(run.Get<QWidget>("lvAnalyse")->statusTip(), QStringLiteral("Analyse only CPU value."));
    for (QWidget* child : w.findChildren<QWidget*>()) {
      QVERIFY2(child->toolTip().isEmpty(), qPrintable(child->objectName()));
    }
    for (QTabWidget* tabs : w.findChildren<QTabWidget*>()) {
      for (int i = 0; i < tabs->count(); ++i) QVERIFY(tabs->tabToolTip(i).isEmpty());
    }
    // The mouse entering the filter box shows its hint in the status bar.
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), filter->mapToGlobal(QPointF(2, 2)));
    QCoreApplication::sendEvent(filter, &enter);
    QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral("Support regular expression"));
  }

  void exitClosesAndAboutShowsModally() {
    Run run;
    TFrmMain& w = run.Start();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TFrmAbout& about = w.About();
    QVERIFY(!about.isVisible());  // made at start, hidden
    bool seenModal = false;
    QPoint aboutCentre;
    QTimer::singleShot(0, &about, [&] {
      seenModal = about.isVisible() && about.isModal();
      aboutCentre = about.frameGeometry().center();
      about.accept();
    });
    run.Get<QAction>("About1")->trigger();
    QVERIFY(seenModal);
    QVERIFY((aboutCentre - w.frameGeometry().center()).manhattanLength() < 40);

    run.Get<QAction>("Exit1")->trigger();
    QVERIFY(!w.isVisible());
  }

  void noScrollKeepsTheViewStill() {
    Run run;
    TFrmMain& w = run.Start();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* noScroll = run.Get<QCheckBox>("chkDontScroll");
    auto* pane = run.Get<QPlainTextEdit>("memLog");
    QScrollBar* v = pane->verticalScrollBar();
    QScrollBar* h = pane->horizontalScrollBar();

    noScroll->setChecked(false);
    w.LogWinMsg(std::string(400, 'w'));
    for (int i = 0; i < 200; ++i) w.LogWinMsg("line " + std::to_string(i));
    QVERIFY(v->maximum() > 20);
    QCOMPARE(v->value(), v->maximum());  // unticked: follows the new line

    noScroll->setChecked(true);
    v->setValue(5);
    h->setValue(30);
    w.LogWinMsg("quiet");
    QCOMPARE(v->value(), 5);
    QCOMPARE(h->value(), 30);
    QVERIFY(pane->toPlainText().endsWith(" quiet"));

    // At the bottom the pane would follow by itself; ticked, it must not.
    v->setValue(v->maximum());
    const int bottom = v->value();
    for (int i = 0; i < 10; ++i) w.LogWinMsg("more");
    QCOMPARE(v->value(), bottom);
    QVERIFY(v->maximum() > bottom);

    noScroll->setChecked(false);
    w.LogWinMsg("follow");
    QCOMPARE(v->value(), v->maximum());
    QCOMPARE(pane->blockCount(), 1 + 1 + 200 + 1 + 10 + 1);  // nothing lost below the cap
  }

};

QTEST_MAIN(TestMainWindow)
#include "tst_main.moc"
