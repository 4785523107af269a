#pragma once
// Helpers for end-to-end tests: child processes that are always ended, bounded waits,
// and the outside view of a process (lsof, /proc) to check the census against.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::e2e {

using testutil::ReadAll;
using testutil::ReplaceFile;
using testutil::TempDir;
using namespace std::chrono_literals;

// A started program, killed (SIGKILL) and reaped when the object goes, whatever path
// the test takes. Standard input and output are pipes to the test; it runs in a session
// of its own.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess() { Kill(); }

  // Starts argv[0] with argv. Empty (pid() == -1) when it cannot start. With outputFile,
  // standard output goes there instead of to the test (for chatty programs).
  static ChildProcess Start(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnvironment = {},
                            const std::string& outputFile = {});

  pid_t pid() const { return pid_; }
  bool Send(const std::string& line);  // writes line + "\n" to its standard input
  // One line of its standard output, without the newline; none on time-out or end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Kills and reaps.
  void Kill();
  // Sends sig and waits up to timeout for the exit; the wait status, or none (still running).
  std::optional<int> SignalAndWait(int sig, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  platform::linux_proc::UniqueFd input_;
  platform::linux_proc::UniqueFd output_;
  std::string pending_;
};

// w3svc serving metabase with the stand-in workers, saying what it does into log.
ChildProcess StartW3svc(const std::string& metabase, const std::string& log, std::vector<std::string> options = {});
// The real window in the driver (tests/e2e/driver), its folder dir, on metabase.
ChildProcess StartDriver(const std::string& dir, const std::string& metabase, std::vector<std::string> options = {},
                         const std::string& outputFile = {});
// Reads the driver's lines until the window has ended `passes` monitoring passes of 0
// minutes; false when it stops saying so or fails.
bool AwaitPasses(ChildProcess& driver, int passes);

// Writes a MetaBase.xml of one site with two pools of one application each, named as given
// (names of a test's own: other workers on the machine may serve the usual ones).
void WriteTwoPoolMetabase(const std::string& path, const std::string& poolA, const std::string& poolB);

// A w3wp.exe stand-in serving pool; its command line reads as IIS 6 gives it.
ChildProcess StartWorker(const std::string& pool);
// Tells a worker its load ("load CPU MB FILES TCP") and waits for its "ok".
bool SetWorkerLoad(ChildProcess& worker, const std::string& load);

// Polls condition every 50 ms until it holds or timeout passes.
bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& condition);

// Whether a process with this id runs (zombies count as ended).
bool IsRunning(pid_t pid);
// Pool name -> pid of the running w3wp.exe children of service.
std::map<std::string, pid_t> Workers(pid_t service);

int CountFdEntries(pid_t pid);

// Gives every thread of pid the highest scheduling priority, so that builds running beside
// the tests cannot take a burning worker's processor away. Without the right to it, says so
// in the test's output and returns false.
bool BoostPriority(pid_t pid);

// A shell command's standard output, and its exit code (-1 when it did not exit).
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult RunCommand(const std::string& command);

// What lsof sees of a process's descriptors.
struct LsofCounts {
  int descriptors = 0;
  int diskFiles = 0;  // REG or DIR on a device with a non-zero major number
  int tcp = 0;
};
// None when lsof is not installed or fails.
std::optional<LsofCounts> LsofCount(pid_t pid);

}  // namespace tarnwell::e2e
