// The Task tab's pool list over a MetaBase.xml store: reloads, filters, sorting, ticks and
// the Start button, an invalid filter, and reloads that overlap.
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "iis/iis.h"
#include "standin/metabase/metabase_store.h"
#include "tests/fakes/null_seams.h"
#include "tests/gui/gui_support.h"

using namespace tarnwell;
using guitest::WaitFor;

namespace {

// Pools in this order: DefaultAppPool (1 application, the site's root), MyPool2 (10),
// AppPool1 (9), MyAppPool (1), Intranet (none).
QByteArray ServerXml() {
  QByteArray xml =
      "<?xml version =\"1.0\"?>\n<configuration>\n<MBProperty>\n"
      "<IIsWebService Location=\"/LM/W3SVC\" AppPoolId=\"DefaultAppPool\"/>\n"
      "<IIsApplicationPools Location=\"/LM/W3SVC/AppPools\"/>\n";
  for (const char* pool : {"DefaultAppPool", "MyPool2", "AppPool1", "MyAppPool", "Intranet"}) {
    xml += QByteArray("<IIsApplicationPool Location=\"/LM/W3SVC/AppPools/") + pool + "\"/>\n";
  }
  xml += "<IIsWebServer Location=\"/LM/W3SVC/1\" ServerComment=\"Shop\"/>\n"
         "<IIsWebVirtualDir Location=\"/LM/W3SVC/1/ROOT\" AppRoot=\"/LM/W3SVC/1/ROOT\"/>\n";
  const auto apps = [&xml](const char* pool, const char* prefix, int count) {
    for (int i = 0; i < count; ++i) {
      const QByteArray path = QByteArray("/LM/W3SVC/1/ROOT/") + prefix + QByteArray::number(i);
      xml += "<IIsWebVirtualDir Location=\"" + path + "\" AppRoot=\"" + path + "\" AppPoolId=\"" + pool +
             "\"/>\n";
    }
  };
  apps("MyPool2", "m", 10);
  apps("AppPool1", "a", 9);
  apps("MyAppPool", "x", 1);
  xml += "</MBProperty>\n</configuration>\n";
  return xml;
}

const QStringList kAllRows{"DefaultAppPool|1", "MyPool2|10", "AppPool1|9", "MyAppPool|1", "Intranet|0"};

// Slows every bind down, so that reloads started together are sure to overlap.
class SlowMetabase final : public platform::IMetabase {
 public:
  explicit SlowMetabase(platform::IMetabase& inner) : inner_(inner) {}
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view path) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    return inner_.Bind(path);
  }
  std::atomic<int> delayMs{0};

 private:
  platform::IMetabase& inner_;
};

// Gives the pool named "Nameless" an empty name, as a broken metabase entry would.
class NamelessObject final : public platform::IMetabaseObject {
 public:
  explicit NamelessObject(std::unique_ptr<platform::IMetabaseObject> inner) : inner_(std::move(inner)) {}
  std::string Name() const override {
    const std::string name = inner_->Name();
    return name == "Nameless" ? std::string() : name;
  }
  platform::MetabaseValue Get(std::string_view p) override { return inner_->Get(p); }
  void Put(std::string_view p, const platform::MetabaseValue& v) override { inner_->Put(p, v); }
  void Clear(std::string_view p) override { inner_->Clear(p); }
  bool HasOwnValue(std::string_view p) override { return inner_->HasOwnValue(p); }
  void SetInfo() override { inner_->SetInfo(); }
  platform::MetabaseValue EnumAppsInPool() override { return inner_->EnumAppsInPool(); }
  std::unique_ptr<platform::IMetabaseObject> Create(std::string_view c, std::string_view n) override {
    return inner_->Create(c, n);
  }
  void Delete(std::string_view c, std::string_view n) override { inner_->Delete(c, n); }
  std::unique_ptr<platform::IMetabaseObject> GetObject(std::string_view c, std::string_view n) override {
    return inner_->GetObject(c, n);
  }
  std::unique_ptr<platform::IMetabaseEnumerator> Enumerate() override;

 private:
  std::unique_ptr<platform::IMetabaseObject> inner_;
};

class NamelessEnumerator final : public platform::IMetabaseEnumerator {
 public:
  explicit NamelessEnumerator(std::unique_ptr<platform::IMetabaseEnumerator> inner) : inner_(std::move(inner)) {}
  bool Next(std::unique_ptr<platform::IMetabaseObject>& child) override {
    std::unique_ptr<platform::IMetabaseObject> raw;
    const bool more = inner_->Next(raw);
    child = raw ? std::make_unique<NamelessObject>(std::move(raw)) : nullptr;
    return more;
  }

