// The Qt main window over null seams and a set clock: its layout and first pane line as it
// opens (one table), the hints, the About box and Exit, and the pane's scrolling. The
// start-up's rules and the log failures are tested on the controller
// (tests/app/main_controller_startup_test.cpp).
#include <QCheckBox>
#include <QEnterEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>

#include "app/About.h"
#include "tests/fakes/null_seams.h"
#include "tests/gui/gui_support.h"

using namespace tarnwell;

namespace {

struct NullSeams {
  fakes::NullMetabase metabase;
  fakes::NullProcessSystem processes;
};
// Seams first: they outlive the window.
struct Run : NullSeams, guitest::Window {
  Run() : guitest::Window(metabase, processes) {}
};

// "FrmMain", or a path of object names below it ("FrmAbout/Label1").
QObject* Find(TFrmMain& w, const QString& path) {
  QObject* found = &w;
  for (const QString& name : path.split(QLatin1Char('/'))) {
    if (found != nullptr && name != w.objectName()) found = found->findChild<QObject*>(name);
  }
  return found;
}

// One aspect of a control as text: a property by its name, or one of the few that are not.
QString Aspect(TFrmMain& w, QObject* o, const QString& what) {
  auto* widget = qobject_cast<QWidget*>(o);
  auto* tree = qobject_cast<QTreeWidget*>(o);
  auto* tabs = qobject_cast<QTabWidget*>(o);
  QStringList out;
  if (what == "client") {  // below the menu bar
    return QStringLiteral("%1x%2").arg(w.centralWidget()->width()).arg(w.centralWidget()->height() + w.statusBar()->height());
  }
  if (what == "tabs") {
    for (int i = 0; i < tabs->count(); ++i) out << tabs->tabText(i);
  } else if (what == "current") {
    return tabs->currentWidget()->objectName();
  } else if (what == "columns") {
    for (int i = 0; i < tree->columnCount(); ++i) out << tree->headerItem()->text(i) + ":" + QString::number(tree->columnWidth(i));
  } else if (what == "tags") {
    for (int tag : o->objectName() == "lvTaskOPools" ? w.PoolColumnTags() : w.AnalyseColumnTags()) out << QString::number(tag);
  } else if (what == "actions") {
    for (QAction* a : widget->actions()) out << (a->isSeparator() ? "-" : "") + (a->objectName().isEmpty() ? a->text() : a->objectName());
  } else if (what == "item") {
    auto* a = qobject_cast<QAction*>(o);
    return a->text() + "|" + a->shortcut().toString() + "|" + a->property("Tag").toString();
  } else if (what == "chart") {  // legend, title, the series' bar sets, the value axes' titles
    QChart* chart = qobject_cast<QChartView*>(o)->chart();
    out << (chart->legend()->isVisible() ? "legend" : "no legend") << chart->title();
    for (QAbstractSeries* series : chart->series()) {
      auto* bars = qobject_cast<QBarSeries*>(series);
      out << (bars == nullptr ? "not bars" : bars->isLabelsVisible() ? "labels" : "no labels");
      for (QBarSet* set : bars != nullptr ? bars->barSets() : QList<QBarSet*>()) {
        out << set->objectName() + ":" + set->label() + ":" + set->color().name();
      }
    }
    for (QAbstractAxis* axis : chart->axes(Qt::Vertical)) out << axis->titleText();
  } else if (what == "base") {
    return widget->palette().color(QPalette::Base).name();
  } else if (what == "buddy") {
    return qobject_cast<QLabel*>(o)->buddy()->objectName();
  } else if (what == "iconSizes") {
    for (const QSize& size : widget->windowIcon().availableSizes()) out << QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
  } else if (what == "font") {
    return QStringLiteral("%1px%2").arg(widget->font().pixelSize()).arg(widget->font().bold() ? " bold" : "");
  } else if (what == "fixed") {
    widget->layout()->activate();
    return widget->minimumSize() == widget->maximumSize() ? "true" : "false";
  } else {
    const QVariant value = o->property(what.toLatin1().constData());
    if (!value.isValid()) qFatal("%s has no %s", qPrintable(o->objectName()), qPrintable(what));
    return value.toString();
  }
  return out.join(QLatin1Char('|'));
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

  std::unique_ptr<Run> layout_;  // the window the layout table reads, as it opened

 private slots:
  void layoutAtStart_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("aspect");
    QTest::addColumn<QString>("expected");
    const auto row = [](const QString& control, const QString& aspect, const QString& expected) {
      QTest::newRow(qPrintable(control + " " + aspect)) << control << aspect << expected;
    };
    for (const char* name : {"stbStatus", "pnlLog", "pnlChkLog", "splLog", "tabTask", "pnlTaskOptions",
                             "pnlTaskOPools", "pnlRefreshPool", "pnlTaskControl", "tabMonitoring", "tabMonList",
                             "tabMonGraph", "tabAnalyse/Panel1", "Splitter1", "Panel3", "Panel2"}) {
      row(name, "", "");
    }
    // The first pane line, at the clock's 06/12/26 22:45:03.120.
    const QString ds{QLatin1Char(DateSeparator())}, ts{QLatin1Char(TimeSeparator())};
    row("memLog", "plainText", "06" + ds + "12" + ds + "26 22" + ts + "45" + ts + "03.120 Start application.");
    // Several aspects of one control: their texts joined by "; ".
    row("FrmMain", "windowTitle client", "Tarnwell; 686x538");  // client: status bar included
    row("FrmMain", "iconSizes", "16x16|32x32|48x48");  // the pictures tarnwell.ico holds
    row("pcMain", "tabs tabPosition current", "&Task|&Monitoring|&Analyse|&History; South; tabAnalyse");
    row("pcMon", "tabs tabPosition currentIndex", "&List|&Graph; North; 0");
    row("tabAnalyse", "enabled", "false");
    row("btnTaskOPRefresh", "text enabled", "&Refresh; true");
    row("btnTaskOFilter", "text enabled", "&Apply filter; true");
    row("btnTaskStart", "text enabled", "&Start; false");
    row("btnTaskStop", "text enabled", "S&top; true");
    row("btnAnalyseStart", "text enabled", "&Start; false");
    row("btnAnalyseStop", "text enabled", "Sto&p; false");
    row("stTaskOPools", "text", "Avaible pools");
    row("tabTask/Label1", "text buddy", "Monitoring &every (in minutes); edtMonMinutes");  // its accelerator's box
    row("Panel2/Label2", "text", "Alert if CPU usage greater than");
    row("Panel2/Label3", "text", "%");
    row("chkDontScroll", "text checked", "No scroll; true");
    row("chkGetName", "text checked", "Get name of site; false");
    row("chkGetASPNET", "text checked enabled", "Get ver. ASP.NET; false; false");
    row("chkHideInactive", "text checked visible", "&Hide inactive pools; true; false");
    row("edtMonMinutes", "text maxLength", "3; 3");
    row("edtAnalyseCPU", "text maxLength", "70; 3");
    row("edtTaskOPFilter", "base statusTip", "#c0dcc0; Support regular expression");
    row("memAnalyse", "base", "#d7ffff");
    row("s", "chart", "legend||no labels|Series1:RAM:#ff0000|Series2:CPU:#008000|RAM/CPU");
    row("tvMonList", "topLevelItemCount", "0");
    row("lvTaskOPools", "topLevelItemCount columns tags", "0; Pool:220|Apps:40; 1|1");
    row("lvAnalyse", "columns tags selectionMode statusTip",
        "Pool:200|App:50|CPU:50|RAM:50; 1|1|1|1; SingleSelection; Analyse only CPU value.");
    row("mnuMain", "actions", "&File|&Edit|&Help");
    row("File1", "title actions", "&File; Exit1");
    row("Edit1", "title actions", "&Edit; Selectall1|Deselectall1|-N2|Refresh1");
    row("Help1", "title actions", "&Help; About1");
    row("popMnuTaskPools", "actions", "Selectall2|Deselectall2|-N3|Refresh2");
    row("Exit1", "item", "&Exit||0");  // caption|shortcut|Tag
    row("Selectall1", "item", "&Select all|Ctrl+A|10");
    row("Deselectall1", "item", "&Deselect all|Ctrl+B|11");
    row("Refresh1", "item", "&Refresh|F5|0");
    row("About1", "item", "&About...||0");
    row("Selectall2", "item", "&Select all||10");
    row("Deselectall2", "item", "&Deselect all||11");
    row("Refresh2", "item", "&Refresh||0");
    row("FrmAbout", "windowTitle fixed", "About Tarnwell...; true");
    row("FrmAbout/Label1", "text font", "Tarnwell; 19px bold");
    row("FrmAbout/Label2", "text", "ver. 1.1.0 for Windows 2003");
    row("FrmAbout/Label5", "text", "Regular expressions by PCRE2, Copyright (c) University of Cambridge");
    row("FrmAbout/btnOK", "text", "&OK");
  }

