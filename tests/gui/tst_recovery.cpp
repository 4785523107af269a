// The server's configuration after an analysis, on the real MetaBase.xml store over a
// temporary file in IIS 6's own layout: start-up recovery puts back what the analysis of a
// run that ended abnormally left, before anything else, and an analysis stopped from the
// window or cut short by its close leaves the file as it found it, byte for byte.
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/main.h"
#include "iis/adshlp.h"
#include "iis/iis.h"
#include "standin/metabase/metabase_store.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/gui/gui_support.h"
#include "tests/support/iis6_metabase.h"

using namespace tarnwell;

namespace {

using testutil::kIis6ShopApps;
const std::vector<std::string> kTemps{"QuillmarshAnalyse46362.9479166667", "QuillmarshAnalyse46362.9479282407",
                                      "QuillmarshAnalyse46362.9479398148"};

// The server as a fresh store reads it: every pool with the applications it serves.
std::vector<std::pair<std::string, std::vector<std::string>>> PoolsOf(const std::string& file) {
  auto store = standin::OpenMetabaseStore(file);
  std::vector<std::pair<std::string, std::vector<std::string>>> pools;
  auto all = store->Bind(kAppPoolsPath)->Enumerate();
  for (std::unique_ptr<platform::IMetabaseObject> pool; all->Next(pool);) {
    if (!pool) continue;
    const auto apps = pool->EnumAppsInPool();
    pools.emplace_back(pool->Name(), std::get<platform::MetabaseList>(apps).Strings());
  }
  return pools;
}

std::string ReadText(const std::string& file) {
  QFile in(QString::fromStdString(file));
  return in.open(QIODevice::ReadOnly) ? in.readAll().toStdString() : std::string();
}

// An executable directory with its log directory, over a MetaBase.xml in IIS 6's layout.
struct LeftOver {
  QTemporaryDir tmp;
  std::string file = QDir(tmp.path()).filePath(QStringLiteral("MetaBase.xml")).toStdString();
  std::string logDir = QDir(tmp.path()).filePath(QStringLiteral("log")).toStdString() + "/";
  const std::string original = testutil::Iis6ShopMetabase();
  std::unique_ptr<platform::IMetabase> store;
  fakes::FakeProcessSystem processes;  // no workers: every figure is 0
  guitest::TestClock clock;
  std::unique_ptr<TFrmMain> window;

  LeftOver() {
    QDir(tmp.path()).mkpath(QStringLiteral("log"));
    QFile out(QString::fromStdString(file));
    if (!out.open(QIODevice::WriteOnly)) qFatal("cannot write the metabase");
    out.write(QByteArray::fromStdString(original));
    out.close();
    store = standin::OpenMetabaseStore(file);
    // The measuring pauses take a moment, not 800 ms.
    processes.SetOnSleep([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  }

  void Start() {
    window = std::make_unique<TFrmMain>(tmp.path(), *store, processes, clock,
                                        [](const QString& text) { qWarning("message box: %s", qPrintable(text)); });
  }

  QStringList Pane() {
    QStringList out;
    const auto lines = window->findChild<QPlainTextEdit*>(QStringLiteral("memLog"))->toPlainText().split('\n');
    for (const QString& line : lines) out << line.mid(22);  // the stamp cut off
    return out;
  }
  QString DailyLog() const {
    QFile in(QString::fromStdString(logDir) + QStringLiteral("trnw061226.log"));
    return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()) : QString();
  }
  bool JournalLeft() const { return JournalExists(JournalPath(logDir)); }

  // Starts an analysis of ShopPool from the Analyse tab and waits until every application
  // is in a temporary pool of its own.
  bool AnalyseShopPool() {
    TIISObject& registry = window->Registry();
    registry.ClearPools();
    registry.Pools[0].Name = "ShopPool";
    registry.Pools[0].AppCount = 3;
    registry.PoolCount = 1;
    window->ThreadPoolMonitoring();
    window->findChild<QWidget*>(QStringLiteral("tabAnalyse"))->setEnabled(true);
    auto* list = window->findChild<QTreeWidget*>(QStringLiteral("lvAnalyse"));
    list->setCurrentItem(list->topLevelItem(0));
    window->findChild<QPushButton*>(QStringLiteral("btnAnalyseStart"))->click();
    return guitest::WaitFor([&] {
      const QString pane = window->findChild<QPlainTextEdit*>(QStringLiteral("memAnalyse"))->toPlainText();
      return pane.count(QStringLiteral("] in pool [") + kTempPoolPrefix) == 3;
    });
  }
};

}  // namespace

class TestRecovery : public QObject {
  Q_OBJECT