 private:
  std::unique_ptr<platform::IMetabaseEnumerator> inner_;
};

std::unique_ptr<platform::IMetabaseEnumerator> NamelessObject::Enumerate() {
  return std::make_unique<NamelessEnumerator>(inner_->Enumerate());
}

class NamelessMetabase final : public platform::IMetabase {
 public:
  explicit NamelessMetabase(platform::IMetabase& inner) : inner_(inner) {}
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view path) override {
    return std::make_unique<NamelessObject>(inner_.Bind(path));
  }

 private:
  platform::IMetabase& inner_;
};

// A server in a temporary MetaBase.xml and a window over it.
struct Server {
  QTemporaryDir dir;
  std::unique_ptr<platform::IMetabase> store;
  std::unique_ptr<SlowMetabase> slow;
  fakes::NullProcessSystem processes;
  std::unique_ptr<guitest::Window> w;

  explicit Server(const QByteArray& xml = ServerXml()) {
    const QString file = dir.filePath(QStringLiteral("MetaBase.xml"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(xml) != xml.size()) qFatal("cannot write MetaBase.xml");
    out.close();
    store = standin::OpenMetabaseStore(file.toStdString());
    slow = std::make_unique<SlowMetabase>(*store);
    w = std::make_unique<guitest::Window>(*slow, processes);
  }
  guitest::Window& operator*() { return *w; }
  guitest::Window* operator->() { return w.get(); }
};

void ClickHeader(QTreeWidget* list, int column) {
  QHeaderView* header = list->header();
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

// Applies the filter and waits until its loader has ended, whatever the outcome.
void ApplyFilter(guitest::Window& w, const QString& text) {
  w.Get<QLineEdit>("edtTaskOPFilter")->setText(text);
  w.Click("btnTaskOFilter");
  QVERIFY(WaitFor([&] { return w->LiveWorkers().loaders == 0; }));
}

}  // namespace

class TestPoolList : public QObject {
  Q_OBJECT