  void layoutAtStart() {
    QFETCH(QString, control);
    QFETCH(QString, aspect);
    QFETCH(QString, expected);
    if (!layout_) {
      layout_ = std::make_unique<Run>();
      QVERIFY(layout_->Show());
    }
    QObject* found = Find(**layout_, control);
    QVERIFY2(found != nullptr, qPrintable(control));
    QStringList actual;
    for (const QString& one : aspect.split(QLatin1Char(' '), Qt::SkipEmptyParts)) actual << Aspect(**layout_, found, one);
    QCOMPARE(actual.join(QStringLiteral("; ")), expected);
  }

  void hintsGoToTheStatusBarOnly() {
    Run run;
    QVERIFY(run.Show());
    for (QWidget* child : run->findChildren<QWidget*>()) {
      QVERIFY2(child->toolTip().isEmpty(), qPrintable(child->objectName()));
    }
    for (QTabWidget* tabs : run->findChildren<QTabWidget*>()) {
      for (int i = 0; i < tabs->count(); ++i) QVERIFY(tabs->tabToolTip(i).isEmpty());
    }
    // The mouse entering the filter box shows its hint in the status bar.
    auto* filter = run.Get<QLineEdit>("edtTaskOPFilter");
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), filter->mapToGlobal(QPointF(2, 2)));
    QCoreApplication::sendEvent(filter, &enter);
    QCOMPARE(run->statusBar()->currentMessage(), QStringLiteral("Support regular expression"));
  }

  void exitClosesAndAboutShowsModally() {
    Run run;
    TFrmMain& w = *run;
    QVERIFY(run.Show());
    TFrmAbout& about = w.About();
    QVERIFY(!about.isVisible());  // made at start, hidden
    bool seenModal = false;
    QPoint aboutCentre;
    QTimer::singleShot(0, &about, [&] {
      seenModal = about.isVisible() && about.isModal();
      aboutCentre = about.frameGeometry().center();
      about.accept();
    });
    run.Trigger("About1");
    QVERIFY(seenModal);
    QVERIFY((aboutCentre - w.frameGeometry().center()).manhattanLength() < 40);
    run.Trigger("Exit1");
    QVERIFY(!w.isVisible());
  }

  void noScrollKeepsTheViewStill() {
    Run run;
    TFrmMain& w = *run;
    QVERIFY(run.Show());
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

  void cleanupTestCase() { layout_.reset(); }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main.moc"
