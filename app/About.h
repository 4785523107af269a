#pragma once
// The About dialog: name, version, the project's web links and the credits. UI thread.
#include <QDialog>
#include <QLabel>
#include <QUrl>
#include <functional>

namespace tarnwell {

// A label that reads as a web link and reports a left click on it.
class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  TLinkLabel(const QString& address, QWidget* parent);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

class TFrmAbout : public QDialog {
  Q_OBJECT

 public:
  // Opens a web address in the browser; its result is ignored.
  using UrlOpener = std::function<void(const QUrl& url)>;

  explicit TFrmAbout(QWidget* parent = nullptr);

  void SetUrlOpener(UrlOpener opener) { opener_ = std::move(opener); }

  static const QString kHomeAddress;
  static const QString kSupportAddress;

 public slots:
  // Shared by both links: opens the clicked label's own caption.
  void Label3Click();

 private:
  UrlOpener opener_;
};

}  // namespace tarnwell
