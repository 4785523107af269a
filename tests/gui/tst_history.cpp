// The Qt History tab driven as a user does: Load, a tick, the wheel and a double click on a
// chart, and Export's two files. The tab's rules are tested on their own; this is the
// wiring of the widgets to them.
#include <QDateEdit>
#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <fstream>
#include <string>

#include "app/HistoryChartWidget.h"
#include "app/HistoryTab.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

class TstHistory : public QObject {
  Q_OBJECT

 private slots:
  void loadTickZoomAndExport() {
    tarnwell::testutil::TempDir dir;
    const QDate today = QDate::currentDate();
    {
      std::ofstream out(dir.File("trnw-mon-" + today.toString(QStringLiteral("ddMMyy")).toStdString() + ".log"),
                        std::ios::binary);
      const std::string stamp = today.toString(QStringLiteral("dd-MM-yy")).toStdString();
      for (const char* pool : {"Blog", "Shop"})
        for (int i = 0; i < 600; ++i)
          out << stamp << " 10:" << (10 + i / 60) << ":" << (10 + i % 50) << ".000\t" << pool << "\t2\t4096\t"
              << i % 70 << "\t20\t7\t2\t300\t77\r\n";
    }
    tarnwell::HistoryTab tab;
    tab.resize(1000, 700);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    tab.SetLogDir(dir.Dir());
    QSignalSpy drawn(&tab, &tarnwell::HistoryTab::loaded);
    QTest::mouseClick(tab.findChild<QPushButton*>(QStringLiteral("btnHistoryLoad")), Qt::LeftButton);
    QVERIFY(drawn.wait(30000));
    auto* pools = tab.findChild<QListWidget*>(QStringLiteral("lvHistoryPools"));
    QCOMPARE(pools->count(), 2);
    QCOMPARE(tab.ShownLines(0).size(), std::size_t{2});

    // Unticking Blog in the list takes its line off every chart.
    QListWidgetItem* blog = pools->item(0);
    QCOMPARE(blog->text(), QStringLiteral("Blog"));
    QTest::mouseClick(pools->viewport(), Qt::LeftButton, {},
                      pools->visualItemRect(blog).topLeft() + QPoint(pools->style()->pixelMetric(QStyle::PM_IndicatorWidth) / 2 + 2,
                                                                     pools->visualItemRect(blog).height() / 2));
    QCOMPARE(blog->checkState(), Qt::Unchecked);
    for (int c = 0; c < 3; ++c) {
      const auto lines = tab.ShownLines(c);
      QCOMPARE(lines.size(), std::size_t{1});
      QCOMPARE(lines[0].pool, std::string("Shop"));
    }

    // The wheel over a chart narrows the three; a double click fits them again.
    auto* ram = tab.findChild<tarnwell::HistoryChartWidget*>(QStringLiteral("chtHistory1"));
    const auto fitted = ram->Picture().range;
    const QPointF at(ram->width() / 2.0, ram->height() / 2.0);
    QWheelEvent wheel(at, ram->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(ram, &wheel);
    auto* cpu = tab.findChild<tarnwell::HistoryChartWidget*>(QStringLiteral("chtHistory0"));
    QVERIFY(cpu->Picture().range.toMs - cpu->Picture().range.fromMs < fitted.toMs - fitted.fromMs);
    QTest::mouseDClick(cpu, Qt::LeftButton, {}, at.toPoint());
    QVERIFY(ram->Picture().range == fitted);

    // Export: the CSV and, beside it, a picture of the three charts.
    const QString csv = QString::fromStdString(dir.File("lines.csv"));
    const QString png = QString::fromStdString(dir.File("lines.png"));
    QVERIFY(tab.ExportTo(csv, png));
    const std::string text = tarnwell::testutil::ReadAll(dir.File("lines.csv"));
    QVERIFY(text.rfind("figure,pool,time,value\nCPU,Shop,", 0) == 0);
    QVERIFY(text.find(",Blog,") == std::string::npos);
    const QImage picture(png);
    QVERIFY(!picture.isNull());
    QVERIFY(picture.height() >= 3 * cpu->height());
  }
};

QTEST_MAIN(TstHistory)
#include "tst_history.moc"
