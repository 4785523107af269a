#pragma once
// What the window tests share: a settable clock, a window over chosen seams in a temporary
// executable directory, the pane's messages without their stamps, and waits that keep the
// event loop running (the workers hand their work to it).
#include <QAction>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "app/main.h"
#include "tests/support/test_clock.h"

namespace tarnwell::guitest {

// Keeps the event loop running until the condition holds; false after the timeout.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  return QTest::qWaitFor(condition, timeoutMs);
}

// One window over the given seams. The seams stay owned by the test.
struct Window {
  QTemporaryDir tmp;
  testutil::TestClock clock;
  std::unique_ptr<TFrmMain> frm;

  Window(platform::IMetabase& metabase, platform::IProcessSystem& processes) {
    frm = std::make_unique<TFrmMain>(tmp.path(), metabase, processes, clock,
                                     [](const QString& text) { qWarning("message box: %s", qPrintable(text)); });
  }

  TFrmMain& operator*() { return *frm; }
  TFrmMain* operator->() { return frm.get(); }

  template <typename T>
  T* Get(const char* name) {
    T* child = frm->findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) qFatal("no control %s", name);
    return child;
  }

  // The pane's lines with the "dd/mm/yy hh:nn:ss.zzz " stamp cut off.
  QStringList Messages() {
    QStringList out;
    for (const QString& line : Get<QPlainTextEdit>("memLog")->toPlainText().split(QLatin1Char('\n'))) {
      out << line.mid(22);
    }
    return out;
  }
  int CountMessage(const QString& message) { return static_cast<int>(Messages().count(message)); }

  // Rows of a list view as "caption|sub item|...", in order.
  QStringList Rows(const char* list) {
    QStringList out;
    for (QTreeWidgetItem* item : Items(list)) {
      QStringList cells;
      for (int c = 0; c < item->treeWidget()->columnCount(); ++c) cells << item->text(c);
      out << cells.join(QLatin1Char('|'));
    }
    return out;
  }
  QStringList Ticked() {
    QStringList out;
    for (QTreeWidgetItem* item : Items("lvTaskOPools")) {
      if (item->checkState(0) == Qt::Checked) out << item->text(0);
    }
    return out;
  }
  void Tick(const QString& pool, bool on = true) {
    for (QTreeWidgetItem* item : Items("lvTaskOPools")) {
      if (item->text(0) == pool) item->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
  }
  QList<QTreeWidgetItem*> Items(const char* list) {
    auto* tree = Get<QTreeWidget>(list);
    QList<QTreeWidgetItem*> out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) out << tree->topLevelItem(i);
    return out;
  }

  // Shows the window and waits until it is drawn.
  bool Show() {
    frm->show();
    return QTest::qWaitForWindowExposed(frm.get());
  }
  void Click(const char* button) { Get<QPushButton>(button)->click(); }
  void Trigger(const char* action) { Get<QAction>(action)->trigger(); }

  bool NoWorkers() {
    const auto live = frm->LiveWorkers();
    return live.loaders == 0 && live.monitors == 0 && live.analysers == 0;
  }
  // Refresh, and wait until its loader has ended.
  bool Refresh() {
    const int fills = CountMessage(QStringLiteral("End fill list"));
    Click("btnTaskOPRefresh");
    return WaitFor([&] {
      return CountMessage(QStringLiteral("End fill list")) > fills && frm->LiveWorkers().loaders == 0;
    });
  }
};

}  // namespace tarnwell::guitest
