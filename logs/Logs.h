#pragma once
// Date-named log files: "trnw" + infix + ddmmyy + ".log" in one directory.
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "logs/LogsClock.h"
#include "logs/LogsFile.h"

namespace tarnwell {

// Shows a log's failure to open its file to the administrator. The window installs one
// that marshals to the UI thread; the default writes to standard error. An empty reporter
// restores the default. Thread-safe; called on the writing thread, never under a log's lock.
using LogFailureReporter = std::function<void(const std::string& message)>;
void SetLogFailureReporter(LogFailureReporter reporter);

class TLog {
 public:
  // dir ends with a path separator. A failure to open is reported, not raised.
  TLog(std::string dir, std::string infix, const ILocalClock& clock = SystemClock());
  ~TLog();
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // Appends one line (time-stamped unless raw) and has it in the file before returning.
  // While no file is open (failed opening or day switch) every call tries the current
  // day's file again. Raises std::system_error on an I/O error; the first failure to
  // open of a run of failures is also reported. Thread-safe.
  void Write(const std::string& text, bool raw = false);

  const std::string& Dir() const { return dir_; }
  // Name of the file for the given day; exposed for tests and the window.
  std::string FileNameFor(const LocalTime& t) const;
  bool IsOpen() const;

 private:
  void OpenFile(const LocalTime& now);  // caller holds lock_; raises std::system_error
  void CloseFile();                     // caller holds lock_
  std::string OpenFailureMessage(const std::exception& e) const;

  std::string dir_;
  std::string infix_;
  const ILocalClock& clock_;
  mutable std::mutex lock_;
  AppendFile file_;             // closed after a failed opening or switch
  std::uint32_t openedAt_ = 0;  // ms since midnight when the current file was opened
  bool failing_ = false;        // the last opening failed and was reported
};

}  // namespace tarnwell
