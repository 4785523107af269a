// Monitoring from the Qt window over the fake seams: Start and Stop drawn into the tree,
// the chart and the Analyse list, the interval box's keys, the chart's labels, and closing
// while a monitor runs. The rules themselves are tested on the controller
// (tests/app/main_controller_test.cpp).
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>

#include "tests/gui/gui_support.h"
#include "tests/support/window_servers.h"

using namespace tarnwell;
using guitest::WaitFor;

namespace {

// testutil::MonitoringServer in a Qt window.
struct Server : testutil::MonitoringServer {
  std::unique_ptr<guitest::Window> w = std::make_unique<guitest::Window>(metabase, processes);

  guitest::Window& operator*() { return *w; }

  // Redraws so far.
  int Passes() { return static_cast<int>(w->Messages().filter(QRegularExpression("^Monitoring pools : ")).size()); }
  // Refresh, tick, Start with a 1-minute interval, and wait for the first redraw.
  bool StartOn(const QStringList& pools) {
    if (!w->Refresh()) return false;
    for (const QString& pool : pools) w->Tick(pool);
    w->Get<QLineEdit>("edtMonMinutes")->setText(QStringLiteral("1"));
    const int before = Passes();
    w->Click("btnTaskStart");
    return WaitFor([&] { return Passes() > before; });
  }
  bool MonitorGone() { return WaitFor([&] { return (*w)->LiveWorkers().monitors == 0; }); }
};

}  // namespace

class TestMonitoring : public QObject {
  Q_OBJECT

 private slots:
  void startMonitorsTheTickedPoolsAndRedraws() {
    Server server;
    guitest::Window& w = *server;
    w.Get<QCheckBox>("chkGetName")->setChecked(true);
    QVERIFY(server.StartOn({"Idle", "DefaultAppPool"}));
    QVERIFY(w->Registry().GetSiteName);  // the ticked box reached the rules

    // The tree: the active pool only, with its applications.
    QCOMPARE(w.Rows("tvMonList"),
             QStringList{"DefaultAppPool (RAM 12345 kb, CPU 7, PID 2044, Threads 25, TCP 3, Files 40, Handles 400)"});
    QTreeWidgetItem* node = w.Items("tvMonList")[0];
    QCOMPARE(node->childCount(), 2);
    QCOMPARE(node->child(0)->text(0) + "|" + node->child(1)->text(0),
             QStringLiteral("Shop [/LM/W3SVC/1/ROOT/]|Shop [/LM/W3SVC/1/ROOT/shop/]"));
    // The Analyse list: every selected pool, the inactive one too.
    QCOMPARE(w.Rows("lvAnalyse"), QStringList({"DefaultAppPool|2|7|12345", "Idle|1|0|0"}));
    // The chart: one pair of bars, at the same position, named by the pool.
    QChart* chart = w.Get<QChartView>("s")->chart();
    auto* bars = qobject_cast<QBarSeries*>(chart->series().first());
    QCOMPARE(bars->barSets()[0]->count(), 1);
    auto* categories = qobject_cast<QBarCategoryAxis*>(chart->axes(Qt::Horizontal).first());
    QCOMPARE(categories->categories(), QStringList{"DefaultAppPool"});
    QVERIFY(chart->axes(Qt::Vertical).first()->property("max").toDouble() >= 12345.0);

    QVERIFY(w.Get<QWidget>("tabAnalyse")->isEnabled());
    QVERIFY(!w.Get<QPushButton>("btnTaskOPRefresh")->isEnabled());
    QVERIFY(!w.Get<QPushButton>("btnTaskOFilter")->isEnabled());
    QVERIFY(w.Get<QPushButton>("btnTaskStop")->isEnabled());

    // The monitoring log got its header and the active pool's line.
    w.Click("btnTaskStop");
    QVERIFY(server.MonitorGone());
    const QStringList monLogs = QDir(QString::fromStdString(w->LogDir())).entryList({"trnw-mon-*.log"});
    QCOMPARE(monLogs.size(), 1);
    const std::string text = testutil::ReadAll(w->LogDir() + monLogs[0].toStdString());
    QVERIFY(text.find("\tDefaultAppPool\t2\t12345\t7\t25\t40\t3\t400\t2044\r\n") != std::string::npos);
  }

