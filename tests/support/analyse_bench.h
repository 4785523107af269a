#pragma once
// The analyser run to its end on a fake window, for its tests in tasks/ and metabase/.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_window_port.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell::testutil {

// The analyser's window over a registry of the metabase given, its logs in a folder of
// their own, the clock standing at 06/12/26 22:45:00 (every temporary pool name is taken in
// the same millisecond).
class AnalyseBench {
 public:
  // A window on which a test acts at each message, on the UI thread, as an administrator would.
  struct Window : fakes::FakeWindowPort {
    using FakeWindowPort::FakeWindowPort;
    void SetAnalyseMsg(const std::string& msg) override {
      FakeWindowPort::SetAnalyseMsg(msg);
      if (onMessage) onMessage(msg);
    }
    std::function<void(const std::string&)> onMessage;
  };

  AnalyseBench(platform::IMetabase& metabase, platform::IProcessSystem& processes) : registry(metabase, processes) {}

  // Runs one analysis to its end, asked to stop at its stopAt-th measuring pause; the
  // pane's lines of every run so far.
  std::vector<std::string> Run(const std::string& pool, std::int32_t threshold) {
    TAnalysePool thread(window, clock);
    thread.PoolName = pool;
    thread.CpuThreshold = threshold;
    std::atomic<bool> endedOnUi{false};
    thread.OnTerminate = [&] { endedOnUi = window.OnUiThread(); };
    Running(&thread);
    thread.Start();
    thread.Join();
    Running(nullptr);
    EXPECT_TRUE(endedOnUi.load());
    EXPECT_FALSE(window.UiRuleBroken());
    return window.AnalyseLines();
  }
  // For the process system's sleep, on the analyser thread.
  void Slept(std::uint32_t ms) {
    if (ms == kMeasurePauseMs && ++pauses_ >= stopAt) Stop();
  }
  // As the window's Stop button.
  void Stop() {
    std::lock_guard lock(mutex_);
    if (running_ != nullptr) running_->StopRequested = true;
  }
  std::string Journal() const { return JournalPath(dir.Dir()); }
  std::string LogFile() const { return dir.File("trnw-ans-061226.log"); }

  TempDir dir;
  TIISObject registry;
  Window window{registry, dir.Dir()};
  TestClock clock{At(2026, 12, 6, 22, 45, 0)};
  int stopAt = 2;

 private:
  void Running(TAnalysePool* thread) {
    std::lock_guard lock(mutex_);
    running_ = thread;
    pauses_ = 0;
  }
  std::mutex mutex_;
  TAnalysePool* running_ = nullptr;
  int pauses_ = 0;  // analyser thread, once it runs
};

}  // namespace tarnwell::testutil
