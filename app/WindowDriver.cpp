#include "app/WindowDriver.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>
#include <cstdlib>
#include <utility>

#include "app/main.h"

namespace tarnwell {

namespace {
constexpr int kTickMs = 50;
}

WindowDriver::WindowDriver(TFrmMain& window, std::function<void(const std::string&)> say)
    : window_(window), root_(&window), say_(std::move(say)) {
  memLog_ = Find<QPlainTextEdit>("memLog");
  memAnalyse_ = Find<QPlainTextEdit>("memAnalyse");
  connect(&tick_, &QTimer::timeout, this, [this] { OnTick(); });
  tick_.start(kTickMs);
}

void WindowDriver::MissingControl(const char* name) {
  // The window's layout and the driver disagree: nothing sensible can follow.
  say_(std::string("FAILED no control ") + name);
  std::exit(3);
}

QTreeWidgetItem* WindowDriver::Row(const char* list, const QString& text) {
  auto* tree = Find<QTreeWidget>(list);
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    if (tree->topLevelItem(i)->text(0) == text) return tree->topLevelItem(i);
  }
  return nullptr;
}

void WindowDriver::Await(std::string what, std::function<bool()> ready, std::function<void()> next,
                         std::chrono::milliseconds timeout) {
  what_ = std::move(what);
  ready_ = std::move(ready);
  next_ = std::move(next);
  timeout_ = timeout;
  since_ = std::chrono::steady_clock::now();
}

void WindowDriver::AwaitForever(std::string what, std::function<bool()> ready, std::function<void()> next) {
  Await(std::move(what), std::move(ready), std::move(next), std::chrono::milliseconds(0));
}

void WindowDriver::OnTick() {
  Echo();
  if (!ready_) return;
  if (ready_()) {
    ready_ = nullptr;
    auto next = std::move(next_);
    next();
  } else if (timeout_.count() > 0 && std::chrono::steady_clock::now() - since_ > timeout_) {
    ready_ = nullptr;
    Fail("waiting for " + what_);
  }
}

void WindowDriver::Close() {
  // The close's wait runs the event loop: a tick or input may ask again meanwhile.
  if (closing_) return;
  closing_ = true;
  ready_ = nullptr;
  Echo();
  window_.close();  // waits for the workers; the ticks echo what they report meanwhile
  Echo();
  QCoreApplication::exit(exitCode_);
}

void WindowDriver::Fail(const std::string& why) {
  say_("FAILED " + why);
  exitCode_ = 3;
  Close();
}

void WindowDriver::OnPaneLine(const char* pane, const QString& line) {
  say_(std::string(pane) + " " + line.toStdString());
}

void WindowDriver::Echo() {
  EchoPane(memLog_, "LOG", logSeen_);
  EchoPane(memAnalyse_, "ANALYSE", analyseSeen_);
}

void WindowDriver::EchoPane(QPlainTextEdit* pane, const char* tag, PaneSeen& seen) {
  // The pane drops its oldest lines at its cap, so lines are not counted: the new ones are
  // those after the last one echoed, looked for from the end (where it is, between ticks).
  const QTextDocument* document = pane->document();
  if (document->isEmpty()) return;
  QTextBlock block = document->firstBlock();
  if (seen.any) {
    QTextBlock last = document->lastBlock();
    while (last.isValid() && last.text() != seen.last) last = last.previous();
    if (last.isValid()) block = last.next();
  }
  for (; block.isValid(); block = block.next()) {
    seen.last = block.text();
    seen.any = true;
    OnPaneLine(tag, seen.last);
  }
}

}  // namespace tarnwell
