#pragma once
// Helpers for end-to-end tests: child processes that are always ended, bounded waits,
// and the outside view of a process (lsof, /proc) to check the census against.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::e2e {

// A started program, killed (SIGKILL) and reaped when the object goes, whatever path
// the test takes. Standard input and output are pipes to the test; it runs in a session
// of its own.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  // Starts argv[0] with argv. Empty (pid() == -1) when it cannot start. With outputFile,
  // standard output goes there instead of to the test (for chatty programs).
  static ChildProcess Start(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnvironment = {},
                            const std::string& outputFile = {});

  pid_t pid() const { return pid_; }
  bool Send(const std::string& line);  // writes line + "\n" to its standard input
  void CloseInput();
  // One line of its standard output, without the newline; none on time-out or end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Sends sig and reaps; the wait status.
  int Kill(int sig = SIGKILL);
  // Sends sig and waits up to timeout for the exit; the wait status, or none (still running).
  std::optional<int> SignalAndWait(int sig, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  platform::linux_proc::UniqueFd input_;
  platform::linux_proc::UniqueFd output_;
  std::string pending_;
};

// Writes a MetaBase.xml of one site with two pools of one application each, named as given
// (names of a test's own: other workers on the machine may serve the usual ones).
bool WriteTwoPoolMetabase(const std::string& path, const std::string& poolA, const std::string& poolB);

// A w3wp.exe stand-in serving pool; its command line reads as IIS 6 gives it.
ChildProcess StartWorker(const std::string& pool);
// Tells a worker its load ("load CPU MB FILES TCP") and waits for its "ok".
bool SetWorkerLoad(ChildProcess& worker, const std::string& load);

// Polls condition every 50 ms until it holds or timeout passes.
bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& condition);

// Whether a process with this id runs (zombies count as ended).
bool IsRunning(pid_t pid);
// (4) ppid from /proc/PID/stat; -1 when unreadable.
pid_t ParentOf(pid_t pid);
// Process ids whose parent is parent and whose executable is w3wp.exe.
std::vector<pid_t> WorkersOf(pid_t parent);

int CountFdEntries(pid_t pid);

// Gives every thread of pid the highest scheduling priority this process may set, so that
// builds running beside the tests cannot take a burning worker's processor away.
void BoostPriority(pid_t pid);

// What lsof sees of a process's descriptors.
struct LsofCounts {
  int descriptors = 0;
  int diskFiles = 0;  // REG or DIR on a device with a non-zero major number
  int tcp = 0;
};
// None when lsof is not installed or fails.
std::optional<LsofCounts> LsofCount(pid_t pid);

using testutil::TempDir;

// Writes text to path through a temporary file and a rename, as the store does.
void ReplaceFile(const std::string& path, const std::string& text);

}  // namespace tarnwell::e2e
