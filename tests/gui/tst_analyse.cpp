// The Analyse tab of the Qt window over the fake seams: analyses run from its buttons into
// its stamped pane, and closing the window during one. Its rules (sorting, buttons, the
// threshold) are tested on the controller (tests/app/main_controller_analyse_test.cpp).
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>

#include "tests/gui/gui_support.h"
#include "tests/support/analyse_fixture.h"
#include "tests/support/window_servers.h"

using namespace tarnwell;
using guitest::WaitFor;

namespace {

// The Shop server (tests/support) and a window over it.
struct Server : testutil::ShopServer {
  guitest::Window w{metabase, processes};

  Server() {
    realPauses = true;
    w.Get<QWidget>("tabAnalyse")->setEnabled(true);  // as Start on the Task tab leaves it
  }

  // Has the UI thread redraw from records set here, as a monitoring pass would.
  void Redraw(const std::vector<std::tuple<std::string, int, int, int>>& pools) {
    testutil::SetRedrawRecords(w->Registry(), pools);
    w->ThreadPoolMonitoring();
  }

  void Select(const QString& pool) {
    auto* list = w.Get<QTreeWidget>("lvAnalyse");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      if (list->topLevelItem(i)->text(0) == pool) list->setCurrentItem(list->topLevelItem(i));
    }
  }

  // The Analyse pane's messages without their stamps.
  QStringList Pane() {
    QStringList out;
    const QString text = w.Get<QPlainTextEdit>("memAnalyse")->toPlainText();
    if (text.isEmpty()) return out;
    for (const QString& line : text.split(QLatin1Char('\n'))) out << line.section(QLatin1Char('\t'), 1);
    return out;
  }
};

}  // namespace

class TestAnalyse : public QObject {
  Q_OBJECT

 private slots:
  void paneLinesAreStampedAndKeptAcrossAnalyses() {
    Server server;
    guitest::Window& w = server.w;
    server.Redraw({{"Shop", 3, 40, 100}, {"Blog", 1, 0, 50}});
    server.Select("Blog");
    w.Click("btnAnalyseStart");
    QVERIFY(WaitFor([&] { return w->LiveWorkers().analysers == 0; }));
    server.Select("Shop");
    server.Select("Blog");
    w.Click("btnAnalyseStart");
    QVERIFY(WaitFor([&] { return w->LiveWorkers().analysers == 0; }));
    QCOMPARE(server.Pane(), QStringList({"Begin analyse of pool: Blog", "End analyse of pool: Blog",
                                         "Begin analyse of pool: Blog", "End analyse of pool: Blog"}));
    const QString ts = QRegularExpression::escape(QString(QLatin1Char(TimeSeparator())));
    const QRegularExpression stamp("^06-12-26 22" + ts + "45" + ts + "03\tBegin analyse of pool: Blog$");
    const QString first = w.Get<QPlainTextEdit>("memAnalyse")->toPlainText().section(QLatin1Char('\n'), 0, 0);
    QVERIFY2(stamp.match(first).hasMatch(), qPrintable(first));
  }

  void closingDuringAnAnalysisWaitsAndRestoresTheConfiguration() {
    Server server;
    guitest::Window& w = server.w;
    server.Redraw({{"Shop", 3, 40, 100}});
    server.Select("Shop");
    w.Click("btnAnalyseStart");
    QVERIFY(WaitFor([&] { return !server.processes.Terminated().empty(); }));
    QVERIFY(!server.Restored());
    w->show();
    w->close();
    QVERIFY(w.NoWorkers());
    // The return phase's messages reached the pane during the wait.
    const QStringList pane = server.Pane();
    QCOMPARE(pane.last(), QStringLiteral("End analyse of pool: Shop"));
    QCOMPARE(pane.count(QStringLiteral("Transfer application: [/LM/W3SVC/1/ROOT/b/] in pool [Shop]")), 1);
    QVERIFY(server.Restored());
  }
};

QTEST_MAIN(TestAnalyse)
#include "tst_analyse.moc"