  void intervalBoxTakesDigitsOnly() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Show());
    w.Get<QTabWidget>("pcMain")->setCurrentIndex(0);
    auto* box = w.Get<QLineEdit>("edtMonMinutes");
    box->setFocus();
    box->clear();
    QTest::keyClicks(box, "1a.2 ");
    QCOMPARE(box->text(), QStringLiteral("12"));
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(box->text(), QStringLiteral("1"));
    QTest::keyClicks(box, "2345");
    QCOMPARE(box->text(), QStringLiteral("123"));  // three characters at most
    QTest::keyClick(box, Qt::Key_Home);
    // Keys that type nothing work as usual; X11 gives Delete the text DEL.
    QTest::sendKeyEvent(QTest::Click, box, Qt::Key_Delete, QString(QChar(0x7f)), Qt::NoModifier);
    QCOMPARE(box->text(), QStringLiteral("23"));
    QTest::keyClick(box, Qt::Key_Right);
    QTest::keyClick(box, Qt::Key_Delete);
    QCOMPARE(box->text(), QStringLiteral("2"));
    QTest::keyClick(box, Qt::Key_Left);
    QTest::keyClicks(box, "1");
    QCOMPARE(box->text(), QStringLiteral("12"));
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClick(box, Qt::Key_Escape);
    QCOMPARE(box->text(), QStringLiteral("12"));

    // A pasted non-number becomes the default; a pasted number stays; minutes are never
    // negative.
    for (const auto& [pasted, kept] : {std::pair{"x7", "3"}, {"45", "45"}, {"-5", "3"}}) {
      QApplication::clipboard()->setText(QString::fromLatin1(pasted));
      box->selectAll();
      box->paste();
      QCOMPARE(box->text(), QString::fromLatin1(kept));
    }

    // Cleared, it stays empty.
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(box->text(), QString());

    // Tab still leaves the box.
    QTest::keyClick(box, Qt::Key_Tab);
    QVERIFY(!box->hasFocus());
  }

  void everyActivePoolGetsItsPairOfBarsAndItsOwnLabel() {
    Server server;
    guitest::Window& w = *server;
    TIISObject& registry = w->Registry();
    const auto fill = [&registry](int pools) {
      registry.ClearPools();
      for (int i = 0; i < pools; ++i) {
        TPoolRec& rec = registry.Pools[static_cast<std::size_t>(registry.PoolCount++)];
        rec.Name = i < 2 ? std::string() : "Pool" + std::to_string(i);  // two without a name
        rec.RamKB = 1000 + i;
        rec.Cpu = i == 5 ? -1 : i % 100;
        rec.Pid = 100 + i;
      }
    };
    QChart* chart = w.Get<QChartView>("s")->chart();
    auto* bars = qobject_cast<QBarSeries*>(chart->series().first());
    auto* categories = qobject_cast<QBarCategoryAxis*>(chart->axes(Qt::Horizontal).first());

    fill(150);
    w->ThreadPoolMonitoring();
    QCOMPARE(bars->barSets()[0]->count(), 150);
    QCOMPARE(bars->barSets()[1]->count(), 150);
    QCOMPARE(categories->count(), 150);  // the two empty names are still two labels
    QCOMPARE(bars->barSets()[0]->at(5), 1005.0);  // RAM first, then CPU
    QCOMPARE(bars->barSets()[1]->at(5), -1.0);
    QVERIFY(chart->axes(Qt::Vertical).first()->property("min").toDouble() <= -1.0);
    QVERIFY(!categories->labelsVisible());  // too many to read

    fill(4);
    w->ThreadPoolMonitoring();
    QCOMPARE(bars->barSets()[0]->count(), 4);
    QCOMPARE(categories->count(), 4);
    QCOMPARE(categories->at(3), QStringLiteral("Pool3"));
    QVERIFY(categories->labelsVisible());
  }

  void closingWhileMonitoringStopsAndAwaitsTheMonitor() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(server.StartOn({"DefaultAppPool"}));
    w->show();
    w->close();
    QVERIFY(w.NoWorkers());
    QVERIFY(!w->Registry().IsMonitoring());
    server.w.reset();  // the registry and the log go; nothing may use them after
  }
};

QTEST_MAIN(TestMonitoring)
#include "tst_monitoring.moc"