 private slots:
  void refreshListsThePoolsInMetabaseOrder() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    QCOMPARE(w.Messages(), QStringList({"Start application.", "Begin get pools. Please wait...", "End get pools",
                                        "Pools: 5", "Begin fill list", "End fill list"}));
    auto* list = w.Get<QTreeWidget>("lvTaskOPools");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QVERIFY(list->topLevelItem(i)->flags() & Qt::ItemIsUserCheckable);
      QCOMPARE(list->topLevelItem(i)->checkState(0), Qt::Unchecked);
    }
    QVERIFY(!w.Get<QPushButton>("btnTaskStart")->isEnabled());
    // F5 and the pop-up's Refresh reload the same way.
    w.Trigger("Refresh2");
    QVERIFY(WaitFor([&] { return w.CountMessage("End fill list") == 2 && w->LiveWorkers().loaders == 0; }));
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void filters_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("pool, any case") << "POOL"
                                    << QStringList{"DefaultAppPool|1", "MyPool2|10", "AppPool1|9", "MyAppPool|1"};
    QTest::newRow("anchored") << "^app" << QStringList{"AppPool1|9"};
    QTest::newRow("only spaces") << "   " << kAllRows;
    QTest::newRow("matches nothing") << "^zz" << QStringList{};
  }

  void filters() {
    QFETCH(QString, filter);
    QFETCH(QStringList, rows);
    Server server;
    guitest::Window& w = *server;
    ApplyFilter(w, filter);
    QCOMPARE(w.Rows("lvTaskOPools"), rows);
    QCOMPARE(w.Messages().mid(1, 3), QStringList({"Apply filter : [" + filter + "]", "Begin get pools. Please wait...",
                                                  "End get pools"}));
    QCOMPARE(w.Messages()[4], "Pools: " + QString::number(rows.size()));
    QCOMPARE(QString::fromStdString(w->Registry().Filter), filter);  // as typed, spaces kept
  }

  void refreshAfterAFilterListsAllAndKeepsTheBox() {
    Server server;
    guitest::Window& w = *server;
    ApplyFilter(w, "^app");
    QCOMPARE(w.Rows("lvTaskOPools"), QStringList{"AppPool1|9"});
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    QCOMPARE(w.Get<QLineEdit>("edtTaskOPFilter")->text(), QStringLiteral("^app"));
    QVERIFY(w->Registry().Filter.empty());
    w.Click("btnTaskOFilter");
    QVERIFY(WaitFor([&] { return w->LiveWorkers().loaders == 0 && w.CountMessage("End fill list") == 3; }));
    QCOMPARE(w.Rows("lvTaskOPools"), QStringList{"AppPool1|9"});
  }

  void headerClicksSortEachColumnByItsOwnSign() {
    Server server;
    guitest::Window& w = *server;
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.frm.get()));
    QVERIFY(w.Refresh());
    auto* list = w.Get<QTreeWidget>("lvTaskOPools");
    w.Tick("MyAppPool");

    ClickHeader(list, 0);
    QCOMPARE(w.Column("lvTaskOPools", 0),
             QStringList({"MyPool2", "MyAppPool", "Intranet", "DefaultAppPool", "AppPool1"}));
    ClickHeader(list, 1);  // as text: 9, 10, 1; equal counts keep their order
    QCOMPARE(w.Column("lvTaskOPools", 1), QStringList({"9", "10", "1", "1", "0"}));
    QCOMPARE(w.Column("lvTaskOPools", 0),
             QStringList({"AppPool1", "MyPool2", "MyAppPool", "DefaultAppPool", "Intranet"}));
    ClickHeader(list, 0);  // the Pool column goes on from its own sign: now A to Z
    QCOMPARE(w.Column("lvTaskOPools", 0),
             QStringList({"AppPool1", "DefaultAppPool", "Intranet", "MyAppPool", "MyPool2"}));
    QCOMPARE(w->PoolColumnTags(), QVector<int>({1, -1}));
    QCOMPARE(w.Ticked(), QStringList{"MyAppPool"});  // ticks go with their rows
    QVERIFY(w.Get<QPushButton>("btnTaskStart")->isEnabled());

    // A reload brings the metabase's order back until the next click.
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void selectAllDeselectAllAndTheStartButton() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Refresh());
    auto* start = w.Get<QPushButton>("btnTaskStart");
    w.Trigger("Selectall1");
    QCOMPARE(w.Ticked().size(), 5);
    QVERIFY(start->isEnabled());
    w.Tick("MyPool2", false);  // another row stays ticked
    QVERIFY(start->isEnabled());
    w.Trigger("Deselectall2");
    QVERIFY(w.Ticked().isEmpty());
    QVERIFY(!start->isEnabled());
    w.Trigger("Selectall2");
    QCOMPARE(w.Ticked().size(), 5);
    w.Trigger("Deselectall1");
    QVERIFY(w.Ticked().isEmpty());
    w.Tick("Intranet");
    QVERIFY(start->isEnabled());
    w.Tick("Intranet", false);
    QVERIFY(!start->isEnabled());
  }

  void ctrlAAndCtrlBTickAndUntickFromTheKeyboard() {
    Server server;
    guitest::Window& w = *server;
    w->show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.frm.get()));
    QVERIFY(w.Refresh());
    auto* list = w.Get<QTreeWidget>("lvTaskOPools");
    auto* filter = w.Get<QLineEdit>("edtTaskOPFilter");
    w.Get<QTabWidget>("pcMain")->setCurrentIndex(0);

    list->setFocus();
    QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(w.Ticked().size(), 5);
    filter->setFocus();
    QTest::keyClick(filter, Qt::Key_B, Qt::ControlModifier);  // Ctrl+B works in a text box too
    QVERIFY(w.Ticked().isEmpty());
    // In a text box Ctrl+A keeps selecting the box's text.
    filter->setText(QStringLiteral("pool"));
    QTest::keyClick(filter, Qt::Key_A, Qt::ControlModifier);
    QVERIFY(w.Ticked().isEmpty());
    QCOMPARE(filter->selectedText(), QStringLiteral("pool"));
  }

  void ticksAreLostOnReload() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Refresh());
    w.Tick("MyPool2");
    w.Tick("Intranet");
    QVERIFY(w.Get<QPushButton>("btnTaskStart")->isEnabled());
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    QVERIFY(w.Ticked().isEmpty());
    QVERIFY(!w.Get<QPushButton>("btnTaskStart")->isEnabled());
  }

  void invalidFilterKeepsTheRowsAndTheWindowUsable() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Refresh());
    w.Tick("AppPool1");
    const int before = static_cast<int>(w.Messages().size());
    ApplyFilter(w, "([");
    QCOMPARE(w.Messages().mid(before), QStringList({"Apply filter : [([]", "Begin get pools. Please wait..."}));
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    QCOMPARE(w.Ticked(), QStringList{"AppPool1"});
    // The reason is in the day's log only.
    QFile daily(QString::fromStdString(w->LogDir()) + "trnw061226.log");
    QVERIFY(daily.open(QIODevice::ReadOnly));
    QVERIFY(daily.readAll().contains("Error get pools"));
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void anUnreadableMetabaseIsSaidOnceAndTheListKeepsItsPools() {
    Server server;
    guitest::Window& w = *server;
    QVERIFY(w.Refresh());
    const QString file = server.dir.filePath(QStringLiteral("MetaBase.xml"));
    const auto f5 = [&]() -> QStringList {
      const int before = static_cast<int>(w.Messages().size());
      w.Trigger("Refresh1");
      if (!WaitFor([&] { return w.Messages().size() >= before + 6 && w->LiveWorkers().loaders == 0; })) return {};
      return w.Messages().mid(before);
    };
    const QString prefix = QStringLiteral("The metabase cannot be read [IIS://localhost/w3svc/AppPools]: ");
    const QString suffix = QStringLiteral(". The list shows the pools read before.");

    // Cut short in the middle: not well-formed.
    QFile cut(file);
    QVERIFY(cut.open(QIODevice::ReadWrite));
    QVERIFY(cut.resize(cut.size() / 2));
    cut.close();
    QStringList lines = f5();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[0], QStringLiteral("Begin get pools. Please wait..."));
    QVERIFY2(lines[1].startsWith(prefix + "The metabase file " + file + " is not well-formed: ") &&
                 lines[1].endsWith(suffix),
             qPrintable(lines[1]));
    QCOMPARE(lines.mid(2), QStringList({"End get pools", "Pools: 5", "Begin fill list", "End fill list"}));
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    QFile daily(QString::fromStdString(w->LogDir()) + "trnw061226.log");
    QVERIFY(daily.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(daily.readAll()).contains(" " + lines[1] + "\r\n"));

    // Deleted.
    QVERIFY(QFile::remove(file));
    lines = f5();
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines[1].startsWith(prefix + "Cannot read the metabase file " + file + ": ") && lines[1].endsWith(suffix),
             qPrintable(lines[1]));
    QCOMPARE(lines[3], QStringLiteral("Pools: 5"));
  }

  void recordWithAnEmptyNameIsCountedButNotListed() {
    QByteArray xml = ServerXml();
    xml.replace("<IIsWebServer", "<IIsApplicationPool Location=\"/LM/W3SVC/AppPools/Nameless\"/>\n<IIsWebServer");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("MetaBase.xml"));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(xml);
    out.close();
    auto store = standin::OpenMetabaseStore(file.toStdString());
    NamelessMetabase nameless(*store);
    fakes::NullProcessSystem processes;
    guitest::Window w(nameless, processes);
    QVERIFY(w.Refresh());
    QVERIFY(w.Messages().contains("Pools: 6"));
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void overlappingReloadsLeaveTheListAndTheRegistryInStep() {
    Server server;
    guitest::Window& w = *server;
    server.slow->delayMs = 60;
    w.Get<QLineEdit>("edtTaskOPFilter")->setText(QStringLiteral("^app"));
    w.Click("btnTaskOFilter");
    w.Trigger("Refresh1");
    w.Click("btnTaskOFilter");
    w.Click("btnTaskOPRefresh");
    QCOMPARE(w->LiveWorkers().loaders, 4);
    QVERIFY(WaitFor([&] { return w->LiveWorkers().loaders == 0; }));
    QCOMPARE(w.CountMessage("End fill list"), 4);
    // One reload and refill at a time: no "Begin fill list" before the previous end.
    const QStringList messages = w.Messages();
    QString last;
    QStringList counts;
    for (const QString& m : messages) {
      if (m == "Begin fill list") QVERIFY(last != m);
      if (m == "Begin fill list" || m == "End fill list") last = m;
      if (m.startsWith("Pools: ")) counts << m;
    }
    // Each reload loaded with its own filter.
    counts.sort();
    QCOMPARE(counts, QStringList({"Pools: 1", "Pools: 1", "Pools: 5", "Pools: 5"}));
    // The list shows what the registry holds, and that is what its filter gives.
    const TIISObject& registry = w->Registry();
    QStringList held;
    for (int i = 0; i < registry.PoolCount; ++i) {
      held << QString::fromStdString(registry.Pools[static_cast<std::size_t>(i)].Name) + "|" +
                  QString::number(registry.Pools[static_cast<std::size_t>(i)].AppCount);
    }
    QCOMPARE(w.Rows("lvTaskOPools"), held);
    QCOMPARE(held, registry.Filter.empty() ? kAllRows : QStringList{"AppPool1|9"});
  }

  void closingWhileReloadsRunWaitsForThem() {
    Server server;
    guitest::Window& w = *server;
    server.slow->delayMs = 80;
    w.Click("btnTaskOPRefresh");
    w.Click("btnTaskOPRefresh");
    w->close();
    QVERIFY(w.NoWorkers());
    QCOMPARE(w.CountMessage("End fill list"), 2);  // their hand-overs ran during the wait
    server.w.reset();
  }
};

QTEST_MAIN(TestPoolList)
#include "tst_poollist.moc"
