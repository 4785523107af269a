#pragma once
// Helpers of the log tests: the lines of a log file, a captured failure reporter.
#include <mutex>
#include <string>
#include <vector>

#include "logs/Logs.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell::testing {

// Lines of a CR LF file, without their ends; a last line without CR LF comes out as is.
inline std::vector<std::string> SplitCrLf(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t pos; (pos = content.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    lines.push_back(content.substr(start, pos - start));
  }
  if (start < content.size()) lines.push_back(content.substr(start));
  return lines;
}

// Installs a reporter that records the messages; the default comes back at destruction.
class CapturedReports {
 public:
  CapturedReports() {
    SetLogFailureReporter([this](const std::string& message) {
      std::lock_guard<std::mutex> guard(m_);
      messages_.push_back(message);
    });
  }
  ~CapturedReports() { SetLogFailureReporter(nullptr); }
  CapturedReports(const CapturedReports&) = delete;
  CapturedReports& operator=(const CapturedReports&) = delete;

  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> guard(m_);
    return messages_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> messages_;
};

}  // namespace tarnwell::testing
