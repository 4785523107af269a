// The History tab's loads: only the newest range is ever drawn, and each pool's line has
// as many points as its log lines in that range.
#include <QDateEdit>
#include <QSignalSpy>
#include <QTest>
#include <fstream>
#include <string>

#include "app/HistoryTab.h"
#include "tests/support/temp_dir.h"

class TstHistory : public QObject {
  Q_OBJECT

 private slots:
  void aNewRangeCancelsTheLoadBeforeAndLeavesNoStaleLines() {
    tarnwell::testutil::TempDir dir;
    // Yesterday a pool "Old" with many lines, today a pool "New" with three.
    const QDate today = QDate::currentDate();
    const auto write = [&](const QDate& day, const std::string& pool, int lines) {
      std::ofstream out(dir.File("trnw-mon-" + day.toString(QStringLiteral("ddMMyy")).toStdString() + ".log"),
                        std::ios::binary);
      const std::string stamp = day.toString(QStringLiteral("dd-MM-yy")).toStdString();
      for (int i = 0; i < lines; ++i) {
        out << stamp << " 10:" << (10 + i / 60 % 50) << ":" << (10 + i % 50) << ".000\t" << pool
            << "\t2\t4096\t5\t20\t7\t2\t300\t77\r\n";
      }
    };
    write(today.addDays(-1), "Old", 200000);
    write(today, "New", 3);

    tarnwell::HistoryTab tab;
    tab.resize(900, 600);
    tab.SetLogDir(dir.Dir());
    QSignalSpy drawn(&tab, &tarnwell::HistoryTab::loaded);
    auto* from = tab.findChild<QDateEdit*>(QStringLiteral("edtHistoryFrom"));
    from->setDate(today.addDays(-1));
    tab.Reload();  // both days: a long read
    from->setDate(today);
    // Today only, asked before the first has been drawn. Reload() waits for the load
    // before, so whatever that one posted is queued ahead of this one's result.
    tab.Reload();
    QVERIFY(drawn.wait(30000));
    QCOMPARE(drawn.count(), 1);
    QCOMPARE(tab.ShownLines(0).size(), std::size_t{1});
    QCOMPARE(tab.ShownLines(0)[0].pool, std::string("New"));
    std::size_t points = 0;
    for (const auto& segment : tab.ShownLines(0)[0].segments) points += segment.size();
    QCOMPARE(points, std::size_t{3});
  }
};

QTEST_MAIN(TstHistory)
#include "tst_history.moc"
