#pragma once
// The one face of the window that worker threads see. The Qt window implements it; tests
// implement it with a fake UI thread.
#include <functional>
#include <string>

namespace tarnwell {

class TIISObject;
class TextfileExport;

class IWindowPort {
 public:
  virtual ~IWindowPort() = default;

  // Runs f on the UI thread and waits until it has run (at once when already on it).
  virtual void Synchronize(const std::function<void()>& f) = 0;
  // Queues f for the UI thread without waiting.
  virtual void Post(std::function<void()> f) = 0;

  // Any thread: one line to the message pane and the daily log.
  virtual void LogWinMsg(const std::string& msg) = 0;

  // Set at start-up, live until every worker has ended.
  virtual TIISObject& Registry() = 0;
  virtual std::string LogDir() const = 0;
  // The metrics textfile of every pass, or null when none is asked for. Set at start-up;
  // its own calls are safe from the monitoring and analyser threads.
  virtual TextfileExport* Textfile() { return nullptr; }

  // UI thread only (run them through Synchronize).
  virtual std::string MonitoringIntervalText() = 0;
  // Replaces the pool list's rows with the registry's records.
  virtual void RefillPoolList() = 0;
  virtual void ThreadPoolMonitoring() = 0;
  virtual void SetAnalyseMsg(const std::string& msg) = 0;
  virtual void UpdateLogAnalyse() = 0;
};

}  // namespace tarnwell
