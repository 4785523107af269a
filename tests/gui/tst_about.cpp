// The About dialog on its own: the two links, then OK. Its texts and size are in the main
// window's layout table (tst_main.cpp).
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/About.h"

using namespace tarnwell;

class TestAbout : public QObject {
  Q_OBJECT

 private slots:
  void linksOpenTheirCaptionsAndOkCloses() {
    TFrmAbout about;
    QList<QUrl> opened;
    about.SetUrlOpener([&opened](const QUrl& url) { opened << url; });
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));

    const auto links = about.findChildren<TLinkLabel*>();
    QCOMPARE(links.size(), 2);
    for (TLinkLabel* link : links) {
      QCOMPARE(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
      QVERIFY(link->font().underline());
      QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
      QTest::mouseClick(link, Qt::LeftButton);
      QVERIFY(!opened.isEmpty());
      QCOMPARE(opened.last().toString(), link->text());
    }
    QCOMPARE(opened.size(), 2);
    QVERIFY(opened[0] != opened[1]);
    QVERIFY(opened[0].isValid() && opened[0].scheme() == "https");

    // Pressed on a link but released elsewhere: no click.
    TLinkLabel* first = links.first();
    QTest::mousePress(first, Qt::LeftButton, {}, QPoint(2, 2));
    QTest::mouseRelease(first, Qt::LeftButton, {}, QPoint(-20, -20));
    QCOMPARE(opened.size(), 2);

    QTest::mouseClick(about.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
  }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
