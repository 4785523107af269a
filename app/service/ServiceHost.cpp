#include "app/service/ServiceHost.h"

#include <exception>
#include <future>
#include <system_error>
#include <utility>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "logs/LogsDir.h"
#include "platform/metabase.h"
#include "tasks/MonitoringPool.h"
#include "tasks/MonitoringPoolLock.h"
#include "textfile/metrics_http.h"
#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

// The monitor, keeping the reason it ended on an error for the service's exit.
class ServiceMonitor final : public TMonitoringPool {
 public:
  using TMonitoringPool::TMonitoringPool;
  std::string error;  // written before the end notification, read in it

 protected:
  void Execute() override {
    try {
      TMonitoringPool::Execute();
    } catch (const std::exception& e) {
      error = e.what();
      throw;
    }
  }
};

}  // namespace

ServiceHost::ServiceHost(const std::string& exeDir, MetabaseOpener openMetabase, platform::IProcessSystem& processes,
                         const ILocalClock& clock, platform::HttpServerFactory serveHttp)
    : openMetabase_(std::move(openMetabase)),
      serveHttp_(std::move(serveHttp)),
      processes_(processes),
      clock_(clock) {
  std::string error;
  logDir_ = MakeLogDir(exeDir, error);
  log_ = std::make_unique<TLog>(logDir_, std::string(), clock_);
  LogWinMsg("Service start.");
  if (!error.empty()) LogWinMsg("Cannot make the log folder " + logDir_ + ": " + error);
}

ServiceHost::~ServiceHost() {
  RequestStop();
  if (monitor_) {
    monitor_->Terminate();
    monitor_->Join();  // the port still runs its hand-overs meanwhile
    monitor_.reset();
  }
  server_.reset();  // cancels a request it waits for
  StopPort();
  lock_.reset();
  LogWinMsg("Service stop.");
}

ServiceHost::Outcome ServiceHost::Fail(Exit exit, const std::string& message) {
  LogWinMsg(message);
  return {exit, message};
}

ServiceHost::Outcome ServiceHost::Start(const std::string& settingsFile) {
  SettingsOutcome read = ReadServiceSettings(settingsFile);
  if (!read.settings) return Fail(Exit::BadSettings, read.error + ". The service stops.");
  settings_ = *read.settings;
  LogWinMsg("Settings read from " + settingsFile);
  for (const std::string& line : DescribeServiceSettings(settings_)) LogWinMsg(line);

  try {
    metabase_ = openMetabase_(settings_.metabase);
  } catch (const std::exception& e) {
    return Fail(Exit::BadSettings, std::string("Cannot open the metabase: ") + e.what() + ". The service stops.");
  }
  if (!metabase_) return Fail(Exit::BadSettings, "Cannot open the metabase. The service stops.");

  try {
    lock_ = std::make_unique<MonitoringLock>(logDir_, MonitorHolder::Service);
  } catch (const std::system_error& e) {
    return Fail(Exit::Failed, std::string("Cannot take the monitoring lock: ") + e.what() + ". The service stops.");
  }
  if (!lock_->Held()) {
    const std::optional<MonitorHolder> other = lock_->Other();
    lock_.reset();
    return Fail(Exit::Busy, std::string(other == MonitorHolder::Service ? "Another Tarnwell service"
                                        : other == MonitorHolder::Window ? "A Tarnwell window"
                                                                         : "Another Tarnwell") +
                                " is monitoring into " + logDir_ + ". The service stops.");
  }

  registry_ = std::make_unique<TIISObject>(*metabase_, processes_);
  registry_->Log = log_.get();
  registry_->Filter = settings_.pools;
  registry_->SelectByFilter = true;
  // The latest pass is kept for the HTTP address even when no textfile folder is set.
  if (!settings_.textfileDir.empty() || settings_.http) {
    textfile_ = std::make_unique<TextfileExport>(settings_.textfileDir);
  }
  if (settings_.http) {
    server_ = ServeLatestPass(serveHttp_, *settings_.http, *textfile_, [this](const std::string& line) { LogWinMsg(line); });
  }

  LogWinMsg("Start monitoring");
  try {
    port_ = std::thread([this] { PortLoop(); });
    auto monitor = std::make_unique<ServiceMonitor>(*this, clock_, [this](std::uint32_t ms) { Sleep(ms); });
    ServiceMonitor* raw = monitor.get();
    raw->OnTerminate = [this, raw] { MonitorEnded(raw->error); };
    registry_->SetMonitoring(true);
    monitor->Start();
    monitor_ = std::move(monitor);
  } catch (const std::exception& e) {
    registry_->SetMonitoring(false);
    server_.reset();
    StopPort();
    lock_.reset();
    return Fail(Exit::Failed, std::string("Cannot start monitoring: ") + e.what() + ". The service stops.");
  }
  bool stopAlready = false;
  {
    std::lock_guard lock(stateMutex_);
    started_ = true;
    stopAlready = stopRequested_;
  }
  // A stop that came while starting found nothing to stop: it is done here.
  if (stopAlready) StopMonitoring();
  return {};
}

