// The Task tab's pool list in the Qt window over a MetaBase.xml store: a reload drawn as
// rows with tick boxes, header clicks, Ctrl+A and Ctrl+B, and closing while reloads run.
// Its rules are tested on the controller (tests/app/main_controller_pools_test.cpp).
#include <QHeaderView>
#include <QLineEdit>

#include "tests/fakes/null_seams.h"
#include "tests/gui/gui_support.h"
#include "tests/support/window_servers.h"

using namespace tarnwell;
namespace {

const QStringList kAllRows{"DefaultAppPool|1", "MyPool2|10", "AppPool1|9", "MyAppPool|1", "Intranet|0"};

// A server in a temporary MetaBase.xml and a window over it.
struct Server {
  testutil::PoolListMetabase metabase;
  fakes::NullProcessSystem processes;
  guitest::Window w{metabase, processes};
};

void ClickHeader(QTreeWidget* list, int column) {
  QHeaderView* header = list->header();
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

}  // namespace

class TestPoolList : public QObject {
  Q_OBJECT

 private slots:
  void refreshListsThePoolsInMetabaseOrder() {
    Server server;
    guitest::Window& w = server.w;
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
    auto* list = w.Get<QTreeWidget>("lvTaskOPools");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QVERIFY(list->topLevelItem(i)->flags() & Qt::ItemIsUserCheckable);
      QCOMPARE(list->topLevelItem(i)->checkState(0), Qt::Unchecked);
    }
    // F5 and the pop-up's Refresh reload the same way.
    w.Trigger("Refresh2");
    QVERIFY(guitest::WaitFor([&] { return w.CountMessage("End fill list") == 2 && w->LiveWorkers().loaders == 0; }));
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void headerClicksSortEachColumnByItsOwnSign() {
    Server server;
    guitest::Window& w = server.w;
    QVERIFY(w.Show());
    QVERIFY(w.Refresh());
    auto* list = w.Get<QTreeWidget>("lvTaskOPools");
    w.Tick("MyAppPool");

    ClickHeader(list, 0);
    QCOMPARE(w.Rows("lvTaskOPools"),
             QStringList({"MyPool2|10", "MyAppPool|1", "Intranet|0", "DefaultAppPool|1", "AppPool1|9"}));
    ClickHeader(list, 1);  // as text: 9, 10, 1; equal counts keep their order
    QCOMPARE(w.Rows("lvTaskOPools"),
             QStringList({"AppPool1|9", "MyPool2|10", "MyAppPool|1", "DefaultAppPool|1", "Intranet|0"}));
    ClickHeader(list, 0);  // the Pool column goes on from its own sign: now A to Z
    QCOMPARE(w.Rows("lvTaskOPools"),
             QStringList({"AppPool1|9", "DefaultAppPool|1", "Intranet|0", "MyAppPool|1", "MyPool2|10"}));
    QCOMPARE(w->PoolColumnTags(), QVector<int>({1, -1}));
    QCOMPARE(w.Ticked(), QStringList{"MyAppPool"});  // ticks go with their rows
    QVERIFY(w.Get<QPushButton>("btnTaskStart")->isEnabled());

    // A reload brings the metabase's order back until the next click.
    QVERIFY(w.Refresh());
    QCOMPARE(w.Rows("lvTaskOPools"), kAllRows);
  }

  void ctrlAAndCtrlBTickAndUntickFromTheKeyboard() {
    Server server;
    guitest::Window& w = server.w;
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

  void closingWhileReloadsRunWaitsForThem() {
    Server server;
    guitest::Window& w = server.w;
    server.metabase.delayMs = 80;
    w.Click("btnTaskOPRefresh");
    w.Click("btnTaskOPRefresh");
    w->close();
    QVERIFY(w.NoWorkers());
    QCOMPARE(w.CountMessage("End fill list"), 2);  // their hand-overs ran during the wait
  }
};

QTEST_MAIN(TestPoolList)
#include "tst_poollist.moc"
