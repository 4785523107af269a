#pragma once
// The monitoring pass without a window: the service's own window port. A thread of its own
// runs what the monitor hands over (Synchronize, Post) where a window has its UI thread, so
// the monitor does not know which it serves. Reads the settings, writes the daily and
// monitoring logs beside the executable, and holds the log folder's monitoring lock while
// it monitors. Portable: the Windows service glue (app/win32) drives it, and tests do.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/service/ServiceSettings.h"
#include "logs/LogsClock.h"
#include "platform/http_server.h"
#include "tasks/WindowPort.h"

namespace tarnwell {

class MonitoringLock;
class TIISObject;
class TLog;
class TMonitoringPool;
namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

class ServiceHost final : public IWindowPort {
 public:
  // Opens the metabase the settings ask for: storeFile is their metabase file, empty for
  // the local IIS. May raise; the start then fails saying why.
  using MetabaseOpener = std::function<std::unique_ptr<platform::IMetabase>(const std::string& storeFile)>;

  // How a start or a run ended; the service's own exit code.
  enum class Exit : std::uint32_t {
    Ok = 0,
    BadSettings = 1,  // unreadable file, unknown key, bad value, or a metabase that cannot be opened
    Busy = 2,         // another program monitors into the log folder
    Failed = 3,       // monitoring could not start, or stopped on an error
  };
  struct Outcome {
    Exit exit = Exit::Ok;
    std::string message;  // one line: what stopped it
  };

  // exeDir (UTF-8) gets the log folder; the daily log opens at once. processes and clock
  // must outlive the host. serveHttp: the system's HTTP server for the settings'
  // http-address; empty where the program has none.
  ServiceHost(const std::string& exeDir, MetabaseOpener openMetabase, platform::IProcessSystem& processes,
              const ILocalClock& clock, platform::HttpServerFactory serveHttp = {});
  ~ServiceHost() override;  // stops monitoring after its pass and waits for it
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Reads the settings file and says them in the daily log, takes the monitoring lock and
  // starts the monitor. Any failure is one line in the daily log and the outcome. Once.
  Outcome Start(const std::string& settingsFile);
  // Any thread: the pass in progress finishes and writes its lines; no other begins.
  void RequestStop();
  // True once the monitor has ended, asked to or not; false after the timeout.
  bool WaitForEnd(std::chrono::milliseconds timeout);
  // After the end: Ok when stopped as asked, else why monitoring stopped by itself.
  Outcome Ended() const;
  // Passes whose redraw has run, and a wait for a number of them (for status and tests).
  bool WaitForPasses(std::uint64_t passes, std::chrono::milliseconds timeout);
  const std::string& LogDirectory() const { return logDir_; }

  // Window port.
  void Synchronize(const std::function<void()>& f) override;  // any thread; waits
  void Post(std::function<void()> f) override;                // any thread
  void LogWinMsg(const std::string& msg) override;            // any thread: the daily log
  TIISObject& Registry() override { return *registry_; }
  std::string LogDir() const override { return logDir_; }
  TextfileExport* Textfile() override { return textfile_.get(); }
  std::string MonitoringIntervalText() override { return settings_.intervalMinutes; }
  void RefillPoolList() override {}  // no list
  void ThreadPoolMonitoring() override;
  void SetAnalyseMsg(const std::string&) override {}  // no analyser
  void UpdateLogAnalyse() override {}

 private:
  Outcome Fail(Exit exit, const std::string& message);
  void PortLoop();
  void StopPort();
  void StopMonitoring();
  void Sleep(std::uint32_t ms);  // the monitor's wait between passes; Stop cuts it short
  void MonitorEnded(const std::string& error);

  MetabaseOpener openMetabase_;
  platform::HttpServerFactory serveHttp_;
  platform::IProcessSystem& processes_;
  const ILocalClock& clock_;
  std::string logDir_;
  std::unique_ptr<TLog> log_;
  ServiceSettings settings_;
  std::unique_ptr<platform::IMetabase> metabase_;
  std::unique_ptr<TIISObject> registry_;
  std::unique_ptr<TextfileExport> textfile_;
  std::unique_ptr<platform::IHttpServer> server_;  // reads textfile_'s latest pass: after it
  std::unique_ptr<MonitoringLock> lock_;

  // The port's thread and its queue.
  std::mutex queueMutex_;
  std::condition_variable queueWake_;
  std::deque<std::function<void()>> queue_;
  bool portStop_ = false;
  std::thread port_;

  // Stop, the end and the passes.
  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool stopRequested_ = false;
  bool started_ = false;  // the monitor runs (set once Start has started it)
  bool ended_ = false;
  std::uint64_t passes_ = 0;
  Outcome endedOutcome_;

  std::unique_ptr<TMonitoringPool> monitor_;  // last: ends before what it uses goes
};

}  // namespace tarnwell
