#pragma once
// A window for worker tests: a UI thread of its own that runs what workers hand over, and
// a record of every message and refill.
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "iis/iis.h"
#include "tasks/WindowPort.h"

namespace tarnwell::fakes {

struct ListRow {
  std::string name;
  std::string apps;
  bool operator==(const ListRow&) const = default;
};

class FakeWindowPort : public IWindowPort {
  template <typename F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  explicit FakeWindowPort(TIISObject& registry, std::string logDir = "")
      : registry_(registry), logDir_(std::move(logDir)), ui_([this] { Loop(); }) {}
  ~FakeWindowPort() override {
    Locked([this] { stop_ = true; });
    wake_.notify_all();
    ui_.join();
  }

  void Synchronize(const std::function<void()>& f) override {
    if (OnUiThread()) return f();
    std::packaged_task<void()> task(f);
    auto done = task.get_future();
    Post([&task] { task(); });
    done.get();  // rethrows what f threw
  }
  void Post(std::function<void()> f) override {
    Locked([&] { queue_.push_back(std::move(f)); });
    wake_.notify_all();
  }
  void LogWinMsg(const std::string& msg) override { Locked([&] { messages_.push_back(msg); }); }
  TIISObject& Registry() override { return registry_; }
  std::string LogDir() const override { return logDir_; }
  TextfileExport* Textfile() override { return textfile; }
  std::string MonitoringIntervalText() override {
    CheckUi();
    return intervalText;
  }
  void RefillPoolList() override {
    CheckUi();
    std::vector<ListRow> rows;
    for (int i = 0; i < registry_.PoolCount; ++i) {
      const TPoolRec& rec = registry_.Pools[static_cast<std::size_t>(i)];
      if (!rec.Name.empty()) rows.push_back({rec.Name, std::to_string(rec.AppCount)});
    }
    Locked([&] { rows_ = std::move(rows); });
  }
  void ThreadPoolMonitoring() override {
    CheckUi();
    if (onRedraw) onRedraw(registry_);
    Locked([this] { ++redraws_; });
  }
  void SetAnalyseMsg(const std::string& msg) override { Locked([&] { analyseMsg_ = msg; }); }
  void UpdateLogAnalyse() override {
    CheckUi();
    Locked([this] { analyseLines_.push_back(analyseMsg_); });
  }

  // Runs f on the fake UI thread and waits, as a window handler would run.
  void RunOnUi(const std::function<void()>& f) { Synchronize(f); }
  bool OnUiThread() const { return std::this_thread::get_id() == ui_.get_id(); }

  std::vector<std::string> Messages() const { return Locked([this] { return messages_; }); }
  std::vector<ListRow> Rows() const { return Locked([this] { return rows_; }); }
  std::vector<std::string> AnalyseLines() const { return Locked([this] { return analyseLines_; }); }
  int Redraws() const { return Locked([this] { return redraws_; }); }
  // Set when a UI-only method ran on another thread.
  bool UiRuleBroken() const { return Locked([this] { return uiRuleBroken_; }); }

  std::string intervalText = "3";
  // The metrics textfile the workers are given; set before one starts, not owned.
  TextfileExport* textfile = nullptr;
  // Called on the UI thread inside ThreadPoolMonitoring, for tests that read the records.
  std::function<void(TIISObject&)> onRedraw;

 private:
  void Loop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task();
    }
  }
  void CheckUi() {
    if (!OnUiThread()) Locked([this] { uiRuleBroken_ = true; });
  }

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
  int redraws_ = 0;
  bool uiRuleBroken_ = false;
  std::thread ui_;  // last: started once the rest is made
};

}  // namespace tarnwell::fakes