 private slots:
  void journalLeftByAKilledRunIsPutBackAtStartUp() {
    LeftOver run;
    const auto original = PoolsOf(run.file);
    QCOMPARE(original.size(), std::size_t{2});

    // Killed while transferring: catalog and cart sit in temporary pools, checkout's pool
    // was made but the application had not moved yet.
    AnalyseJournal journal;
    journal.Pool = "ShopPool";
    for (std::size_t i = 0; i < kIis6ShopApps.size(); ++i) {
      journal.Apps.push_back({kIis6ShopApps[i], "ShopPool", testutil::kIis6ShopAppsOwnPool[i]});
      journal.Temps.push_back({kTemps[i], kIis6ShopApps[i]});
      GetMetabaseObject(*run.store, kAppPoolsPath)->Create("IIsApplicationPool", kTemps[i])->SetInfo();
      if (i < 2) QVERIFY(MoveAppToPool(*run.store, kIis6ShopApps[i], kTemps[i]));
    }
    SaveJournal(JournalPath(run.logDir), journal);
    QCOMPARE(PoolsOf(run.file).size(), std::size_t{5});

    run.Start();
    const QStringList expected{
        "Start application.",
        "Recovery: analysis of pool [ShopPool] did not end; putting its applications back",
        "Recovery: application [/LM/W3SVC/2/ROOT/catalog/] inherits its pool again",
        "Recovery: application [/LM/W3SVC/2/ROOT/cart/] back in pool [ShopPool]",
        "Recovery: application [/LM/W3SVC/3/ROOT/checkout/] already inherits its pool",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[0]) + "] removed",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[1]) + "] removed",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[2]) + "] removed",
        "Recovery: complete",
    };
    QCOMPARE(run.Pane(), expected);
    const QString daily = run.DailyLog();
    for (const QString& line : expected) QVERIFY2(daily.contains(" " + line + "\r\n"), qPrintable(line));

    QVERIFY(ReadText(run.file) == run.original);
    QVERIFY(!run.JournalLeft());
    QVERIFY(!QFile::exists(QString::fromStdString(JournalPath(run.logDir) + ".bad")));

    // The next start finds nothing to put back and says nothing of it.
    run.window.reset();
    run.Start();
    QCOMPARE(run.Pane(), QStringList({"Start application."}));
  }

  void damagedJournalIsSetAsideAndTheWindowStillStarts() {
    LeftOver run;
    const auto original = PoolsOf(run.file);
    {
      QFile cut(QString::fromStdString(JournalPath(run.logDir)));
      QVERIFY(cut.open(QIODevice::WriteOnly));
      cut.write(QByteArray(kJournalHeader) + "\r\npool\tShopPool\r\napp\t/LM/W3SVC/2/ROOT/ca");  // cut short
    }
    run.Start();
    const QStringList pane = run.Pane();
    QCOMPARE(pane.size(), 2);
    QVERIFY2(pane[1].startsWith("Recovery: the analysis journal [") && pane[1].contains("is damaged") &&
                 pane[1].endsWith("Check the pools of the applications by hand."),
             qPrintable(pane[1]));
    QVERIFY(!run.JournalLeft());
    QVERIFY(QFile::exists(QString::fromStdString(JournalPath(run.logDir) + ".bad")));
    QVERIFY(PoolsOf(run.file) == original);
    QVERIFY(run.window->findChild<QPushButton*>(QStringLiteral("btnTaskOPRefresh"))->isEnabled());
  }

  void analysisStoppedFromTheWindowLeavesTheFileAsItWas() {
    LeftOver run;
    run.Start();
    QVERIFY(run.AnalyseShopPool());
    QVERIFY(ReadText(run.file) != run.original);
    run.window->findChild<QPushButton*>(QStringLiteral("btnAnalyseStop"))->click();
    QVERIFY(guitest::WaitFor([&] { return run.window->LiveWorkers().analysers == 0; }));
    QVERIFY(ReadText(run.file) == run.original);
    QVERIFY(!run.JournalLeft());
  }

  void closingTheWindowMidAnalysisLeavesTheFileAsItWas() {
    LeftOver run;
    run.Start();
    QVERIFY(run.AnalyseShopPool());
    run.window->show();
    run.window->close();
    QVERIFY(ReadText(run.file) == run.original);
    QVERIFY(!run.JournalLeft());
    run.window.reset();
  }
};

QTEST_MAIN(TestRecovery)
#include "tst_recovery.moc"
