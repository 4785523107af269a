#include "tests/fakes/fake_window_port.h"

#include <future>

#include "iis/iis.h"

namespace tarnwell::fakes {

FakeWindowPort::FakeWindowPort(TIISObject& registry, std::string logDir)
    : registry_(registry), logDir_(std::move(logDir)) {
  ui_ = std::thread([this] { Loop(); });
}

FakeWindowPort::~FakeWindowPort() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  ui_.join();
}

void FakeWindowPort::Loop() {
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

void FakeWindowPort::Synchronize(const std::function<void()>& f) {
  if (OnUiThread()) {
    f();
    return;
  }
  std::promise<void> done;
  auto future = done.get_future();
  Post([&] {
    try {
      f();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  future.get();
}

void FakeWindowPort::Post(std::function<void()> f) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(f));
  }
  wake_.notify_all();
}

void FakeWindowPort::LogWinMsg(const std::string& msg) {
  std::lock_guard lock(mutex_);
  messages_.push_back(msg);
}

void FakeWindowPort::CheckUi() {
  if (!OnUiThread()) {
    std::lock_guard lock(mutex_);
    uiRuleBroken_ = true;
  }
}

std::string FakeWindowPort::MonitoringIntervalText() {
  CheckUi();
  return intervalText;
}

void FakeWindowPort::RefillPoolList() {
  CheckUi();
  std::vector<ListRow> rows;
  for (int i = 0; i < registry_.PoolCount; ++i) {
    const TPoolRec& rec = registry_.Pools[i];
    if (!rec.Name.empty()) rows.push_back({rec.Name, std::to_string(rec.AppCount)});
  }
  std::lock_guard lock(mutex_);
  rows_ = std::move(rows);
  ++refills_;
}

void FakeWindowPort::ThreadPoolMonitoring() {
  CheckUi();
  if (onRedraw) onRedraw(registry_);
  std::lock_guard lock(mutex_);
  ++redraws_;
}

void FakeWindowPort::SetAnalyseMsg(const std::string& msg) {
  std::lock_guard lock(mutex_);
  analyseMsg_ = msg;
}

void FakeWindowPort::UpdateLogAnalyse() {
  CheckUi();
  std::lock_guard lock(mutex_);
  analyseLines_.push_back(analyseMsg_);
}

std::vector<std::string> FakeWindowPort::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}
std::vector<ListRow> FakeWindowPort::Rows() const {
  std::lock_guard lock(mutex_);
  return rows_;
}
std::vector<std::string> FakeWindowPort::AnalyseLines() const {
  std::lock_guard lock(mutex_);
  return analyseLines_;
}
int FakeWindowPort::Refills() const {
  std::lock_guard lock(mutex_);
  return refills_;
}
int FakeWindowPort::Redraws() const {
  std::lock_guard lock(mutex_);
  return redraws_;
}
bool FakeWindowPort::UiRuleBroken() const {
  std::lock_guard lock(mutex_);
  return uiRuleBroken_;
}

}  // namespace tarnwell::fakes
