#include "app/About.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarnwell {

const QString TFrmAbout::kHomeAddress = QStringLiteral("https://tarnwell.example.org");
const QString TFrmAbout::kSupportAddress = QStringLiteral("https://tarnwell.example.org/support");

TLinkLabel::TLinkLabel(const QString& address, QWidget* parent) : QLabel(address, parent) {
  setTextFormat(Qt::PlainText);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  setPalette(palette);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  // A click counts only when the button comes up over the label it went down on.
  const bool click = pressed_ && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  pressed_ = false;
  QLabel::mouseReleaseEvent(event);
  if (click) emit clicked();
}

TFrmAbout::TFrmAbout(QWidget* parent)
    : QDialog(parent), opener_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
  setObjectName(QStringLiteral("FrmAbout"));
  setWindowTitle(QStringLiteral("About Tarnwell..."));
  setAttribute(Qt::WA_WindowPropagation);  // the main window's font
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->setSpacing(8);
  outer->setSizeConstraint(QLayout::SetFixedSize);  // a fixed-size dialog box

  auto* panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("Panel1"));
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* inner = new QVBoxLayout(panel);
  inner->setContentsMargins(16, 12, 16, 10);
  inner->setSpacing(6);

  auto* name = new QLabel(QStringLiteral("Tarnwell"), panel);
  name->setObjectName(QStringLiteral("Label1"));
  QFont big = name->font();
  big.setPixelSize(19);
  big.setBold(true);
  name->setFont(big);
  name->setAlignment(Qt::AlignCenter);
  inner->addWidget(name);

  // The version --version answers.
  auto* version = new QLabel(QStringLiteral("ver. " TARNWELL_VERSION " for Windows 2003"), panel);
  version->setObjectName(QStringLiteral("Label2"));
  version->setAlignment(Qt::AlignCenter);
  inner->addWidget(version);

  auto* links = new QHBoxLayout;
  links->setSpacing(16);
  auto* home = new TLinkLabel(kHomeAddress, panel);
  home->setObjectName(QStringLiteral("Label3"));
  auto* support = new TLinkLabel(kSupportAddress, panel);
  support->setObjectName(QStringLiteral("Label4"));
  links->addStretch(1);
  links->addWidget(home);
  links->addWidget(support);
  links->addStretch(1);
  inner->addSpacing(4);
  inner->addLayout(links);
  connect(home, &TLinkLabel::clicked, this, &TFrmAbout::Label3Click);
  connect(support, &TLinkLabel::clicked, this, &TFrmAbout::Label3Click);

  auto* credit = new QLabel(
      QStringLiteral("Regular expressions by PCRE2, Copyright (c) University of Cambridge"), panel);
  credit->setObjectName(QStringLiteral("Label5"));
  QFont small = credit->font();
  small.setPixelSize(9);
  credit->setFont(small);
  credit->setAlignment(Qt::AlignCenter);
  inner->addSpacing(6);
  inner->addWidget(credit);
  outer->addWidget(panel);

  auto* ok = new QPushButton(QStringLiteral("&OK"), this);
  ok->setObjectName(QStringLiteral("btnOK"));
  ok->setFixedSize(75, 25);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  outer->addWidget(ok, 0, Qt::AlignHCenter);
}

void TFrmAbout::Label3Click() {
  const auto* label = qobject_cast<const QLabel*>(sender());
  if (label == nullptr || !opener_) return;
  opener_(QUrl(label->text()));
}

}  // namespace tarnwell
