#pragma once
// Drives the real window through its own controls, one step at a time on the UI thread:
// each step runs once the window is ready for it. The headless walk through the demo and
// the end-to-end tests' driver are built on it. Lives on the UI thread.
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>

class QPlainTextEdit;
class QTreeWidgetItem;

namespace tarnwell {

class TFrmMain;

class WindowDriver : public QObject {
 public:
  // say: where the driver's lines go (the panes' lines and its own reports).
  WindowDriver(TFrmMain& window, std::function<void(const std::string&)> say);

  int exitCode() const { return exitCode_; }

 protected:
  // A control of the window by its object name; fails the run when it is missing.
  template <typename T>
  T* Find(const char* name) {
    T* child = root_->findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) MissingControl(name);
    return child;
  }
  // The row of a list (a QTreeWidget) whose first column reads text; null when none.
  QTreeWidgetItem* Row(const char* list, const QString& text);

  // Runs next once ready holds; with a time-out, fails when ready has not held by then.
  void Await(std::string what, std::function<bool()> ready, std::function<void()> next,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void AwaitForever(std::string what, std::function<bool()> ready, std::function<void()> next);

  // Closes the window (which waits for its workers) and ends the event loop with the
  // exit code. Safe to call again while the close waits.
  void Close();
  void Fail(const std::string& why);

  // Called with every line the message pane ("LOG") or the Analyse pane ("ANALYSE") gains.
  virtual void OnPaneLine(const char* pane, const QString& line);

  TFrmMain& window_;
  QWidget* root_;  // the window, as the widget its controls hang from
  std::function<void(const std::string&)> say_;

 private:
  void MissingControl(const char* name);
  void OnTick();
  void Echo();
  struct PaneSeen {
    bool any = false;
    QString last;  // the last line echoed
  };
  void EchoPane(QPlainTextEdit* pane, const char* tag, PaneSeen& seen);

  QTimer tick_;
  QPlainTextEdit* memLog_ = nullptr;
  QPlainTextEdit* memAnalyse_ = nullptr;
  PaneSeen logSeen_;
  PaneSeen analyseSeen_;
  std::string what_;
  std::function<bool()> ready_;
  std::function<void()> next_;
  std::chrono::milliseconds timeout_{0};  // zero: none
  std::chrono::steady_clock::time_point since_;
  bool closing_ = false;
  int exitCode_ = 0;
};

}  // namespace tarnwell
