#pragma once
// Date-named log files: "trnw" + infix + ddmmyy + ".log" in one directory.
#include <functional>
#include <mutex>
#include <string>

#include "logs/LogsClock.h"

namespace tarnwell {

// Shows a log's failure to open its file to the administrator. The window installs one
// that marshals to the UI thread; the default writes to standard error. Thread-safe.
using LogFailureReporter = std::function<void(const std::string& message)>;
void SetLogFailureReporter(LogFailureReporter reporter);

class TLog {
 public:
  // dir ends with a path separator. A failure to open is reported, not raised.
  TLog(std::string dir, std::string infix, const ILocalClock& clock = SystemClock());
  ~TLog();
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // Appends one line (time-stamped unless raw) and has it on disk before returning.
  // Raises std::system_error on an I/O error. Thread-safe.
  void Write(const std::string& text, bool raw = false);

  const std::string& Dir() const { return dir_; }
  // Name of the file for the given day; exposed for tests and the window.
  std::string FileNameFor(const LocalTime& t) const;
  bool IsOpen() const;

 private:
  void OpenFile(const LocalTime& now);  // caller holds lock_
  void CloseFile();                     // caller holds lock_

  std::string dir_;
  std::string infix_;
  const ILocalClock& clock_;
  mutable std::mutex lock_;
  int fd_ = -1;
  std::uint32_t openedAt_ = 0;  // ms since midnight when the current file was opened
};

}  // namespace tarnwell
