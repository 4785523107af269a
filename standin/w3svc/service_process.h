#pragma once
// What the web-service stand-in asks of the operating system: its workers' processes and
// its own. POSIX in service_process_posix.cpp, Win32 in service_process_win32.cpp; each
// builds only on its own system. Paths and text are UTF-8.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell::standin {

// One started worker; its standard input is a pipe this object writes. Destroying it does
// not end the process: StopWorker and the launcher do.
class WorkerProcess {
 public:
  virtual ~WorkerProcess() = default;
  virtual std::uint32_t Pid() const = 0;
  // Writes the line whole or not at all; false when nothing was written (a full or broken
  // pipe). POSIX never blocks here; on Windows a worker that stopped reading would hold it.
  virtual bool Send(std::string_view line) = 0;
  // Asks the worker to end (SIGTERM; on Windows the worker takes no request and is ended).
  virtual void RequestStop() = 0;
  virtual void Kill() = 0;
  // Without waiting: how it ended ("exit code 1", "signal Killed"), or none while it runs.
  // Once it has answered, the process is gone from the system.
  virtual std::optional<std::string> Ended() = 0;
  // Blocks until it has ended.
  virtual void WaitEnded() = 0;
};

// Starts the workers of one service so that they do not outlive it: each asks to die with
// its parent on Linux; on Windows they share a job object that ends them when its last
// handle, held here, closes, whatever way the service ends. One thread.
class WorkerLauncher {
 public:
  WorkerLauncher();
  ~WorkerLauncher();
  WorkerLauncher(const WorkerLauncher&) = delete;
  WorkerLauncher& operator=(const WorkerLauncher&) = delete;

  // args[0] is the executable. On Windows the arguments are joined as they are, args[0]
  // quoted: they carry their own quotes, as IIS writes them. Standard output is discarded,
  // standard error is the service's. Null, with the reason in why, when it cannot start.
  std::unique_ptr<WorkerProcess> Start(const std::vector<std::string>& args, std::string& why);

  // Empty when the service's own end ends the workers too; otherwise why not (the service
  // then relies on ending them itself).
  const std::string& Unguarded() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Empty when the file can be started as a worker; else why not.
std::string WorkerExecutableProblem(const std::string& path);

std::uint32_t CurrentProcessId();

// Sleeps up to ms; a stop request may cut it short.
void PauseMs(unsigned ms);

// The directory of the running executable.
std::filesystem::path ExecutableDirectory();

// Where the service finds the metabase without IIS_METABASE: beside itself on Linux, IIS's
// own place (%windir%\system32\inetsrv\MetaBase.xml) on Windows.
std::string DefaultMetabasePath();

// The environment variable's value as UTF-8; empty when it is not set.
std::string EnvironmentText(const char* name);

// Sets stop when the service is asked to end: SIGTERM, SIGINT, or its starter's death on
// Linux; Ctrl+C, Ctrl+Break, console close, logoff or shutdown on Windows. Call once.
void WatchStopRequests(std::atomic<bool>& stop);
// Says that the service has ended its workers: a console close waits for this before the
// system ends the process.
void StopDone();

}  // namespace tarnwell::standin
