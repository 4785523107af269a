// Start-up recovery: the window puts back what an analysis of a run that ended abnormally
// left, on the real MetaBase.xml store over a temporary file, before anything else.
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "app/main.h"
#include "iis/adshlp.h"
#include "standin/metabase/metabase_store.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/fakes/null_seams.h"
#include "tests/gui/gui_support.h"

using namespace tarnwell;

namespace {

const std::vector<std::string> kShopApps{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/2/ROOT/cart/",
                                         "/LM/W3SVC/2/ROOT/checkout/"};
const std::vector<std::string> kTemps{"QuillmarshAnalyse46362.9479166667", "QuillmarshAnalyse46362.9479282407",
                                      "QuillmarshAnalyse46362.9479398148"};

std::string MetabaseText() {
  std::string xml =
      "<?xml version =\"1.0\"?>\n"
      "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\n"
      "<MBProperty>\n"
      "<IIsWebService\tLocation =\"/LM/W3SVC\"\n\t\tAppPoolId=\"DefaultAppPool\"\n\t>\n</IIsWebService>\n"
      "<IIsApplicationPools\tLocation =\"/LM/W3SVC/AppPools\"\n\t>\n</IIsApplicationPools>\n";
  for (const char* pool : {"DefaultAppPool", "ShopPool"}) {
    xml += std::string("<IIsApplicationPool\tLocation =\"/LM/W3SVC/AppPools/") + pool +
           "\"\n\t\tAppPoolIdentityType=\"2\"\n\t>\n</IIsApplicationPool>\n";
  }
  xml += "<IIsWebServer\tLocation =\"/LM/W3SVC/2\"\n\t\tServerComment=\"Shop site\"\n\t>\n</IIsWebServer>\n";
  for (const auto& app : kShopApps) {
    const std::string location = app.substr(0, app.size() - 1);
    xml += "<IIsWebVirtualDir\tLocation =\"" + location + "\"\n\t\tAppIsolated=\"2\"\n\t\tAppPoolId=\"ShopPool\"" +
           "\n\t\tAppRoot=\"" + location + "\"\n\t>\n</IIsWebVirtualDir>\n";
  }
  return xml + "</MBProperty>\n</configuration>\n";
}

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

// An executable directory whose log directory holds a journal, over a MetaBase.xml the
// journal's analysis changed.
struct LeftOver {
  QTemporaryDir tmp;
  std::string file = QDir(tmp.path()).filePath(QStringLiteral("MetaBase.xml")).toStdString();
  std::string logDir = QDir(tmp.path()).filePath(QStringLiteral("log")).toStdString() + "/";
  std::unique_ptr<platform::IMetabase> store;
  fakes::NullProcessSystem processes;
  guitest::TestClock clock;
  std::unique_ptr<TFrmMain> window;

  LeftOver() {
    QDir(tmp.path()).mkpath(QStringLiteral("log"));
    QFile out(QString::fromStdString(file));
    if (!out.open(QIODevice::WriteOnly)) qFatal("cannot write the metabase");
    out.write(QByteArray::fromStdString(MetabaseText()));
    out.close();
    store = standin::OpenMetabaseStore(file);
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
    for (std::size_t i = 0; i < kShopApps.size(); ++i) {
      journal.Apps.push_back({kShopApps[i], "ShopPool"});
      journal.Temps.push_back({kTemps[i], kShopApps[i]});
      GetMetabaseObject(*run.store, kAppPoolsPath)->Create("IIsApplicationPool", kTemps[i])->SetInfo();
      if (i < 2) QVERIFY(MoveAppToPool(*run.store, kShopApps[i], kTemps[i]));
    }
    SaveJournal(JournalPath(run.logDir), journal);
    QCOMPARE(PoolsOf(run.file).size(), std::size_t{5});

    run.Start();
    const QStringList expected{
        "Start application.",
        "Recovery: analysis of pool [ShopPool] did not end; putting its applications back",
        "Recovery: application [/LM/W3SVC/2/ROOT/catalog/] back in pool [ShopPool]",
        "Recovery: application [/LM/W3SVC/2/ROOT/cart/] back in pool [ShopPool]",
        "Recovery: application [/LM/W3SVC/2/ROOT/checkout/] already in pool [ShopPool]",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[0]) + "] removed",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[1]) + "] removed",
        "Recovery: temp. pool [" + QString::fromStdString(kTemps[2]) + "] removed",
        "Recovery: complete",
    };
    QCOMPARE(run.Pane(), expected);
    const QString daily = run.DailyLog();
    for (const QString& line : expected) QVERIFY2(daily.contains(" " + line + "\r\n"), qPrintable(line));

    QVERIFY(PoolsOf(run.file) == original);
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
};

QTEST_MAIN(TestRecovery)
#include "tst_recovery.moc"
