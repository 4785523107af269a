#pragma once
// A window for worker tests: a UI thread of its own that runs what workers hand over, and
// a record of every message and refill.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tasks/WindowPort.h"

namespace tarnwell::fakes {

struct ListRow {
  std::string name;
  std::string apps;
  bool operator==(const ListRow&) const = default;
};

class FakeWindowPort : public IWindowPort {
 public:
  FakeWindowPort(TIISObject& registry, std::string logDir = "");
  ~FakeWindowPort() override;

  void Synchronize(const std::function<void()>& f) override;
  void Post(std::function<void()> f) override;
  void LogWinMsg(const std::string& msg) override;
  TIISObject& Registry() override { return registry_; }
  std::string LogDir() const override { return logDir_; }
  std::string MonitoringIntervalText() override;
  void RefillPoolList() override;
  void ThreadPoolMonitoring() override;
  void SetAnalyseMsg(const std::string& msg) override;
  void UpdateLogAnalyse() override;

  // Runs f on the fake UI thread and waits, as a window handler would run.
  void RunOnUi(const std::function<void()>& f) { Synchronize(f); }
  bool OnUiThread() const { return std::this_thread::get_id() == ui_.get_id(); }

  std::vector<std::string> Messages() const;
  std::vector<ListRow> Rows() const;
  std::vector<std::string> AnalyseLines() const;
  int Refills() const;
  int Redraws() const;
  // Set when a UI-only method ran on another thread.
  bool UiRuleBroken() const;

  std::string intervalText = "3";
  // Called on the UI thread inside ThreadPoolMonitoring, for tests that read the records.
  std::function<void(TIISObject&)> onRedraw;

 private:
  void Loop();
  void CheckUi();

  TIISObject& registry_;
  std::string logDir_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  std::vector<std::string> messages_;
  std::vector<ListRow> rows_;
  std::vector<std::string> analyseLines_;
  std::string analyseMsg_;
  int refills_ = 0;
  int redraws_ = 0;
  bool uiRuleBroken_ = false;
  std::thread ui_;
};

}  // namespace tarnwell::fakes
