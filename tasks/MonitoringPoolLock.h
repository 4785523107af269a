#pragma once
// One writer per monitoring log: whoever monitors into a log folder (the window or the
// service) holds that folder's lock file for as long as it monitors. The lock goes with the
// holder's handle, so a program that dies leaves no stale lock behind.
#include <optional>
#include <string>

#include "platform/files/os_file.h"

namespace tarnwell {

enum class MonitorHolder { Window, Service };

inline constexpr const char* kMonitoringLockFile = "trnw-mon.lock";

class MonitoringLock {
 public:
  // Takes logDir's lock for holder (logDir ends with a separator). Raises std::system_error
  // when the lock file cannot be opened at all; Held() is false when another has it.
  MonitoringLock(const std::string& logDir, MonitorHolder holder);
  ~MonitoringLock();
  MonitoringLock(const MonitoringLock&) = delete;
  MonitoringLock& operator=(const MonitoringLock&) = delete;

  bool Held() const { return held_; }
  // When not held: who holds it, as its lock file says; nothing when it does not say yet.
  std::optional<MonitorHolder> Other() const { return other_; }

 private:
  bool held_ = false;
  std::optional<MonitorHolder> other_;
#ifdef _WIN32
  void* handle_ = nullptr;  // HANDLE open for writing, shared for reading only
#else
  platform::FileDescriptor fd_;  // flock'ed; closing releases it
#endif
};

// The pane's line for a Start refused because another program monitors into logDir: who,
// and where its figures are.
std::string MonitoredElsewhereText(std::optional<MonitorHolder> other, const std::string& logDir);

}  // namespace tarnwell
