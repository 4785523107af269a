#include "logs/Logs.h"

#include <iostream>
#include <optional>
#include <system_error>
#include <utility>

namespace tarnwell {

namespace {

std::mutex& ReporterMutex() {
  static std::mutex m;
  return m;
}

LogFailureReporter& ReporterSlot() {
  static LogFailureReporter reporter;
  return reporter;
}

// Called outside every log's lock: a reporter that waits for the UI thread must not hold
// up the threads writing to the log meanwhile.
void ReportFailure(const std::string& message) {
  LogFailureReporter reporter;
  {
    std::lock_guard<std::mutex> guard(ReporterMutex());
    reporter = ReporterSlot();
  }
  try {
    if (reporter) {
      reporter(message);
    } else {
      std::cerr << message << std::endl;
    }
  } catch (...) {
    // A failing reporter must not turn into a failure of the log itself.
  }
}

}  // namespace

void SetLogFailureReporter(LogFailureReporter reporter) {
  std::lock_guard<std::mutex> guard(ReporterMutex());
  ReporterSlot() = std::move(reporter);
}

TLog::TLog(std::string dir, std::string infix, const ILocalClock& clock)
    : dir_(std::move(dir)), infix_(std::move(infix)), clock_(clock) {
  std::optional<std::string> report;
  {
    std::lock_guard<std::mutex> guard(lock_);
    try {
      OpenFile(clock_.Now());
    } catch (const std::exception& e) {
      failing_ = true;
      report = OpenFailureMessage(e);
    }
  }
  if (report) ReportFailure(*report);
}

TLog::~TLog() {
  std::lock_guard<std::mutex> guard(lock_);
  CloseFile();
}

std::string TLog::FileNameFor(const LocalTime& t) const {
  return dir_ + "trnw" + infix_ + FormatFileDate(t) + ".log";
}

bool TLog::IsOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return file_.IsOpen();
}

std::string TLog::OpenFailureMessage(const std::exception& e) const {
  return "Error to create/open file of log: " + dir_ + ". Exception: " + e.what();
}

void TLog::OpenFile(const LocalTime& now) {
  openedAt_ = now.MsOfDay();
  AppendFile file = AppendFile::Open(FileNameFor(now));
  file.Write("\r\n");  // each run and each day starts with an empty line
  file_ = std::move(file);
}

void TLog::CloseFile() { file_.Close(); }

void TLog::Write(const std::string& text, bool raw) {
  std::string line;
  if (raw) {
    line.reserve(text.size() + 2);
    line = text;
  } else {
    line = FormatLogStamp(clock_.Now());  // stamped before the lock, as callers see the time
    line.reserve(line.size() + 1 + text.size() + 2);
    line += '\t';
    line += text;
  }
  line += "\r\n";

  std::optional<std::string> report;
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> guard(lock_);
    try {
      const LocalTime now = clock_.Now();
      // Only the time of day is compared: the first line at an earlier time of day than
      // the opening starts the new day's file.
      if (file_.IsOpen() && now.MsOfDay() < openedAt_) CloseFile();
      if (!file_.IsOpen()) {
        try {
          OpenFile(now);
          failing_ = false;
        } catch (const std::exception& e) {
          if (!failing_) report = OpenFailureMessage(e);
          failing_ = true;
          throw;
        }
      }
      try {
        file_.Write(line);
      } catch (...) {
        // The next line opens the file again, after an empty line that ends a torn one.
        CloseFile();
        throw;
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (report) ReportFailure(*report);
  if (error) std::rethrow_exception(error);
}

}  // namespace tarnwell