void ServiceHost::StopMonitoring() {
  registry_->SetMonitoring(false);  // the monitor sees it after its pass
  LogWinMsg("Stop monitoring pool");
}

void ServiceHost::RequestStop() {
  bool started = false;
  {
    std::lock_guard lock(stateMutex_);
    if (stopRequested_) return;
    stopRequested_ = true;
    started = started_;
  }
  stateChanged_.notify_all();
  if (started) StopMonitoring();
}

bool ServiceHost::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(stateMutex_);
  return stateChanged_.wait_for(lock, timeout, [this] { return ended_ || !started_; });
}

ServiceHost::Outcome ServiceHost::Ended() const {
  std::lock_guard lock(stateMutex_);
  return endedOutcome_;
}

bool ServiceHost::WaitForPasses(std::uint64_t passes, std::chrono::milliseconds timeout) {
  std::unique_lock lock(stateMutex_);
  return stateChanged_.wait_for(lock, timeout, [&] { return passes_ >= passes || ended_; }) && passes_ >= passes;
}

void ServiceHost::Sleep(std::uint32_t ms) {
  std::unique_lock lock(stateMutex_);
  stateChanged_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopRequested_; });
}

void ServiceHost::MonitorEnded(const std::string& error) {
  // On the port thread, after the monitor's last pass. Still monitoring: nobody asked it to
  // stop, so it stopped on an error, and the service must not stay up doing nothing.
  Outcome outcome;
  if (registry_->IsMonitoring()) {
    registry_->SetMonitoring(false);
    outcome = {Exit::Failed, "Monitoring stopped on an error" + (error.empty() ? std::string() : ": " + error) +
                                 ". The service stops."};
    LogWinMsg(outcome.message);
  }
  {
    std::lock_guard lock(stateMutex_);
    ended_ = true;
    endedOutcome_ = outcome;
  }
  stateChanged_.notify_all();
}

void ServiceHost::ThreadPoolMonitoring() {
  LogWinMsg(IntervalLogLine(settings_.intervalMinutes));
  LogWinMsg(PoolsLogLine(registry_->PoolCount));
  {
    std::lock_guard lock(stateMutex_);
    ++passes_;
  }
  stateChanged_.notify_all();
}

void ServiceHost::LogWinMsg(const std::string& msg) {
  try {
    log_->Write(PaneLine(clock_.Now(), msg));
  } catch (const std::exception&) {
    // The log reports its own failure; the service goes on.
  }
}

// ---------------------------------------------------------------------------------------
// The port's thread

void ServiceHost::PortLoop() {
  std::unique_lock lock(queueMutex_);
  for (;;) {
    queueWake_.wait(lock, [this] { return portStop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // asked to stop, and nothing left
    std::function<void()> f = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    f();
    lock.lock();
  }
}

void ServiceHost::StopPort() {
  if (!port_.joinable()) return;
  {
    std::lock_guard lock(queueMutex_);
    portStop_ = true;
  }
  queueWake_.notify_all();
  port_.join();
}

void ServiceHost::Synchronize(const std::function<void()>& f) {
  if (std::this_thread::get_id() == port_.get_id()) {
    f();
    return;
  }
  std::packaged_task<void()> task(f);
  std::future<void> done = task.get_future();
  Post([&task] { task(); });
  done.get();  // rethrows what f threw
}

void ServiceHost::Post(std::function<void()> f) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back([f = std::move(f)] {
      try {
        f();
      } catch (...) {
        // A hand-over's error goes back to the worker through Synchronize's future.
      }
    });
  }
  queueWake_.notify_all();
}

}  // namespace tarnwell
