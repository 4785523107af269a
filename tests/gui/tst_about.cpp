// The About dialog on its own: its texts, its fixed size, and the two links.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/About.h"

using namespace tarnwell;

class TestAbout : public QObject {
  Q_OBJECT

 private slots:
  void textsAndFixedSize() {
    TFrmAbout about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QCOMPARE(about.objectName(), QStringLiteral("FrmAbout"));
    QCOMPARE(about.windowTitle(), QStringLiteral("About Tarnwell..."));
    QCOMPARE(about.minimumSize(), about.maximumSize());

    QStringList texts;
    for (QLabel* label : about.findChildren<QLabel*>()) texts << label->text();
    QVERIFY(texts.contains("Tarnwell"));
    QVERIFY(texts.contains("ver. 1.1.0 for Windows 2003"));
    QVERIFY(texts.filter("PCRE2").size() == 1);
    auto* name = about.findChild<QLabel*>("Label1");
    QCOMPARE(name->font().pixelSize(), 19);
    QVERIFY(name->font().bold());
    QCOMPARE(about.findChild<QPushButton*>("btnOK")->text(), QStringLiteral("&OK"));
  }

  void linksOpenTheirCaptions() {
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
  }

  void okCloses() {
    TFrmAbout about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::mouseClick(about.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
  }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
